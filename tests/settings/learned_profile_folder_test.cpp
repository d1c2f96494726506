// The learned-profile folder: what reaches the disk, what two stores (two
// processes) learning at once keep, and what a folder that cannot be used
// costs. Run under ThreadSanitizer too: each store has a writer thread.

#include "settings/learned_profile_folder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <thread>

namespace calmora {
namespace {

ExifRecord camera(const char* model, int32_t iso)
{
    ExifRecord exif;
    exif.make = "Acme";
    exif.model = model;
    exif.isoSpeed = iso;
    exif.pictureWidth = 800;
    exif.pictureHeight = 600;
    return exif;
}

NoiseProfile profileOf(int16_t value)
{
    NoiseProfile profile;
    profile.bandCount = kBandCount;
    for (int b = 0; b < kBandCount; ++b) {
        NoiseBand& band = profile.bands[b];
        band.pointCount = kPointCount;
        band.bandIndex = b;
        for (int p = 0; p < kPointCount; ++p)
            for (int c = 0; c < kChannels; ++c) {
                band.noise[p][c] = value;
                band.weight[p][c] = 100;
            }
    }
    return profile;
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

class LearnedProfileFolderTest : public ::testing::Test {
protected:
    QString folder() const { return dir.filePath(QStringLiteral("Profiles")); }
    QString keyFile(const ExifRecord& exif) const
    {
        return QDir(folder()).filePath(
            learnedKeyOf(exif)->stem() + LearnedProfileFolder::kExtension);
    }
    // `count` photos of `exif`, each measuring `value`, from store `store`.
    static void learnPhotos(LearnedProfileFolder& store, const ExifRecord& exif, int count,
        int16_t value, const char* prefix = "p")
    {
        for (int i = 0; i < count; ++i)
            store.learn(QStringLiteral("%1%2.jpg").arg(QLatin1String(prefix)).arg(i), exif,
                profileOf(value));
    }

    QTemporaryDir dir;
};

TEST_F(LearnedProfileFolderTest, LearnedPhotosServeThisAndOtherProcesses)
{
    const ExifRecord exif = camera("Z1", 3200);
    LearnedProfileFolder store(folder());
    NoiseProfile profile = profileOf(90);
    learnPhotos(store, exif, 2, 30);
    EXPECT_FALSE(store.lookUp(exif, profile)) << "two photos are too few";
    // Another camera in the same run keeps its own profile.
    learnPhotos(store, camera("Z2", 3200), 3, 60, "z");
    learnPhotos(store, exif, 1, 20, "q");
    // Found at once, whether or not the writer has reached the disk.
    ASSERT_TRUE(store.lookUp(exif, profile));
    EXPECT_EQ(profile.bands[0].noise[5][kY], 20);
    EXPECT_EQ(
        store.lastFound().caption(), QStringLiteral("Learned from 3 photos (Acme Z1, ISO 3200)"));
    NoiseProfile second = profileOf(90);
    ASSERT_TRUE(store.lookUp(camera("Z2", 3200), second));
    EXPECT_EQ(second.bands[0].noise[5][kY], 60);

    store.flush();
    LearnedProfileFolder other(folder());
    NoiseProfile seen = profileOf(90);
    ASSERT_TRUE(other.lookUp(exif, seen));
    EXPECT_EQ(seen.bands[3].noise[0][kCb], 20);
    ASSERT_EQ(other.list().size(), 2u);
    EXPECT_EQ(other.list().front().photos, 3);

    // Images that take no part leave nothing behind.
    ExifRecord unnamed = camera("", 800);
    unnamed.make.clear();
    for (const ExifRecord& none : { camera("Z1", 0), unnamed })
        learnPhotos(store, none, 3, 10, "n");
    ExifRecord own = camera("Z1", 800);
    own.software = "Brantovia Calmora";
    learnPhotos(store, own, 3, 10, "o");
    store.flush();
    EXPECT_EQ(other.list().size(), 2u);
    EXPECT_TRUE(store.takeNotes().isEmpty());
}

// Two stores on one folder are two programs learning at once: each write
// takes the lock, reads the file again and adds its own photos.
TEST_F(LearnedProfileFolderTest, TwoLearnersAtOnceLoseNoPhoto)
{
    const ExifRecord exif = camera("Z1", 800);
    {
        LearnedProfileFolder first(folder());
        LearnedProfileFolder second(folder());
        std::thread a([&] { learnPhotos(first, exif, 7, 30, "a"); });
        std::thread b([&] { learnPhotos(second, exif, 7, 40, "b"); });
        a.join();
        b.join();
    }
    const std::optional<LearnedRecord> record = decodeLearnedRecord(contents(keyFile(exif)));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->photos.size(), 14u);
}

TEST_F(LearnedProfileFolderTest, DeletingForgetsWhatIsOnDiskAndOnTheWay)
{
    const ExifRecord exif = camera("Z1", 800);
    LearnedProfileFolder store(folder());
    learnPhotos(store, exif, 5, 30);
    store.flush();
    learnPhotos(store, camera("Z2", 800), 4, 30);
    // Deleted while the writer may be writing: nothing learned before comes
    // back afterwards.
    ASSERT_TRUE(deleteLearnedProfiles(store, false));
    store.flush();
    NoiseProfile profile = profileOf(90);
    EXPECT_FALSE(store.lookUp(exif, profile));
    EXPECT_TRUE(store.list().empty());
    EXPECT_TRUE(QDir(folder()).entryList({ "*.calmora-profile*" }, QDir::Files).isEmpty());
    learnPhotos(store, exif, 3, 25, "after");
    store.flush();
    EXPECT_EQ(store.list().size(), 1u) << "learning goes on after a deletion";

    // The window asks while a run goes that keeps the folder it started
    // with, and the options name another by now (and another by the second
    // press): those are emptied, and the run's keeps its profiles and what
    // is on its way there.
    const QStringList named
        = { dir.filePath(QStringLiteral("Named")), dir.filePath(QStringLiteral("Next")) };
    for (const QString& other : named) {
        LearnedProfileFolder another(other);
        learnPhotos(another, exif, 3, 25, "n");
    }
    for (const QString& other : named)
        ASSERT_TRUE(deleteLearnedProfiles(store, true, other));
    learnPhotos(store, camera("Z3", 800), 2, 30, "run");
    store.useFolder(folder());
    ASSERT_TRUE(store.settleDeleteRequest());
    store.flush();
    for (const QString& other : named)
        EXPECT_TRUE(QDir(other).entryList({ "*.calmora-profile*" }, QDir::Files).isEmpty())
            << other.toStdString();
    EXPECT_EQ(store.list().size(), 2u);
}

TEST_F(LearnedProfileFolderTest, FilesThatCannotBeTrustedAreIgnoredAndKept)
{
    const ExifRecord exif = camera("Z1", 1600);
    LearnedRecord good;
    good.key = *learnedKeyOf(exif);
    QByteArray newer = encodeLearnedRecord(good);
    newer[8] = 9;
    QByteArray otherKey;
    {
        LearnedRecord other;
        other.key = *learnedKeyOf(camera("Z9", 1600));
        otherKey = encodeLearnedRecord(other);
    }
    struct Row {
        const char* name;
        QByteArray bytes;
        bool replaced; // by the next write, the old bytes kept beside it
    };
    const Row rows[] = {
        { "damaged", encodeLearnedRecord(good).chopped(3), true },
        { "another program's", QByteArray("not a profile at all"), false },
        { "a newer version's", newer, false },
        { "another camera's, renamed", otherKey, false },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(QDir().mkpath(folder()));
        const QString path = keyFile(exif);
        QFile::remove(path + ".damaged");
        {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(row.bytes);
        }
        LearnedProfileFolder store(folder());
        learnPhotos(store, exif, 3, 30);
        NoiseProfile profile = profileOf(90);
        // What this run learned still serves it.
        EXPECT_TRUE(store.lookUp(exif, profile));
        store.flush();
        const QStringList notes = store.takeNotes();
        EXPECT_FALSE(notes.isEmpty());
        if (row.replaced) {
            EXPECT_EQ(contents(path + ".damaged"), row.bytes);
            ASSERT_TRUE(decodeLearnedRecord(contents(path)));
            EXPECT_EQ(decodeLearnedRecord(contents(path))->photos.size(), 3u);
        } else {
            EXPECT_EQ(contents(path), row.bytes) << "never overwritten";
        }
    }
}

TEST_F(LearnedProfileFolderTest, AFolderThatCannotBeWrittenIsToldOnce)
{
    const ExifRecord exif = camera("Z1", 800);
    QFile blocker(dir.filePath(QStringLiteral("file")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    // Below a plain file no folder can be made, whoever runs the test.
    LearnedProfileFolder store(dir.filePath(QStringLiteral("file/Profiles")));
    NoiseProfile profile = profileOf(90);
    EXPECT_FALSE(store.lookUp(exif, profile));
    learnPhotos(store, exif, 3, 30);
    store.flush();
    learnPhotos(store, exif, 2, 30, "q");
    store.flush();
    EXPECT_EQ(store.takeNotes().size(), 1);
    EXPECT_TRUE(store.lookUp(exif, profile)) << "learning goes on in memory";
    EXPECT_EQ(store.lastFound().photos, 5);

    // Many more photos wait as only the newest a file keeps, and reach the
    // disk once the folder can be made.
    learnPhotos(store, exif, 20, 30, "r");
    store.flush();
    ASSERT_TRUE(blocker.remove());
    store.learn(QStringLiteral("last.jpg"), exif, profileOf(30));
    store.flush();
    const auto idsIn = [&](const char* under) {
        const std::optional<LearnedRecord> record = decodeLearnedRecord(contents(
            dir.filePath(QLatin1String(under) + QStringLiteral("/Profiles/")
                + learnedKeyOf(exif)->stem() + LearnedProfileFolder::kExtension)));
        std::vector<uint64_t> ids;
        for (const LearnedPhoto& photo : record.value_or(LearnedRecord {}).photos)
            ids.push_back(photo.id);
        return ids;
    };
    std::vector<uint64_t> newest;
    for (int i = 20 - kMaxLearnedPhotos + 1; i < 20; ++i)
        newest.push_back(photoIdOf(QStringLiteral("r%1.jpg").arg(i), exif));
    newest.push_back(photoIdOf(QStringLiteral("last.jpg"), exif));
    EXPECT_EQ(idsIn("file"), newest);

    // With no photo of the key to follow, they are tried once more at the end.
    QFile other(dir.filePath(QStringLiteral("other")));
    ASSERT_TRUE(other.open(QIODevice::WriteOnly));
    other.close();
    {
        LearnedProfileFolder later(dir.filePath(QStringLiteral("other/Profiles")));
        learnPhotos(later, exif, 2, 30);
        later.flush();
        ASSERT_TRUE(other.remove());
    }
    EXPECT_EQ(idsIn("other").size(), 2u);
}

// A full disk, made with the file-size limit: the write fails, the old file
// stays as it was.
TEST_F(LearnedProfileFolderTest, AFailedWriteLeavesTheOldFile)
{
    const ExifRecord exif = camera("Z1", 800);
    {
        LearnedProfileFolder store(folder());
        learnPhotos(store, exif, 3, 30);
    }
    const QByteArray before = contents(keyFile(exif));
    ASSERT_TRUE(decodeLearnedRecord(before));

    rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = static_cast<rlim_t>(before.size() + 100);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    QStringList notes;
    {
        LearnedProfileFolder store(folder());
        learnPhotos(store, exif, 2, 20, "more");
        store.flush();
        notes = store.takeNotes();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(contents(keyFile(exif)), before);
    ASSERT_EQ(notes.size(), 1);
    EXPECT_TRUE(notes.front().contains(QLatin1String("unchanged"))) << notes.front().toStdString();
    EXPECT_FALSE(QFile::exists(keyFile(exif) + ".tmp"));
}

TEST_F(LearnedProfileFolderTest, ManyKeysAreListedInOrder)
{
    LearnedProfileFolder store(folder());
    constexpr int kKeys = 40;
    for (int i = 0; i < kKeys; ++i)
        store.learn(QStringLiteral("a.jpg"), camera("Z1", 100 + i), profileOf(30));
    store.flush();
    const std::vector<LearnedProfileEntry> entries = store.list();
    ASSERT_EQ(entries.size(), size_t(kKeys));
    for (size_t i = 1; i < entries.size(); ++i)
        EXPECT_LT(entries[i - 1].stem, entries[i].stem);
}

} // namespace
} // namespace calmora
