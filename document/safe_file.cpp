#include "document/safe_file.h"

#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace calmora {

bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* reason)
{
    QSaveFile file(path);
    // QSaveFile::commit() renames its temporary file into place even when
    // the final flush of its write buffer failed, which on a full disk turns
    // the destination into an empty file. Unbuffered, every write reports
    // its own failure, and nothing is left for commit() to lose.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        *reason = file.errorString();
        return false;
    }
    const auto abandon = [&](const QString& why) {
        *reason = why;
        file.cancelWriting();
        // cancelWriting() only marks the file; the commit() removes the
        // temporary file without touching the destination.
        file.commit();
        return false;
    };
    if (file.write(bytes) != bytes.size() || !file.flush())
        return abandon(file.errorString());
    // A file system may defer its failure (quota, network storage, a delayed
    // allocation) until the data is synced; commit() would ignore it.
    if (::fsync(file.handle()) != 0 && errno != EINVAL && errno != EROFS)
        return abandon(QString::fromLocal8Bit(std::strerror(errno)));
    if (!file.commit()) {
        *reason = file.errorString();
        return false;
    }
    return true;
}

} // namespace calmora
