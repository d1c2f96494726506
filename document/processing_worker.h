// The worker thread: one run at a time on a ProcessingJob, a profile pass, a
// filter pass (visible rectangle or whole image, with an optional save) or a
// batch over a list of files.
#pragma once

#include "document/processing_job.h"

#include <thread>

namespace calmora {

class CBitmapEx;

// What a run works from: the job's request as it stood when the run was
// started, taken on the starter's thread, so that the starter may change the
// job's settings while the run filters with its own.
struct JobSnapshot {
    JobRequest request;
    int32_t generation = 0;
    // The job's activeProfile at the start; a profile pass measures into it.
    NoiseProfile activeProfile;
};

JobSnapshot takeSnapshot(const ProcessingJob& job);

// The thread procedure: runs one run on `job` from `snapshot`. Whatever is
// thrown inside the run is caught and reported through the host's
// reportError; the run then ends as a stopped run does. At its end it clears
// the request's `buildProfile`, then `running`, and only then tells a batch's
// host batchEnded and every host runEnded, so that a host reacting at once
// finds the job free.
//
// `running` is set by whoever starts the run, on the starter's thread,
// before the snapshot is taken: ProcessingWorker::start does it; a caller of
// runJob on its own thread (tests) sets it first itself. Nobody else sets
// it; a progress window only reads it. The host and the batch job must
// outlive the thread (its join), not only `running`.
void runJob(ProcessingJob& job, JobSnapshot snapshot);

// Owns the worker thread of one job's owner. The thread is joined before a
// new one starts and when the worker is destroyed; it is never detached.
class ProcessingWorker {
public:
    ProcessingWorker() = default;
    ~ProcessingWorker();
    ProcessingWorker(const ProcessingWorker&) = delete;
    ProcessingWorker& operator=(const ProcessingWorker&) = delete;

    // Starts a run unless one is running on `job`: sets `running`, takes the
    // snapshot on the calling thread and starts the thread. Returns false,
    // and changes nothing, when a run was already going. Not to be called
    // from the worker's own thread (a host's call), which it would join.
    bool start(ProcessingJob& job);

    // Waits for the current run, if any, to end.
    void wait();

private:
    std::thread m_thread;
};

// The visible rectangle (rows counted from the top of the picture) in the
// rows of a bottom-up buffer of `imageHeight` rows.
Rect previewRectToBufferRows(const Rect& previewRect, int32_t imageHeight);

// Rows of a bottom-up buffer (bottom exclusive) as the same pixels in picture
// rows counted from the top; unlike the preview rectangle's rule, exact.
Rect bufferRowsToPicture(const Rect& bufferRows, int32_t imageHeight);

} // namespace calmora
