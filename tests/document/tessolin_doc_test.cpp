// The document without a window: opening, the suggested save name, preview
// requests, the whole-image run with its summary, and the questions of a
// save, answered by a scripted prompter. Every test starts the worker (an
// open starts a profile pass), so they run under the thread sanitizer too.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <map>

#include "document/tessolin_doc.h"
#include "noisy_picture.h"
#include "settings/learned_profile_store.h"
#include "settings/presets.h"
#include "test_files.h"

namespace calmora {
namespace {

// Queued signals need an application object on the main thread.
class QtEnvironment final : public ::testing::Environment {
public:
    void SetUp() override { m_application = std::make_unique<QCoreApplication>(m_argc, m_argv); }
    void TearDown() override { m_application.reset(); }

private:
    int m_argc = 1;
    char m_name[16] = "document_tests";
    char* m_argv[2] = { m_name, nullptr };
    std::unique_ptr<QCoreApplication> m_application;
};

[[maybe_unused]] ::testing::Environment* const kQtEnvironment
    = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Larger than one 600-pixel tile each way, so that runs cross tiles.
struct ScriptedPrompter final : DocumentPrompter {
    PromptAnswer ask(const QString& text, PromptIcon, PromptButtons) override
    {
        asked.append(text);
        return answer;
    }
    void tell(const QString& text, PromptIcon icon) override
    {
        told.append(text);
        toldIcons.push_back(icon);
    }
    QString askSavePath(const QString& suggestedPath) override
    {
        suggested.append(suggestedPath);
        return savePath;
    }
    bool runWholeImage(CTessolinDoc& document) override { return document.processWholeImageNow(); }

    PromptAnswer answer = PromptAnswer::Yes;
    QString savePath;
    QStringList asked;
    QStringList told;
    std::vector<PromptIcon> toldIcons;
    QStringList suggested;
};

// Delivers queued signals until `done` holds or a generous time has passed.
template <typename Done>
bool processEventsUntil(Done done)
{
    const QDeadlineTimer deadline(60000);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return done();
}

class WorkerTestDocument : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_folder.isValid());
        m_photo = m_folder.filePath(QStringLiteral("photo.png"));
        ASSERT_TRUE(noisyPicture(700, 640).save(m_photo));
    }

    QTemporaryDir m_folder;
    QString m_photo;
    Options m_options;
    PresetTable m_presets;
    EmptyProfileStore m_store;
    ScriptedPrompter m_prompter;
};

TEST_F(WorkerTestDocument, OpenLoadsOrTellsWhyNot)
{
    const QString damaged = m_folder.filePath(QStringLiteral("damaged.jpg"));
    ASSERT_TRUE(test::writeBytes(damaged, QByteArray("\xFF\xD8\xFF\xE0", 4) + " not a picture"));
    struct Row {
        const char* name;
        QString path;
        bool loads;
    };
    const Row rows[] = {
        { "a picture", m_photo, true },
        { "a missing file", m_folder.filePath(QStringLiteral("missing.png")), false },
        { "a damaged file", damaged, false },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedPrompter prompter;
        CTessolinDoc document(m_options, m_presets, m_store, prompter);
        QString reason;
        EXPECT_EQ(document.open(row.path, &reason), row.loads);
        document.waitForWorker();
        EXPECT_EQ(document.isLoaded(), row.loads);
        EXPECT_EQ(document.image() != nullptr, row.loads);
        EXPECT_EQ(document.job().tiles.tiles.empty(), !row.loads);
        if (row.loads) {
            EXPECT_EQ(document.sourcePath(), row.path);
            EXPECT_EQ(document.job().request.fileName, QStringLiteral("photo.png"));
            EXPECT_TRUE(prompter.told.isEmpty()) << prompter.told.join('|').toStdString();
            continue;
        }
        EXPECT_TRUE(document.sourcePath().isEmpty());
        EXPECT_FALSE(reason.isEmpty());
        ASSERT_EQ(prompter.told.size(), 1);
        // The loader's own reason, without a guess before it.
        EXPECT_EQ(prompter.told.first(),
            QStringLiteral("Cannot open file ") + QDir::toNativeSeparators(row.path)
                + QStringLiteral(".\r\n") + reason);
        EXPECT_EQ(prompter.toldIcons.front(), PromptIcon::Error);
    }
}

