// The live preview through the document and the worker, headless, on the
// generated 20-megapixel photo: the view at 100 % in a 1920 × 1080 client
// asks for a preview, and the benchmark times the first and the last visible
// tile arriving on the document's thread. A second case runs Go (the whole
// image) and measures how long the event loop of the document's thread ever
// waits between two 10 ms timer ticks while the worker filters.
//
// Counters, in milliseconds: firstTile, lastTile (from the request), and
// for Go worstGap (the longest time the event loop did not answer).

#include "bench/bench_photo.h"
#include "document/tessolin_doc.h"
#include "settings/learned_profile_store.h"
#include "settings/options.h"
#include "settings/presets.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace {

using namespace calmora;
using namespace calmora::bench;

struct Session {
    Options options;
    PresetTable presets;
    EmptyProfileStore store;
    SilentPrompter prompter;
    CTessolinDoc document { options, presets, store, prompter };

    bool open()
    {
        if (!document.open(photoFile()))
            return false;
        document.waitForWorker();
        // Let the queued profile signal arrive.
        QCoreApplication::processEvents();
        return document.job().profileReady.load();
    }

    // Spins the event loop until the run in hand has ended.
    void waitForRun()
    {
        while (document.isRunning())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::processEvents();
    }
};

// The view's visible rectangle at 100 % in a 1920 x 1080 client, centred.
Rect visibleFullHd()
{
    const int32_t left = (kWidth - 1920) / 2;
    const int32_t top = (kHeight - 1080) / 2;
    return Rect { left, top, left + 1920, top + 1080 };
}

void livePreview(benchmark::State& state)
{
    Session session;
    if (!session.open()) {
        state.SkipWithError("the photo could not be opened and measured");
        return;
    }
    double firstSum = 0;
    double lastSum = 0;
    for (auto _ : state) {
        session.document.resetProcessedState();
        QElapsedTimer clock;
        double first = -1;
        double last = 0;
        const auto connection
            = QObject::connect(&session.document, &CTessolinDoc::tileWritten, [&](const Rect&) {
                  const double ms = clock.nsecsElapsed() / 1e6;
                  if (first < 0)
                      first = ms;
                  last = ms;
              });
        clock.start();
        session.document.startPreview(visibleFullHd());
        session.waitForRun();
        QObject::disconnect(connection);
        firstSum += first;
        lastSum += last;
    }
    state.counters["firstTile"] = benchmark::Counter(firstSum, benchmark::Counter::kAvgIterations);
    state.counters["lastTile"] = benchmark::Counter(lastSum, benchmark::Counter::kAvgIterations);
}

void goKeepsTheEventLoopAnswering(benchmark::State& state)
{
    Session session;
    if (!session.open()) {
        state.SkipWithError("the photo could not be opened and measured");
        return;
    }
    double worstGap = 0;
    for (auto _ : state) {
        session.document.resetProcessedState();
        QElapsedTimer sinceTick;
        double gap = 0;
        QTimer ticker;
        ticker.setInterval(10);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            gap = std::max(gap, sinceTick.nsecsElapsed() / 1e6);
            sinceTick.restart();
        });
        session.document.beginWholeImage();
        sinceTick.start();
        ticker.start();
        // The progress window's 50 ms poll, without the window.
        WholeImageStep step = WholeImageStep::BuildingProfile;
        while (step != WholeImageStep::Finished && step != WholeImageStep::Stopped) {
            QEventLoop wait;
            QTimer::singleShot(50, &wait, &QEventLoop::quit);
            wait.exec();
            step = session.document.continueWholeImage();
        }
        session.document.endWholeImage();
        ticker.stop();
        worstGap = std::max(worstGap, gap);
    }
    state.counters["worstGap"] = worstGap;
}

BENCHMARK(livePreview)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(goKeepsTheEventLoopAnswering)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

} // namespace
