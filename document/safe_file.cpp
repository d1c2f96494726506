#include "document/safe_file.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace calmora {

namespace {

// One write call at a time passes at most this many bytes; Linux writes no
// more than about 2 GiB per call anyway.
constexpr int64_t kMaxWrite = int64_t { 1 } << 30;

} // namespace

bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* reason,
    const std::function<bool()>& mayReplace)
{
    // What is replaced keeps its owner and mode where the system allows:
    // a photo of another user's, rewritten by root, stays theirs. The new
    // file takes the name's place, so a hard link elsewhere keeps the old
    // content, as after any editor's safe save.
    struct stat replaced { };
    const bool replacing = ::stat(QFile::encodeName(path).constData(), &replaced) == 0
        && S_ISREG(replaced.st_mode);
    QSaveFile file(path);
    // QSaveFile::commit() renames its temporary file into place even when
    // the final flush of its write buffer failed, which on a full disk turns
    // the destination into an empty file. Unbuffered, every write reports
    // its own failure, and nothing is left for commit() to lose.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        *reason = file.errorString();
        return false;
    }
    if (replacing) {
        // Only root may give a file away; anyone else may still hand it to
        // a group of theirs. The mode is set after the owner, whose change
        // clears the set-user and set-group bits.
        // Neither is a reason to fail the save.
        const int fd = file.handle();
        const bool ownerKept = ::fchown(fd, replaced.st_uid, replaced.st_gid) == 0
            || ::fchown(fd, static_cast<uid_t>(-1), replaced.st_gid) == 0;
        const bool modeKept = ::fchmod(fd, replaced.st_mode & 07777) == 0;
        static_cast<void>(ownerKept);
        static_cast<void>(modeKept);
    }
    const auto abandon = [&](const QString& why) {
        *reason = why;
        file.cancelWriting();
        // cancelWriting() only marks the file; the commit() removes the
        // temporary file without touching the destination.
        file.commit();
        return false;
    };
    // Written here rather than through QFile::write(), which after a short
    // write (a nearly full disk) reports no reason at all: the system's
    // reason for the write that failed is the one worth passing on.
    const char* data = bytes.constData();
    int64_t left = bytes.size();
    while (left > 0) {
        const ssize_t written
            = ::write(file.handle(), data, static_cast<size_t>(std::min<int64_t>(left, kMaxWrite)));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return abandon(written < 0 ? QString::fromLocal8Bit(std::strerror(errno))
                                       : QStringLiteral("the system wrote nothing."));
        data += written;
        left -= written;
    }
    // A file system may defer its failure (quota, network storage, a delayed
    // allocation) until the data is synced; commit() would ignore it.
    if (::fsync(file.handle()) != 0 && errno != EINVAL && errno != EROFS)
        return abandon(QString::fromLocal8Bit(std::strerror(errno)));
    if (mayReplace && !mayReplace())
        return abandon(QStringLiteral("the save was stopped."));
    if (!file.commit()) {
        *reason = file.errorString();
        return false;
    }
    return true;
}

} // namespace calmora
