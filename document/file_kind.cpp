#include "document/file_kind.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
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

namespace {

// 0 when something exists at `path`, else the system's error.
int lookUpError(const QString& path)
{
    struct stat status { };
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? 0 : errno;
}

bool isMissing(int error)
{
    return error == ENOENT || error == ENOTDIR;
}

} // namespace

QString lookUpProblem(const QString& path)
{
    const int error = lookUpError(path);
    if (error == 0)
        return {};
    return isMissing(error) ? QStringLiteral("the file does not exist.")
                            : QString::fromLocal8Bit(std::strerror(error)) + QLatin1Char('.');
}

QString folderLookUpProblem(const QString& folder)
{
    const int error = lookUpError(folder);
    if (error == 0)
        return {};
    const QString name = QDir::toNativeSeparators(folder);
    if (isMissing(error))
        return QStringLiteral("the folder \"%1\" does not exist.").arg(name);
    return QStringLiteral("the folder \"%1\" cannot be reached: %2.")
        .arg(name, QString::fromLocal8Bit(std::strerror(error)));
}

} // namespace calmora
