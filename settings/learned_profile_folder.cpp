#include "settings/learned_profile_folder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace calmora {

const QString LearnedProfileFolder::kExtension = QStringLiteral(".calmora-profile");
const QString LearnedProfileFolder::kLockName = QStringLiteral("learned.lock");

namespace {

// A key's file is about 9 KiB; anything far larger is not one.
constexpr qint64 kMaxFileBytes = 1 << 20;
const QString kTemporarySuffix = QStringLiteral(".tmp");
const QString kDamagedSuffix = QStringLiteral(".damaged");
const QString kGoesOn = QStringLiteral(
    "self-learning goes on without keeping what it learns, and the files already there are "
    "unchanged");

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString shown(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

QString pathOf(const QString& folder, const QString& stem)
{
    return QDir(folder).filePath(stem + LearnedProfileFolder::kExtension);
}

QByteArray encoded(const QString& path)
{
    return QFile::encodeName(path);
}

// Makes the folder and the missing ones above it, keeping the system's
// reason when one cannot be made.
bool makeFolder(const QString& folder, QString* reason)
{
    if (QFileInfo(folder).isDir())
        return true;
    const QString absolute = QDir::cleanPath(QDir(folder).absolutePath());
    const QStringList parts = absolute.split(u'/');
    QString path;
    for (const QString& part : parts) {
        path += part.isEmpty() ? QString() : part;
        if (!path.isEmpty() && !QFileInfo(path).isDir()
            && ::mkdir(encoded(path).constData(), 0777) != 0 && errno != EEXIST) {
            *reason = systemError(errno);
            return false;
        }
        path += u'/';
    }
    if (QFileInfo(folder).isDir())
        return true;
    *reason = QStringLiteral("a file of that name is in the way");
    return false;
}

// The folder's lock, held by whoever reads and replaces a key's file (in
// this or another process) until it is dropped. The lock file stays: one
// removed while another process waits on it would lock nothing.
class FolderLock {
public:
    explicit FolderLock(const QString& folder)
    {
        const QByteArray path = encoded(QDir(folder).filePath(LearnedProfileFolder::kLockName));
        m_fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0) {
            m_error = systemError(errno);
            return;
        }
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                m_error = systemError(errno);
                ::close(m_fd);
                m_fd = -1;
                return;
            }
        }
    }
    ~FolderLock()
    {
        if (m_fd >= 0) {
            ::flock(m_fd, LOCK_UN);
            ::close(m_fd);
        }
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    bool locked() const { return m_fd >= 0; }
    const QString& error() const { return m_error; }

private:
    int m_fd = -1;
    QString m_error;
};

bool writeAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written
            = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

