#include <random>

#include <QDir>
#include <QImageWriter>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "cli/profile_json.h"
#include "document/processing_worker.h"
#include "isolated_run.h"
#include "noisy_picture.h"
#include "settings/learned_profile_folder.h"
#include "settings/presets.h"
#include "test_files.h"

namespace calmora {
namespace {

using test::listing;
using test::readBytes;

const QByteArray kJpegMagic("\xff\xd8\xff", 3);
const QByteArray kPngMagic("\x89PNG", 4);

using Result = test::ProgramRun;

// Runs the built program in a work folder, with a home, configuration and
// data folder of its own, so that no test touches the user's settings.
class CliRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* folder : { "config", "data", "work" })
            ASSERT_TRUE(QDir(home.path()).mkpath(QLatin1String(folder)));
        work = home.filePath("work");
        jpeg = file("photo.jpg");
        png = file("photo.png");
        ASSERT_TRUE(QImageWriter(jpeg, "jpeg").write(noisyPicture(320, 240)));
        ASSERT_TRUE(QImageWriter(png, "png").write(noisyPicture(320, 240)));
    }

    QString file(const QString& name) const { return work + QLatin1Char('/') + name; }

    // Copies of the JPEG as photos of one camera at ISO 1600, named
    // `prefix`0.jpg, `prefix`1.jpg, ...
    QStringList cameraPhotos(const char* prefix, int count) const
    {
        QStringList photos;
        for (int i = 0; i < count; ++i) {
            const QString path = file(QStringLiteral("%1%2.jpg").arg(QLatin1String(prefix)).arg(i));
            QFile::copy(jpeg, path);
            test::editMetadata(path, [](Exiv2::Image& image) {
                Exiv2::ExifData exif;
                exif["Exif.Image.Make"] = std::string("Acme");
                exif["Exif.Image.Model"] = std::string("Z1");
                exif["Exif.Photo.ISOSpeedRatings"] = std::string("1600");
                image.setExifData(exif);
            });
            photos << path;
        }
        return photos;
    }

    Result run(const QStringList& arguments)
    {
        return test::runIsolated(QStringLiteral(CALMORA_CLI_PATH), arguments, home.path(), work);
    }

    QTemporaryDir home;
    QString work;
    QString jpeg;
    QString png;
};

TEST_F(CliRun, WhereAndHowTheResultIsWritten)
{
    struct Row {
        const char* name;
        QStringList options;
        const char* input;
        const char* written; // below the home folder
        const QByteArray& magic;
    };
    const Row rows[] = {
        { "beside the source", {}, "photo.jpg", "work/photo_filtered.jpg", kJpegMagic },
        { "--format png", { "--format", "png" }, "photo.jpg", "work/photo_filtered.png",
            kPngMagic },
        { "--format auto keeps PNG", { "--format=auto" }, "photo.png", "work/photo_filtered.png",
            kPngMagic },
        { "-o names the file", { "-o", "clean.png" }, "photo.jpg", "work/clean.png", kPngMagic },
        { "--dest-dir is created", { "--dest-dir", "new/" }, "photo.png",
            "work/new/photo_filtered.jpg", kJpegMagic },
        { "--dest-subdir", { "--dest-subdir", "sub", "--suffix", "_x" }, "photo.png",
            "work/sub/photo_x.jpg", kJpegMagic },
        { "--preset by name, any case", { "--preset", "night scene", "-o", "n.jpg" }, "photo.png",
            "work/n.jpg", kJpegMagic },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Result result
            = run(QStringList { "denoise" } + row.options + QStringList { file(row.input) });
        ASSERT_EQ(result.exitCode, 0) << result.text();
        const QString written = home.filePath(QLatin1String(row.written));
        EXPECT_TRUE(result.out.endsWith(QFileInfo(written).fileName() + '\n')) << result.text();
        EXPECT_TRUE(readBytes(written).startsWith(row.magic));
    }
}

