#include "cli/commands.h"

#include "cli/batch_report.h"
#include "cli/cli_args.h"
#include "cli/display_text.h"
#include "cli/file_list.h"
#include "cli/profile_json.h"
#include "cli/profiles_command.h"
#include "cli/terminal_host.h"
#include "document/bitmap_ex.h"
#include "document/file_formats.h"
#include "document/file_kind.h"
#include "document/safe_file.h"
#include "document/tessolin_doc.h"
#include "settings/auto_strength.h"
#include "settings/derive_params.h"
#include "settings/learned_profile_folder.h"
#include "settings/presets.h"
#include "settings/qsettings_store.h"
#include "settings/read_only_settings_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace calmora {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void out(const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
}
void err(const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stderr);
}

int usageError(const QString& message)
{
    err(QStringLiteral("calmora-cli: %1\nTry 'calmora-cli --help' for more information.\n")
            .arg(message));
    return kExitUsage;
}

int failure(const QString& message)
{
    err(QStringLiteral("calmora-cli: error: %1\n").arg(message));
    return kExitFailed;
}

// The document's questions on a terminal: nobody is asked. Its messages
// are dropped, since every command words its own failures from the reasons
// the document hands back.
class TerminalPrompter final : public DocumentPrompter {
public:
    PromptAnswer ask(const QString&, PromptIcon, PromptButtons buttons) override
    {
        return buttons == PromptButtons::Ok ? PromptAnswer::Ok : PromptAnswer::No;
    }
    void tell(const QString&, PromptIcon) override { }
    QString askSavePath(const QString& suggestedPath) override { return suggestedPath; }
    bool runWholeImage(CTessolinDoc& document) override { return document.processWholeImageNow(); }
};

// The application's settings, read as the desktop application reads them
// but never written: the file belongs to the desktop application, and a
// value filled in while loading lives for this run only. What loading
// skipped or repaired is told once, on standard error.
struct Environment {
    QSettingsStore file;
    ReadOnlySettingsStore store { file };
    Options options;
    PresetTable presets;
    // Learns nothing unless a command allows it.
    LearnedProfileFolder profileStore { QString() };
    TerminalPrompter prompter;

    Environment()
    {
        QStringList notes;
        if (!presets.initialise(store, &notes))
            notes << QStringLiteral("the filter presets could not be read; only the built-in "
                                    "ones are offered.");
        notes << loadOptions(store, options);
        for (const QString& note : notes)
            err(QStringLiteral("calmora-cli: note: %1: %2\n")
                    .arg(displayPath(file.location()), printableText(note)));
        profileStore.setLearning(false);
        profileStore.useFolder(options.profileFolder);
        profileStore.setNoteHandler([](const QString& note) {
            err(QStringLiteral("calmora-cli: note: %1\n").arg(printableText(note)));
        });
    }
};

// The first Ctrl-C or SIGTERM stops the run after the tile in hand, so that
// nothing half-written stays; a second one ends the program at once.
std::atomic<bool>* g_stopFlag = nullptr;
std::atomic<int> g_stopSignal { 0 };
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");
static_assert(std::atomic<int>::is_always_lock_free, "the signal is kept from a signal handler");

extern "C" void onStopSignal(int signalNumber)
{
    if (g_stopSignal.exchange(signalNumber) != 0) {
        // signal() and raise() are async-signal-safe; the raised signal is
        // delivered, with its default action, once this handler returns.
        std::signal(signalNumber, SIG_DFL);
        std::raise(signalNumber);
        return;
    }
    if (g_stopFlag != nullptr)
        g_stopFlag->store(true);
}

// Ends the program as the signal would have, so that a shell loop or a
// script sees the interruption (status 130 or 143), not a failed file.
[[noreturn]] void exitBySignal(int signalNumber)
{
    std::fflush(nullptr);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
    // Only reached if the signal is blocked.
    std::_Exit(128 + signalNumber);
}

