// The main of the benchmarks that read or write image files, or run the
// document's event loop: Qt's image plugins are found through the
// application object, and queued signals need one.

#include <benchmark/benchmark.h>

#include <QCoreApplication>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
