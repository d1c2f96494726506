// The batch run: for every file a load, the batch's preset, a profile pass, a
// whole-image filter pass and a save under a name the batch options derive,
// with four status lines, the overall progress and the elapsed and
// remaining times. Pipelined, the next file is decoded and the previous one
// written while one is filtered.

#include "document/batch_run.h"
#include "document/bitmap_ex.h"
#include "document/file_formats.h"
#include "document/worker_passes.h"
#include "engine/engine.h"
#include "settings/auto_strength.h"
#include "settings/derive_params.h"
#include "settings/learned_profile_store.h"
#include "settings/presets.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace calmora {

namespace {

bool endsWithSeparator(const QString& folder)
{
    return folder.endsWith(QLatin1Char('/')) || folder.endsWith(QLatin1Char('\\'));
}

bool createsFolder(const BatchOptions& options)
{
    return (options.destinationMode == DestinationMode::Subfolder
               || options.destinationMode == DestinationMode::Folder)
        && !options.destinationFolder.isEmpty();
}

} // namespace


namespace {

QString outputFor(const QString& sourcePath, const BatchOptions& options)
{
    return options.outputPath.isEmpty() ? batchOutputPath(sourcePath, options) : options.outputPath;
}

// Makes the one missing folder level, as a file manager would; parents are
// not created. The system's own reason is kept: only it knows whether the
// parent is missing, read-only or full.
bool prepareFolder(const QString& folder, QString* reason)
{
    // Without its trailing separator a path names the folder, not the folder
    // as its own parent.
    QString path = folder;
    while (path.size() > 1 && endsWithSeparator(path))
        path.chop(1);
    if (QFileInfo(path).isDir())
        return true;
    if (::mkdir(QFile::encodeName(path).constData(), 0777) == 0)
        return true;
    const int error = errno;
    // Another process of a batch spread over several (GNU parallel, a
    // cluster's array job) may make the same folder between the look and
    // the mkdir; the folder is there, as wanted.
    if (error == EEXIST && QFileInfo(path).isDir())
        return true;
    QString why;
    if (error == EEXIST)
        why = QStringLiteral("a file of that name is in the way");
    else if (error == ENOENT)
        why = QStringLiteral("the folder above it does not exist");
    else if (error == ENOTDIR)
        why = QStringLiteral("\"%1\" is not a folder")
                  .arg(QDir::toNativeSeparators(QFileInfo(path).path()));
    else
        why = QString::fromLocal8Bit(std::strerror(error));
    *reason = QStringLiteral("Cannot create the folder \"%1\": %2.")
                  .arg(QDir::toNativeSeparators(folder), why);
    return false;
}

// One source file as the loader leaves it: decoded, and widened where the
// result keeps 16 bits. Nothing here depends on the other files.
struct LoadedFile {
    int32_t index = 0;
    bool exists = false;
    QString output;
    std::unique_ptr<CBitmapEx> image; // null when the load failed
    QString reason; // why the load failed
    bool widened = true; // false when memory ran out for 16 bits
    // Written at 16 bits whatever the depth option says: a camera raw
    // file's result "as the source".
    bool fullDepth = false;
};

void decodeFile(LoadedFile& file, const QString& path, const BatchOptions& options)
{
    auto image = std::make_unique<CBitmapEx>();
    // A batch filters each file once and saves it; it has no use for an
    // untouched copy.
    image->setKeepsOriginal(false);
    if (!image->load(path, &file.reason))
        return;
    file.output = outputFor(path, options);
    if (const FileFormat* source = fileFormatOfExtension(QFileInfo(path).suffix());
        options.format == BatchFormat::AsSource && options.outputPath.isEmpty()
        && source != nullptr && !source->resultKey.isEmpty() && !options.narrowToEightBits)
        file.fullDepth = true;
    if (options.widenToSixteenBits && CBitmapEx::keepsHighDepth(file.output))
        file.widened = image->widenToHighDepth();
    file.image = std::move(image);
}

// Sources and results are matched by a 64-bit hash of their key, not the key
// itself, which on a long list would take more memory than the list. Two
// different keys hash alike with a chance of one in 2^64 per pair, seeded
// afresh in every process, so that no list can aim at it. A collision can
// only make a file wait for an earlier result it does not depend on, or
// refuse the file with the usual message as if its result replaced a source
// or another result: that file is left as it is and reported, and no file
// is ever lost or written over.
quint64 keyHash(const QString& key)
{
    static_assert(sizeof(size_t) == sizeof(quint64));
    return qHash(key, QHashSeed::globalSeed());
}

// Why a stage gave up on a file when something was thrown at it.
QString escapedReason(const QString& doing, const QString& path)
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return QStringLiteral("Not enough memory to %1 \"%2\".")
            .arg(doing, QDir::toNativeSeparators(path));
    } catch (const std::exception& error) {
        return QStringLiteral("Cannot %1 \"%2\": %3")
            .arg(doing, QDir::toNativeSeparators(path), QString::fromLocal8Bit(error.what()));
    } catch (...) {
        return QStringLiteral("Cannot %1 \"%2\".").arg(doing, QDir::toNativeSeparators(path));
    }
}

