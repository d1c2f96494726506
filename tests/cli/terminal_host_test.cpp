#include <functional>

#include <gtest/gtest.h>

#include "cli/terminal_host.h"

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

// The batch's events become the bar's texts here, at the terminal: the file
// with its stage, the counter, and the times without their trailing space.
TEST(TerminalHost, TheBarShowsTheStageTheCounterAndTheTimes)
{
    BatchJob batch;
    batch.fileCount = 4;
    TerminalHost host(batch, true, false, false);
    struct Row {
        const char* name;
        std::function<void()> event;
        const char* bar; // the last redraw
    };
    const Row rows[] = {
        { "profile stage",
            [&] { host.batchFileStage("/in/a.png", 0, 4, BatchStage::BuildingProfile); },
            "[........................]   0%  image 1 of 4  a.png - Building noise profile" },
        { "filter stage",
            [&] { host.batchFileStage("/in/a.png", 0, 4, BatchStage::FilteringNoise); },
            "[........................]   0%  image 1 of 4  a.png - Filtering noise" },
        { "file progress", [&] { host.setProgress(ProgressKind::File, 50); },
            "[############............]  50%  image 1 of 4  a.png - Filtering noise" },
        { "a preview's progress is not the file's",
            [&] { host.setProgress(ProgressKind::Background, 75); }, nullptr },
        { "settled", [&] { host.batchFileSettled(0, 4, 60000, 180000); },
            "[############............]  50%  image 1 of 4  a.png - Filtering noise  elapsed 1 "
            "min. 0 sec., remaining 3 min. 0 sec." },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testing::internal::CaptureStderr();
        row.event();
        const std::string out = testing::internal::GetCapturedStderr();
        if (row.bar == nullptr) {
            EXPECT_EQ(out, "");
            continue;
        }
        const std::string last = out.substr(out.rfind("\r\033[K") + 4);
        EXPECT_EQ(last, row.bar);
    }
    testing::internal::CaptureStderr();
    host.batchEnded();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\r\033[K") << "the bar is cleared";
}

} // namespace
} // namespace calmora
