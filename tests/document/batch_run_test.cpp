#include <algorithm>
#include <functional>
#include <map>

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "document/batch_run.h"
#include "document/bitmap_ex.h"
#include "document/processing_worker.h"
#include "settings/learned_profile_store.h"
#include "settings/presets.h"
#include "noisy_picture.h"
#include "test_files.h"

namespace calmora {
namespace {

// The batch's photos: big enough for a few tiles, each file its own seed.
constexpr int kWidth = 320;
constexpr int kHeight = 240;

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
        { "format 4 is webp", "/img/a.png", 0, "", "_f", 4, "/img/a_f.webp" },
        { "format 7 is jxl", "/img/a.png", 0, "", "_f", 7, "/img/a_f.jxl" },
        { "a HEIC stays HEIC", "/img/IMG_1.HEIC", 0, "", "_f", 0, "/img/IMG_1_f.heic" },
        { "a camera raw file becomes a TIFF", "/img/DSC_1.NEF", 0, "", "", 0, "/img/DSC_1.tif" },
        { "a format written nowhere becomes jpg", "/img/a.gif", 0, "", "_f", 9, "/img/a_f.jpg" },
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
        options.destinationMode = static_cast<DestinationMode>(row.mode);
        options.destinationFolder = QLatin1String(row.folder);
        options.suffix = QLatin1String(row.suffix);
        options.format = static_cast<BatchFormat>(row.format);
        EXPECT_EQ(batchOutputPath(QLatin1String(row.source), options), QLatin1String(row.path));
    }
}

struct Settled {
    int32_t index;
    int32_t count;
    int64_t elapsedMs;
    int64_t remainingMs;
};

struct BatchHost final : WorkerHost {
    void setProgress(ProgressKind, int) override
    {
        if (onProgress)
            onProgress();
    }
    void runStatus(RunStatus) override { }
    void tileWritten(const Rect&) override { ++tilesWritten; }
    void profileReady() override { }
    void batchFileStage(
        const QString& file, int32_t index, int32_t count, BatchStage stage) override
    {
        const QString name = QFileInfo(file).fileName();
        if (stage == BatchStage::FilteringNoise)
            filtering = name;
        calls.append(QStringLiteral("%1 %2 %3/%4")
                         .arg(stage == BatchStage::BuildingProfile ? "profile" : "filter", name)
                         .arg(index + 1)
                         .arg(count));
    }
    void batchFileSettled(
        int32_t index, int32_t count, int64_t elapsedMs, int64_t remainingMs) override
    {
        settled.push_back({ index, count, elapsedMs, remainingMs });
        percents.push_back((index + 1) * 100 / count);
        calls.append(QStringLiteral("settled %1/%2").arg(index + 1).arg(count));
    }
    void batchEnded() override
    {
        ++ends;
        if (onEnded)
            onEnded();
    }
    void reportError(const QString&, const QString& reason) override
    {
        ++errors;
        errorReasons.append(reason);
    }
    void reportNote(const QString& file, const QString& note) override
    {
        notes.append(file + '|' + note);
    }

    QStringList notes;
    QStringList calls; // stages and settled files, in order
    QString filtering; // the file last announced as filtered
    std::vector<Settled> settled;
    std::vector<int> percents;
    int ends = 0;
    int errors = 0;
    int tilesWritten = 0;
    QStringList errorReasons;
    std::function<void()> onProgress;
    std::function<void()> onEnded;
};

class BatchTest : public ::testing::Test {
protected:
    QString picture(const QString& name, unsigned seed = 1)
    {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(test::writePicture(path, noisyPicture(kWidth, kHeight, seed), "png"));
        return path;
    }