// Opening a FIFO blocks until someone writes into it, and reading a device
// may never end. Images are refused by their loader; this is for the rest.
bool refuseIrregularFile(const QString& path, QString* error)
{
    const QString kind = irregularFileKind(path);
    if (kind.isEmpty())
        return false;
    *error = QStringLiteral("Cannot open \"%1\": %2.").arg(displayPath(path), kind);
    return true;
}

const char* const kBandNames[] = { "High", "Mid", "Low", "Very Low", "Lowest" };

// A profile is a few kilobytes; anything far larger is not one.
constexpr qint64 kMaxProfileBytes = 1 << 20;

std::optional<NoiseProfile> readProfileFile(const QString& path, QString* error)
{
    if (refuseIrregularFile(path, error))
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error
            = QStringLiteral("cannot read \"%1\": %2").arg(displayPath(path), file.errorString());
        return std::nullopt;
    }
    const QByteArray text = file.read(kMaxProfileBytes + 1);
    QString reason;
    std::optional<NoiseProfile> profile;
    if (text.size() > kMaxProfileBytes)
        reason = QStringLiteral("it is too large (over %1 KiB)").arg(kMaxProfileBytes / 1024);
    else
        profile = profileFromJsonText(text, &reason);
    if (!profile)
        *error = QStringLiteral("\"%1\" is not a noise profile: %2")
                     .arg(displayPath(path), printableText(reason));
    return profile;
}

// Where the one result of a run with --profile-out goes.
QString resultPath(const CliArguments& args, const BatchOptions& options)
{
    return args.output.isEmpty() ? batchOutputPath(args.files.first(), options) : args.output;
}

// A profile never replaces the source, --in-place or not (that lets a source
// be replaced by its own result alone), nor the result it belongs to.
// Checked before anything is read or written.
bool checkProfileOut(const CliArguments& args, const BatchOptions& options, QString* error)
{
    const QString profileKey = fileKey(args.profileOut);
    if (profileKey == fileKey(resultPath(args, options))) {
        *error = QStringLiteral("--profile-out \"%1\" would replace the result")
                     .arg(displayPath(args.profileOut));
        return false;
    }
    if (profileKey == fileKey(args.files.first())) {
        *error = QStringLiteral("--profile-out \"%1\" would replace the source file")
                     .arg(displayPath(args.profileOut));
        return false;
    }
    return true;
}

// Settings from --settings and --set on top of the preset; false on a
// usage error.
bool resolveFilterSettings(const CliArguments& args, const Environment& env, int presetIndex,
    FilterSettings& settings, QString* error)
{
    settings = env.presets.at(presetIndex).values;
    if (args.settings) {
        const QStringList values = args.settings->split(QLatin1Char(','));
        if (values.size() != kFilterFieldCount) {
            *error = QStringLiteral("--settings takes %1 comma-separated values, not %2")
                         .arg(kFilterFieldCount)
                         .arg(values.size());
            return false;
        }
        for (int i = 0; i < kFilterFieldCount; ++i) {
            const QString assignment = QStringLiteral("%1=%2").arg(
                QLatin1String(kFilterFields[i].name), values[i].trimmed());
            if (!assignFilterField(settings, assignment, error))
                return false;
        }
    }
    for (const QString& assignment : args.assignments) {
        if (!assignFilterField(settings, assignment, error))
            return false;
    }
    return true;
}

// `--preset auto` is no entry of the preset table: each file's settings are
// chosen from its own profile. A user preset named so is still reached by its
// number.
bool isAutoPreset(const std::optional<QString>& preset)
{
    return preset && preset->compare(QLatin1String("auto"), Qt::CaseInsensitive) == 0;
}

// Where a source's result goes.
QString outputOf(const QString& source, const BatchOptions& options)
{
    return options.outputPath.isEmpty() ? batchOutputPath(source, options) : options.outputPath;
}