// The loader and writer run on threads of their own, where an exception
// would end the program; a file that throws fails alone, as one that does
// not load or save does.
void loadFile(LoadedFile& file, const QString& path, const BatchOptions& options)
{
    try {
        decodeFile(file, path, options);
    } catch (...) {
        file.image.reset();
        file.reason = escapedReason(QStringLiteral("load"), path);
    }
}

// What became of a filtered file at the disk.
struct WrittenFile {
    int32_t index = 0;
    QString output;
    bool saved = false;
    bool stopped = false; // the batch was stopped while it was written
    QString reason;
};

WrittenFile writeFile(LoadedFile& file, const CBitmapEx::SaveOptions& options)
{
    WrittenFile written;
    written.index = file.index;
    written.output = file.output;
    try {
        CBitmapEx::SaveOptions chosen = options;
        chosen.keepHighDepth = options.keepHighDepth || file.fullDepth;
        written.saved = file.image->save(file.output, chosen, &written.reason);
    } catch (...) {
        written.saved = false;
        written.reason = escapedReason(QStringLiteral("save"), file.output);
    }
    written.stopped = !written.saved && options.stop != nullptr && options.stop->load();
    // The image goes before the outcome is announced, so that the memory the
    // writers are counted for is free by the time a hand-over looks for room.
    file.image.reset();
    return written;
}

enum class FileResult { Failed, Stopped, Filtered };

// A file that automatic strength leaves as it is: still written, and said so.
const QString kNoiseTooWeak = QStringLiteral(
    "the noise is too weak to gain from filtering; the picture was saved unfiltered.");

// How many filtered files may be at the writers at once, and how many
// writers save them. A save ends with the file synced to the disk, which on
// many disks takes far longer than filtering a small photo; writers that
// sync side by side let the disk take their files in one go.
constexpr size_t kFilesAtWriters = 8;
constexpr size_t kWriterThreads = 4;
// Beyond the first, files go to the writers only while their pixels stay
// within this: small photos overlap, while a large one waits as it would
// for a single writer, and the batch's memory stays near three images.
constexpr int64_t kWriterBytes = int64_t { 64 } << 20;

// The pixels a file holds at the writers, as far as memory goes.
int64_t heldBytes(const CBitmapEx& image)
{
    const int64_t perPixel = image.bitsPerPixel() / 8 + (image.hasAlpha() ? 2 : 0);
    return int64_t { image.width() } * image.height() * perPixel;
}

// The batch on the worker thread, and, when pipelined, a loader thread that
// decodes the next file and writer threads that save the previous ones.
//
// Everything the host sees and every list of the batch is written on the
// worker thread, in file order: the files at the writers stay in a queue in
// the order they were handed over, and an outcome waits in its place until
// those before it are recorded. The loader's slot holds one file and the
// writers take a bounded number, in files and in pixels, so memory stays
// bounded however long the list.
class BatchRun {
public:
    BatchRun(ProcessingJob& job, JobSnapshot& snapshot);
    ~BatchRun();
    BatchRun(const BatchRun&) = delete;
    BatchRun& operator=(const BatchRun&) = delete;

