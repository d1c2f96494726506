// The worker's single-image run. The batch run lives in batch_run.cpp; both
// go through the profile and filter passes of worker_passes.cpp.

#include "document/processing_worker.h"

#include "document/batch_run.h"
#include "document/bitmap_ex.h"
#include "document/worker_passes.h"
#include "engine/engine.h"
#include "settings/learned_profile_store.h"

#include <QFileInfo>

#include <exception>
#include <new>

namespace calmora {

JobSnapshot takeSnapshot(const ProcessingJob& job)
{
    JobSnapshot snapshot { job.request, job.generation.load(), job.activeProfile };
    if (snapshot.request.batch != nullptr)
        resolveBatchSettings(snapshot);
    return snapshot;
}

Rect bufferRowsToPicture(const Rect& bufferRows, int32_t imageHeight)
{
    return Rect { bufferRows.left, imageHeight - bufferRows.bottom, bufferRows.right,
        imageHeight - bufferRows.top };
}

Rect previewRectToBufferRows(const Rect& previewRect, int32_t imageHeight)
{
    Rect rows = previewRect;
    rows.top = imageHeight - previewRect.bottom - 1;
    rows.bottom = imageHeight - previewRect.top - 1;
    return rows;
}

namespace {

// Learn from the new profile and choose between the measured and the
// learned one; both are kept smoothed in the job.
void acceptProfile(ProcessingJob& job, JobSnapshot& snapshot)
{
    job.learnedSource = keepMeasuredProfile(
        job, snapshot, false, snapshot.request.fileName, *snapshot.request.image, job.pixelNoise);
    job.learnedProfile = snapshot.activeProfile;
    smoothProfile(job.measuredProfile);
    smoothProfile(job.learnedProfile);
    job.activeProfile
        = snapshot.request.useMeasuredProfile ? job.measuredProfile : job.learnedProfile;
    job.profileReady = true;
    if (snapshot.request.host != nullptr)
        snapshot.request.host->profileReady();
}

// A profile pass and a save cover the whole image, a preview only the tiles
// it shows.
void prepareRun(TileRun& run, const CBitmapEx& image)
{
    const JobRequest& request = run.snapshot.request;
    const bool profilePass = request.buildProfile;
    run.filtering = !profilePass;
    run.wholeImage = !request.savePath.isEmpty() || request.wholeImage || profilePass;
    run.tilesTopDown = image.highDepthPixels() != nullptr;
    run.visibleRows = run.tilesTopDown
        ? request.previewRect
        : previewRectToBufferRows(request.previewRect, image.height());
    run.progressWindow = request.progressWindow;
    run.reportTiles = !profilePass;
    run.tilesPending = countPendingTiles(run.job.tiles, run);
}

// The profile or filter pass over the tiles still to do. False when the run
// was stopped and must end without a word; `filtered` is cleared when the
// engine refused to filter.
bool runPass(TileRun& run, CBitmapEx& image, bool& filtered)
{
    ProcessingJob& job = run.job;
    JobSnapshot& snapshot = run.snapshot;
    const bool profilePass = snapshot.request.buildProfile;
    if (!snapshot.request.wholeImage) {
        if (snapshot.request.host != nullptr)
            snapshot.request.host->runStatus(
                profilePass ? RunStatus::BuildingProfile : RunStatus::UpdatingPreview);
        run.progressWindow = ProgressKind::Background;
    }
    if (profilePass) {
        if (measureProfile(run, image, job.tiles, snapshot.activeProfile))
            acceptProfile(job, snapshot);
        return true;
    }
    if (run.stopped())
        return false;
    filtered = filterPass(run, image, job.tiles);
    return !run.stopped();
}

void saveResult(ProcessingJob& job, const JobSnapshot& snapshot, bool filtered)
{
    WorkerHost* host = snapshot.request.host;
    const int quality = snapshot.request.options.settings.jpegQuality;
    QString reason = kFilterRefused;
    const bool written = filtered
        && snapshot.request.image->save(snapshot.request.savePath, quality,
            snapshot.request.options.settings2.tiffDepth != 0, &reason);
    if (!written && host != nullptr)
        host->reportError(
            QStringLiteral("Failed to save file \"%1\".").arg(snapshot.request.savePath), reason);
    // A failed save leaves the image unsaved: the question before it is
    // given up must still come.
    job.saveWritten = written;
    if (written)
        job.saved = true;
    job.request.savePath.clear();
}

void runSingleImage(ProcessingJob& job, JobSnapshot& snapshot)
{
    WorkerHost* host = snapshot.request.host;
    CBitmapEx* image = snapshot.request.image;
    const bool profilePass = snapshot.request.buildProfile;
    // Only `stop` ends a profile pass: a scroll or a resize in the moment
    // between the start and this line must not drop the profile of a photo
    // just opened.
    if ((!profilePass && job.generation.load() != snapshot.generation) || image == nullptr
        || image->isNull())
        return;

    bool filtered = true;
    TileRun run(job, snapshot);
    prepareRun(run, *image);
    if (run.tilesPending > 0 && !runPass(run, *image, filtered))
        return;

    if (host != nullptr && run.progressWindow != ProgressKind::None)
        host->setProgress(run.progressWindow, 100);

    if (!snapshot.request.savePath.isEmpty() && job.generation.load() == snapshot.generation
        && !profilePass)
        saveResult(job, snapshot, filtered);

    if (!profilePass)
        job.request.wholeImage = false;
    if (host != nullptr)
        host->runStatus(profilePass ? RunStatus::ProfileBuilt : RunStatus::ImageFiltered);
}

} // namespace

namespace {

// What escaped a run, in words; the run itself could not say more.
void reportEscaped(WorkerHost* host, const QString& reason)
{
    if (host == nullptr)
        return;
    try {
        host->reportError(QStringLiteral("Processing stopped before its end."), reason);
    } catch (...) {
        // A host that cannot report has nothing left to tell it with.
    }
}

} // namespace

void runJob(ProcessingJob& job, JobSnapshot snapshot)
{
    const bool batch = snapshot.request.batch != nullptr;
    WorkerHost* const host = snapshot.request.host;
    // Nothing may leave the thread: an exception there ends the program.
    // The job is left as a stopped run leaves it.
    try {
        if (batch)
            runBatch(job, snapshot);
        else
            runSingleImage(job, snapshot);
    } catch (const std::bad_alloc&) {
        reportEscaped(host, QStringLiteral("Not enough memory."));
    } catch (const std::exception& error) {
        reportEscaped(host, QString::fromLocal8Bit(error.what()));
    } catch (...) {
        reportEscaped(host, QStringLiteral("An unexpected error occurred."));
    }
    job.request.buildProfile = false;
    // Everything the run wrote back happens before this release, and a host
    // that hears of the batch's end may start the next run at once.
    job.running.store(false, std::memory_order_release);
    if (host != nullptr) {
        try {
            if (batch)
                host->batchEnded();
            host->runEnded();
        } catch (...) {
            reportEscaped(host, QStringLiteral("An unexpected error occurred."));
        }
    }
}

ProcessingWorker::~ProcessingWorker()
{
    wait();
}

bool ProcessingWorker::start(ProcessingJob& job)
{
    if (job.running.exchange(true))
        return false;
    wait();
    JobSnapshot snapshot = takeSnapshot(job);
    m_thread = std::thread(
        [&job, snapshot = std::move(snapshot)]() mutable { runJob(job, std::move(snapshot)); });
    return true;
}

void ProcessingWorker::wait()
{
    if (m_thread.joinable())
        m_thread.join();
}

} // namespace calmora