// --dry-run: each file's result and the profile it would be filtered with,
// from its header alone; nothing is decoded, learned or written.
int dryRun(const PathList& files, Environment& env, const BatchOptions& options,
    const BatchSettings& run)
{
    const Settings2Group& learning = env.options.settings2;
    int status = kExitOk;
    for (qsizetype i = 0; i < files.size(); ++i) {
        const QString path = files.at(i);
        CBitmapEx::Header header;
        QString error;
        if (!CBitmapEx::readHeader(path, header, &error)) {
            status = failure(printableText(error));
            continue;
        }
        QString profile;
        if (run.givenProfile) {
            profile = QStringLiteral("the given profile");
        } else if (!eligible(header.exif.record())) {
            profile = QStringLiteral("its own profile (not eligible for self-learning)");
        } else if (learning.selfLearning == 0 || learning.batchSelfLearning == 0) {
            profile = QStringLiteral("its own profile (self-learning is off in the options)");
        } else {
            const LearnedStanding standing
                = learnedStanding(env.profileStore, header.exif.record());
            profile = standing.usable
                ? QStringLiteral("the profile ") + standing.text
                : QStringLiteral("its own profile; learned profile: ") + standing.text;
        }
        const QString result = outputOf(path, options);
        out(QStringLiteral("%1 -> %2: %3\n").arg(displayPath(path), displayPath(result), profile));
    }
    return status;
}

// The settings every file is filtered with, as the report names them.
ReportSettings namedSettings(
    const CliArguments& args, const Environment& env, int presetIndex, const BatchSettings& run)
{
    ReportSettings used;
    if (isAutoPreset(args.preset)) {
        used.preset = QStringLiteral("auto");
    } else if (run.ownSettings) {
        used.values = run.ownSettings;
    } else {
        used.preset = env.presets.at(presetIndex).name;
        used.values = env.presets.at(presetIndex).values;
    }
    return used;
}

// Where and how the results are written.
void applyOutputOptions(const CliArguments& args, BatchSettings& run)
{
    BatchOptions& options = run.options;
    if (args.quality)
        run.jpegQuality = *args.quality;
    // The command line keeps a 16-bit source's depth unless told otherwise,
    // whatever the desktop program's stored choice.
    run.keepHighDepth = args.depth != 8;
    run.threadCount = args.threads;
    options.widenToSixteenBits = args.depth == 16;
    options.narrowToEightBits = args.depth == 8;
    options.compression = args.compression;
    if (!args.destDir.isEmpty()) {
        options.destinationMode = DestinationMode::Folder;
        options.destinationFolder = args.destDir;
    } else if (!args.destSubdir.isEmpty()) {
        options.destinationMode = DestinationMode::Subfolder;
        options.destinationFolder = args.destSubdir;
    }
    options.suffix = args.suffix;
    options.format = batchFormat(args.format);
    options.outputPath = args.output;
    options.allowOverwrite = args.inPlace;
}

// The batch's settings from the command line and the stored options; on
// failure, the exit status.
std::optional<int> buildBatchSettings(
    const CliArguments& args, Environment& env, BatchSettings& run, ReportSettings& used)
{
    QString error;
    const bool automatic = isAutoPreset(args.preset);
    if (automatic && (args.settings || !args.assignments.isEmpty()))
        return usageError(QStringLiteral(
            "--preset auto chooses every setting itself; it takes no --settings or --set"));
    int presetIndex = env.presets.indexOrFirst(env.options.settings.defaultPreset);
    if (args.preset && !automatic) {
        presetIndex = env.presets.lookUp(*args.preset, &error);
        if (presetIndex < 0)
            return usageError(error);
    }
    if (args.settings || !args.assignments.isEmpty()) {
        FilterSettings settings;
        if (!resolveFilterSettings(args, env, presetIndex, settings, &error))
            return usageError(error);
        run.ownSettings = settings;
    } else {
        run.options.presetIndex = presetIndex;
    }
    run.options.autoStrength = automatic;
    used = namedSettings(args, env, presetIndex, run);
    if (!args.profileIn.isEmpty()) {
        run.givenProfile = readProfileFile(args.profileIn, &error);
        if (!run.givenProfile)
            return failure(error);
    }
    applyOutputOptions(args, run);
    if (!args.profileOut.isEmpty() && !checkProfileOut(args, run.options, &error))
        return usageError(error);
    return std::nullopt;
}

