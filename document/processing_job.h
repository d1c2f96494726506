// The record shared by the document (or a command-line run) and the worker
// thread, in three parts: the request (what to run, a plain value copied
// whole into the run's snapshot), the control words, and the results that
// the worker writes back (flags, profiles, the tiles' flags).
//
// Two threads share it without locks. The starting thread fills `request`
// before a run starts and afterwards only increments `generation`, sets
// `stop`, and may rewrite `request.settings` (the run filters with its
// snapshot). The worker reads `generation` and `stop` before and after every
// tile, and writes back only the results and, at its end, the request's
// `buildProfile`, `wholeImage` and `savePath`. Every field that the other
// thread may read while a run is going is atomic; the rest is read by the
// starter only after `running` has been cleared (an acquire of the worker's
// release) or after the host's profile-ready call.
#pragma once

#include "document/path_list.h"
#include "engine/records.h"
#include "settings/learned_profile_store.h"
#include "settings/options.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <optional>

namespace calmora {

struct AutoStrength;
class CBitmapEx;
class LearnedProfileStore;
class PresetTable;

// Which progress a run reports, named by what the run is; the front end
// decides where it shows it.
enum class ProgressKind {
    None, // nobody follows this run's progress
    // A run that is not whole-image (a preview, a profile pass started on
    // opening): its progress belongs with its status text.
    Background,
    // A whole-image run that its starter follows (Go, Save).
    Foreground,
    // The current file of a batch.
    File,
};

// Where a single-image run stands, for a status line; the front end words
// it. A run that is not whole-image begins with one of the first two, its
// progress (ProgressKind::Background) shown beside it; every run that was
// not stopped ends with one of the last two, its progress hidden.
enum class RunStatus {
    BuildingProfile, // "Building noise profile"
    UpdatingPreview, // "Updating Preview Window"
    ProfileBuilt, // the user may click Go now
    ImageFiltered, // the user may click the image to see the original
};

// The stage a batch file has reached.
enum class BatchStage { BuildingProfile, FilteringNoise };

// What the worker tells the outside world, always from the worker thread:
// what happened, in numbers and names; the texts a person reads are made by
// the front end. A desktop host forwards each call to its own thread; a
// terminal host prints. Every call must return quickly and must not touch
// the job.
class WorkerHost {
public:
    virtual ~WorkerHost() = default;

    // A run's progress, 0..100.
    virtual void setProgress(ProgressKind kind, int percent) = 0;
    virtual void runStatus(RunStatus status) = 0;
    // Pixels of the displayed image have been written: `rect` in picture
    // coordinates, rows counted from the top, bottom and right exclusive.
    // Once per filtered tile of a single-image filter pass, when its pixels
    // are in the display.
    virtual void tileWritten(const Rect& rect) = 0;
    // The job's activeProfile (and its two companions) have been replaced.
    virtual void profileReady() = 0;
    // File `index` (from 0) of `count` has reached `stage`. The profile stage
    // is announced only for a file that exists.
    virtual void batchFileStage(const QString& file, int32_t index, int32_t count, BatchStage stage)
        = 0;
    // Under automatic strength, what file `index` is filtered with, or that
    // it is saved as it is; for a host that keeps a record per file.
    virtual void batchFileChosen(int32_t /*index*/, const AutoStrength& /*choice*/) { }
    // File `index` of `count` is settled in the batch's lists; the time since
    // the batch started and the estimate of what is left.
    virtual void batchFileSettled(
        int32_t index, int32_t count, int64_t elapsedMs, int64_t remainingMs)
        = 0;
    // The batch run has ended; its done and failed lists are final, and the
    // job's `running` is already clear.
    virtual void batchEnded() = 0;
    // Any run has ended, after everything else it reported: the job's
    // `running` is already clear. For hosts that wait for the worker
    // without waiting on its thread.
    virtual void runEnded() { }
    // A failure to show the user: the message and, apart, the reason.
    virtual void reportError(const QString& message, const QString& reason) = 0;
    // Something the user should know about a file that was still processed
    // (what its decoder remarked), once per file and remark.
    virtual void reportNote(const QString& file, const QString& note) = 0;
};

// Where a batch writes its results. The numbers are the stored ones; any
// other stored number means beside the source.
enum class DestinationMode : int32_t {
    BesideSource = 0,
    Subfolder = 1, // `destinationFolder` below each source's folder
    Folder = 2, // `destinationFolder` itself
};

// The format of a batch's results. The numbers are the stored ones; any other
// stored number means JPEG.
enum class BatchFormat : int32_t {
    AsSource = 0, // the source's own if this build writes it, else JPEG
    Png = 1,
    Jpeg = 2,
    Tiff = 3,
    WebP = 4,
    Heic = 5,
    Avif = 6,
    Jxl = 7,
};
constexpr int32_t kLastBatchFormat = 7;

struct FileFormat;
// The file format a batch format writes; null for AsSource and for a format
// this build cannot write.
const FileFormat* batchFileFormat(BatchFormat format);
// The batch format that writes `format`, AsSource when none does.
BatchFormat batchFormatOf(const FileFormat& format);

// Batch options as the run reads them.
struct BatchOptions {
    DestinationMode destinationMode = DestinationMode::BesideSource;
    QString destinationFolder;
    QString suffix;
    BatchFormat format = BatchFormat::Jpeg;
    // A preset index, or the number of presets for the run's own settings.
    int32_t presetIndex = 0;
    // Each file filtered with the settings its own profile chooses
    // (settings/auto_strength.h), or left as it is when its noise is too
    // weak to filter; presetIndex is then not read. Not stored.
    bool autoStrength = false;

