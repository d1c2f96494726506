#include <functional>
#include <random>

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "document/bitmap_ex.h"
#include "document/processing_worker.h"
#include "settings/learned_profile_store.h"
#include "settings/presets.h"
#include "test_files.h"

namespace calmora {
namespace {

TEST(DurationText, HoursOnlyWhenThereAreAnyAndAlwaysATrailingSpace)
{
    struct Row {
        const char* name;
        int64_t ms;
        const char* text;
    };
    const Row rows[] = {
        { "nothing", 0, "0 min. 0 sec. " },
        { "one minute", 60000, "1 min. 0 sec. " },
        { "just under a minute", 59999, "0 min. 59 sec. " },
        { "hours, minutes, seconds", 3725000, "1 hr. 2 min. 5 sec. " },
        { "remaining after the first of four at 60 s", 4 * 60000 / 1 - 60000, "3 min. 0 sec. " },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(durationText(row.ms), QLatin1String(row.text));
    }
}

TEST(BatchOutputPath, FolderSuffixAndFormatMakeTheName)
{
    struct Row {
        const char* name;
        const char* source;
        int mode;
        const char* folder;
        const char* suffix;
        int format;
        const char* path;
    };
    const Row rows[] = {
        { "subfolder, own extension lowered", "/img/a.JPG", 1, "out", "_filtered", 0,
            "/img/out/a_filtered.jpg" },
        { "unknown extension becomes jpg", "/img/b.bmp", 1, "out", "_filtered", 0,
            "/img/out/b_filtered.jpg" },
        { "known extension kept", "/img/c.tiff", 0, "", "_f", 0, "/img/c_f.tiff" },
        { "format 1 is png", "/img/a.JPG", 0, "", "_f", 1, "/img/a_f.png" },
        { "format 2 is jpg", "/img/a.png", 0, "", "_f", 2, "/img/a_f.jpg" },
        { "format 3 is tif", "/img/a.png", 0, "", "_f", 3, "/img/a_f.tif" },
        { "a folder of its own", "/img/a.png", 2, "/results", "_f", 1, "/results/a_f.png" },
        { "a folder of its own ending in a separator", "/img/a.png", 2, "/results/", "", 1,
            "/results/a.png" },
        { "folder ignored outside modes 1 and 2", "/img/a.png", 5, "out", "_f", 1, "/img/a_f.png" },
        { "no extension", "/img/raw", 0, "", "_f", 0, "/img/raw_f.jpg" },
        { "only the last extension goes", "/img/a.b.png", 0, "", "_f", 0, "/img/a.b_f.png" },
        { "bare name stays in the current folder", "a.png", 0, "", "_f", 1, "./a_f.png" },
        { "no folder, no suffix, own extension: the source itself", "/img/a.JPG", 1, "", "", 0,
            "/img/a.JPG" },
        { "no folder, no suffix, another extension: a new file", "/img/a.JPG", 1, "", "", 1,
            "/img/a.png" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BatchOptions options;
        options.destinationMode = row.mode;
        options.destinationFolder = QLatin1String(row.folder);
        options.suffix = QLatin1String(row.suffix);
        options.format = row.format;
        EXPECT_EQ(batchOutputPath(QLatin1String(row.source), options), QLatin1String(row.path));
    }
}

QImage noisyPicture(unsigned seed)
{
    QImage picture(320, 240, QImage::Format_RGB32);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> noise(-20, 20);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const int base = 60 + x / 3;
            picture.setPixel(
                x, y, qRgb(base + noise(random), base + noise(random), base + noise(random)));
        }
    return picture;
}

struct BatchHost final : WorkerHost {
    void setProgress(ProgressTarget, int) override
    {
        if (onProgress)
            onProgress();
    }
    void showStatus(const QString&, bool) override { }
    void imageChanged() override { }
    void profileReady() override { }
    void batchLine(int line, const QString& text) override { lines.push_back({ line, text }); }
    void batchProgress(int percent) override { percents.push_back(percent); }
    void batchEnded() override { ++ends; }
    void reportError(const QString&, const QString&) override { ++errors; }
    void reportNote(const QString& file, const QString& note) override
    {
        notes.append(file + '|' + note);
    }

    QStringList notes;
    std::vector<std::pair<int, QString>> lines;
    std::vector<int> percents;
    int ends = 0;
    int errors = 0;
    std::function<void()> onProgress;
};

class BatchTest : public ::testing::Test {
protected:
    QString picture(const QString& name, unsigned seed = 1)
    {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(test::writePicture(path, noisyPicture(seed), "png"));
        return path;
    }