    void runSequential();
    void runPipelined();

private:
    void beginFile(int32_t index, bool exists);
    FileResult processFile(LoadedFile& file);
    bool checkLoaded(LoadedFile& file, TileList& tiles);
    bool checkDestination(const LoadedFile& file);
    FileResult filterFile(LoadedFile& file, TileList& tiles);
    bool chooseStrength(LoadedFile& file, const std::optional<NoiseProfile>& own,
        const std::optional<PixelNoise>& pixelNoise);
    bool acceptsOutput(int32_t index, const QString& output);
    void keepOutcome(QStringList& list, const QString& entry);
    void recordFailure(int32_t index, const QString& reason);
    void recordWritten(const WrittenFile& written);
    void settle(int32_t index);
    void reportSettled(int32_t index);

    void loaderLoop();
    void writerLoop();
    std::optional<LoadedFile> takeLoaded();
    void handOver(LoadedFile file);
    bool roomAtWriters(int64_t bytes) const;
    bool firstIsWritten() const;
    bool atWriters(const QString& outputKey);
    bool collectFirst(bool wait);
    bool replacesInTurn(int32_t index);
    void collectWritten(bool wait);
    void endThreads();

    ProcessingJob& m_job;
    JobSnapshot& m_snapshot;
    BatchJob& m_batch;
    const BatchOptions m_defaults;
    const BatchOptions& m_options;
    WorkerHost* const m_host;
    const PathList& m_files; // read by the loader too, so const access only
    const int32_t m_fileCount;
    CBitmapEx::SaveOptions m_save;
    QElapsedTimer m_clock;
    std::vector<quint64> m_sources; // key hashes, sorted
    // Results of this batch so far, by key hash, with the index of the file
    // that wrote each: two sources that map on one name (a.jpg and a.png)
    // must not silently lose the first result.
    QHash<quint64, int32_t> m_results;

    // A filtered file from its hand-over until its outcome is recorded.
    struct AtWriters {
        int32_t index = 0;
        QString outputKey;
        int64_t bytes = 0; // held until the save ends
        std::optional<LoadedFile> file; // until a writer takes it
        std::optional<WrittenFile> written; // once the save has ended
    };

    // The pipeline. m_pipelined belongs to the worker; the slots, queues and
    // counters below it are guarded by m_mutex.
    bool m_pipelined = false;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<LoadedFile> m_loaded;
    std::deque<AtWriters> m_atWriters; // in file order
    int64_t m_bytesAtWriters = 0;
    int32_t m_settled = 0; // leading files whose outcome is recorded
    // A source that an earlier file's result may replace is read only after
    // that result is settled, as a one-by-one run would read it.
    std::vector<bool> m_waitsForEarlierResults;
    bool m_quit = false;
    std::thread m_loader;
    std::vector<std::thread> m_writers;
};

BatchRun::BatchRun(ProcessingJob& job, JobSnapshot& snapshot)
    : m_job(job)
    , m_snapshot(snapshot)
    , m_batch(*snapshot.request.batch)
    , m_options(m_batch.options != nullptr ? *m_batch.options : m_defaults)
    , m_host(snapshot.request.host)
    , m_files(m_batch.files)
    , m_fileCount(std::min<int32_t>(m_batch.fileCount, static_cast<int32_t>(m_files.size())))
{
    m_save.jpegQuality = snapshot.request.options.settings.jpegQuality;
    m_save.keepHighDepth = snapshot.request.options.settings2.tiffDepth != 0;
    m_save.compression = m_options.compression;
    m_save.threadCount = snapshot.request.threadCount;
    // Stopping the batch stops a long encoding too, and nothing half done
    // reaches the disk.
    m_save.stop = &job.stop;
    m_clock.start();
    m_sources.reserve(static_cast<size_t>(m_files.size()));
    for (qsizetype i = 0; i < m_files.size(); ++i)
        m_sources.push_back(keyHash(fileKey(m_files.at(i))));
    std::sort(m_sources.begin(), m_sources.end());
}

BatchRun::~BatchRun()
{
    endThreads();
}

void BatchRun::beginFile(int32_t index, bool exists)
{
    if (m_host != nullptr && exists)
        m_host->batchFileStage(
            m_files.at(index), index, m_batch.fileCount, BatchStage::BuildingProfile);
}