    void run(const QStringList& files)
    {
        batch.options = &options;
        batch.files = files;
        batch.fileCount = static_cast<int32_t>(files.size());
        job.request.batch = &batch;
        job.request.host = &host;
        job.request.options = settings;
        job.request.presets = &presets;
        job.request.profileStore = &store;
        job.request.progressWindow = ProgressKind::File;
        bool runningAtEnd = true;
        host.onEnded = [&] { runningAtEnd = job.running.load(); };
        job.running = true;
        runJob(job, takeSnapshot(job));
        EXPECT_FALSE(job.running.load());
        EXPECT_EQ(host.ends, 1);
        EXPECT_FALSE(runningAtEnd) << "the host hears of the end with the job free";
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

TEST_F(BatchTest, AFileThatDoesNotLoadIsListedAndSkipsItsLinesButMovesTheBar)
{
    const QString first = picture(QStringLiteral("first.png"));
    const QString missing = dir.filePath(QStringLiteral("missing.png"));
    const QString last = picture(QStringLiteral("last.png"), 2);
    options.destinationMode = DestinationMode::Subfolder;
    options.destinationFolder = QStringLiteral("out"); // made by the run
    options.suffix = QStringLiteral("_filtered");
    options.format = BatchFormat::Png;
    run({ first, missing, last });

    EXPECT_EQ(batch.doneFiles, (QStringList { first, last }));
    EXPECT_EQ(batch.writtenFiles,
        (QStringList {
            dir.filePath("out/first_filtered.png"), dir.filePath("out/last_filtered.png") }));
    ASSERT_EQ(batch.failedFiles, QStringList { missing });
    EXPECT_TRUE(batch.failureReasons.value(0).contains(QStringLiteral("missing.png")));
    for (const QString& written : batch.writtenFiles)
        EXPECT_TRUE(test::readBytes(written).startsWith("\x89PNG")) << written.toStdString();
    EXPECT_EQ(host.percents, (std::vector<int> { 33, 66, 100 }));

    EXPECT_EQ(host.calls,
        (QStringList { "profile first.png 1/3", "filter first.png 1/3", "settled 1/3",
            "settled 2/3", "profile last.png 3/3", "filter last.png 3/3", "settled 3/3" }));
    ASSERT_EQ(host.settled.size(), 3u);
    int64_t before = 0;
    for (const Settled& file : host.settled) {
        SCOPED_TRACE(file.index);
        EXPECT_GE(file.elapsedMs, before) << "the batch's clock only goes on";
        EXPECT_EQ(file.remainingMs, 3 * file.elapsedMs / (file.index + 1) - file.elapsedMs);
        before = file.elapsedMs;
    }
    EXPECT_EQ(batch.elapsedMs, host.settled.back().elapsedMs);
    EXPECT_EQ(host.tilesWritten, 0) << "a batch file is not the displayed image";
}

// However a file is refused, the overall bar and the times move on for it,
// so that a batch with failures ends at 100 %, in file order.
TEST_F(BatchTest, EveryRefusedFileStillMovesTheBarAndTheTimes)
{
    struct Row {
        const char* name;
        std::function<QStringList(const QString& folder)> prepare; // the three files
        int failed;
        const char* reason; // a part of every failure's reason
    };
    const auto three = [this](const QString& folder) {
        QStringList files;
        for (int i = 0; i < 3; ++i) {
            files.append(folder + QStringLiteral("/p%1.png").arg(i));
            EXPECT_TRUE(test::writePicture(files.last(), noisyPicture(kWidth, kHeight, i + 1), "png"));
        }
        return files;
    };
    const Row rows[] = {
        { "a damaged file in the middle",
            [&](const QString& folder) {
                QStringList files = three(folder);
                EXPECT_TRUE(test::writeBytes(files[1], QByteArray("\x89PNG\r\n\x1a\nbroken")));
                options.destinationMode = DestinationMode::BesideSource;
                return files;
            },
            1, "p1.png" },
        { "a folder that cannot be made",
            [&](const QString& folder) {
                options.destinationMode = DestinationMode::Folder;
                options.destinationFolder = folder + QStringLiteral("/missing/out");
                return three(folder);
            },
            3, "Cannot create the folder" },
        { "results that would replace their sources",
            [&](const QString& folder) {
                options.destinationMode = DestinationMode::BesideSource;
                options.suffix.clear();
                return three(folder);
            },
            3, "replace the source" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir rowDir;
        batch = BatchJob();
        host = BatchHost();
        options = BatchOptions();
        options.suffix = QStringLiteral("_f");
        options.format = BatchFormat::Png;
        run(row.prepare(rowDir.path()));

        EXPECT_EQ(batch.failedFiles.size(), row.failed);
        EXPECT_EQ(batch.doneFiles.size() + batch.failedFiles.size(), 3);
        for (const QString& reason : batch.failureReasons)
            EXPECT_TRUE(reason.contains(QLatin1String(row.reason))) << reason.toStdString();
        EXPECT_EQ(host.percents, (std::vector<int> { 33, 66, 100 }));
        ASSERT_EQ(host.settled.size(), 3u);
        for (size_t i = 0; i < host.settled.size(); ++i)
            EXPECT_EQ(host.settled[i].index, static_cast<int32_t>(i)) << "in file order";
        EXPECT_EQ(host.settled.back().remainingMs, 0);
        EXPECT_EQ(batch.elapsedMs, host.settled.back().elapsedMs);
    }
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
        for (const QString& call : host.calls)
            EXPECT_FALSE(call.contains(QLatin1String("b.png"))) << "the next file is not started";
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
        ASSERT_TRUE(test::writePicture(files[0], noisyPicture(kWidth, kHeight, 1), "png"));
        ASSERT_TRUE(test::writePicture(files[1], noisyPicture(kWidth, kHeight, 2), "png"));
        const QByteArray original[] = { test::readBytes(files[0]), test::readBytes(files[1]) };
        batch = BatchJob();
        host = BatchHost();
        options.suffix = QLatin1String(row.suffix);
        options.format = BatchFormat::Png;
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
    ASSERT_TRUE(test::writePicture(files[1], noisyPicture(kWidth, kHeight, 3), "bmp"));
    options.suffix = QStringLiteral("_f");
    options.format = BatchFormat::Png;
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
    options.format = BatchFormat::Png;
    const auto filterWith = [&](int presetIndex, const FilterParams& ownSettings) {
        batch = BatchJob();
        host = BatchHost();
        options.presetIndex = presetIndex;
        job.request.settings = ownSettings;
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

TEST_F(BatchTest, APresetEditedWhileTheBatchRunsDoesNotChangeIt)
{
    // Two copies of one picture, filtered with the same preset, must come
    // out the same even though the preset changes after the first.
    const QStringList files { picture(QStringLiteral("a.png")), picture(QStringLiteral("b.png")) };
    presets.setCustomValues(presets.at(0).values);
    FilterParams before;
    FilterParams after;
    presets.deriveParams(PresetTable::kCustomIndex, before);
    presets.deriveParams(5, after);
    ASSERT_NE(std::memcmp(&before, &after, sizeof before), 0);
    options.presetIndex = PresetTable::kCustomIndex;
    options.suffix = QStringLiteral("_f");
    options.format = BatchFormat::Png;
    host.onProgress = [&] {
        if (host.filtering == QLatin1String("a.png"))
            presets.setCustomValues(presets.at(5).values);
    };
    run(files);
    ASSERT_EQ(batch.doneFiles, files);
    EXPECT_EQ(QImage(dir.filePath("a_f.png")), QImage(dir.filePath("b_f.png")));
    FilterParams edited;
    presets.deriveParams(PresetTable::kCustomIndex, edited);
    EXPECT_EQ(std::memcmp(&edited, &after, sizeof edited), 0) << "the edit itself took";
}

TEST_F(BatchTest, WhatEscapesABatchIsReportedAndItEndsWithTheJobFree)
{
    const QStringList files { picture(QStringLiteral("a.png")), picture(QStringLiteral("b.png")),
        picture(QStringLiteral("c.png")) };
    options.suffix = QStringLiteral("_f");
    batch.options = &options;
    batch.files = files;
    batch.fileCount = 3;
    job.request.batch = &batch;
    job.request.host = &host;
    job.request.progressWindow = ProgressKind::File;
    host.onProgress = [&] {
        if (host.filtering == QLatin1String("b.png"))
            throw std::bad_alloc();
    };
    bool runningAtEnd = true;
    host.onEnded = [&] { runningAtEnd = job.running.load(); };
    ProcessingWorker worker;
    ASSERT_TRUE(worker.start(job));
    worker.wait();

    EXPECT_FALSE(job.running.load());
    EXPECT_EQ(host.ends, 1);
    EXPECT_FALSE(runningAtEnd);
    EXPECT_EQ(host.errorReasons, QStringList { QStringLiteral("Not enough memory.") });
    EXPECT_EQ(batch.doneFiles, QStringList { files[0] }) << "what was written is listed";
    EXPECT_TRUE(batch.failedFiles.isEmpty());
}

struct FlowRow {
    const char* name;
    const char* files; // in order; "~" after a name: cut short, "?": missing
    // Words of "overwrite", "suffix" (none: a result takes its source's
    // name), "widen", "refuse" (the filter), "folder NAME" (in the way of a
    // result), "stop NAME" or "generation NAME" (while NAME is filtered).
    const char* setup;
    const char* done; // expected, by name
    const char* failed;
};

// What a batch left behind, its folder written as "<dir>" so that runs in
// two folders compare.
struct BatchOutcome {
    std::string named; // done and failed sources by name
    std::string lists;
    std::map<QString, QByteArray> files;
    QStringList calls;
};

std::string joined(const QStringList& list)
{
    return list.join(QLatin1String(" | ")).toStdString();
}

QString names(const QStringList& paths)
{
    QStringList list;
    for (const QString& path : paths)
        list.append(QFileInfo(path).fileName());
    return list.join(' ');
}

BatchOutcome runFlow(const FlowRow& row, BatchFlow flow)
{
    QTemporaryDir dir;
    const QString setup = QLatin1String(row.setup);
    const auto word = [&](const char* key) {
        return setup.section(QLatin1String(key) + QLatin1Char(' '), 1).section(' ', 0, 0);
    };
    QStringList files;
    for (QString name : QString::fromLatin1(row.files).split(' ')) {
        const QChar mark = name.back();
        if (mark == '~' || mark == '?')
            name.chop(1);
        files.append(dir.filePath(name));
        if (mark == '?')
            continue;
        EXPECT_TRUE(test::writePicture(files.back(), noisyPicture(kWidth, kHeight, files.size()),
            QFileInfo(name).suffix().toLatin1().constData()));
        if (mark == '~')
            test::writeBytes(files.back(), test::readBytes(files.back()).left(200));
    }
    if (!word("folder").isEmpty())
        QDir(dir.path()).mkdir(word("folder"));

    BatchOptions options;
    options.suffix = setup.contains(QLatin1String("suffix")) ? QString() : QStringLiteral("_f");
    options.format = BatchFormat::Png;
    options.allowOverwrite = setup.contains(QLatin1String("overwrite"));
    options.widenToSixteenBits = setup.contains(QLatin1String("widen"));
    options.useGivenProfile = setup.contains(QLatin1String("refuse"));
    BatchJob batch;
    batch.options = &options;
    batch.files = files;
    batch.fileCount = static_cast<int32_t>(files.size());
    BatchHost host;
    Options settings;
    PresetTable presets;
    EmptyProfileStore store;
    ProcessingJob job;
    job.activeProfile.bandCount = options.useGivenProfile ? 0 : kBandCount;
    job.request.batch = &batch;
    job.request.host = &host;
    job.request.options = settings;
    job.request.presets = &presets;
    job.request.profileStore = &store;
    job.request.progressWindow = ProgressKind::File;
    const QString stopAt = word("stop") + word("generation");
    host.onProgress = [&] {
        if (!stopAt.isEmpty() && host.filtering == stopAt)
            word("stop").isEmpty() ? void(++job.generation) : job.stop.store(true);
    };
    JobSnapshot snapshot = takeSnapshot(job);
    runBatch(job, snapshot, flow);

    BatchOutcome outcome;
    outcome.named = (names(batch.doneFiles) + " / " + names(batch.failedFiles)).toStdString();
    outcome.lists = joined({ "done: " + batch.doneFiles.join(' '),
        "written: " + batch.writtenFiles.join(' '), "failed: " + batch.failedFiles.join(' '),
        "reasons: " + batch.failureReasons.join(' ') });
    const std::string folder = dir.path().toStdString();
    for (size_t at; (at = outcome.lists.find(folder)) != std::string::npos;)
        outcome.lists.replace(at, folder.size(), "<dir>");
    for (const QString& name : test::listing(dir.path()))
        outcome.files[name] = test::readBytes(dir.filePath(name));
    outcome.calls = host.calls;
    return outcome;
}

// Files may interleave in a pipelined run, but each file's own calls keep
// their order: its profile stage, its filtering stage, then its settling.
std::string perFileOrderProblem(const QStringList& calls, const QStringList& files)
{
    const auto find = [&](const QString& prefix) {
        for (qsizetype at = 0; at < calls.size(); ++at)
            if (calls[at].startsWith(prefix))
                return at;
        return qsizetype { -1 };
    };
    for (int k = 0; k < files.size(); ++k) {
        const QString name = QFileInfo(files[k]).fileName();
        const QString number = QStringLiteral(" %1/%2").arg(k + 1).arg(files.size());
        const qsizetype building = calls.indexOf("profile " + name + number);
        const qsizetype filtering = calls.indexOf("filter " + name + number);
        const qsizetype settled = find("settled" + number);
        if ((filtering >= 0 && filtering < building) || (settled >= 0 && settled < filtering))
            return name.toStdString() + " out of order in " + joined(calls);
    }
    return {};
}

TEST_F(BatchTest, PipelinedWritesWhatOneByOneWritesAndReportsItInOrder)
{
    const FlowRow rows[] = {
        { "four files", "a.png b.png c.png d.png", "", "a.png b.png c.png d.png", "" },
        { "a file cut short in the middle", "a.png b.png~ c.png d.png", "", "a.png c.png d.png",
            "b.png" },
        { "a missing file in the middle", "a.png b.png? c.png", "", "a.png c.png", "b.png" },
        { "a save that fails in the middle", "a.png b.png c.png", "folder b_f.png", "a.png c.png",
            "b.png" },
        { "a save that fails last", "a.png b.png c.png", "folder c_f.png", "a.png b.png", "c.png" },
        { "neighbours with one result name", "a.png a.bmp c.png", "", "a.png c.png", "a.bmp" },
        { "one result name two files apart", "a.png b.png a.bmp", "", "a.png b.png", "a.bmp" },
        { "replacing allowed, but a result would replace another source",
            "a.png a_f.png b.png", "overwrite", "a_f.png b.png", "a.png" },
        { "replacing allowed: a result replaces its own source", "a.png b.png", "overwrite suffix",
            "a.png b.png", "" },
        { "a result would replace the next source", "a.png a_f.png b.png", "", "a_f.png b.png",
            "a.png" },
        { "16 bits", "a.png b.png c.png", "widen", "a.png b.png c.png", "" },
        { "every filter refused", "a.png b.png c.png", "refuse", "", "a.png b.png c.png" },
        { "a stop while the third file is filtered", "a.png b.png c.png d.png", "stop c.png",
            "a.png b.png", "" },
        { "a new generation while the third file is filtered", "a.png b.png c.png d.png",
            "generation c.png", "a.png b.png", "" },
    };
    // Calls of one kind (profile, filter, settled) in the order they came.
    const auto byKind = [](QStringList calls) {
        std::stable_sort(calls.begin(), calls.end(),
            [](const QString& a, const QString& b) { return a[0] < b[0]; });
        return joined(calls);
    };
    for (const FlowRow& row : rows) {
        SCOPED_TRACE(row.name);
        const BatchOutcome one = runFlow(row, BatchFlow::Sequential);
        const BatchOutcome piped = runFlow(row, BatchFlow::Pipelined);
        EXPECT_EQ(one.named, std::string(row.done) + " / " + row.failed);
        if (QByteArray(row.setup).startsWith("stop") && piped.files.size() < one.files.size()) {
            // A stop ends the writes in hand too, and a pipelined run may be
            // writing the last files before the one it stops: those alone
            // are then left out, and nothing of them is on the disk.
            const QStringList done
                = QString::fromStdString(one.named).section(" / ", 0, 0).split(' ');
            const qsizetype lost = static_cast<qsizetype>(one.files.size() - piped.files.size());
            ASSERT_LE(lost, done.size());
            EXPECT_EQ(piped.named,
                (done.mid(0, done.size() - lost).join(' ') + " / " + row.failed).toStdString());
            for (const auto& [name, bytes] : piped.files)
                EXPECT_TRUE(one.files.count(name) != 0 && one.files.at(name) == bytes)
                    << name.toStdString() << " differs";
            continue;
        }
        EXPECT_EQ(piped.lists, one.lists);
        for (const auto& [name, bytes] : one.files)
            EXPECT_TRUE(piped.files.count(name) != 0 && piped.files.at(name) == bytes)
                << name.toStdString() << " differs or is missing";
        EXPECT_EQ(piped.files.size(), one.files.size()) << "no file half-written or extra";
        EXPECT_EQ(byKind(piped.calls), byKind(one.calls));
        const QStringList files = QString::fromLatin1(row.files).remove('~').remove('?').split(' ');
        EXPECT_EQ(perFileOrderProblem(piped.calls, files), "");
    }
}

} // namespace
} // namespace calmora