    void run(const QStringList& files)
    {
        batch.options = &options;
        batch.files = files;
        batch.fileCount = static_cast<int32_t>(files.size());
        job.batch = &batch;
        job.host = &host;
        job.options = &settings;
        job.presets = &presets;
        job.profileStore = &store;
        job.progressWindow = ProgressTarget::FileProgress;
        job.running = true;
        runJob(job, takeSnapshot(job));
        EXPECT_FALSE(job.running.load());
        EXPECT_EQ(host.ends, 1);
        EXPECT_EQ(host.errors, 0) << "a batch shows no message box";
    }

    QTemporaryDir dir;
    BatchOptions options;
    BatchJob batch;
    BatchHost host;
    Options settings;
    PresetTable presets;
    EmptyProfileStore store;
    ProcessingJob job;
};

TEST_F(BatchTest, AFileThatDoesNotLoadIsListedAndSkipsItsLinesAndProgress)
{
    const QString first = picture(QStringLiteral("first.png"));
    const QString missing = dir.filePath(QStringLiteral("missing.png"));
    const QString last = picture(QStringLiteral("last.png"), 2);
    options.destinationMode = 1;
    options.destinationFolder = QStringLiteral("out"); // made by the run
    options.suffix = QStringLiteral("_filtered");
    options.format = 1;
    run({ first, missing, last });

    EXPECT_EQ(batch.doneFiles, (QStringList { first, last }));
    EXPECT_EQ(batch.writtenFiles,
        (QStringList {
            dir.filePath("out/first_filtered.png"), dir.filePath("out/last_filtered.png") }));
    ASSERT_EQ(batch.failedFiles, QStringList { missing });
    EXPECT_TRUE(batch.failureReasons.value(0).contains(QStringLiteral("missing.png")));
    for (const QString& written : batch.writtenFiles)
        EXPECT_TRUE(test::readBytes(written).startsWith("\x89PNG")) << written.toStdString();
    EXPECT_EQ(host.percents, (std::vector<int> { 33, 100 }));

    const auto text = [](const std::pair<int, QString>& line) {
        return std::to_string(line.first) + ": " + line.second.toStdString();
    };
    const QRegularExpression time(QStringLiteral("^[34]: (\\d+ hr\\. )?\\d+ min\\. \\d+ sec\\. $"));
    ASSERT_EQ(host.lines.size(), 10u);
    const std::vector<std::pair<std::string, int>> files { { "first.png", 1 }, { "last.png", 3 } };
    for (size_t file = 0; file < files.size(); ++file) {
        const auto& [name, number] = files[file];
        SCOPED_TRACE(name);
        const auto* lines = &host.lines[file * 5];
        EXPECT_EQ(text(lines[0]), "1: " + name + " - Building noise profile");
        EXPECT_EQ(text(lines[1]),
            "2: Please wait while processing image " + std::to_string(number) + " of 3");
        EXPECT_EQ(text(lines[2]), "1: " + name + " - Filtering noise");
        EXPECT_TRUE(time.match(QString::fromStdString(text(lines[3]))).hasMatch())
            << text(lines[3]);
        EXPECT_TRUE(time.match(QString::fromStdString(text(lines[4]))).hasMatch())
            << text(lines[4]);
        EXPECT_EQ(lines[3].first, 3);
    }
    EXPECT_EQ(batch.elapsedText, host.lines[8].second);
}

TEST_F(BatchTest, AStopOrANewGenerationEndsTheBatchWithoutWritingTheFileInHand)
{
    for (const bool useStop : { true, false }) {
        SCOPED_TRACE(useStop ? "stop" : "generation");
        const QStringList files { picture(QStringLiteral("a.png")),
            picture(QStringLiteral("b.png"), 2) };
        const QStringList before = test::listing(dir.path());
        options.suffix = QStringLiteral("_filtered");
        batch = BatchJob();
        host = BatchHost();
        job.stop = false;
        host.onProgress = [&] { useStop ? job.stop.store(true) : void(++job.generation); };
        run(files);

        EXPECT_TRUE(batch.doneFiles.isEmpty());
        EXPECT_TRUE(batch.failedFiles.isEmpty()) << "a stopped file is in neither list";
        EXPECT_EQ(test::listing(dir.path()), before);
        EXPECT_TRUE(host.percents.empty());
        for (const auto& [line, text] : host.lines)
            EXPECT_FALSE(text.startsWith(QLatin1String("b.png"))) << "the next file is not started";
    }
}

TEST_F(BatchTest, WithoutOverwriteNoSourceOfTheBatchIsReplaced)
{
    struct Row {
        const char* name;
        const char* suffix;
        bool allowOverwrite;
        const char* done; // which of the sources a.png and a_filtered.png
    };
    const Row rows[] = {
        { "result named as its own source", "", false, "" },
        { "result named as another source", "_filtered", false, "a_filtered.png" },
        { "in place when allowed", "", true, "a.png a_filtered.png" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir rowDir;
        const QStringList files { rowDir.filePath("a.png"), rowDir.filePath("a_filtered.png") };
        ASSERT_TRUE(test::writePicture(files[0], noisyPicture(1), "png"));
        ASSERT_TRUE(test::writePicture(files[1], noisyPicture(2), "png"));
        const QByteArray original[] = { test::readBytes(files[0]), test::readBytes(files[1]) };
        batch = BatchJob();
        host = BatchHost();
        options.suffix = QLatin1String(row.suffix);
        options.format = 1;
        options.allowOverwrite = row.allowOverwrite;
        run(files);

        QStringList done;
        for (const QString& path : batch.doneFiles)
            done.append(QFileInfo(path).fileName());
        EXPECT_EQ(done.join(' ').toStdString(), row.done);
        for (int i = 0; i < 2; ++i) {
            const bool replaced = row.allowOverwrite;
            EXPECT_EQ(test::readBytes(files[i]) != original[i], replaced) << files[i].toStdString();
            CBitmapEx check;
            EXPECT_TRUE(check.load(files[i])) << "a source is never left damaged";
        }
        for (const QString& reason : batch.failureReasons)
            EXPECT_TRUE(reason.contains(QLatin1String("replace"))) << reason.toStdString();
    }
}

TEST_F(BatchTest, TwoSourcesOfOneNameKeepTheFirstResult)
{
    const QStringList files { picture(QStringLiteral("a.png")), dir.filePath("a.bmp") };
    ASSERT_TRUE(test::writePicture(files[1], noisyPicture(3), "bmp"));
    options.suffix = QStringLiteral("_f");
    options.format = 1;
    run(files);
    EXPECT_EQ(batch.doneFiles, QStringList { files[0] });
    ASSERT_EQ(batch.failedFiles, QStringList { files[1] });
    EXPECT_TRUE(batch.failureReasons[0].contains(QLatin1String("would replace the result of")))
        << batch.failureReasons[0].toStdString();
    CBitmapEx result;
    ASSERT_TRUE(result.load(dir.filePath("a_f.png")));
}

TEST_F(BatchTest, ARefusedFilterLeavesNoResult)
{
    const QString source = picture(QStringLiteral("a.png"));
    const QStringList before = test::listing(dir.path());
    options.suffix = QStringLiteral("_f");
    options.useGivenProfile = true;
    job.activeProfile.bandCount = 0; // the engine refuses a profile without bands
    run({ source });
    EXPECT_TRUE(batch.doneFiles.isEmpty());
    ASSERT_EQ(batch.failedFiles, QStringList { source });
    EXPECT_TRUE(batch.failureReasons[0].contains(QLatin1String("refused")))
        << batch.failureReasons[0].toStdString();
    EXPECT_EQ(test::listing(dir.path()), before);
}

TEST_F(BatchTest, ThePresetChoosesTheParameters)
{
    constexpr int kStronger = 5; // differs from preset 0 in both levels
    FilterParams strongerParams;
    FilterParams defaultParams;
    presets.deriveParams(kStronger, strongerParams);
    presets.deriveParams(0, defaultParams);
    ASSERT_NE(std::memcmp(&strongerParams, &defaultParams, sizeof strongerParams), 0);

    const QString source = picture(QStringLiteral("a.png"));
    options.suffix = QStringLiteral("_f");
    options.format = 1;
    const auto filterWith = [&](int presetIndex, const FilterParams& ownSettings) {
        batch = BatchJob();
        host = BatchHost();
        options.presetIndex = presetIndex;
        job.settings = ownSettings;
        run({ source });
        EXPECT_EQ(batch.doneFiles.size(), 1);
        return QImage(dir.filePath("a_f.png"));
    };
    const QImage stronger = filterWith(kStronger, defaultParams);
    const QImage own = filterWith(presets.count(), strongerParams);
    const QImage byDefault = filterWith(0, strongerParams);
    const QImage outOfRange = filterWith(presets.count() + 5, strongerParams);
    EXPECT_EQ(stronger, own) << "a preset filters as its parameters given directly";
    EXPECT_NE(stronger, byDefault);
    EXPECT_EQ(outOfRange, byDefault)
        << "an index beyond the table with no image means the first preset";
}

} // namespace
} // namespace calmora