// The compression level trades size for nothing but time: every level
// gives the same pixels.
TEST_F(CliRun, CompressionChangesTheSizeNotThePicture)
{
    for (const char* type : { "png", "tif" }) {
        SCOPED_TRACE(type);
        QImage reference;
        qint64 storedSize = 0;
        for (const char* level : { "0", "9" }) {
            const QString out = home.filePath(QStringLiteral("c%1.%2").arg(level, type));
            const Result result
                = run({ "denoise", "--compression", level, "-o", out, file("photo.jpg") });
            ASSERT_EQ(result.exitCode, 0) << result.text();
            const QImage picture(out);
            ASSERT_FALSE(picture.isNull());
            if (reference.isNull()) {
                reference = picture;
                storedSize = QFileInfo(out).size();
            } else {
                EXPECT_EQ(picture, reference);
                EXPECT_LT(QFileInfo(out).size(), storedSize * 9 / 10);
            }
        }
    }
}

TEST_F(CliRun, SettingsChangeTheResultAndAGivenProfileReproducesIt)
{
    const Result first = run({ "denoise", "-o", "first.png", "--profile-out", "used.json", png });
    ASSERT_EQ(first.exitCode, 0) << first.text();
    const Result again = run({ "denoise", "-o", "again.png", "--profile-in", "used.json", png });
    ASSERT_EQ(again.exitCode, 0) << again.text();
    EXPECT_EQ(readBytes(file("again.png")), readBytes(file("first.png")));

    const Result unsuppressed
        = run({ "denoise", "-o", "other.png", "--set", "lumaSuppression=0", png });
    ASSERT_EQ(unsuppressed.exitCode, 0) << unsuppressed.text();
    EXPECT_NE(QImage(file("other.png")), QImage(file("first.png")));
    EXPECT_NE(QImage(file("first.png")), QImage(png)) << "the default settings filter at all";
}

TEST_F(CliRun, ProfilePresetsAndInfoPrintWhatScriptsRead)
{
    const Result profile = run({ "profile", "--json", png });
    QString error;
    const std::optional<NoiseProfile> measured = profileFromJsonText(profile.out.toUtf8(), &error);
    ASSERT_TRUE(measured) << error.toStdString() << profile.text();
    EXPECT_EQ(measured->bandCount, 4);
    for (int b = 0; b < measured->bandCount; ++b)
        EXPECT_EQ(measured->bands[b].pointCount, 11) << "band " << b;

    const QJsonArray presets
        = QJsonDocument::fromJson(run({ "presets", "--json" }).out.toUtf8()).array();
    ASSERT_EQ(presets.size(), 15);
    EXPECT_EQ(presets[0].toObject().value("name").toString(), QStringLiteral("Default"));
    EXPECT_EQ(presets[14].toObject().value("values").toObject().size(), 16);

    test::editMetadata(jpeg, [](Exiv2::Image& image) {
        Exiv2::ExifData exif;
        exif["Exif.Image.Model"] = std::string("Acme Z1");
        exif["Exif.Photo.ISOSpeedRatings"] = std::string("1600");
        image.setExifData(exif);
    });
    const Result info = run({ "info", jpeg });
    ASSERT_EQ(info.exitCode, 0) << info.text();
    for (const char* shown : { "320 x 240", "Acme Z1", "1600", "Self-learning: eligible" })
        EXPECT_TRUE(info.out.contains(QLatin1String(shown))) << shown << '\n' << info.text();
    const Result pngInfo = run({ "info", png });
    EXPECT_TRUE(pngInfo.out.contains(QLatin1String("EXIF: none")));

    // What the file stores, and the depth the filter will work at.
    const QString deep = QDir(QFileInfo(png).path()).filePath(QStringLiteral("deep.png"));
    QImage sixteen(8, 8, QImage::Format_RGBA64);
    sixteen.fill(QColor::fromRgba64(1000, 40000, 65535, 30000));
    ASSERT_TRUE(sixteen.save(deep));
    const QString grey = QDir(QFileInfo(png).path()).filePath(QStringLiteral("grey.png"));
    ASSERT_TRUE(QImage(8, 8, QImage::Format_Grayscale8).save(grey));
    const QString greyAlpha = QDir(QFileInfo(png).path()).filePath(QStringLiteral("ga.tif"));
    test::TiffLayout layout;
    layout.samplesPerPixel = 2;
    layout.bits = 16;
    layout.photometric = 1; // grey, black at 0
    layout.extraSample = 2; // unassociated alpha
    ASSERT_TRUE(test::writeTiff(greyAlpha, layout,
        std::vector<uint16_t>(size_t(layout.width) * size_t(layout.height) * 2, 30000)));
    const std::pair<QString, QStringList> stored[] = {
        { png, { "Stored: 8 bits per channel, colour, 1 frame", "Depth: 32 bits per pixel" } },
        { deep,
            { "Stored: 16 bits per channel, colour with alpha, 1 frame",
                "Depth: 48 bits per pixel (the engine works at 16 bits per channel)" } },
        { grey,
            { "Stored: 8 bits per channel, grey, 1 frame",
                "Depth: 8 bits per pixel (the engine works at 8 bits per channel)" } },
        { greyAlpha,
            { "Stored: 16 bits per channel, grey with alpha, 1 frame",
                "Depth: 16 bits per pixel (the engine works at 16 bits per channel)" } },
    };
    for (const auto& [file, lines] : stored) {
        const Result shown = run({ "info", file });
        for (const QString& line : lines)
            EXPECT_TRUE(shown.out.contains(line)) << line.toStdString() << '\n' << shown.text();
    }
}

