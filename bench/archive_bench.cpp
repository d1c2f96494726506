// calmora-cli as an archive run sees it, the program itself started as a
// user starts it: the start-up cost (--version, and one 64 x 64 JPEG
// denoised end to end) and the rate of many 64 x 64 JPEGs through
// --files-from in one process, and through four --shard processes at once
// as GNU parallel would start them. CALMORA_BENCH_FILES sets how many files
// the list holds (2000 by default; the files are made once per run).
//
// Counters: files_per_s; peak_rss_mb, the largest resident size any
// calmora-cli process of this run has reached so far (flat when it does not
// grow with the list).

#include <benchmark/benchmark.h>

#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <random>
#include <sys/resource.h>

namespace {

QTemporaryDir& folder()
{
    static QTemporaryDir dir;
    return dir;
}

// A home of the benchmark's own: no user's options or learned profiles are
// read or written.
QProcessEnvironment isolated()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString home = folder().filePath(QStringLiteral("home"));
    QDir().mkpath(home);
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    return environment;
}

QProcess* start(const QStringList& arguments)
{
    auto* process = new QProcess;
    process->setProcessEnvironment(isolated());
    process->setWorkingDirectory(folder().path());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->start(QStringLiteral(CALMORA_CLI_PATH), arguments);
    return process;
}

bool finish(QProcess* process)
{
    const bool ok = process->waitForFinished(-1) && process->exitStatus() == QProcess::NormalExit
        && process->exitCode() == 0;
    delete process;
    return ok;
}

// A noisy 64 x 64 JPEG, different for each seed.
void writePhoto(const QString& path, unsigned seed)
{
    QImage picture(64, 64, QImage::Format_RGB32);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> noise(-20, 20);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            const int base = 60 + static_cast<int>(seed % 100) + x + y;
            picture.setPixel(x, y,
                qRgb(base + noise(random), base + 10 + noise(random), base - 10 + noise(random)));
        }
    picture.save(path, "JPEG", 90);
}

int listSize()
{
    const int given = qEnvironmentVariableIntValue("CALMORA_BENCH_FILES");
    return given > 0 ? given : 2000;
}

// The list file, its photos made on first use.
QString list()
{
    static QString path;
    if (!path.isEmpty())
        return path;
    QDir(folder().path()).mkpath(QStringLiteral("in"));
    QByteArray lines;
    for (int i = 0; i < listSize(); ++i) {
        const QString name = QStringLiteral("in/p%1.jpg").arg(i);
        writePhoto(folder().filePath(name), static_cast<unsigned>(i));
        lines += name.toUtf8() + '\n';
    }
    path = folder().filePath(QStringLiteral("list.txt"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(lines) != lines.size() || !file.flush())
        path.clear();
    return path;
}

double peakRssMb()
{
    rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
}

void runOnce(benchmark::State& state, const QStringList& arguments)
{
    for (auto _ : state) {
        if (!finish(start(arguments))) {
            state.SkipWithError("calmora-cli failed");
            return;
        }
    }
    state.counters["peak_rss_mb"] = peakRssMb();
}

void BM_Version(benchmark::State& state)
{
    runOnce(state, { QStringLiteral("--version") });
}
BENCHMARK(BM_Version)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OneSmallJpeg(benchmark::State& state)
{
    const QString photo = folder().filePath(QStringLiteral("one.jpg"));
    writePhoto(photo, 7);
    runOnce(state,
        { QStringLiteral("denoise"), QStringLiteral("--quiet"), QStringLiteral("-o"),
            folder().filePath(QStringLiteral("one_out.jpg")), photo });
}
BENCHMARK(BM_OneSmallJpeg)->Unit(benchmark::kMillisecond)->UseRealTime();

// The whole list in `shards` processes at once, each given every core
// (one process) or one core (four, as GNU parallel's -j4 would run them).
void BM_FilesFrom(benchmark::State& state)
{
    const int shards = static_cast<int>(state.range(0));
    const QString listPath = list();
    if (listPath.isEmpty()) {
        state.SkipWithError("the list could not be written");
        return;
    }
    double seconds = 0.0;
    for (auto _ : state) {
        QDir(folder().filePath(QStringLiteral("out"))).removeRecursively();
        QElapsedTimer timer;
        timer.start();
        std::vector<QProcess*> processes;
        for (int shard = 0; shard < shards; ++shard) {
            QStringList arguments { QStringLiteral("denoise"), QStringLiteral("--quiet"),
                QStringLiteral("--no-learn"), QStringLiteral("--files-from"), listPath,
                QStringLiteral("--dest-dir"), QStringLiteral("out") };
            if (shards > 1)
                arguments << QStringLiteral("--threads") << QStringLiteral("1")
                          << QStringLiteral("--shard")
                          << QStringLiteral("%1/%2").arg(shard).arg(shards);
            processes.push_back(start(arguments));
        }
        bool ok = true;
        for (QProcess* process : processes)
            ok = finish(process) && ok;
        const double iteration = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        state.SetIterationTime(iteration);
        seconds += iteration;
        if (!ok) {
            state.SkipWithError("calmora-cli failed");
            return;
        }
    }
    state.counters["files_per_s"]
        = static_cast<double>(listSize()) * static_cast<double>(state.iterations()) / seconds;
    state.counters["peak_rss_mb"] = peakRssMb();
}
BENCHMARK(BM_FilesFrom)
    ->Arg(1)
    ->Arg(4)
    ->ArgName("processes")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

} // namespace
