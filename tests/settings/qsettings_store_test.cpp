#include "settings/options.h"
#include "settings/presets.h"
#include "settings/qsettings_store.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

namespace calmora {
namespace {

namespace test {
QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace test

class QSettingsStoreTest : public testing::Test {
protected:
    QString iniPath() const { return m_dir.filePath("calmora.ini"); }

    void writeIni(const QByteArray& text)
    {
        QFile file(iniPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    QTemporaryDir m_dir;
};

TEST_F(QSettingsStoreTest, OptionsRoundTripThroughAFile)
{
    ASSERT_TRUE(m_dir.isValid());
    Options saved;
    saved.settings.defaultPreset = 20;
    saved.settings.defaultSuffix = QStringLiteral("_nr, v2");
    saved.settings2.tiffDepth = 1;
    saved.settings3.recentCount = 2;
    saved.profileFolder = QStringLiteral("/tmp/with space, comma/Profiles");
    saved.recentFolders = QStringList { "/one", "/two, too" };
    {
        QSettingsStore store(iniPath());
        ASSERT_TRUE(saveOptions(store, saved));
        ASSERT_TRUE(saveRecentFolders(store, saved));
    }
    QSettingsStore store(iniPath());
    Options loaded;
    EXPECT_TRUE(loadOptions(store, loaded).isEmpty());
    EXPECT_EQ(loaded.settings, saved.settings);
    EXPECT_EQ(loaded.settings2, saved.settings2);
    EXPECT_EQ(loaded.settings3, saved.settings3);
    EXPECT_EQ(loaded.profileFolder, saved.profileFolder);
    EXPECT_EQ(loaded.recentFolders, saved.recentFolders);
}

TEST_F(QSettingsStoreTest, EveryFlushReachesTheFile)
{
    ASSERT_TRUE(m_dir.isValid());
    QSettingsStore writer(iniPath());
    Options options;
    options.settings.jpegQuality = 55;
    ASSERT_TRUE(saveOptions(writer, options));
    // Read by a second store while the first is still alive.
    QSettingsStore reader(iniPath());
    Options loaded;
    loadOptions(reader, loaded);
    EXPECT_EQ(loaded.settings.jpegQuality, 55);
}

TEST_F(QSettingsStoreTest, TextWhereBytesBelongIsDamage)
{
    ASSERT_TRUE(m_dir.isValid());
    writeIni("[Options]\n"
             "Settings=not a group\n"
             "Settings3=@ByteArray(short)\n"
             "Profile=/kept/Profiles\n");
    QSettingsStore store(iniPath());
    Options loaded;
    loaded.settings.jpegQuality = 12;
    const QStringList notes = loadOptions(store, loaded);
    EXPECT_EQ(notes.size(), 2) << notes.join('\n').toStdString();
    EXPECT_EQ(loaded.settings, SettingsGroup {});
    EXPECT_EQ(loaded.settings3, Settings3Group {});
    EXPECT_EQ(loaded.profileFolder, "/kept/Profiles");
}

TEST_F(QSettingsStoreTest, UserPresetsFromTheFilterSettingsSection)
{
    ASSERT_TRUE(m_dir.isValid());
    FilterSettings mine;
    mine.sharpening = 1;
    {
        QSettingsStore store(iniPath());
        store.writeBinary(kFilterSettingsSection, "My preset", encodeFilterSettings(mine));
        store.writeText(kFilterSettingsSection, "Not a preset", "text");
        ASSERT_TRUE(store.flush());
    }
    QSettingsStore store(iniPath());
    EXPECT_EQ(
        store.valueNames(kFilterSettingsSection), QStringList({ "My preset", "Not a preset" }));
    PresetTable table;
    ASSERT_TRUE(table.initialise(store));
    ASSERT_EQ(table.count(), 16);
    EXPECT_EQ(table.at(15).name, "My preset");
    EXPECT_EQ(table.at(15).values, mine);

    store.remove(kFilterSettingsSection, "My preset");
    ASSERT_TRUE(store.flush());
    EXPECT_EQ(store.valueNames(kFilterSettingsSection), QStringList({ "Not a preset" }));
}

TEST_F(QSettingsStoreTest, UnwritableFileIsReportedWithItsName)
{
    ASSERT_TRUE(m_dir.isValid());
    // A folder where the file should be cannot be written as a file.
    ASSERT_TRUE(QDir(m_dir.path()).mkdir("calmora.ini"));
    QSettingsStore store(iniPath());
    EXPECT_FALSE(saveOptions(store, Options {}));
    EXPECT_TRUE(store.errorString().contains(QDir::toNativeSeparators(iniPath())))
        << store.errorString().toStdString();
}

TEST(QSettingsStoreLocationTest, ApplicationSettingsAreFiledUnderTheMakerAndProduct)
{
    // Keeps even this read-only look away from the user's real settings.
    QStandardPaths::setTestModeEnabled(true);
    const QSettingsStore store;
    EXPECT_TRUE(store.location().contains(".qttest")) << store.location().toStdString();
    EXPECT_TRUE(store.location().contains("Brantovia")) << store.location().toStdString();
    EXPECT_TRUE(store.location().contains("Calmora Community Edition"))
        << store.location().toStdString();
}

// A full disk, made with a small tmpfs (which needs root): the flush fails
// with the reason, the file keeps every old value, and the values are saved
// once there is room again.
TEST(QSettingsStoreFullDiskTest, KeepsTheOldFileAndSavesLater)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a full filesystem is made with a tmpfs mount, which needs root";
    QTemporaryDir dir;
    const QByteArray where = QFile::encodeName(dir.path());
    if (::mount("tmpfs", where.constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "could not mount a tmpfs";
    struct Unmount {
        const QByteArray& path;
        ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
    } unmount { where };

    const QString path = dir.filePath(QStringLiteral("calmora.ini"));
    QSettingsStore store(path);
    store.writeText(kOptionsSection, QStringLiteral("Profile"), QStringLiteral("/old"));
    ASSERT_TRUE(store.flush()) << store.errorString().toStdString();
    const QByteArray before = test::readFile(path);
    ASSERT_FALSE(before.isEmpty());

    // Fill every block but one page, less than the new value needs.
    const QString filler = dir.filePath(QStringLiteral("filler"));
    {
        QFile fill(filler);
        ASSERT_TRUE(fill.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(4096, 'x');
        while (fill.write(block) == block.size()) { }
        fill.resize(fill.size() - 4096);
    }
    store.writeBinary(kOptionsSection, QStringLiteral("Settings"), QByteArray(9000, '\x01'));
    EXPECT_FALSE(store.flush());
    EXPECT_TRUE(store.errorString().contains(QLatin1String("No space left on device")))
        << store.errorString().toStdString();
    EXPECT_EQ(test::readFile(path), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2)
        << "no staging file may be left behind";
    EXPECT_EQ(
        store.readBinary(kOptionsSection, QStringLiteral("Settings")), QByteArray(9000, '\x01'));

    ASSERT_TRUE(QFile::remove(filler));
    ASSERT_TRUE(store.flush()) << store.errorString().toStdString();
    QSettingsStore reread(path);
    EXPECT_EQ(reread.readText(kOptionsSection, QStringLiteral("Profile")), QStringLiteral("/old"));
    EXPECT_EQ(
        reread.readBinary(kOptionsSection, QStringLiteral("Settings")), QByteArray(9000, '\x01'));
}

} // namespace
} // namespace calmora