// A result is renamed into place only once it is written whole, so one at
// its final name is complete. A file's own source is no result of it.
bool resultExists(const QString& source, const QString& output)
{
    return QFileInfo::exists(output) && fileKey(output) != fileKey(source);
}

// The files this process denoises: those named, then the list's, of them
// its shard, less those whose results exist under --skip-existing, which
// `skipped` keeps. On failure, the exit status. Each path is placed as it
// is read, so that of a long list only this process's share is held.
std::optional<int> collectFiles(
    const CliArguments& args, const BatchOptions& options, PathList& files, PathList& skipped)
{
    qsizetype position = 0;
    const auto take = [&](const QString& path) {
        if (!inShard(position++, args.shardIndex, args.shardCount))
            return;
        if (args.skipExisting && resultExists(path, outputOf(path, options)))
            skipped.append(path);
        else
            files.append(path);
    };
    for (const QString& path : args.files)
        take(path);
    QString error;
    if (!args.filesFrom.isEmpty() && !readFileList(args.filesFrom, args.nullSeparated, take, &error))
        return failure(printableText(error));
    return std::nullopt;
}

// Opening the report empties it: it must not be the list, a photo or a
// result. Only a file that exists can be one; a new one is no one's.
bool reportIsSafe(const CliArguments& args, const BatchOptions& options, const PathList& files,
    const PathList& skipped, QString* error)
{
    if (!QFileInfo::exists(args.reportPath))
        return true;
    const QString key = fileKey(args.reportPath);
    bool taken = !args.filesFrom.isEmpty() && args.filesFrom != QLatin1String("-")
        && key == fileKey(args.filesFrom);
    for (const PathList* list : { &files, &skipped }) {
        for (qsizetype i = 0; i < list->size() && !taken; ++i) {
            const QString path = list->at(i);
            taken = key == fileKey(path) || key == fileKey(outputOf(path, options));
        }
    }
    if (taken)
        *error = QStringLiteral("--report \"%1\" would replace the list, a photo or a result")
                     .arg(displayPath(args.reportPath));
    return !taken;
}

// Opens the report and records the skipped files in it; on failure, the
// exit status.
std::optional<int> startReport(const CliArguments& args, const BatchOptions& options,
    const PathList& files, const PathList& skipped, BatchReport& report)
{
    QString error;
    if (!reportIsSafe(args, options, files, skipped, &error))
        return usageError(error);
    if (!report.open(args.reportPath, &error))
        return failure(printableText(error));
    for (qsizetype i = 0; i < skipped.size(); ++i) {
        const QString path = skipped.at(i);
        // A report that cannot be written now would lose every line.
        if (!report.write(skippedRecord(path, outputOf(path, options))))
            return failure(printableText(report.error()));
    }
    return std::nullopt;
}

