// Deleting learned profiles from the window while the worker learns and
// looks up: the window's thread only raises the request, the run carries it
// out before it learns, and the window carries it out itself once no run
// goes. Run under ThreadSanitizer with the worker's tests (their filter,
// WorkerTest*, takes these in).

#include <thread>
#include <vector>

#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "document/bitmap_ex.h"
#include "document/processing_worker.h"
#include "engine/engine.h"
#include "settings/learned_profile_store.h"
#include "settings/presets.h"
#include "test_files.h"

namespace calmora {
namespace {

// A store with content and no protection of its own: every profile offered
// is kept, and a look-up finds the latest. Whatever touches its list from
// two threads at once, ThreadSanitizer reports.
struct KeepingStore final : LearnedProfileStore {
    void learn(const QString&, const ExifRecord&, const NoiseProfile& profile) override
    {
        kept.push_back(profile);
    }
    bool lookUp(const ExifRecord&, NoiseProfile& profile) override
    {
        if (kept.empty())
            return false;
        profile = kept.back();
        return true;
    }
    bool deleteAll() override
    {
        kept.clear();
        ++deletions;
        return true;
    }

    std::vector<NoiseProfile> kept;
    int deletions = 0;
};

class WorkerTestDeleteLearned : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QString path = dir.filePath(QStringLiteral("picture.png"));
        QImage picture(200, 120, QImage::Format_RGB32);
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                picture.setPixel(x, y, qRgb((x * 7 + y * 13) % 256, 90 + (x * y) % 40, 120));
        ASSERT_TRUE(test::writePicture(path, picture, "png"));
        ASSERT_TRUE(image.load(path));
        buildTileList(image.width(), image.height(), job.tiles);
        PresetTable().deriveParams(0, job.request.settings);
        job.request.image = &image;
        job.request.host = &host;
        job.request.profileStore = &store;
        job.request.threadCount = 1;
    }

    // One profile pass, started and run on the calling thread.
    void profilePass()
    {
        job.request.buildProfile = true;
        job.profileReady = false;
        job.running = true;
        runJob(job, takeSnapshot(job));
    }

    QTemporaryDir dir;
    CBitmapEx image;
    test::QuietHost host;
    KeepingStore store;
    ProcessingJob job;
};

struct DeleteRow {
    const char* name;
    bool requested; // before the pass
    bool selfLearning;
    size_t keptAfter; // of two kept before
};

class WorkerTestDeleteLearnedPass : public WorkerTestDeleteLearned,
                                    public ::testing::WithParamInterface<DeleteRow> { };

// A request raised while no pass could carry it out is carried out by the
// next pass before it learns, with self-learning on or off.
TEST_P(WorkerTestDeleteLearnedPass, ThePassCarriesOutAPendingRequestBeforeItLearns)
{
    const DeleteRow& row = GetParam();
    store.kept.resize(2);
    job.request.options.settings2.selfLearning = row.selfLearning ? 1 : 0;
    if (row.requested) {
        EXPECT_TRUE(deleteLearnedProfiles(store, true));
    }
    EXPECT_EQ(store.kept.size(), 2u) << "a run is going: the window must not clear the list";
    profilePass();
    EXPECT_EQ(store.kept.size(), row.keptAfter);
    EXPECT_EQ(store.deletions, row.requested ? 1 : 0);
    EXPECT_FALSE(store.deleteRequested());
}

INSTANTIATE_TEST_SUITE_P(WorkerTestDelete, WorkerTestDeleteLearnedPass,
    ::testing::Values(DeleteRow { "RequestedLearning", true, true, 1 },
        DeleteRow { "RequestedNotLearning", true, false, 0 },
        DeleteRow { "NotRequestedLearning", false, true, 3 },
        DeleteRow { "NotRequestedNotLearning", false, false, 2 }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WorkerTestDeleteLearned, WithoutARunTheWindowDeletesAtOnce)
{
    store.kept.resize(3);
    EXPECT_TRUE(deleteLearnedProfiles(store, false));
    EXPECT_TRUE(store.kept.empty());
    EXPECT_EQ(store.deletions, 1);
    EXPECT_FALSE(store.deleteRequested());
    // Nothing pending: a second settle deletes nothing more.
    EXPECT_TRUE(store.settleDeleteRequest());
    EXPECT_EQ(store.deletions, 1);
}

// The window asks again and again while passes learn on another thread;
// once they have ended and the window has settled, nothing is left, and the
// list was never touched from two threads (ThreadSanitizer).
TEST_F(WorkerTestDeleteLearned, RequestsDuringRunsAreSafeAndLeaveNothingBehind)
{
    job.request.options.settings2.selfLearning = 1;
    constexpr int kPasses = 4;
    std::atomic<bool> done { false };
    std::thread worker([&] {
        for (int pass = 0; pass < kPasses; ++pass)
            profilePass();
        done = true;
    });
    // At least one request, however soon the passes end on a busy machine.
    int requests = 0;
    do {
        EXPECT_TRUE(deleteLearnedProfiles(store, true));
        ++requests;
        std::this_thread::yield();
    } while (!done.load());
    worker.join();
    EXPECT_GT(requests, 0);
    EXPECT_TRUE(deleteLearnedProfiles(store, job.running.load(std::memory_order_acquire)));
    EXPECT_TRUE(store.kept.empty());
    EXPECT_FALSE(store.deleteRequested());
    EXPECT_GE(store.deletions, 1);
}

} // namespace
} // namespace calmora