// Replaces `path` with `bytes`: written to a temporary file beside it,
// synced, read back and compared, and only then renamed into place, the
// folder synced after. Only one writer at a time (the folder's lock), so the
// temporary name is free to reuse. On failure `path` is as it was.
bool replaceFile(const QString& path, const QByteArray& bytes, QString* reason)
{
    const QString temporary = path + kTemporarySuffix;
    const QByteArray temporaryName = encoded(temporary);
    const auto abandon = [&](int error) {
        *reason = systemError(error);
        ::unlink(temporaryName.constData());
        return false;
    };
    const int fd
        = ::open(temporaryName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return abandon(errno);
    if (!writeAll(fd, bytes) || ::fsync(fd) != 0) {
        const int error = errno != 0 ? errno : EIO;
        ::close(fd);
        return abandon(error);
    }
    if (::close(fd) != 0)
        return abandon(errno);
    QFile check(temporary);
    if (!check.open(QIODevice::ReadOnly) || check.read(kMaxFileBytes + 1) != bytes) {
        *reason = QStringLiteral("what was written reads back differently");
        ::unlink(temporaryName.constData());
        return false;
    }
    if (::rename(temporaryName.constData(), encoded(path).constData()) != 0)
        return abandon(errno);
    const int folder = ::open(
        encoded(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        // The rename is what a crash must not lose; some file systems cannot
        // sync a folder, which costs nothing but that guarantee.
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

struct ReadResult {
    std::optional<LearnedRecord> record;
    bool missing = false;
    LearnedFileFault fault = LearnedFileFault::None;
    QString reason;
};

ReadResult readFile(const QString& path)
{
    ReadResult result;
    const int fd = ::open(encoded(path).constData(), O_RDONLY | O_CLOEXEC);
    // A file that cannot be read is not known to be damaged: it is left
    // alone, like one of another program's.
    if (fd < 0) {
        // Below a plain file no file can be: the folder's own note says it.
        result.missing = errno == ENOENT || errno == ENOTDIR;
        result.fault = LearnedFileFault::Foreign;
        result.reason = systemError(errno);
        return result;
    }
    // Room for the size the file has now and one byte more, which tells a
    // file that grows while it is read; one past the limit is not ours.
    struct stat status { };
    const qint64 expected = ::fstat(fd, &status) == 0 ? status.st_size : 0;
    QByteArray bytes(std::clamp<qint64>(expected + 1, 1, kMaxFileBytes + 1), Qt::Uninitialized);
    qsizetype size = 0;
    while (size < bytes.size()) {
        const ssize_t got
            = ::read(fd, bytes.data() + size, static_cast<size_t>(bytes.size() - size));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            result.fault = LearnedFileFault::Foreign;
            result.reason = systemError(errno);
            ::close(fd);
            return result;
        }
        if (got == 0)
            break;
        size += got;
    }
    ::close(fd);
    if (size > kMaxFileBytes) {
        result.fault = LearnedFileFault::Foreign;
        result.reason = QStringLiteral("it is far too large to be a learned profile");
        return result;
    }
    bytes.truncate(size);
    result.record = decodeLearnedRecord(bytes, &result.fault, &result.reason);
    return result;
}

// The file of `stem` as look-ups may trust it: read, and holding the key its
// name stands for.
ReadResult readKeyFile(const QString& folder, const QString& stem)
{
    ReadResult result = readFile(pathOf(folder, stem));
    if (result.record && result.record->key.stem() != stem) {
        result.record.reset();
        result.fault = LearnedFileFault::Foreign;
        result.reason = QStringLiteral("it holds the profile of another camera");
    }
    return result;
}

QString ignoredNote(const QString& path, const QString& reason)
{
    return QStringLiteral("Ignored the learned profile \"%1\": %2.").arg(shown(path), reason);
}

// What a write finds in a key's file before it adds to it. A damaged file is
// moved aside and started anew, which `movedAside` tells; a foreign or newer
// one is left alone and the write refused, since it may hold what this
// version cannot read.
std::optional<LearnedRecord> recordToExtend(const QString& folder, const QString& stem,
    const LearnedKey& key, QString* reason, QString* movedAside = nullptr)
{
    const QString path = pathOf(folder, stem);
    ReadResult found = readKeyFile(folder, stem);
    if (found.record)
        return found.record;
    LearnedRecord fresh;
    fresh.key = key;
    if (found.missing)
        return fresh;
    if (found.fault == LearnedFileFault::Damaged) {
        const QString aside = path + kDamagedSuffix;
        QFile::remove(aside);
        if (!QFile::rename(path, aside)) {
            *reason = QStringLiteral("\"%1\" is damaged (%2) and cannot be moved aside")
                          .arg(shown(path), found.reason);
            return std::nullopt;
        }
        if (movedAside != nullptr)
            *movedAside = QStringLiteral("The learned profile \"%1\" is damaged (%2); it is kept "
                                         "as \"%3\" and learning starts it anew.")
                              .arg(shown(path), found.reason, shown(aside));
        return fresh;
    }
    *reason = QStringLiteral("\"%1\" was left as it is: %2").arg(shown(path), found.reason);
    return std::nullopt;
}

} // namespace

LearnedProfileFolder::LearnedProfileFolder(const QString& folder, const MergeRule& rule)
    : m_rule(rule)
    , m_folder(folder)
{ }

LearnedProfileFolder::~LearnedProfileFolder()
{
    {
        const std::lock_guard lock(m_mutex);
        // Photos whose write failed would otherwise wait for their key's next
        // photo, which may never come: the folder may have room by now.
        requeueUnsaved([](const Pending&) { return true; });
        m_quit = true;
    }
    m_changed.notify_all();
    if (m_writer.joinable())
        m_writer.join();
}

void LearnedProfileFolder::setLearning(bool on)
{
    const std::lock_guard lock(m_mutex);
    m_learning = on;
}

bool LearnedProfileFolder::keepsWhatItLearns() const
{
    const std::lock_guard lock(m_mutex);
    return m_learning;
}

void LearnedProfileFolder::useFolder(const QString& folder)
{
    const std::lock_guard lock(m_mutex);
    m_folder = folder;
}

QString LearnedProfileFolder::folder() const
{
    const std::lock_guard lock(m_mutex);
    return m_folder;
}

void LearnedProfileFolder::setNoteHandler(std::function<void(const QString&)> handler)
{
    const std::lock_guard handlerLock(m_noteMutex);
    m_noteHandler = std::move(handler);
}

QStringList LearnedProfileFolder::takeNotes()
{
    const std::lock_guard handlerLock(m_noteMutex);
    return std::exchange(m_notes, {});
}

void LearnedProfileFolder::note(const QString& text)
{
    {
        const std::lock_guard lock(m_mutex);
        if (!m_said.insert(text).second)
            return;
    }
    const std::lock_guard handlerLock(m_noteMutex);
    if (m_noteHandler)
        m_noteHandler(text);
    else
        m_notes.append(text);
}

void LearnedProfileFolder::learn(
    const QString& fileName, const ExifRecord& exif, const NoiseProfile& profile)
{
    const std::optional<LearnedKey> key = learnedKeyOf(exif);
    if (!key)
        return;
    const LearnedPhoto photo
        = learnedPhotoOf(photoIdOf(fileName, exif), QDateTime::currentMSecsSinceEpoch(), profile);
    const std::lock_guard lock(m_mutex);
    if (!m_learning)
        return;
    const QString stem = key->stem();
    // What could not be written for this key before goes with it again: the
    // disk may have room now.
    requeueUnsaved(
        [&](const Pending& unsaved) { return unsaved.stem == stem && unsaved.folder == m_folder; });
    m_pending.push_back({ m_folder, stem, *key, photo, m_nextSerial++ });
    if (!m_writer.joinable())
        m_writer = std::thread([this] { writerLoop(); });
    m_changed.notify_all();
}

bool LearnedProfileFolder::lookUp(const ExifRecord& exif, NoiseProfile& profile)
{
    const std::optional<LearnedKey> key = learnedKeyOf(exif);
    if (!key)
        return false;
    const QString stem = key->stem();
    QString folder;
    std::vector<Pending> onTheWay;
    {
        const std::lock_guard lock(m_mutex);
        folder = m_folder;
        for (const std::vector<Pending>* list : { &m_unsaved, &m_pending })
            for (const Pending& pending : *list)
                if (pending.stem == stem && pending.folder == folder)
                    onTheWay.push_back(pending);
    }
    std::ranges::sort(onTheWay, {}, &Pending::serial);

    ReadResult found;
    if (folder.isEmpty())
        found.missing = true;
    else
        found = readKeyFile(folder, stem);
    if (!found.record && !found.missing)
        note(ignoredNote(pathOf(folder, stem), found.reason));
    LearnedRecord record = found.record.value_or(LearnedRecord {});
    record.key = *key;
    for (const Pending& pending : onTheWay)
        addLearnedPhoto(record, pending.photo);
    int photos = 0;
    if (!mergeLearned(record, profile, profile, m_rule, &photos))
        return false;
    const std::lock_guard lock(m_mutex);
    m_lastFound = { photos, key->camera(), key->isoSpeed };
    return true;
}

LearnedSource LearnedProfileFolder::lastFound() const
{
    const std::lock_guard lock(m_mutex);
    return m_lastFound;
}

void LearnedProfileFolder::aimDeletion(const QString& folder)
{
    const std::lock_guard lock(m_mutex);
    if (std::ranges::find(m_deletionFolders, folder) == m_deletionFolders.end())
        m_deletionFolders.push_back(folder);
}

bool LearnedProfileFolder::deleteAll()
{
    std::vector<QString> folders;
    {
        const std::lock_guard lock(m_mutex);
        folders = m_deletionFolders.empty() ? std::vector<QString> { m_folder }
                                            : std::exchange(m_deletionFolders, {});
        ++m_epoch;
        // Photos on their way to another folder are not the ones asked
        // for: a batch of theirs cut short by the epoch is taken again.
        const auto bound = [&folders](const Pending& photo) {
            return std::ranges::find(folders, photo.folder) != folders.end();
        };
        std::erase_if(m_pending, bound);
        std::erase_if(m_unsaved, bound);
        m_lastFound = {};
    }
    m_changed.notify_all();
    bool removed = true;
    for (const QString& folder : folders) {
        const QDir dir(folder);
        if (folder.isEmpty() || !dir.exists())
            continue;
        // A write in progress ends first; one that has not begun finds the
        // raised epoch and writes nothing.
        const FolderLock lock(folder);
        for (const QString& name :
            dir.entryList(
                { QLatin1Char('*') + kExtension, QLatin1Char('*') + kExtension + kTemporarySuffix },
                QDir::Files | QDir::Hidden | QDir::System)) {
            if (!QFile::remove(dir.filePath(name)))
                removed = false;
        }
    }
    return removed;
}

void LearnedProfileFolder::flush()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_pending.empty() && !m_writing; });
}