TEST_F(CliRun, UsageErrorsExitWithTwoAndWriteNothing)
{
    const std::pair<QStringList, const char*> rows[] = {
        { { "denoise", "--preset", "Moonlight", "photo.png" }, "Moonlight" },
        { { "denoise", "--set", "warmth=3", "photo.png" }, "warmth" },
        { { "denoise", "--settings", "1,2,3", "photo.png" }, "--settings" },
        { { "denoise", "--quality", "101", "photo.png" }, "101" },
    };
    for (const auto& [arguments, said] : rows) {
        SCOPED_TRACE(said);
        const Result result = run(arguments);
        EXPECT_EQ(result.exitCode, 2) << result.text();
        EXPECT_TRUE(result.err.contains(QLatin1String(said))) << result.text();
        EXPECT_EQ(listing(work), (QStringList { "photo.jpg", "photo.png" }));
    }
}

TEST_F(CliRun, AFailedFileIsNamedAndTheOthersAreStillWritten)
{
    const Result result = run({ "denoise", file("gone.jpg"), png });
    EXPECT_EQ(result.exitCode, 1) << result.text();
    EXPECT_TRUE(result.err.contains(file("gone.jpg"))) << result.text();
    EXPECT_EQ(result.out, file("photo_filtered.jpg") + '\n');
    EXPECT_TRUE(readBytes(file("photo_filtered.jpg")).startsWith(kJpegMagic));
}

TEST_F(CliRun, BadInputsFailCleanly)
{
    std::mt19937 random(3);
    QByteArray noise(4000, '\0');
    for (char& byte : noise)
        byte = static_cast<char>(random());
    ASSERT_TRUE(test::writeBytes(file("truncated.jpg"), readBytes(jpeg).left(200)));
    ASSERT_TRUE(test::writeBytes(file("corrupt.jpg"), noise));
    ASSERT_TRUE(test::writeBytes(file("notes.txt"), "not a picture\n"));
    ASSERT_TRUE(test::writeBytes(file("blocker"), "a file where a folder should be"));

    struct Row {
        const char* name;
        QStringList arguments;
        const char* named; // the file the message must name
    };
    const Row rows[] = {
        { "missing file", { "nothing.jpg" }, "nothing.jpg" },
        { "truncated JPEG", { "truncated.jpg" }, "truncated.jpg" },
        { "random bytes", { "corrupt.jpg" }, "corrupt.jpg" },
        { "not an image format", { "notes.txt" }, "notes.txt" },
        { "destination under a file", { "--dest-dir", "blocker/out", "photo.png" }, "photo.png" },
        { "-o under a file", { "-o", "blocker/out.jpg", "photo.png" }, "photo.png" },
        { "result would replace the source", { "--suffix", "", "--format", "auto", "photo.png" },
            "photo.png" },
        { "-o names the source", { "-o", "photo.jpg", "photo.jpg" }, "photo.jpg" },
    };
    const QStringList before = listing(work);
    const QByteArray sources[] = { readBytes(jpeg), readBytes(png) };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Result result = run(QStringList { "denoise" } + row.arguments);
        EXPECT_EQ(result.exitCode, 1) << result.text();
        EXPECT_TRUE(result.err.contains(QLatin1String(row.named))) << result.text();
        EXPECT_TRUE(result.out.isEmpty()) << result.text();
        EXPECT_EQ(listing(work), before) << "no result and no temporary file is left";
        EXPECT_EQ(readBytes(jpeg), sources[0]);
        EXPECT_EQ(readBytes(png), sources[1]);
    }
}