FileResult BatchRun::processFile(LoadedFile& file)
{
    TileList tiles;
    if (!checkLoaded(file, tiles) || !checkDestination(file))
        return FileResult::Failed;
    return filterFile(file, tiles);
}

bool BatchRun::checkLoaded(LoadedFile& file, TileList& tiles)
{
    const QString path = m_files.at(file.index);
    if (file.image == nullptr) {
        recordFailure(file.index, file.reason);
        return false;
    }
    if (m_host != nullptr) {
        for (const QString& note : file.image->decoderNotes())
            m_host->reportNote(path, note);
    }
    buildTileList(file.image->width(), file.image->height(), tiles);
    // A file that cannot be filtered at 16 bits does not get its output
    // folder made for nothing.
    if (!file.widened) {
        recordFailure(file.index,
            QStringLiteral("Not enough memory to filter \"%1\" at 16 bits per channel.")
                .arg(QDir::toNativeSeparators(path)));
        return false;
    }
    return true;
}

bool BatchRun::checkDestination(const LoadedFile& file)
{
    const QString path = m_files.at(file.index);
    QString reason;
    if (m_options.outputPath.isEmpty() && createsFolder(m_options)
        && !prepareFolder(batchOutputFolder(path, m_options), &reason)) {
        recordFailure(file.index, reason);
        return false;
    }
    return acceptsOutput(file.index, file.output);
}

bool BatchRun::acceptsOutput(int32_t index, const QString& output)
{
    const QString outputKey = fileKey(output);
    const quint64 outputHash = keyHash(outputKey);
    // Whether an earlier file at the writers holds this name depends on
    // whether its save succeeds.
    while (atWriters(outputKey))
        collectFirst(true);
    if (const auto earlier = m_results.constFind(outputHash); earlier != m_results.cend()) {
        recordFailure(index,
            QStringLiteral("The result \"%1\" would replace the result of \"%2\".")
                .arg(QDir::toNativeSeparators(output),
                    QDir::toNativeSeparators(m_files.at(*earlier))));
        return false;
    }
    // Replacing is allowed for a file's own source alone: another source
    // of the batch is someone else's photo, whatever the names say.
    const bool ownSource = outputKey == fileKey(m_files.at(index));
    if (std::binary_search(m_sources.begin(), m_sources.end(), outputHash)
        && !(m_options.allowOverwrite && ownSource)) {
        recordFailure(index,
            QStringLiteral("The result would replace the source file \"%1\".")
                .arg(QDir::toNativeSeparators(output)));
        return false;
    }
    return true;
}

FileResult BatchRun::filterFile(LoadedFile& file, TileList& tiles)
{
    CBitmapEx& image = *file.image;
    const QString name = QFileInfo(m_files.at(file.index)).fileName();
    TileRun run(m_job, m_snapshot);
    run.filtering = false;
    run.wholeImage = true;
    run.progressWindow = m_snapshot.request.progressWindow;
    run.tilesPending = countPendingTiles(tiles, run);
    // The file's own profile, smoothed, when a learned one replaces it.
    std::optional<NoiseProfile> own;
    std::optional<PixelNoise> pixelNoise;
    if (!m_options.useGivenProfile) {
        if (measureProfile(run, image, tiles, m_snapshot.activeProfile)
            && keepMeasuredProfile(m_job, m_snapshot, true, name, image, pixelNoise).photos > 0) {
            own = m_batch.measuredProfile;
            smoothProfile(*own);
        }
        smoothProfile(m_snapshot.activeProfile);
    }
    m_batch.lastProfile = m_snapshot.activeProfile;
    // A file the choice leaves unfiltered is saved as it is, like a filtered one.
    if (m_options.autoStrength && !chooseStrength(file, own, pixelNoise))
        return FileResult::Filtered;

    // The previous file's save has usually ended by now; its lines then come
    // before this file's filtering rather than after it.
    collectWritten(false);
    if (m_host != nullptr)
        m_host->batchFileStage(
            m_files.at(file.index), file.index, m_batch.fileCount, BatchStage::FilteringNoise);
    run.filtering = true;
    if (run.stopped())
        return FileResult::Stopped;
    run.tilesPending = countPendingTiles(tiles, run);
    const bool filtered = filterPass(run, image, tiles);
    if (run.stopped())
        return FileResult::Stopped;
    if (!filtered) {
        // The display still holds the unfiltered picture; saving it would
        // pass it off as a result.
        recordFailure(file.index, kFilterRefused);
        return FileResult::Failed;
    }
    return FileResult::Filtered;
}

