#include <functional>
#include <stdexcept>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "document/bitmap_ex.h"
#include "document/processing_worker.h"
#include "engine/engine.h"
#include "noisy_picture.h"
#include "settings/learned_profile_store.h"
#include "settings/presets.h"
#include "test_files.h"

namespace calmora {
namespace {

// A ramp with seeded noise: texture for the measurement and the filter.
// Pixel by pixel: QImage's own conversion runs on threads that the thread
// sanitizer cannot see into.
QImage widened(const QImage& picture)
{
    QImage wide(picture.size(), QImage::Format_RGBX64);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            wide.setPixelColor(x, y, picture.pixelColor(x, y));
    return wide;
}

struct RecordingHost final : WorkerHost {
    void setProgress(ProgressKind, int percent) override
    {
        progress.push_back(percent);
        if (onProgress)
            onProgress();
    }
    void runStatus(RunStatus status) override { statuses.push_back(status); }
    void tileWritten(const Rect& rect) override { written.push_back(rect); }
    void profileReady() override { ++profileReadies; }
    void batchFileStage(const QString&, int32_t, int32_t, BatchStage) override { }
    void batchFileSettled(int32_t, int32_t, int64_t, int64_t) override { }
    void batchEnded() override { }
    void reportError(const QString& message, const QString& reason) override
    {
        if (reportThrows)
            throw std::runtime_error("cannot report either");
        errors.append(message + '|' + reason);
    }
    void reportNote(const QString& file, const QString& note) override
    {
        errors.append(file + '|' + note);
    }

    std::vector<int> progress;
    std::vector<RunStatus> statuses;
    QStringList errors;
    std::vector<Rect> written;
    int profileReadies = 0;
    std::function<void()> onProgress;
    bool reportThrows = false;
};

// A store that has seen this camera before and answers with a constant
// profile, which smoothing leaves as it is.
struct KnowingStore final : LearnedProfileStore {
    static constexpr int16_t kNoise = 777;
    void learn(const QString&, const ExifRecord&, const NoiseProfile&) override { }
    bool lookUp(const ExifRecord&, NoiseProfile& profile) override
    {
        for (NoiseBand& band : profile.bands)
            std::fill(&band.noise[0][0], &band.noise[0][0] + kMaxPoints * kChannels, kNoise);
        return true;
    }
    bool deleteAll() override { return true; }
};

bool sameNoise(const NoiseProfile& a, const NoiseProfile& b)
{
    return a.bandCount == b.bandCount && std::memcmp(a.bands, b.bands, sizeof a.bands) == 0;
}

QByteArray pixelsOf(const CBitmapEx& image)
{
    const ImageDesc desc = image.description();
    return QByteArray(
        reinterpret_cast<const char*>(desc.pixels), qsizetype { desc.stride } * desc.height);
}

bool tileUnchanged(const CBitmapEx& image, const QByteArray& before, const Rect& dest)
{
    const ImageDesc desc = image.description();
    for (int y = dest.top; y < dest.bottom; ++y) {
        const qsizetype start = qsizetype { y } * desc.stride + dest.left * 4;
        if (std::memcmp(desc.pixels + start, before.constData() + start, size_t(dest.width()) * 4)
            != 0)
            return false;
    }
    return true;
}

int filteredCount(const TileList& tiles)
{
    return int(std::count_if(
        tiles.tiles.begin(), tiles.tiles.end(), [](const Tile& t) { return t.filtered != 0; }));
}

class WorkerTest : public ::testing::Test {
protected:
    // 1300 x 700 is three columns and two rows of tiles.
    void open(
        int width = 1300, int height = 700, const char* format = "png", bool sixteenBits = false)
    {
        path = dir.filePath(QStringLiteral("picture.") + format);
        const QImage picture = noisyPicture(width, height);
        ASSERT_TRUE(test::writePicture(path, sixteenBits ? widened(picture) : picture, format));
        ASSERT_TRUE(image.load(path));
        buildTileList(image.width(), image.height(), job.tiles);
        PresetTable().deriveParams(0, job.request.settings);
        job.request.image = &image;
        job.request.host = &host;
        job.request.options = options;
        job.request.profileStore = &store;
        job.request.threadCount = 1;
    }

    void run()
    {
        job.running = true;
        runJob(job, takeSnapshot(job));
        EXPECT_FALSE(job.running.load());
    }