TEST_F(CliRun, InPlaceReplacesTheSourceWithAValidImage)
{
    const QByteArray before = readBytes(jpeg);
    const Result result
        = run({ "denoise", "--in-place", "--suffix", "", "--format", "auto", jpeg });
    ASSERT_EQ(result.exitCode, 0) << result.text();
    EXPECT_NE(readBytes(jpeg), before);
    EXPECT_EQ(QImage(jpeg).size(), QSize(320, 240));
    EXPECT_EQ(listing(work), (QStringList { "photo.jpg", "photo.png" }));
}

TEST_F(CliRun, SelfLearningFromTheCommandLine)
{
    const QStringList photos = cameraPhotos("p", 4);
    const QString profiles
        = QDir(home.filePath("data"))
              .filePath(QStringLiteral("Brantovia/Calmora Community Edition/Profiles"));
    const auto keys = [&] {
        return QJsonDocument::fromJson(run({ "profiles", "list", "--json" }).out.toUtf8()).array();
    };
    const auto profileFiles
        = [&] { return QDir(profiles).entryList({ "*.calmora-profile" }, QDir::Files); };

    // Nothing that only reads a photo learns from it.
    EXPECT_TRUE(
        run({ "info", photos[0] }).out.contains(QLatin1String("Learned profile: none yet")));
    EXPECT_EQ(run({ "profile", photos[0] }).exitCode, 0);
    const QStringList before = listing(work);
    const Result dry = run({ "denoise", "--dry-run", photos[0], photos[1] });
    EXPECT_EQ(dry.exitCode, 0) << dry.text();
    EXPECT_TRUE(dry.out.contains(QLatin1String("p0_filtered.jpg: its own profile"))) << dry.text();
    EXPECT_EQ(listing(work), before) << "a dry run writes nothing";
    EXPECT_EQ(run({ "denoise", "--no-learn", photos[0] }).exitCode, 0);
    EXPECT_TRUE(profileFiles().isEmpty());

    ASSERT_EQ(run({ "denoise", "--dest-dir", "out", photos[0], photos[1], photos[2] }).exitCode, 0);
    ASSERT_EQ(keys().size(), 1);
    const QJsonObject key = keys()[0].toObject();
    EXPECT_EQ(key.value("photos").toInt(), 3);
    EXPECT_TRUE(key.value("usable").toBool());
    EXPECT_EQ(key.value("camera").toString(), QStringLiteral("Acme Z1"));
    const QString stem = key.value("key").toString();
    EXPECT_TRUE(run({ "info", photos[3] }).out.contains(QLatin1String("learned from 3 photos")));
    EXPECT_TRUE(
        run({ "profile", photos[3] })
            .out.contains(QLatin1String("Profile: Learned from 3 photos (Acme Z1, ISO 1600)")));
    EXPECT_TRUE(
        run({ "denoise", "--dry-run", photos[3] })
            .out.contains(QLatin1String("p3_filtered.jpg: the profile learned from 3 photos")));
    EXPECT_EQ(keys()[0].toObject().value("photos").toInt(), 3)
        << "profile and --dry-run learn nothing";

    const QJsonObject shown
        = QJsonDocument::fromJson(run({ "profiles", "show", "--json", stem }).out.toUtf8())
              .object();
    EXPECT_EQ(shown.value("photos").toArray().size(), 3);
    EXPECT_EQ(shown.value("merged").toObject().value("bandCount").toInt(), 4);
    EXPECT_TRUE(run({ "profiles", "show", stem }).out.contains(QLatin1String("Photos: 3")));

    // Export, delete, import, delete all.
    const QString exported = file("z1.json");
    ASSERT_EQ(run({ "profiles", "export", stem, exported }).exitCode, 0);
    ASSERT_EQ(run({ "profiles", "delete", stem }).exitCode, 0);
    EXPECT_TRUE(keys().isEmpty());
    ASSERT_EQ(run({ "profiles", "import", exported }).exitCode, 0);
    EXPECT_EQ(keys()[0].toObject().value("photos").toInt(), 3);
    ASSERT_TRUE(test::writeBytes(file("bad.json"), R"({"format": "calmora-learned-profile"})"));
    const std::pair<QStringList, int> refused[] = {
        { { "profiles", "import", file("bad.json") }, 1 },
        { { "profiles", "show", "no-such-key" }, 1 },
        { { "profiles", "delete" }, 2 },
        { { "profiles", "export", stem, "--json", file("x.json") }, 2 },
    };
    for (const auto& [arguments, status] : refused) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        const Result result = run(arguments);
        EXPECT_EQ(result.exitCode, status) << result.text();
        EXPECT_FALSE(QFile::exists(file("x.json")));
    }
    EXPECT_EQ(keys()[0].toObject().value("photos").toInt(), 3);
    ASSERT_EQ(run({ "profiles", "delete", "--all" }).exitCode, 0);
    EXPECT_TRUE(keys().isEmpty());
}