void LearnedProfileFolder::writerLoop()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_quit || (!m_pending.empty() && !m_writing); });
        if (m_pending.empty())
            return;
        // One folder at a time; photos learned after a change of folder wait
        // for the next round.
        const QString folder = m_pending.front().folder;
        std::vector<Pending> batch;
        for (const Pending& pending : m_pending)
            if (pending.folder == folder)
                batch.push_back(pending);
        const uint64_t epoch = m_epoch;
        m_writing = true;
        lock.unlock();
        const std::vector<uint64_t> written = writeBatch(batch, epoch);
        lock.lock();
        m_writing = false;
        if (m_epoch == epoch) {
            // Serials rise with the list, so both lists are sorted.
            std::vector<uint64_t> taken;
            for (const Pending& pending : batch) {
                taken.push_back(pending.serial);
                if (!std::binary_search(written.begin(), written.end(), pending.serial))
                    keepUnsaved(pending);
            }
            std::erase_if(m_pending, [&](const Pending& kept) {
                return std::binary_search(taken.begin(), taken.end(), kept.serial);
            });
        }
        m_changed.notify_all();
    }
}

void LearnedProfileFolder::requeueUnsaved(const std::function<bool(const Pending&)>& which)
{
    std::vector<Pending> staying;
    for (Pending& unsaved : m_unsaved)
        (which(unsaved) ? m_pending : staying).push_back(std::move(unsaved));
    const bool requeued = staying.size() != m_unsaved.size();
    m_unsaved = std::move(staying);
    // Back in the order they were learned: the writer finds a batch's serials
    // in the list by bisection, and a photo learned after these while a write
    // failed would otherwise stand before them, so that what was taken was
    // never removed and the writer went round forever.
    if (requeued)
        std::ranges::sort(m_pending, {}, &Pending::serial);
}