// Runs the batch; the first Ctrl-C or SIGTERM stops it after the file in
// hand and ends the program as the signal would.
void runInterruptibly(Environment& env, BatchJob& batch, const BatchSettings& run, WorkerHost& host)
{
    CTessolinDoc document(env.options, env.presets, env.profileStore, env.prompter);
    g_stopFlag = &document.writableJob().stop;
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    document.runBatch(batch, run, host);
    // A second signal from here on would end the program without the
    // message below; the first one is answered by exiting as it would.
    g_stopFlag = nullptr;

    const int stopSignal = g_stopSignal.load();
    if (stopSignal != 0) {
        err(QStringLiteral("calmora-cli: interrupted; %1 of %2 files written\n")
                .arg(batch.doneCount)
                .arg(batch.files.size()));
        // What the finished files taught is kept; it takes a moment.
        env.profileStore.flush();
        exitBySignal(stopSignal);
    }
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

// What the one file was filtered with, learned or measured, smoothed.
int writeUsedProfile(const CliArguments& args, const BatchJob& batch)
{
    const std::optional<NoiseProfile>& used = batch.lastProfile;
    QString reason;
    if (used && !writeFileAtomically(args.profileOut, profileToJsonText(*used), &reason))
        return failure(
            QStringLiteral("cannot write \"%1\": %2").arg(displayPath(args.profileOut), reason));
    return kExitOk;
}

int denoise(const CliArguments& args)
{
    Environment env;
    BatchSettings run;
    ReportSettings used;
    if (const std::optional<int> status = buildBatchSettings(args, env, run, used))
        return *status;
    BatchJob batch;
    // Each file's outcome reaches the terminal and the report as it
    // settles; only the counts are read at the end.
    batch.keepsEveryOutcome = false;
    PathList skipped;
    if (const std::optional<int> status = collectFiles(args, run.options, batch.files, skipped))
        return *status;
    if (args.dryRun)
        return dryRun(batch.files, env, run.options, run);
    BatchReport report;
    if (!args.reportPath.isEmpty()) {
        if (const std::optional<int> status
            = startReport(args, run.options, batch.files, skipped, report))
            return *status;
    }
    if (!skipped.isEmpty() && !args.quiet)
        err(QStringLiteral("calmora-cli: %1 file%2 skipped: the result exists\n")
                .arg(skipped.size())
                .arg(skipped.size() == 1 ? "" : "s"));
    env.profileStore.setLearning(!args.noLearn);
    batch.fileCount = static_cast<int32_t>(batch.files.size());

    TerminalHost terminal(
        batch, isatty(STDERR_FILENO) != 0, isatty(STDOUT_FILENO) != 0, args.quiet);
    ReportingHost reporting(terminal, batch, run.options, used, report);
    WorkerHost& host = args.reportPath.isEmpty() ? static_cast<WorkerHost&>(terminal) : reporting;
    if (!batch.files.isEmpty())
        runInterruptibly(env, batch, run, host);

    int status = batch.doneCount == batch.files.size() ? kExitOk : kExitFailed;
    if (!args.profileOut.isEmpty() && writeUsedProfile(args, batch) != kExitOk)
        status = kExitFailed;
    // Told by the host as it happened.
    if (report.failed())
        status = kExitFailed;
    return status;
}

// The profile the worker would filter the file with: the document's own
// profile pass on opening. With `automatic`, also what `--preset auto` would
// choose, chosen here while the document still holds the untouched picture.
std::optional<NoiseProfile> measureFile(const QString& path, Environment& env, QString* error,
    LearnedSource* source = nullptr, AutoStrength* automatic = nullptr)
{
    CTessolinDoc document(env.options, env.presets, env.profileStore, env.prompter);
    if (!document.open(path, error)) {
        *error = printableText(*error);
        return std::nullopt;
    }
    for (const QString& note : document.image()->decoderNotes())
        err(QStringLiteral("calmora-cli: note: %1: %2\n")
                .arg(displayPath(path), printableText(note)));
    document.waitForWorker();
    if (!document.job().profileReady.load()) {
        *error = QStringLiteral("the noise of \"%1\" could not be measured").arg(displayPath(path));
        return std::nullopt;
    }
    if (source != nullptr)
        *source = document.job().learnedSource;
    if (automatic != nullptr) {
        const CBitmapEx& image = *document.image();
        const ProcessingJob& job = document.job();
        *automatic = chooseAutoStrength(image.untouchedDescription(), job.activeProfile,
            kAllThreads, job.learnedSource.photos > 0 ? &job.measuredProfile : nullptr,
            job.pixelNoise ? &*job.pixelNoise : nullptr);
    }
    return document.job().activeProfile;
}

// Brightness of a point, as a share of white: points are luminance bins of
// 2048 plane units, white being 21906.
int pointBrightnessPercent(int point)
{
    return (point * 2048 + 1024) * 100 / 21906;
}

void printProfileTable(const NoiseProfile& profile, const QString& name)
{
    out(QStringLiteral("Noise profile of %1 (noise amplitude per channel)\n").arg(name));
    for (int b = 0; b < profile.bandCount; ++b) {
        const NoiseBand& band = profile.bands[b];
        out(QStringLiteral("\nBand %1 (%2 frequencies)\n  point  brightness      Y     Cr     Cb   "
                           "weight Y/Cr/Cb\n")
                .arg(b)
                .arg(QLatin1String(kBandNames[b])));
        for (int p = 0; p < band.pointCount; ++p) {
            out(QStringLiteral("  %1  %2%  %3 %4 %5   %6/%7/%8\n")
                    .arg(p, 5)
                    .arg(pointBrightnessPercent(p), 9)
                    .arg(band.noise[p][kY], 6)
                    .arg(band.noise[p][kCr], 6)
                    .arg(band.noise[p][kCb], 6)
                    .arg(band.weight[p][kY])
                    .arg(band.weight[p][kCr])
                    .arg(band.weight[p][kCb]));
        }
    }
}

void printProfileSummary(const NoiseProfile& profile)
{
    for (int b = 0; b < profile.bandCount; ++b) {
        const NoiseBand& band = profile.bands[b];
        QStringList channels;
        const char* names[] = { "Y", "Cr", "Cb" };
        for (int c = 0; c < kChannels; ++c) {
            int lowest = INT32_MAX;
            int highest = 0;
            for (int p = 0; p < band.pointCount; ++p) {
                lowest = std::min<int>(lowest, band.noise[p][c]);
                highest = std::max<int>(highest, band.noise[p][c]);
            }
            channels.append(
                QStringLiteral("%1 %2-%3").arg(QLatin1String(names[c])).arg(lowest).arg(highest));
        }
        out(QStringLiteral("  band %1 (%2): %3\n")
                .arg(b)
                .arg(QLatin1String(kBandNames[b]), channels.join(QStringLiteral(", "))));
    }
}

// What `--preset auto` would do with the picture, after its profile: the
// estimated error of leaving it and of each candidate, and the choice.
void printAutoStrength(const AutoStrength& choice)
{
    const QString level = QString::number(choice.noiseLevel, 'f', 1);
    out(QStringLiteral("\nAutomatic strength (--preset auto): noise about %1 levels%2; estimated "
                       "error (levels squared) if left %3\n")
            .arg(level,
                choice.learnedNoise ? QStringLiteral(" (lowered to the learned profile's)")
                                    : QString(),
                QString::number(choice.untouchedError, 'f', 2)));
    for (size_t c = 0; c < choice.candidates.size(); ++c) {
        const AutoCandidate& candidate = choice.candidates[c];
        QStringList values;
        for (int f = 0; f < kFilterFieldCount; ++f)
            values.append(QString::number(fieldAt(candidate.values, f)));
        const bool chosen = choice.filter && static_cast<int>(c) == choice.chosen;
        out(QStringLiteral("  %1 %2  %3\n")
                .arg(chosen ? QLatin1Char('*') : QLatin1Char(' '))
                .arg(std::isfinite(candidate.estimatedError)
                        ? QString::number(candidate.estimatedError, 'f', 2)
                        : QStringLiteral("refused"),
                    8)
                .arg(values.join(QLatin1Char(','))));
    }
    if (choice.cautious)
        out(QStringLiteral("The noise estimate is uncertain (its two readings disagree): the "
                           "lightest choice within that uncertainty of the lowest estimate is "
                           "taken\n"));
    if (!choice.filter) {
        out(QStringLiteral("Leaving it promises the smallest error: the picture would be saved "
                           "unfiltered\n"));
        return;
    }
    QStringList values;
    for (int f = 0; f < kFilterFieldCount; ++f)
        values.append(QString::number(fieldAt(choice.values, f)));
    out(QStringLiteral("Chosen (*): settings %1\n").arg(values.join(QLatin1Char(','))));
}

int profile(const CliArguments& args, bool summary)
{
    Environment env;
    // The profile denoise would use: denoise runs as a batch, which looks up
    // learned profiles only while batch self-learning is on too.
    if (env.options.settings2.batchSelfLearning == 0)
        env.options.settings2.selfLearning = 0;
    QString error;
    LearnedSource source;
    AutoStrength automatic;
    const std::optional<NoiseProfile> measured
        = measureFile(args.files.first(), env, &error, &source, args.json ? nullptr : &automatic);
    if (!measured)
        return failure(error);
    if (args.json)
        out(QString::fromUtf8(profileToJsonText(*measured)));
    else if (summary)
        printProfileSummary(*measured);
    else
        printProfileTable(*measured, displayPath(args.files.first()));
    if (!args.json) {
        out(QStringLiteral("\nProfile: %1\n")
                .arg(source.photos > 0 ? printableText(source.caption())
                                       : QStringLiteral("measured from this photo")));
        printAutoStrength(automatic);
    }
    return kExitOk;
}

int presets(const CliArguments& args)
{
    Environment env;
    if (args.json) {
        QJsonArray list;
        for (int i = 0; i < env.presets.count(); ++i) {
            const Preset& preset = env.presets.at(i);
            QJsonObject values;
            for (int f = 0; f < kFilterFieldCount; ++f)
                values.insert(QLatin1String(kFilterFields[f].name), fieldAt(preset.values, f));
            list.append(QJsonObject { { QStringLiteral("index"), i },
                { QStringLiteral("name"), preset.name }, { QStringLiteral("icon"), preset.icon },
                { QStringLiteral("values"), values } });
        }
        out(QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Indented)));
        return kExitOk;
    }
    const int defaultIndex = env.presets.indexOrFirst(env.options.settings.defaultPreset);
    for (int i = 0; i < env.presets.count(); ++i) {
        const Preset& preset = env.presets.at(i);
        QStringList values;
        for (int f = 0; f < kFilterFieldCount; ++f)
            values.append(QString::number(fieldAt(preset.values, f)));
        out(QStringLiteral("%1 %2 %3  %4\n")
                .arg(i, 2)
                .arg(i == defaultIndex ? QLatin1Char('*') : QLatin1Char(' '))
                .arg(preset.name, -24)
                .arg(values.join(QLatin1Char(','))));
    }
    out(QStringLiteral("\n* the default preset. Values in the order of --settings: %1\n").arg([] {
        QStringList names;
        for (const FilterField& field : kFilterFields)
            names.append(QLatin1String(field.name));
        return names.join(QLatin1Char(','));
    }()));
    return kExitOk;
}