// Two command-line batches and a batch of the worker in this process (as
// the desktop program runs it) learn photos of one camera at once.
TEST_F(CliRun, TwoBatchesAndTheWindowLearningAtOnceLoseNoPhoto)
{
    const QStringList first = cameraPhotos("a", 5);
    const QStringList second = cameraPhotos("b", 5);
    const QStringList third = cameraPhotos("c", 4);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", home.path());
    environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
    environment.insert("XDG_DATA_HOME", home.filePath("data"));
    QProcess processes[2];
    for (int i = 0; i < 2; ++i) {
        processes[i].setProcessEnvironment(environment);
        processes[i].setWorkingDirectory(work);
        processes[i].start(QStringLiteral(CALMORA_CLI_PATH),
            QStringList { "denoise", "-q", "--dest-subdir", QStringLiteral("out%1").arg(i) }
                + (i == 0 ? first : second));
    }

    Options options;
    options.profileFolder
        = QDir(home.filePath("data"))
              .filePath(QStringLiteral("Brantovia/Calmora Community Edition/Profiles"));
    {
        LearnedProfileFolder store(options.profileFolder);
        PresetTable presets;
        BatchOptions batchOptions;
        batchOptions.suffix = QStringLiteral("_window");
        BatchJob batch;
        batch.options = &batchOptions;
        batch.files = third;
        batch.fileCount = static_cast<int32_t>(third.size());
        test::QuietHost host;
        ProcessingJob job;
        job.request.batch = &batch;
        job.request.host = &host;
        job.request.options = options;
        job.request.presets = &presets;
        job.request.profileStore = &store;
        job.request.threadCount = 1;
        job.running = true;
        runJob(job, takeSnapshot(job));
        EXPECT_EQ(batch.doneFiles.size(), third.size());
    }
    for (QProcess& process : processes) {
        ASSERT_TRUE(process.waitForFinished(180000));
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    }
    const QJsonArray keys
        = QJsonDocument::fromJson(run({ "profiles", "list", "--json" }).out.toUtf8()).array();
    ASSERT_EQ(keys.size(), 1);
    EXPECT_EQ(keys[0].toObject().value("photos").toInt(), 14);
}

} // namespace
} // namespace calmora