void LearnedProfileFolder::keepUnsaved(const Pending& photo)
{
    // Only a key's newest photos, each once, can reach its file or a look-up
    // (addLearnedPhoto), so older ones need not wait. While a folder stays
    // unwritable the list would otherwise grow by a photo per image, and
    // every learn() of the key would move all of it. A batch that failed
    // while later photos of the key were being written comes back after
    // theirs, so the list's order is not the order photos were learned in:
    // the serial says which is newer.
    std::vector<Pending>::iterator oldest = m_unsaved.end();
    int ofKey = 1;
    for (auto it = m_unsaved.begin(); it != m_unsaved.end(); ++it) {
        if (it->stem != photo.stem || it->folder != photo.folder)
            continue;
        if (it->photo.id == photo.photo.id) {
            if (it->serial < photo.serial)
                *it = photo;
            return;
        }
        ++ofKey;
        if (oldest == m_unsaved.end() || it->serial < oldest->serial)
            oldest = it;
    }
    if (ofKey > kMaxLearnedPhotos && oldest->serial < photo.serial)
        *oldest = photo;
    else if (ofKey <= kMaxLearnedPhotos)
        m_unsaved.push_back(photo);
}

std::vector<uint64_t> LearnedProfileFolder::writeBatch(
    const std::vector<Pending>& batch, uint64_t epoch)
{
    const QString folder = batch.front().folder;
    QString reason;
    if (folder.isEmpty()) {
        note(QStringLiteral("No profile folder is set; %1.").arg(kGoesOn));
        return {};
    }
    if (!makeFolder(folder, &reason)) {
        note(QStringLiteral("Cannot create the profile folder \"%1\": %2; %3.")
                 .arg(shown(folder), reason, kGoesOn));
        return {};
    }
    const FolderLock lock(folder);
    if (!lock.locked()) {
        note(QStringLiteral("Cannot keep learned profiles in \"%1\": %2; %3.")
                 .arg(shown(folder), lock.error(), kGoesOn));
        return {};
    }
    {
        const std::lock_guard guard(m_mutex);
        if (m_epoch != epoch)
            return {};
    }
    // Each key's photos, in the order they were learned.
    std::map<QString, std::vector<const Pending*>> byStem;
    for (const Pending& pending : batch)
        byStem[pending.stem].push_back(&pending);
    std::vector<uint64_t> written;
    for (const auto& [stem, photos] : byStem) {
        const LearnedKey& key = photos.front()->key;
        QString movedAside;
        std::optional<LearnedRecord> record
            = recordToExtend(folder, stem, key, &reason, &movedAside);
        if (!movedAside.isEmpty())
            note(movedAside);
        if (!record) {
            note(QStringLiteral("Cannot keep learned profiles: %1; what is learned for %2 is not "
                                "kept.")
                     .arg(reason, key.text()));
            continue;
        }
        for (const Pending* pending : photos)
            addLearnedPhoto(*record, pending->photo);
        if (!replaceFile(pathOf(folder, stem), encodeLearnedRecord(*record), &reason)) {
            note(QStringLiteral("Cannot keep learned profiles in \"%1\": %2; %3.")
                     .arg(shown(folder), reason, kGoesOn));
            continue;
        }
        for (const Pending* pending : photos)
            written.push_back(pending->serial);
    }
    std::sort(written.begin(), written.end());
    return written;
}

