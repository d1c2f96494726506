// The learned-profile store of this system: one file per camera and ISO
// speed in the profile folder (settings/learned_profile_file.h), shared by
// every process of the user that learns.
//
// learn() only notes the photo in memory; a writer thread of the store's own
// puts it into the folder, so that the worker never waits for the disk. Each
// write takes the folder's lock file, reads the key's file again, adds what
// this process learned and renames a synced, re-read copy into place: two
// programs learning at once lose no photo, and a failed write leaves the old
// file as it was. lookUp() reads the key's file each time (another process
// may have added to it) and adds what is still on its way to the disk.
#pragma once

#include "settings/learned_profile_file.h"
#include "settings/learned_profile_store.h"

#include <QString>
#include <QStringList>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace calmora {

// A key's file as a listing shows it.
struct LearnedProfileEntry {
    QString stem; // the file name without extension: what the command line calls the key
    LearnedKey key;
    int photos = 0;
    int64_t newestMs = 0; // when its newest photo was learned
};

class LearnedProfileFolder final : public LearnedProfileStore {
public:
    static const QString kExtension; // ".calmora-profile"
    static const QString kLockName; // "learned.lock"

    explicit LearnedProfileFolder(const QString& folder, const MergeRule& rule = {});
    // Writes what is still on its way, then ends the writer.
    ~LearnedProfileFolder() override;
    LearnedProfileFolder(const LearnedProfileFolder&) = delete;
    LearnedProfileFolder& operator=(const LearnedProfileFolder&) = delete;

    // Off: learn() keeps nothing, look-ups still answer; for runs that must
    // leave the folder as it is. Any thread.
    void setLearning(bool on);
    bool keepsWhatItLearns() const override;
    // Photos learned from now on go to `folder`, and look-ups read it.
    void useFolder(const QString& folder) override;
    QString folder() const;
    const MergeRule& rule() const { return m_rule; }
    // Receives each note (a folder that cannot be written, a file that is
    // ignored) once, on whichever thread finds it. Without a handler notes
    // wait in takeNotes().
    void setNoteHandler(std::function<void(const QString&)> handler);
    QStringList takeNotes();

    void learn(
        const QString& fileName, const ExifRecord& exif, const NoiseProfile& profile) override;
    bool lookUp(const ExifRecord& exif, NoiseProfile& profile) override;
    bool deleteAll() override;
    LearnedSource lastFound() const override;

    // Returns once everything learned so far is in the folder, or has failed
    // to get there.
    void flush();

    // For the command line, on the folder as it stands. Files that cannot be
    // used are left out, each with a line in `notes`.
    std::vector<LearnedProfileEntry> list(QStringList* notes = nullptr) const;
    // `missing` tells a key without a file from one whose file cannot be used.
    std::optional<LearnedRecord> read(
        const QString& stem, QString* reason, bool* missing = nullptr) const;
    // Adds the photos of `record` to its key's file, as learning would.
    bool importRecord(const LearnedRecord& record, QString* reason);
    bool remove(const QString& stem, QString* reason);

protected:
    void aimDeletion(const QString& folder) override;

private:
    struct Pending {
        QString folder;
        QString stem;
        LearnedKey key;
        LearnedPhoto photo;
        uint64_t serial = 0;
    };

    void writerLoop();
    // Under m_mutex: photos whose write failed, those `which` names, go back
    // into the queue.
    void requeueUnsaved(const std::function<bool(const Pending&)>& which);
    // Under m_mutex: `photo`, whose write failed, waits for its key's next one.
    void keepUnsaved(const Pending& photo);
    // Under the folder's lock: each key's file read, added to and replaced.
    // Returns the serials that reached the disk.
    std::vector<uint64_t> writeBatch(const std::vector<Pending>& batch, uint64_t epoch);
    void note(const QString& text);

    const MergeRule m_rule;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    QString m_folder;
    bool m_learning = true;
    std::vector<Pending> m_pending; // learned, not yet written; oldest first
    std::vector<Pending> m_unsaved; // whose write failed; kept for look-ups
    uint64_t m_nextSerial = 1;
    // Raised by deleteAll(): a batch taken before it must not be written.
    uint64_t m_epoch = 0;
    // The folders the next deleteAll() empties, when not m_folder: each
    // press of the window's button while a run goes may name another.
    std::vector<QString> m_deletionFolders;
    bool m_writing = false;
    bool m_quit = false;
    LearnedSource m_lastFound;
    std::set<QString> m_said;
    QStringList m_notes;
    std::function<void(const QString&)> m_noteHandler;
    std::mutex m_noteMutex; // held while the handler runs, so it can be replaced safely
    std::thread m_writer;
};

} // namespace calmora