    // Beyond the window's options, for the command line:
    QString outputPath; // when set, the one file is written here
    bool useGivenProfile = false; // filter with the batch job's givenProfile
    bool allowOverwrite = false; // a source may be replaced by its result
    // 8-bit sources are filtered and saved at 16 bits where the result's
    // format holds them (PNG, TIFF).
    bool widenToSixteenBits = false;
    // Every result at 8 bits, a camera raw file's too, which "as the
    // source" would otherwise write at 16.
    bool narrowToEightBits = false;
    int32_t compression = -1; // PNG and TIFF: 0..9, or -1 for the fast default
};

struct BatchJob {
    const BatchOptions* options = nullptr;
    int32_t fileCount = 0;
    PathList files;
    QStringList failedFiles; // source paths that could not be loaded or saved
    QStringList doneFiles; // source paths processed and saved
    QStringList failureReasons; // index for index with failedFiles
    QStringList writtenFiles; // index for index with doneFiles
    // False for a starter that takes each outcome from its host as the file
    // settles (calmora-cli over an archive's list): the four lists then hold
    // only their latest entry, so that a million files' names are not kept
    // to the end. The counts are kept either way.
    bool keepsEveryOutcome = true;
    int32_t doneCount = 0;
    int32_t failedCount = 0;
    // What the last file that was filtered was filtered with, smoothed.
    std::optional<NoiseProfile> lastProfile;
    int64_t elapsedMs = 0; // since the batch started, at the latest settled file
    // The batch's own profiles, apart from the open image's in the job: the
    // one every file is filtered with when the options give one, and the
    // last file's measured one, unsmoothed.
    NoiseProfile givenProfile;
    NoiseProfile measuredProfile;
    bool profileMeasured = false;
};

// What a run is asked to do. Adding a field here is all it takes for the run
// to see it: the snapshot copies the request whole.
struct JobRequest {
    bool buildProfile = false;
    bool wholeImage = false;
    bool useMeasuredProfile = false;
    CBitmapEx* image = nullptr;
    QString savePath;
    QString fileName;
    Rect previewRect; // view coordinates, rows counted from the top
    FilterParams settings;
    ProgressKind progressWindow = ProgressKind::None;
    BatchJob* batch = nullptr;

    // What the worker needs from the application object. The options are a
    // copy, so that a change of an option cannot reach a running run; the
    // rest the starter keeps alive until the run has ended.
    WorkerHost* host = nullptr;
    Options options;
    const PresetTable* presets = nullptr;
    LearnedProfileStore* profileStore = nullptr;
    int32_t threadCount = 0; // engine threads, 0 = one per core
};

struct ProcessingJob {
    // Control words.
    std::atomic<int32_t> generation { 0 };
    std::atomic<bool> stop { false };
    std::atomic<bool> running { false };
    int32_t previewCountdown = 0; // starter's thread only
    std::atomic<bool> resetTilesBeforePreview { true };
    bool processedByGo = false; // starter's thread only

    JobRequest request;

    // Results, written by the worker. `activeProfile` is also what the next
    // filter pass filters with.
    std::atomic<bool> profileReady { false };
    std::atomic<bool> profileMeasured { false };
    // The image as it stands is in a file: set by a save that wrote it, and
    // cleared by whoever changes the image. A failed save leaves it alone.
    std::atomic<bool> saved { false };
    // Whether the last save wrote its file.
    std::atomic<bool> saveWritten { false };
    NoiseProfile activeProfile;
    NoiseProfile measuredProfile;
    NoiseProfile learnedProfile;
    // Where learnedProfile came from; no photos when it is the measured one.
    LearnedSource learnedSource;
    // The untouched picture's noise estimate, when learning made one, for
    // automatic strength to choose with; written with the profiles, before
    // profileReady.
    std::optional<PixelNoise> pixelNoise;
    TileList tiles;

    ProcessingJob();
};

// Where a batch writes a source file's result: the folder of
// batchOutputFolder(), the source's name without its extension, the suffix
// and the extension the format chooses. The source path itself when neither
// a folder nor a suffix is set and the extension is the source's own (in any
// case): only a result of the same name replaces its source.
QString batchOutputPath(const QString& sourcePath, const BatchOptions& options);

// The folder a result goes into, ending with a separator: the source's own
// folder, a folder below it (mode 1) or a folder of its own (mode 2).
QString batchOutputFolder(const QString& sourcePath, const BatchOptions& options);

// One spelling per file, so that paths can be matched against each other: the
// canonical path of a file that exists; else the canonical path of its folder
// with the name, or the absolute path when the folder is missing too.
QString fileKey(const QString& path);

} // namespace calmora