std::vector<LearnedProfileEntry> LearnedProfileFolder::list(QStringList* notes) const
{
    std::vector<LearnedProfileEntry> entries;
    const QDir dir(folder());
    for (const QString& name :
        dir.entryList({ QLatin1Char('*') + kExtension }, QDir::Files | QDir::Hidden, QDir::Name)) {
        const QString stem = name.chopped(kExtension.size());
        const ReadResult found = readKeyFile(dir.path(), stem);
        if (!found.record) {
            if (notes != nullptr)
                notes->append(ignoredNote(dir.filePath(name), found.reason));
            continue;
        }
        LearnedProfileEntry entry { stem, found.record->key,
            static_cast<int>(found.record->photos.size()), 0 };
        for (const LearnedPhoto& photo : found.record->photos)
            entry.newestMs = std::max(entry.newestMs, photo.learnedAtMs);
        entries.push_back(entry);
    }
    return entries;
}

std::optional<LearnedRecord> LearnedProfileFolder::read(
    const QString& stem, QString* reason, bool* missing) const
{
    const QString path = pathOf(folder(), stem);
    ReadResult found = readKeyFile(folder(), stem);
    if (missing != nullptr)
        *missing = found.missing;
    if (found.missing)
        *reason = QStringLiteral("there is no learned profile \"%1\" in \"%2\"")
                      .arg(stem, shown(folder()));
    else if (!found.record)
        *reason = QStringLiteral("\"%1\" cannot be used: %2").arg(shown(path), found.reason);
    return found.record;
}

bool LearnedProfileFolder::importRecord(const LearnedRecord& record, QString* reason)
{
    const QString folder = this->folder();
    QString why;
    if (!makeFolder(folder, &why)) {
        *reason
            = QStringLiteral("cannot create the profile folder \"%1\": %2").arg(shown(folder), why);
        return false;
    }
    const FolderLock lock(folder);
    if (!lock.locked()) {
        *reason = QStringLiteral("cannot lock \"%1\": %2").arg(shown(folder), lock.error());
        return false;
    }
    const QString stem = record.key.stem();
    std::optional<LearnedRecord> kept = recordToExtend(folder, stem, record.key, reason);
    if (!kept)
        return false;
    for (const LearnedPhoto& photo : record.photos)
        addLearnedPhoto(*kept, photo);
    if (!replaceFile(pathOf(folder, stem), encodeLearnedRecord(*kept), &why)) {
        *reason = QStringLiteral("cannot write \"%1\": %2").arg(shown(pathOf(folder, stem)), why);
        return false;
    }
    return true;
}

bool LearnedProfileFolder::remove(const QString& stem, QString* reason)
{
    const QString folder = this->folder();
    const QString path = pathOf(folder, stem);
    if (!QFileInfo::exists(path)) {
        *reason = QStringLiteral("there is no learned profile \"%1\" in \"%2\"")
                      .arg(stem, shown(folder));
        return false;
    }
    const FolderLock lock(folder);
    QFile file(path);
    if (!file.remove()) {
        *reason = QStringLiteral("cannot delete \"%1\": %2").arg(shown(path), file.errorString());
        return false;
    }
    return true;
}

} // namespace calmora