TEST_F(WorkerTestDocument, FailedOpenEmptiesTheDocument)
{
    CTessolinDoc document(m_options, m_presets, m_store, m_prompter);
    ASSERT_TRUE(document.open(m_photo));
    document.waitForWorker();
    EXPECT_FALSE(document.open(m_folder.filePath(QStringLiteral("missing.png"))));
    EXPECT_FALSE(document.isLoaded());
    EXPECT_EQ(document.image(), nullptr);
    EXPECT_TRUE(document.job().tiles.tiles.empty());
    EXPECT_FALSE(document.job().profileReady.load());
    EXPECT_TRUE(document.suggestedSaveName().isEmpty());
}

TEST_F(WorkerTestDocument, SuggestedSaveNames)
{
    ASSERT_TRUE(QDir(m_folder.path()).mkdir(QStringLiteral("roll.2024")));
    const QByteArray picture = test::readBytes(m_photo);
    struct Row {
        const char* name;
        QString file; // in the temporary folder
        bool appendSuffix;
        QString suffix;
        QString suggested;
    };
    const Row rows[] = {
        { "suffix appended", "photo.tif", true, "_filtered", "photo_filtered.jpg" },
        { "suffix off", "photo.tif", false, "_filtered", "photo.jpg" },
        { "own suffix", "photo.tif", true, "-clean", "photo-clean.jpg" },
        { "last extension only", "photo.tar.png", true, "_filtered", "photo.tar_filtered.jpg" },
        { "no extension", "scan", true, "_filtered", "scan_filtered.jpg" },
        { "dot in a folder only", "roll.2024/scan", true, "_filtered",
            "roll.2024/scan_filtered.jpg" },
        { "already a JPEG name", "shot.jpg", false, "_filtered", "shot.jpg" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString path = m_folder.filePath(row.file);
        ASSERT_TRUE(test::writeBytes(path, picture));
        m_options.settings.appendSuffix = row.appendSuffix ? 1 : 0;
        m_options.settings.defaultSuffix = row.suffix;
        CTessolinDoc document(m_options, m_presets, m_store, m_prompter);
        ASSERT_TRUE(document.open(path));
        EXPECT_EQ(document.suggestedSaveName(), m_folder.filePath(row.suggested));
        document.waitForWorker();
    }
}

TEST_F(WorkerTestDocument, PreviewRequestsBumpTheGenerationAndCountDown)
{
    struct Row {
        const char* name;
        int delaySeconds;
        bool immediate;
        bool cancel;
        int countdown;
    };
    const Row rows[] = {
        { "immediate", 3, true, false, 1 },
        { "one second in 200 ms ticks", 1, false, false, 5 },
        { "ten seconds", 10, false, false, 50 },
        { "no delay still waits a tick", 0, false, false, 1 },
        { "cancelPreview cancels the countdown", 3, false, true, 0 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        m_options.settings.previewDelay = row.delaySeconds;
        CTessolinDoc document(m_options, m_presets, m_store, m_prompter);
        ASSERT_TRUE(document.open(m_photo));
        document.waitForWorker();
        ProcessingJob& job = document.writableJob();
        job.previewCountdown = 7;
        const int32_t before = job.generation.load();
        if (row.cancel)
            document.cancelPreview();
        else
            document.requestPreview(row.immediate);
        EXPECT_EQ(job.generation.load(), before + 1);
        EXPECT_EQ(job.previewCountdown, row.countdown);

        // While a whole-image run holds the job, nothing is scheduled or
        // cancelled.
        job.request.wholeImage = true;
        job.previewCountdown = 7;
        document.requestPreview(true);
        document.cancelPreview();
        EXPECT_EQ(job.generation.load(), before + 1);
        EXPECT_EQ(job.previewCountdown, 7);
        job.request.wholeImage = false;
    }
}

TEST_F(WorkerTestDocument, OpeningBuildsTheProfileAndSignalsOnTheDocumentsThread)
{
    CTessolinDoc document(m_options, m_presets, m_store, m_prompter);
    int readies = 0;
    QThread* deliveredOn = nullptr;
    std::vector<RunStatus> statuses;
    QObject::connect(&document, &CTessolinDoc::profileReady, [&] {
        ++readies;
        deliveredOn = QThread::currentThread();
    });
    QObject::connect(&document, &CTessolinDoc::runStatusChanged,
        [&](RunStatus status) { statuses.push_back(status); });
    ASSERT_TRUE(document.open(m_photo));
    ASSERT_TRUE(processEventsUntil([&] {
        return readies > 0 && !statuses.empty() && statuses.back() == RunStatus::ProfileBuilt;
    }));
    EXPECT_EQ(readies, 1);
    EXPECT_EQ(deliveredOn, document.thread());
    EXPECT_EQ(statuses.front(), RunStatus::BuildingProfile);
    EXPECT_TRUE(document.job().profileReady.load());
    EXPECT_FALSE(document.isRunning());
}

TEST_F(WorkerTestDocument, WholeImageRunFiltersEveryTileAndSummarises)
{
    struct Row {
        const char* name;
        bool profileFirst; // the open's profile pass has ended before Go
        bool showSummary;
    };
    const Row rows[] = {
        { "profile ready", true, true },
        { "profile built by the run", false, true },
        { "summary switched off", true, false },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        m_options.settings.showSummary = row.showSummary ? 1 : 0;
        CTessolinDoc document(m_options, m_presets, m_store, m_prompter);
        std::vector<Rect> written;
        QObject::connect(&document, &CTessolinDoc::tileWritten,
            [&](const Rect& rect) { written.push_back(rect); });
        ASSERT_TRUE(document.open(m_photo));
        document.waitForWorker();
        if (!row.profileFirst)
            document.writableJob().profileReady = false; // as if the open's pass had failed
        EXPECT_FALSE(document.processingSummary().has_value());
        EXPECT_TRUE(document.processWholeImageNow());

        const TileList& tiles = document.job().tiles;
        int64_t totalMs = 0;
        for (size_t slot = 0; slot < tiles.tiles.size(); ++slot) {
            EXPECT_NE(tiles.tiles[slot].filtered, 0) << "tile " << slot;
            totalMs += tiles.tiles[slot].elapsedMs;
        }
        EXPECT_FALSE(document.job().request.wholeImage);
        EXPECT_NE(document.image()->toQImage(), document.image()->toQImage(true));
        const std::optional<double> seconds = document.processingSummary();
        EXPECT_EQ(seconds.has_value(), row.showSummary);
        if (seconds) {
            EXPECT_DOUBLE_EQ(*seconds, static_cast<double>(totalMs) / 1000.0);
        }
        ASSERT_TRUE(processEventsUntil([&] { return written.size() >= tiles.tiles.size(); }));
        EXPECT_EQ(written.size(), tiles.tiles.size());
    }
}

// The view's preview step filters the tiles that meet what it shows, and
// nothing else; changed settings make the rest stale first.
TEST_F(WorkerTestDocument, APreviewFiltersTheVisibleTilesOnly)
{
    CTessolinDoc document(m_options, m_presets, m_store, m_prompter);
    ASSERT_TRUE(document.open(m_photo));
    document.waitForWorker();
    ASSERT_TRUE(document.job().profileReady.load());
    const TileList& tiles = document.job().tiles;
    ASSERT_GT(tiles.tiles.size(), 1u) << "the photo must have several tiles";
    const Rect corner { 0, 0, 10, 10 };
    for (const bool resetFirst : { false, true }) {
        SCOPED_TRACE(resetFirst ? "after a settings change" : "first preview");
        document.writableJob().resetTilesBeforePreview = resetFirst;
        ASSERT_TRUE(document.startPreview(corner));
        EXPECT_FALSE(document.startPreview(corner)) << "one run at a time";
        document.waitForWorker();
        int filtered = 0;
        for (const Tile& tile : tiles.tiles)
            filtered += tile.filtered != 0 ? 1 : 0;
        EXPECT_EQ(filtered, 1) << "only the tile under the visible corner";
    }
    document.deleteContents();
    EXPECT_FALSE(document.startPreview(corner)) << "nothing loaded";
}

// What the window does while a preview runs and the user scrolls: each tile
// reported written is read at once, the original anywhere, and every scroll
// stops the run and starts one over another part. Under ThreadSanitizer this
// catches a read of pixels the worker may still be writing.
TEST_F(WorkerTestDocument, ReadingReportedTilesWhileScrollingIsSafe)
{
    CTessolinDoc document(m_options, m_presets, m_store, m_prompter);
    ASSERT_TRUE(document.open(m_photo));
    document.waitForWorker();
    ASSERT_TRUE(document.job().profileReady.load());
    const int32_t width = document.image()->width();
    const int32_t height = document.image()->height();
    int reported = 0;
    QRgb seen = 0;
    QObject::connect(&document, &CTessolinDoc::tileWritten, [&](const Rect& rect) {
        ++reported;
        const QImage tile = document.image()->region(
            QRect(rect.left, rect.top, rect.width(), rect.height()));
        const QImage original = document.image()->region(QRect(0, 0, width, height), true);
        ASSERT_FALSE(tile.isNull());
        seen ^= tile.pixel(tile.width() / 2, tile.height() / 2) ^ original.pixel(0, 0);
    });
    const Rect parts[] = { { 0, 0, width / 2, height / 2 }, { width / 2, height / 2, width, height },
        { 0, height / 2, width / 2, height }, { width / 2, 0, width, height / 2 } };
    for (int scroll = 0; scroll < 8; ++scroll) {
        document.writableJob().resetTilesBeforePreview = true; // new settings: every tile again
        ASSERT_TRUE(processEventsUntil([&] { return !document.isRunning(); }));
        const int before = reported;
        ASSERT_TRUE(document.startPreview(parts[scroll % 4]));
        processEventsUntil([&] { return reported > before || !document.isRunning(); });
        document.requestPreview(false); // the scroll: the run stops at its next tile
    }
    ASSERT_TRUE(processEventsUntil([&] { return !document.isRunning(); }));
    QCoreApplication::processEvents();
    EXPECT_GT(reported, 0);
}

TEST_F(WorkerTestDocument, SaveModifiedFollowsTheAnswers)
{
    const QString saved = m_folder.filePath(QStringLiteral("out.jpg"));
    const QString unwritable = m_folder.filePath(QStringLiteral("no/such/folder/out.jpg"));
    struct Row {
        const char* name;
        PromptAnswer answer;
        QString savePath; // the file dialog's answer
        bool goesOn; // the close may continue
        bool writes;
        int errors;
    };
    const Row rows[] = {
        { "cancel keeps the image", PromptAnswer::Cancel, saved, false, false, 0 },
        { "no closes without saving", PromptAnswer::No, saved, true, false, 0 },
        { "yes saves, then closes", PromptAnswer::Yes, saved, true, true, 0 },
        { "yes, save dialog cancelled", PromptAnswer::Yes, QString(), false, false, 0 },
        { "yes, save fails", PromptAnswer::Yes, unwritable, false, false, 1 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QFile::remove(saved);
        ScriptedPrompter prompter;
        prompter.answer = row.answer;
        prompter.savePath = row.savePath;
        CTessolinDoc document(m_options, m_presets, m_store, prompter);
        ASSERT_TRUE(document.open(m_photo));
        ASSERT_TRUE(document.processWholeImageNow());
        document.writableJob().processedByGo = true;

        EXPECT_EQ(document.saveModified(), row.goesOn);
        ASSERT_EQ(prompter.asked.size(), 1);
        EXPECT_EQ(prompter.asked.first(),
            QStringLiteral("The image has not been saved. Do you want to save it?"));
        EXPECT_EQ(QFile::exists(saved), row.writes);
        EXPECT_TRUE(document.isLoaded());
        ASSERT_TRUE(processEventsUntil([&] { return prompter.told.size() >= row.errors; }));
        QCoreApplication::processEvents();
        ASSERT_EQ(prompter.told.size(), row.errors);
        if (row.errors > 0) {
            EXPECT_TRUE(prompter.told.first().startsWith(
                QStringLiteral("Failed to save file \"%1\".\r\n").arg(unwritable)));
        }
        // Once written, the image asks no more; a failed save leaves it
        // unsaved, and the next close asks again.
        prompter.answer = PromptAnswer::No;
        EXPECT_TRUE(document.saveModified());
        EXPECT_EQ(prompter.asked.size(), row.writes ? 1 : 2);
        EXPECT_EQ(document.job().saved.load(), row.writes);
    }
}

// A save writes over an existing file, the opened photo among them, only
// under the name that the save dialog asked about, or after a Yes here.
TEST_F(WorkerTestDocument, SaveNeverReplacesAFileUnasked)
{
    const QString source = m_folder.filePath(QStringLiteral("photo.jpg"));
    const QString other = m_folder.filePath(QStringLiteral("other.jpg"));
    struct Row {
        const char* name;
        QString answered; // by the save dialog; empty: saveDocument alone
        QString target;
        PromptAnswer answer;
        const char* question; // nullptr: none
        bool writes;
    };
    const Row rows[] = {
        { "a bare name of the photo, No", m_folder.filePath(QStringLiteral("photo")), source,
            PromptAnswer::No, "is the photo you opened", false },
        { "a bare name of the photo, Yes", m_folder.filePath(QStringLiteral("photo")), source,
            PromptAnswer::Yes, "is the photo you opened", true },
        { "a bare name of another file, No", m_folder.filePath(QStringLiteral("other")), other,
            PromptAnswer::No, "already exists", false },
        { "the name the dialog asked about", other, other, PromptAnswer::No, nullptr, true },
        { "no dialog, the photo itself, No", QString(), source, PromptAnswer::No,
            "is the photo you opened", false },
    };
    ASSERT_TRUE(noisyPicture(700, 640).save(source));
    const QByteArray photo = test::readBytes(source);
    const QByteArray otherBytes("another file");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(test::writeBytes(source, photo));
        ASSERT_TRUE(test::writeBytes(other, otherBytes));
        ScriptedPrompter prompter;
        prompter.answer = row.answer;
        prompter.savePath = row.answered;
        CTessolinDoc document(m_options, m_presets, m_store, prompter);
        ASSERT_TRUE(document.open(source));
        ASSERT_TRUE(document.processWholeImageNow());
        const bool written
            = row.answered.isEmpty() ? document.saveDocument(source) : document.save();
        EXPECT_EQ(written, row.writes);
        ASSERT_EQ(prompter.asked.size(), row.question != nullptr ? 1 : 0);
        if (row.question != nullptr) {
            EXPECT_TRUE(prompter.asked.first().startsWith(
                QLatin1Char('"') + QDir::toNativeSeparators(row.target) + QLatin1Char('"')));
            EXPECT_TRUE(prompter.asked.first().contains(QLatin1String(row.question)))
                << prompter.asked.first().toStdString();
        }
        const QByteArray before = row.target == source ? photo : otherBytes;
        EXPECT_EQ(test::readBytes(row.target) != before, row.writes);
        EXPECT_EQ(QDir(m_folder.path()).entryList(QDir::Files),
            (QStringList { "other.jpg", "photo.jpg", "photo.png" }))
            << "nothing else was written";
    }
}

TEST_F(WorkerTestDocument, SavingAPartlyFilteredImageAsksFirst)
{
    const QString target = m_folder.filePath(QStringLiteral("result"));
    for (const PromptAnswer answer : { PromptAnswer::No, PromptAnswer::Yes }) {
        SCOPED_TRACE(answer == PromptAnswer::Yes ? "yes" : "no");
        QFile::remove(target + QStringLiteral(".jpg"));
        ScriptedPrompter prompter;
        prompter.answer = answer;
        CTessolinDoc document(m_options, m_presets, m_store, prompter);
        ASSERT_TRUE(document.open(m_photo));
        document.waitForWorker();
        const bool written = document.saveDocument(target);
        ASSERT_EQ(prompter.asked.size(), 1);
        EXPECT_EQ(prompter.asked.first(),
            QStringLiteral("The image has not been entirely processed.\r\nDo you want to process "
                           "the image now and then save it?"));
        EXPECT_EQ(written, answer == PromptAnswer::Yes);
        // A name without "." is given ".jpg".
        EXPECT_EQ(QFile::exists(target + QStringLiteral(".jpg")), answer == PromptAnswer::Yes);
        EXPECT_FALSE(QFile::exists(target));
        EXPECT_TRUE(document.job().request.savePath.isEmpty());
    }
}

// A batch from a window: it starts and returns, its reports arrive as
// signals on the document's thread, its lists are read after its end, and it
// writes what the waiting runBatch of the command line writes. The photo open
// in the window keeps its own profiles.
TEST_F(WorkerTestDocument, AStartedBatchReportsThroughSignalsAndMatchesTheWaitingOne)
{
    const QString second = m_folder.filePath(QStringLiteral("second.png"));
    ASSERT_TRUE(noisyPicture(300, 200).save(second));
    const QString missing = m_folder.filePath(QStringLiteral("missing.png"));
    const QStringList files { m_photo, missing, second };
    BatchSettings settings;
    settings.options.format = BatchFormat::Png;
    settings.options.presetIndex = 2;

    struct Row {
        const char* name;
        bool started; // startBatch, else runBatch
        const char* folder;
    };
    const Row rows[] = { { "started", true, "a" }, { "waited for", false, "b" } };
    std::map<QString, QImage> results[2];
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CTessolinDoc document(m_options, m_presets, m_store, m_prompter);
        settings.options.destinationMode = DestinationMode::Subfolder;
        settings.options.destinationFolder = QLatin1String(row.folder);
        BatchJob waited;
        if (row.started) {
            const QString open = m_folder.filePath(QStringLiteral("open.png"));
            ASSERT_TRUE(noisyPicture(650, 620).save(open));
            ASSERT_TRUE(document.open(open));
            document.waitForWorker();
            const ProcessingJob& job = document.job();
            ASSERT_TRUE(job.profileMeasured.load());
            const auto profilesOf = [&job] {
                QByteArray bytes;
                for (const NoiseProfile* profile :
                    { &job.activeProfile, &job.measuredProfile, &job.learnedProfile })
                    bytes.append(reinterpret_cast<const char*>(profile), sizeof(NoiseProfile));
                return bytes;
            };
            const QByteArray profilesBefore = profilesOf();
            std::vector<int> percents;
            QStringList stages;
            int ends = 0;
            QObject::connect(&document, &CTessolinDoc::batchFileSettled, &document,
                [&](int32_t index, int32_t count, qint64, qint64) {
                    EXPECT_EQ(QThread::currentThread(), document.thread());
                    percents.push_back((index + 1) * 100 / count);
                });
            QObject::connect(&document, &CTessolinDoc::batchFileStage, &document,
                [&](const QString& file, int32_t, int32_t, BatchStage) {
                    stages.append(QFileInfo(file).fileName());
                });
            QObject::connect(&document, &CTessolinDoc::batchEnded, &document, [&] {
                ++ends;
                EXPECT_FALSE(document.isRunning()) << "the job is free at the end";
            });
            ASSERT_TRUE(document.startBatch(files, settings));
            EXPECT_TRUE(document.isBatchGoing());
            EXPECT_FALSE(document.startBatch(files, settings)) << "one run at a time";
            ASSERT_TRUE(processEventsUntil([&] { return ends > 0; }));
            EXPECT_FALSE(document.isBatchGoing());
            EXPECT_EQ(percents, (std::vector<int> { 33, 66, 100 }));
            EXPECT_TRUE(stages.contains(QStringLiteral("second.png")));
            EXPECT_EQ(document.job().request.batch, nullptr);
            EXPECT_TRUE(job.profileMeasured.load());
            EXPECT_EQ(profilesOf(), profilesBefore) << "the open photo's profiles are not the batch's";
            EXPECT_TRUE(document.batchMeasuredProfile().has_value());
        } else {
            test::QuietHost host;
            waited.files = files;
            waited.fileCount = 3;
            document.runBatch(waited, settings, host);
        }
        const BatchJob& batch = row.started ? document.lastBatch() : waited;
        EXPECT_EQ(batch.doneFiles, (QStringList { m_photo, second }));
        EXPECT_EQ(batch.failedFiles, QStringList { missing });
        for (const QString& written : batch.writtenFiles) {
            QImage result(written);
            ASSERT_FALSE(result.isNull()) << written.toStdString();
            results[row.started ? 0 : 1][QFileInfo(written).fileName()] = result;
        }
    }
    ASSERT_EQ(results[0].size(), 2u);
    for (const auto& [name, image] : results[0])
        EXPECT_TRUE(image == results[1][name]) << name.toStdString();
}

} // namespace
} // namespace calmora