// The EXIF values info lists, in order, with the names it gives them.
struct ExifLine {
    CExifFormatter::Text text;
    const char* name;
};

constexpr ExifLine kExifLines[] = {
    { CExifFormatter::kMakeText, "Camera maker" },
    { CExifFormatter::kModelText, "Camera model" },
    { CExifFormatter::kLensText, "Lens" },
    { CExifFormatter::kDateTakenText, "Date taken" },
    { CExifFormatter::kExposureTimeText, "Exposure time" },
    { CExifFormatter::kApertureText, "Aperture" },
    { CExifFormatter::kIsoSpeedText, "ISO speed" },
    { CExifFormatter::kFocalLengthText, "Focal length" },
    { CExifFormatter::kFlashText, "Flash" },
    { CExifFormatter::kExposureProgramText, "Exposure program" },
    { CExifFormatter::kMeteringModeText, "Metering mode" },
    { CExifFormatter::kWhiteBalanceText, "White balance" },
    { CExifFormatter::kExposureBiasText, "Exposure bias" },
    { CExifFormatter::kSoftwareText, "Software" },
    { CExifFormatter::kDimensionsText, "Dimensions" },
    { CExifFormatter::kOrientationText, "Orientation" },
    { CExifFormatter::kArtistText, "Artist" },
    { CExifFormatter::kCopyrightText, "Copyright" },
};