// Chosen with the profile the file is filtered with, so a given profile
// chooses too, and from the untouched picture. False when the noise is too
// weak to filter.
bool BatchRun::chooseStrength(LoadedFile& file, const std::optional<NoiseProfile>& own,
    const std::optional<PixelNoise>& pixelNoise)
{
    CBitmapEx& image = *file.image;
    const ImageDesc untouched = image.untouchedDescription();
    const AutoStrength choice = chooseAutoStrength(untouched, m_snapshot.activeProfile,
        m_snapshot.request.threadCount, own ? &*own : nullptr, pixelNoise ? &*pixelNoise : nullptr);
    if (m_host != nullptr)
        m_host->batchFileChosen(file.index, choice);
    if (!choice.filter) {
        // The working image is still the original; it is saved as it
        // is, re-encoded as asked.
        image.restoreFromOriginal();
        if (m_host != nullptr)
            m_host->reportNote(m_files.at(file.index), kNoiseTooWeak);
        return false;
    }
    deriveDocumentParams(choice.values, m_snapshot.request.settings);
    return true;
}

// Every entry, or only the latest when the starter takes each outcome from
// its host.
void BatchRun::keepOutcome(QStringList& list, const QString& entry)
{
    if (!m_batch.keepsEveryOutcome)
        list.clear();
    list.append(entry);
}

void BatchRun::recordFailure(int32_t index, const QString& reason)
{
    // Lists stay in file order: the files at the writers come first.
    collectWritten(true);
    keepOutcome(m_batch.failedFiles, m_files.at(index));
    keepOutcome(m_batch.failureReasons, reason);
    ++m_batch.failedCount;
    settle(index);
    // A refused file is done with too: the bar and the times move on, so
    // that the bar of a batch with failures still ends at 100 %.
    reportSettled(index);
}

void BatchRun::recordWritten(const WrittenFile& written)
{
    // A write cut short by a stop is no failure of the file's; like a file
    // stopped while filtered, it is not reported.
    if (written.stopped)
        return;
    const QString path = m_files.at(written.index);
    if (written.saved) {
        keepOutcome(m_batch.doneFiles, path);
        keepOutcome(m_batch.writtenFiles, written.output);
        ++m_batch.doneCount;
        m_results.insert(keyHash(fileKey(written.output)), written.index);
    } else {
        keepOutcome(m_batch.failedFiles, path);
        keepOutcome(m_batch.failureReasons, written.reason);
        ++m_batch.failedCount;
    }
    settle(written.index);
    reportSettled(written.index);
}

void BatchRun::settle(int32_t index)
{
    const std::lock_guard lock(m_mutex);
    m_settled = index + 1;
    m_changed.notify_all();
}

void BatchRun::reportSettled(int32_t index)
{
    // Files overlap in a pipelined run, so the batch's own clock measures
    // what has passed, not a sum of the files' times.
    const int64_t elapsedMs = m_clock.elapsed();
    m_batch.elapsedMs = elapsedMs;
    const int64_t remainingMs = m_batch.fileCount * elapsedMs / (index + 1) - elapsedMs;
    if (m_host != nullptr)
        m_host->batchFileSettled(index, m_batch.fileCount, elapsedMs, remainingMs);
}

void BatchRun::runSequential()
{
    for (int32_t i = 0; i < m_fileCount; ++i) {
        const QString path = m_files.at(i);
        LoadedFile file;
        file.index = i;
        file.exists = QFileInfo::exists(path);
        beginFile(i, file.exists);
        loadFile(file, path, m_options);
        const FileResult result = processFile(file);
        if (result == FileResult::Stopped)
            return;
        if (result == FileResult::Filtered)
            recordWritten(writeFile(file, m_save));
        // A stop during the write ends the batch before the next file is
        // decoded for nothing.
        if (m_job.stop.load())
            return;
    }
}

