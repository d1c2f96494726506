#include "document/file_kind.h"

#include <QFile>

#include <sys/stat.h>

namespace calmora {

QString irregularFileKind(const QString& path)
{
    struct stat status { };
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || S_ISREG(status.st_mode))
        return {};
    if (S_ISDIR(status.st_mode))
        return QStringLiteral("it is a folder");
    if (S_ISFIFO(status.st_mode))
        return QStringLiteral("it is a pipe (FIFO)");
    if (S_ISSOCK(status.st_mode))
        return QStringLiteral("it is a socket");
    if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode))
        return QStringLiteral("it is a device");
    return QStringLiteral("it is not a regular file");
}

} // namespace calmora
