// The image view's repaint on the generated 20-megapixel photo, offscreen:
// a whole 1920 x 1080 client at each zoom factor, and the repaint of one
// written tile at 100 %, the case the live preview hits most. The target
// is under 10 ms for a whole client, so that scrolling and the preview's
// tile-by-tile repaints never make the window stutter.

#include "bench/bench_photo.h"
#include "document/tessolin_doc.h"
#include "settings/learned_profile_store.h"
#include "settings/options.h"
#include "settings/presets.h"
#include "ui/tessolin_view.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImageWriter>
#include <QScrollBar>
#include <QTemporaryDir>

namespace {

using namespace calmora;
using namespace calmora::bench;

struct ViewSession {
    Options options;
    PresetTable presets;
    EmptyProfileStore store;
    SilentPrompter prompter;
    CTessolinDoc document { options, presets, store, prompter };
    std::unique_ptr<CTessolinView> view;

    bool open(int zoom)
    {
        options.settings.autoPreview = 0; // no pass may start while paints are timed
        if (!document.open(photoFile()))
            return false;
        document.waitForWorker();
        QApplication::processEvents();
        view = std::make_unique<CTessolinView>(&document, &options);
        view->resize(1920 + view->verticalScrollBar()->sizeHint().width(),
            1080 + view->horizontalScrollBar()->sizeHint().height());
        view->show();
        view->initialUpdate();
        view->setZoom(zoom);
        QApplication::processEvents();
        return true;
    }
};

void wholeClient(benchmark::State& state)
{
    ViewSession session;
    if (!session.open(static_cast<int>(state.range(0)))) {
        state.SkipWithError("the photo could not be opened");
        return;
    }
    QWidget* viewport = session.view->viewport();
    for (auto _ : state)
        viewport->repaint();
    state.counters["zoom"] = static_cast<double>(session.view->currentZoom());
}

void oneTile(benchmark::State& state)
{
    ViewSession session;
    if (!session.open(100)) {
        state.SkipWithError("the photo could not be opened");
        return;
    }
    QWidget* viewport = session.view->viewport();
    const QRect tile(viewport->width() / 2, viewport->height() / 2, 256, 256);
    for (auto _ : state)
        viewport->repaint(tile);
}

BENCHMARK(wholeClient)->Arg(25)->Arg(50)->Arg(100)->Arg(200)->Arg(400)->Unit(benchmark::kMillisecond);
BENCHMARK(oneTile)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    // Widgets need an application object; offscreen unless told otherwise,
    // so the benchmark runs without a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