void BatchRun::runPipelined()
{
    m_pipelined = true;
    m_waitsForEarlierResults.assign(static_cast<size_t>(m_fileCount), false);
    {
        // Gone before the first file: it grows with the list.
        QSet<quint64> earlierOutputs;
        for (int32_t i = 0; i < m_fileCount; ++i) {
            const QString path = m_files.at(i);
            m_waitsForEarlierResults[static_cast<size_t>(i)]
                = earlierOutputs.contains(keyHash(fileKey(path)));
            earlierOutputs.insert(keyHash(fileKey(outputFor(path, m_options))));
        }
    }
    m_loader = std::thread([this] { loaderLoop(); });
    const size_t writers = std::min(kWriterThreads, static_cast<size_t>(m_fileCount));
    for (size_t w = 0; w < writers; ++w)
        m_writers.emplace_back([this] { writerLoop(); });

    try {
        for (int32_t i = 0; i < m_fileCount; ++i) {
            std::optional<LoadedFile> file = takeLoaded();
            if (!file)
                break;
            beginFile(i, file->exists);
            const FileResult result = processFile(*file);
            if (result == FileResult::Stopped)
                break;
            if (result == FileResult::Filtered)
                handOver(std::move(*file));
        }
    } catch (...) {
        // The files at the writers are on the disk: the lists say so, as after
        // a stop, before the run reports what ended it.
        collectWritten(true);
        throw;
    }
    // A file that was completely filtered is still written and recorded.
    collectWritten(true);
    endThreads();
}

void BatchRun::loaderLoop()
{
    for (int32_t i = 0; i < m_fileCount; ++i) {
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [&] {
                return m_quit
                    || (!m_loaded
                        && (!m_waitsForEarlierResults[static_cast<size_t>(i)] || m_settled >= i));
            });
            if (m_quit)
                break;
        }
        LoadedFile file;
        file.index = i;
        const QString path = m_files.at(i);
        file.exists = QFileInfo::exists(path);
        loadFile(file, path, m_options);
        const std::lock_guard lock(m_mutex);
        m_loaded = std::move(file);
        m_changed.notify_all();
    }
}

void BatchRun::writerLoop()
{
    const auto waiting = [this] {
        return std::find_if(m_atWriters.begin(), m_atWriters.end(),
            [](const AtWriters& entry) { return entry.file.has_value(); });
    };
    for (;;) {
        LoadedFile file;
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [&] { return m_quit || waiting() != m_atWriters.end(); });
            const auto next = waiting();
            if (next == m_atWriters.end())
                return;
            file = std::move(*next->file);
            next->file.reset();
        }
        CBitmapEx::SaveOptions options = m_save;
        options.mayReplace = [this, index = file.index] { return replacesInTurn(index); };
        WrittenFile written = writeFile(file, options);
        const std::lock_guard lock(m_mutex);
        // Only the worker removes entries, and only once they are written.
        for (AtWriters& entry : m_atWriters) {
            if (entry.index == written.index) {
                m_bytesAtWriters -= entry.bytes;
                entry.written = std::move(written);
                break;
            }
        }
        m_changed.notify_all();
    }
}

std::optional<LoadedFile> BatchRun::takeLoaded()
{
    for (;;) {
        std::unique_lock lock(m_mutex);
        // While the next file is decoded, earlier outcomes may arrive; they
        // are recorded at once, and a source waiting for them may then be
        // read. A stop ends the batch before the next file is filtered for
        // nothing; it also frees a worker whose next source waits for a
        // result that the stop cut short and will never be settled.
        m_changed.wait(lock, [&] { return m_loaded || firstIsWritten() || m_job.stop.load(); });
        if (m_job.stop.load())
            return std::nullopt;
        if (m_loaded) {
            LoadedFile file = std::move(*m_loaded);
            m_loaded.reset();
            m_changed.notify_all();
            return file;
        }
        lock.unlock();
        collectWritten(false);
    }
}