    QTemporaryDir dir;
    QString path;
    CBitmapEx image;
    RecordingHost host;
    Options options;
    EmptyProfileStore store;
    ProcessingJob job;
};

TEST(PreviewRect, TopRowsOfThePictureAreTheLastBufferRows)
{
    const Rect rows = previewRectToBufferRows(Rect { 10, 0, 200, 100 }, 1000);
    EXPECT_EQ(rows.top, 899);
    EXPECT_EQ(rows.bottom, 999);
}

struct ProfileRow {
    const char* name;
    bool knowingStore;
    bool useMeasured;
};

class ProfilePass : public WorkerTest, public ::testing::WithParamInterface<ProfileRow> { };

TEST_P(ProfilePass, PublishesTheSmoothedChoiceAndLeavesThePixels)
{
    open(320, 240, "jpeg");
    test::editMetadata(path, [](Exiv2::Image& file) {
        Exiv2::ExifData exif;
        exif["Exif.Photo.ISOSpeedRatings"] = std::string("800"); // eligible for self-learning
        file.setExifData(exif);
    });
    ASSERT_TRUE(image.load(path));
    KnowingStore knowing;
    if (GetParam().knowingStore)
        job.request.profileStore = &knowing;
    job.request.useMeasuredProfile = GetParam().useMeasured;
    job.request.buildProfile = true;
    const QByteArray before = pixelsOf(image);
    run();

    ASSERT_TRUE(job.profileReady.load());
    EXPECT_TRUE(job.profileMeasured.load());
    EXPECT_FALSE(job.request.buildProfile);
    EXPECT_EQ(host.profileReadies, 1);
    EXPECT_EQ(pixelsOf(image), before);
    EXPECT_EQ(host.statuses,
        (std::vector<RunStatus> { RunStatus::BuildingProfile, RunStatus::ProfileBuilt }));

    TileList tiles;
    buildTileList(image.width(), image.height(), tiles);
    NoiseProfile measured;
    resetProfile(measured, false);
    ASSERT_TRUE(buildProfile(image.description(), tiles, measured, nullptr, nullptr));
    smoothProfile(measured);
    EXPECT_TRUE(sameNoise(job.measuredProfile, measured));
    EXPECT_EQ(job.learnedProfile.bands[2].noise[5][kCb],
        GetParam().knowingStore ? KnowingStore::kNoise : measured.bands[2].noise[5][kCb]);
    EXPECT_TRUE(sameNoise(
        job.activeProfile, GetParam().useMeasured ? job.measuredProfile : job.learnedProfile));
    // A store that keeps what it learns was offered a reading of the pixels;
    // their estimate is kept for automatic strength, made once.
    ASSERT_EQ(job.pixelNoise.has_value(), GetParam().knowingStore);
    if (job.pixelNoise) {
        const ImageDesc untouched = image.untouchedDescription();
        EXPECT_EQ(job.pixelNoise->lumaDeviation, estimatePixelNoise(untouched).lumaDeviation);
    }
}

INSTANTIATE_TEST_SUITE_P(Worker, ProfilePass,
    ::testing::Values(ProfileRow { "EmptyStore", false, false },
        ProfileRow { "LearnedProfile", true, false },
        ProfileRow { "MeasuredOverLearned", true, true }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WorkerTest, PreviewFiltersTheTilesItSeesAndOnlyOnce)
{
    open();
    job.request.buildProfile = true;
    run();
    host = RecordingHost();
    const QByteArray before = pixelsOf(image);
    // The picture's top left corner: the top left tile alone, which holds the
    // last buffer rows.
    job.request.previewRect = Rect { 0, 0, 100, 50 };
    run();

    for (const Tile& tile : job.tiles.tiles) {
        SCOPED_TRACE(testing::Message() << "tile at " << tile.dest.left << "," << tile.dest.top);
        const bool seen = tile.dest.left == 0 && tile.dest.bottom == 700;
        EXPECT_EQ(tile.filtered != 0, seen);
        EXPECT_EQ(tileUnchanged(image, before, tile.dest), !seen);
    }
    EXPECT_EQ(host.progress, (std::vector<int> { 100, 100 }));
    ASSERT_EQ(host.written.size(), 1u) << "the one tile seen";
    EXPECT_EQ(host.written[0].left, 0);
    EXPECT_EQ(host.written[0].top, 0) << "picture rows, counted from the top";
    EXPECT_EQ(host.statuses,
        (std::vector<RunStatus> { RunStatus::UpdatingPreview, RunStatus::ImageFiltered }));

    // Nothing visible is left to filter: the bar is finished at once.
    host = RecordingHost();
    const QByteArray once = pixelsOf(image);
    job.request.progressWindow = ProgressKind::Background;
    run();
    EXPECT_EQ(pixelsOf(image), once);
    EXPECT_EQ(host.progress, std::vector<int> { 100 });
    EXPECT_EQ(host.statuses, std::vector<RunStatus> { RunStatus::ImageFiltered });
}

// The picture pixels whose display bytes differ from `before`; picture row y
// is buffer row height - 1 - y.
std::vector<std::pair<int, int>> changedPixels(const CBitmapEx& image, const QByteArray& before)
{
    const ImageDesc desc = image.description();
    const int bytes = desc.bitsPerPixel / 8; // a high-depth image's display has 24 bits
    std::vector<std::pair<int, int>> changed;
    for (int y = 0; y < desc.height; ++y)
        for (int x = 0; x < desc.width; ++x) {
            const qsizetype at = qsizetype { desc.height - 1 - y } * desc.stride + x * bytes;
            if (std::memcmp(desc.pixels + at, before.constData() + at, 3) != 0)
                changed.emplace_back(x, y);
        }
    return changed;
}

bool contains(const Rect& rect, int x, int y)
{
    return x >= rect.left && x < rect.right && y >= rect.top && y < rect.bottom;
}

TEST_F(WorkerTest, TileWrittenCoversExactlyTheTilesAPassFiltered)
{
    struct Row {
        const char* name;
        Rect preview; // picture rows
        bool wholeImage;
        bool sixteenBits; // the display is made when the pass ends
        int threads;
        bool stopAfterFirstTile; // tiles finished after a stop get no callback
    };
    const Row rows[] = {
        { "top left corner", { 0, 0, 100, 50 }, false, false, 1, false },
        { "across two tiles of the bottom row", { 550, 650, 700, 700 }, false, false, 1, false },
        { "16 bits, bottom right corner", { 1200, 600, 1300, 700 }, false, true, 1, false },
        { "whole image on two threads", {}, true, false, 2, false },
        { "whole image on two threads, stopped", {}, true, false, 2, true },
        { "16 bits, whole image, stopped", {}, true, true, 2, true },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        host = RecordingHost();
        open(1300, 700, "png", row.sixteenBits);
        ASSERT_EQ(image.highDepthPixels() != nullptr, row.sixteenBits);
        job.stop = false;
        job.request.wholeImage = false;
        job.request.buildProfile = true;
        run();
        ASSERT_TRUE(job.profileReady.load());
        const QByteArray before = pixelsOf(image);
        job.request.previewRect = row.preview;
        job.request.wholeImage = row.wholeImage;
        job.request.threadCount = row.threads;
        job.request.progressWindow = ProgressKind::Foreground;
        if (row.stopAfterFirstTile)
            host.onProgress = [&] { job.stop = true; };
        run();

        const int filtered = filteredCount(job.tiles);
        EXPECT_GT(filtered, 0);
        EXPECT_EQ(static_cast<int>(host.written.size()), filtered) << "one call per tile";
        const std::vector<std::pair<int, int>> changed = changedPixels(image, before);
        std::vector<bool> hit(host.written.size(), false);
        int outside = 0;
        for (const auto& [x, y] : changed) {
            bool inside = false;
            for (size_t k = 0; k < host.written.size(); ++k)
                if (contains(host.written[k], x, y)) {
                    EXPECT_FALSE(inside) << "rectangles overlap at " << x << "," << y;
                    inside = true;
                    hit[k] = true;
                }
            outside += inside ? 0 : 1;
        }
        EXPECT_EQ(outside, 0) << "changed pixels outside every reported rectangle";
        for (size_t k = 0; k < hit.size(); ++k)
            EXPECT_TRUE(hit[k]) << "nothing changed in " << host.written[k].left << ","
                                << host.written[k].top;
    }
}

TEST_F(WorkerTest, GenerationStopsFilteringButOnlyStopEndsAProfilePass)
{
    struct Row {
        const char* name;
        bool profilePass;
        bool setStop; // else a new generation
        bool completes;
        bool beforeStart = false; // between the snapshot and the run, else at its first tile
    };
    const Row rows[] = {
        { "filter, new generation", false, false, false },
        { "filter, stop", false, true, false },
        { "profile, new generation", true, false, true },
        { "profile, stop", true, true, false },
        { "profile, new generation before it starts", true, false, true, true },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ProcessingJob fresh;
        host = RecordingHost();
        open();
        job.stop = false;
        job.profileReady = job.profileMeasured = false;
        job.measuredProfile = fresh.measuredProfile;
        job.request.buildProfile = row.profilePass;
        job.request.wholeImage = !row.profilePass;
        job.request.progressWindow = ProgressKind::Foreground;
        host.onProgress = [&] {
            if (host.progress.size() == 1 && !row.beforeStart)
                row.setStop ? job.stop.store(true) : void(++job.generation);
        };
        if (row.beforeStart) {
            job.running = true;
            JobSnapshot snapshot = takeSnapshot(job);
            ++job.generation;
            runJob(job, std::move(snapshot));
        } else {
            run();
        }

        if (row.profilePass) {
            EXPECT_EQ(job.profileReady.load(), row.completes);
            EXPECT_EQ(job.profileMeasured.load(), row.completes);
            EXPECT_EQ(host.profileReadies, row.completes ? 1 : 0);
            EXPECT_EQ(sameNoise(job.measuredProfile, fresh.measuredProfile), !row.completes);
        } else {
            EXPECT_EQ(filteredCount(job.tiles), 1)
                << "the tile in hand is finished, no other is started";
            EXPECT_TRUE(job.request.wholeImage) << "a stopped run skips its ending";
        }
        // A stopped filter pass leaves the bar and the status text as they
        // were; a profile pass ends with them either way, its stop only
        // keeps the old profile.
        const bool ended = row.profilePass || row.completes;
        EXPECT_EQ(host.progress.back() == 100, ended);
        EXPECT_EQ(!host.statuses.empty()
                && (host.statuses.back() == RunStatus::ProfileBuilt
                    || host.statuses.back() == RunStatus::ImageFiltered),
            ended);
    }
}

TEST_F(WorkerTest, SaveRunOnTheWorkerThreadWritesOrReportsAndCountsAsSavedOnlyWhenWritten)
{
    ASSERT_TRUE(test::writeBytes(dir.filePath(QStringLiteral("blocker")), "a file, not a folder"));
    for (const char* file : { "result.jpg", "blocker/result.jpg" }) {
        SCOPED_TRACE(file);
        const bool writable = QLatin1String(file) == QLatin1String("result.jpg");
        open(700, 300);
        host = RecordingHost();
        const QString savePath = dir.filePath(QLatin1String(file));
        job.request.savePath = savePath;
        job.request.wholeImage = true;
        job.saved = false;
        job.request.threadCount = 2;
        ProcessingWorker worker;
        job.running = true;
        EXPECT_FALSE(worker.start(job)) << "one run at a time";
        job.running = false;
        ASSERT_TRUE(worker.start(job));
        worker.wait();

        EXPECT_FALSE(job.running.load());
        EXPECT_EQ(job.saved.load(), writable) << "a failed save leaves the image unsaved";
        EXPECT_TRUE(job.request.savePath.isEmpty());
        EXPECT_FALSE(job.request.wholeImage);
        EXPECT_EQ(filteredCount(job.tiles), job.tiles.count());
        CBitmapEx written;
        EXPECT_EQ(written.load(savePath), writable);
        if (writable) {
            EXPECT_TRUE(host.errors.isEmpty());
        } else {
            ASSERT_EQ(host.errors.size(), 1);
            const QString message = QStringLiteral("Failed to save file \"%1\".|").arg(savePath);
            EXPECT_TRUE(host.errors[0].startsWith(message)) << host.errors[0].toStdString();
            EXPECT_GT(host.errors[0].size(), message.size()) << "the reason is given";
        }
    }
}

} // namespace
} // namespace calmora

namespace calmora {
namespace {

TEST_F(WorkerTest, WhatEscapesARunIsReportedAndTheJobStaysUsable)
{
    struct Row {
        const char* name;
        bool profilePass;
        std::function<void()> thrower; // from the run's first progress call
        bool reportThrows;
        const char* reason; // nullptr: nothing can be recorded
    };
    const Row rows[] = {
        { "memory runs out in a preview", false, [] { throw std::bad_alloc(); }, false,
            "Not enough memory." },
        { "an error in a profile pass", true, [] { throw std::runtime_error("disk on fire"); },
            false, "disk on fire" },
        { "something that is no exception", false, [] { throw 42; }, false,
            "An unexpected error occurred." },
        { "the report throws too", true, [] { throw std::bad_alloc(); }, true, nullptr },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        host = RecordingHost();
        open(700, 300);
        job.stop = false;
        job.request.wholeImage = false;
        job.request.buildProfile = row.profilePass;
        job.request.previewRect = Rect { 0, 0, 700, 300 };
        host.onProgress = row.thrower;
        host.reportThrows = row.reportThrows;
        ProcessingWorker worker;
        ASSERT_TRUE(worker.start(job));
        worker.wait();

        EXPECT_FALSE(job.running.load());
        EXPECT_FALSE(job.request.buildProfile);
        if (row.reason != nullptr) {
            EXPECT_EQ(host.errors,
                QStringList { QStringLiteral("Processing stopped before its end.|")
                    + QLatin1String(row.reason) });
        }

        // The next runs go through: a profile pass, then the whole image.
        host = RecordingHost();
        job.request.buildProfile = true;
        ASSERT_TRUE(worker.start(job));
        worker.wait();
        job.request.wholeImage = true;
        ASSERT_TRUE(worker.start(job));
        worker.wait();
        EXPECT_TRUE(job.profileReady.load());
        EXPECT_EQ(filteredCount(job.tiles), job.tiles.count());
        EXPECT_TRUE(host.errors.isEmpty());
    }
}

} // namespace
} // namespace calmora