int info(const CliArguments& args)
{
    QString error;
    const QString& path = args.files.first();
    // The header tells the size; decoding the pixels would only cost time
    // and memory.
    CBitmapEx::Header header;
    if (!CBitmapEx::readHeader(path, header, &error))
        return failure(printableText(error));
    const CExifFormatter& exif = header.exif;
    out(QStringLiteral("File: %1\nSize: %2 x %3 pixels (%4 megapixels)\n")
            .arg(displayPath(path))
            .arg(header.width)
            .arg(header.height)
            .arg(header.width * static_cast<double>(header.height) / 1e6, 0, 'f', 1));
    if (const FileFormat* format = formatByKey(header.format))
        out(QStringLiteral("Format: %1 (%2)\n").arg(format->name, format->codec));
    if (!header.note.isEmpty())
        out(QStringLiteral("Note: %1\n").arg(header.note));
    out(QStringLiteral("Stored: %1 bit%2 per channel, %3%4, %5 frame%6\n")
            .arg(header.bitsPerChannel)
            .arg(header.bitsPerChannel == 1 ? "" : "s")
            .arg(header.channels == 1 ? QStringLiteral("grey") : QStringLiteral("colour"))
            .arg(header.alpha ? QStringLiteral(" with alpha") : QString())
            .arg(header.frames)
            .arg(header.frames == 1 ? "" : "s (only the first is denoised)"));
    out(QStringLiteral("Depth: %1 bits per pixel (the engine works at %2 bits per channel)\n")
            .arg(header.bitsPerPixel)
            .arg(isHighDepth(header.bitsPerPixel) ? 16 : 8));
    if (exif.tagCount() == 0) {
        out(QStringLiteral("EXIF: none\n"));
    } else {
        out(QStringLiteral("EXIF:\n"));
        for (const ExifLine& line : kExifLines) {
            if (const QString& value = exif.text(line.text); !value.isEmpty())
                out(QStringLiteral("  %1: %2\n").arg(QLatin1String(line.name), value));
        }
    }
    if (eligible(exif.record())) {
        Environment env;
        out(QStringLiteral("Self-learning: eligible\nLearned profile: %1\n")
                .arg(learnedStanding(env.profileStore, exif.record()).text));
    } else {
        const QString iso
            = exif.isoSpeedText().isEmpty() ? QStringLiteral("Unknown") : exif.isoSpeedText();
        QString reasons = QStringLiteral("ISO Speed: %1").arg(iso);
        if (!exif.softwareText().isEmpty())
            reasons += QStringLiteral("; Software: %1").arg(exif.softwareText());
        out(QStringLiteral("Self-learning: not eligible (%1)\n").arg(reasons));
    }
    return kExitOk;
}

} // namespace

int runCommandLine(const QStringList& arguments)
{
    QStringList remaining = arguments;
    // `profile --summary` is the short form that scripts print.
    const bool summary = remaining.size() > 1 && remaining.first() == QLatin1String("profile")
        && remaining.removeAll(QStringLiteral("--summary")) > 0;
    CliArguments args;
    QString error;
    if (!parseArguments(remaining, args, &error))
        return usageError(printableText(error));
    if (summary && args.json)
        return usageError(QStringLiteral("--summary and --json cannot be combined"));
    switch (args.command) {
    case CliCommand::Help:
        out(usageText());
        return kExitOk;
    case CliCommand::Version:
        out(QStringLiteral("calmora-cli %1\n").arg(QStringLiteral(CALMORA_VERSION)));
        return kExitOk;
    case CliCommand::Denoise:
        return denoise(args);
    case CliCommand::Profile:
        return profile(args, summary);
    case CliCommand::Presets:
        return presets(args);
    case CliCommand::Info:
        return info(args);
    case CliCommand::Profiles: {
        Environment env;
        return runProfilesCommand(args, env.profileStore);
    }
    case CliCommand::Formats:
        out(formatTableText());
        return kExitOk;
    }
    return kExitUsage;
}

} // namespace calmora