void BatchRun::handOver(LoadedFile file)
{
    // Saving needs the filtered image alone; its original would only make
    // a fourth image's worth of memory while the next file is decoded.
    file.image->releaseOriginal();
    AtWriters entry;
    entry.index = file.index;
    entry.outputKey = fileKey(file.output);
    entry.bytes = heldBytes(*file.image);
    entry.file = std::move(file);
    for (;;) {
        collectWritten(false);
        std::unique_lock lock(m_mutex);
        if (roomAtWriters(entry.bytes)) {
            m_bytesAtWriters += entry.bytes;
            m_atWriters.push_back(std::move(entry));
            m_changed.notify_all();
            return;
        }
        m_changed.wait(lock, [&] { return firstIsWritten() || roomAtWriters(entry.bytes); });
    }
}

// With m_mutex held.
bool BatchRun::roomAtWriters(int64_t bytes) const
{
    return m_atWriters.empty()
        || (m_atWriters.size() < kFilesAtWriters && m_bytesAtWriters + bytes <= kWriterBytes);
}

// With m_mutex held.
bool BatchRun::firstIsWritten() const
{
    return !m_atWriters.empty() && m_atWriters.front().written.has_value();
}

// Results reach the disk in file order, though their writes overlap: a stop
// then leaves the files before some point written and none after it, as a
// one-by-one run would, rather than a gap that a rerun could not explain.
// Writers take files in order, so every earlier file is being written or
// done, and the earliest waits for none.
bool BatchRun::replacesInTurn(int32_t index)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] {
        return std::none_of(m_atWriters.begin(), m_atWriters.end(), [&](const AtWriters& entry) {
            return entry.index < index && !entry.written;
        });
    });
    return !m_job.stop.load();
}

bool BatchRun::atWriters(const QString& outputKey)
{
    const std::lock_guard lock(m_mutex);
    return std::any_of(m_atWriters.begin(), m_atWriters.end(),
        [&](const AtWriters& entry) { return entry.outputKey == outputKey; });
}

// Records the first outcome at the writers once it has arrived; with `wait`,
// waits for it. False when there was none to record.
bool BatchRun::collectFirst(bool wait)
{
    std::optional<WrittenFile> written;
    {
        std::unique_lock lock(m_mutex);
        if (wait)
            m_changed.wait(lock, [&] { return m_atWriters.empty() || firstIsWritten(); });
        if (!firstIsWritten())
            return false;
        written = std::move(m_atWriters.front().written);
        m_atWriters.pop_front();
    }
    // Host calls are made without the lock: a host may take its time.
    recordWritten(*written);
    return true;
}

// Records the outcomes that have arrived, in file order; with `wait`, every
// file at the writers is waited for.
void BatchRun::collectWritten(bool wait)
{
    if (!m_pipelined)
        return;
    while (collectFirst(wait)) {
    }
}

void BatchRun::endThreads()
{
    {
        const std::lock_guard lock(m_mutex);
        m_quit = true;
        m_changed.notify_all();
    }
    if (m_loader.joinable())
        m_loader.join();
    for (std::thread& writer : m_writers)
        writer.join();
    m_writers.clear();
}

} // namespace

void resolveBatchSettings(JobSnapshot& snapshot)
{
    const BatchOptions defaults;
    const BatchJob& batch = *snapshot.request.batch;
    const BatchOptions& options = batch.options != nullptr ? *batch.options : defaults;
    const PresetTable* presets = snapshot.request.presets;
    const int32_t count = presets != nullptr ? presets->count() : 0;
    int32_t preset = options.presetIndex;
    // Each file chooses its own settings once its profile is measured.
    if (options.autoStrength)
        preset = count;
    if (preset > count && snapshot.request.image == nullptr)
        preset = 0;
    if (preset < count && presets != nullptr)
        presets->deriveParams(preset, snapshot.request.settings);
    snapshot.request.presets = nullptr;
    if (options.useGivenProfile)
        snapshot.activeProfile = batch.givenProfile;
}

void runBatch(ProcessingJob& job, JobSnapshot& snapshot, BatchFlow flow)
{
    BatchRun run(job, snapshot);
    // A single file has nothing to overlap with.
    if (flow == BatchFlow::Pipelined && snapshot.request.batch->files.size() > 1
        && snapshot.request.batch->fileCount > 1)
        run.runPipelined();
    else
        run.runSequential();
}

} // namespace calmora
