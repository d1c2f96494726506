// The program's single document: the open image, its tiles, the job shared
// with the worker and the worker itself, with the operations that need no
// window. It draws nothing and shows nothing: questions and messages go to
// its DocumentPrompter, and what the worker reports arrives as signals on
// the document's thread. The command line drives it too, without an event
// loop: it waits for the worker instead of listening to the signals.
#pragma once

#include "document/bitmap_ex.h"
#include "document/document_prompter.h"
#include "document/processing_worker.h"
#include "document/queued_worker_host.h"
#include "settings/filter_settings.h"

#include <QObject>

#include <memory>
#include <optional>

namespace calmora {

class LearnedProfileStore;
class PresetTable;

// What a batch filters with beyond its BatchOptions; what is not set follows
// the document's options and the options' preset.
struct BatchSettings {
    BatchOptions options;
    // The run's own settings in place of a preset; the options' presetIndex
    // is then taken as "no preset".
    std::optional<FilterSettings> ownSettings;
    // One profile for every file in place of each file's own measurement.
    std::optional<NoiseProfile> givenProfile;
    std::optional<int> jpegQuality;
    std::optional<bool> keepHighDepth;
    int32_t threadCount = 0; // engine threads, 0 = one per core
};

// Where a whole-image run (Go, Save) stands, for the progress window's poll.
enum class WholeImageStep { BuildingProfile, Filtering, Finished, Stopped };

class CTessolinDoc final : public QObject {
    Q_OBJECT

public:
    // The options, presets and store belong to the application object and
    // outlive the document; the options are read afresh at every run.
    CTessolinDoc(const Options& options, const PresetTable& presets,
        LearnedProfileStore& profileStore, DocumentPrompter& prompter, QObject* parent = nullptr);
    // Stops a running run and joins the worker.
    ~CTessolinDoc() override;

    // Loads `path` and starts its profile pass. On failure the prompter is
    // told, the document stays empty and `reason` gets the loader's reason.
    bool open(const QString& path, QString* reason = nullptr);
    // Frees the tiles and the image and clears profileReady; the document
    // is no longer loaded. A run still going is stopped and waited for first.
    void deleteContents();

    bool isLoaded() const { return m_loaded; }
    const QString& sourcePath() const { return m_sourcePath; }
    CBitmapEx* image() { return m_image.get(); }
    const CBitmapEx* image() const { return m_image.get(); }
    // What the job stands at, to read. Changes go through the operations
    // below, which alone know which of its atomics to touch and in what order.
    const ProcessingJob& job() const { return m_job; }
    // The job to write, for what no operation covers yet: the command line's
    // signal handler sets its stop flag, and tests set up the states a run
    // would leave. The window never takes it (a test checks ui/).
    ProcessingJob& writableJob() { return m_job; }
    // The application's store, which runs read; see its header for who may
    // call what.
    LearnedProfileStore& profileStore() { return m_profileStore; }
    bool isRunning() const { return m_job.running.load(std::memory_order_acquire); }
    // Blocks until the current run, if any, has ended (not for a thread with
    // an event loop to keep).
    void waitForWorker();

    // The source path without its last extension, the default suffix when
    // the options append it, and ".jpg".
    QString suggestedSaveName() const;
    // The Save command: the save step with the suggested name. True when the
    // image was written. A file that exists under the name the save step
    // answers is replaced without a further question: the save step asks
    // about it (the prompter's askSavePath).
    bool save();
    // Processes what is left of the image and writes it to `path` (".jpg"
    // added to a path without "."). An existing file, the opened photo
    // among them, is replaced only when the user agrees to it, by this
    // exact name, in save()'s step or in a question asked here. True when
    // the file was written; false when the user declined or cancelled, or
    // the write failed.
    bool saveDocument(const QString& path);
    // Before the image is replaced or the program ends: false when the user
    // chose Cancel, or chose Yes and the image was not written.
    bool saveModified();

    void requestPreview(bool immediate);
    // Drops a pending preview and stops a running preview pass at its next
    // tile; a whole-image run that the progress window drives goes on.
    void cancelPreview();
    void resetProcessedState();
    // One tick of the view's preview countdown while no run goes: true when
    // the countdown has just run out and a preview is due.
    bool tickPreviewCountdown();

    // The window's operations. Each may be called while a run goes: what
    // the run's pixels, tiles or profiles must not see changing is carried
    // out once the run has ended (runEnded), and nothing waits for the
    // worker.

    // Derives the filter parameters from `values`, with or without an image.
    // With an image, changed parameters make every tile stale; while tiles
    // are stale the image counts as unsaved and a preview is asked for.
    // True when the parameters changed.
    bool setFilterSettings(const FilterSettings& values);
    // Go: the whole image through the prompter's progress window, building
    // the profile first when it is missing. True when it completed.
    bool go();
    // Whether Undo has anything to do: the image was processed by Go.
    bool canUndo() const { return m_loaded && m_job.processedByGo; }
    // Back to the unprocessed image until Go runs again; announced by
    // undone(). A running pass is stopped first.
    void undo();
    // Stops the running run, whatever it is, after its current tile, and
    // drops a pending preview.
    void stopRun();
    // Filters with the image's own measured profile (true) or the learned
    // one, and asks for a preview; announced by profileReady(). Without a
    // measured profile one is built first. A running pass is stopped first.
    void useMeasuredProfile(bool measured);
    bool usesMeasuredProfile() const { return m_job.request.useMeasuredProfile; }
    // Close File: asks whether to save a processed image first, then frees
    // the image (contentsDeleted). A running run is stopped first.
    void closeFile();
    // A profile pass when the profile is missing, else a preview pass over an
    // empty rectangle; false when nothing was started.
    bool startProcessing();
    // The view's preview step, when its countdown has run out: filters the
    // tiles that meet `visible` (picture rows from the top), or builds the
    // profile first if there is none. False, starting nothing, while a run
    // is going or no image is loaded.
    bool startPreview(const Rect& visible);

    // The progress window's steps: begin, then poll continueWholeImage (it
    // starts the profile pass, then the whole-image filter pass) until it
    // answers Finished or Stopped, then end.
    void beginWholeImage();
    WholeImageStep continueWholeImage();
    void endWholeImage();
    // The whole run at once, waiting on this thread; for prompters without a
    // window. True when it finished.
    bool processWholeImageNow();

    // Seconds the tiles took, when the summary is to be shown: the option
    // is on and every tile is filtered.
    std::optional<double> processingSummary() const;

    // Runs a batch with `host` (called on the worker thread) and waits for
    // it; `batch` holds the files and receives the lists.
    void runBatch(BatchJob& batch, const BatchSettings& settings, WorkerHost& host);
    // Starts a batch of `files` on the worker with this document's queued
    // host and returns at once: what the run reports arrives as the batch
    // signals below, and batchEnded() once its lists are final. False,
    // starting nothing, while a run is going. The run is stopped, after its
    // current tile, by the job's `stop`.
    bool startBatch(const QStringList& files, const BatchSettings& settings);
    bool isBatchGoing() const { return m_batchGoing; }
    // The last batch of startBatch: its files and, once it has ended, its
    // lists. Not to be read while it goes: the worker writes it.
    const BatchJob& lastBatch() const { return m_batch; }
    // The profile the last batch filtered with when it measured one (its
    // last file's own, smoothed). The open image's profiles are never the
    // batch's.
    std::optional<NoiseProfile> batchMeasuredProfile() const;

signals:
    // Opening succeeded; `presetIndex` is the preset to apply to the
    // settings pane, or -1 to keep the one selected.
    void opened(int presetIndex);
    void contentsDeleted();
    void progressChanged(calmora::ProgressKind kind, int percent);
    void runStatusChanged(calmora::RunStatus status);
    void tileWritten(calmora::Rect rect);
    void profileReady();
    void errorReported(QString message, QString reason);
    void noteReported(QString file, QString note);
    // The batch of startBatch: a file's stage, a file settled in the lists
    // (written or failed) with the batch's times, and its end.
    void batchFileStage(QString file, int32_t index, int32_t count, calmora::BatchStage stage);
    void batchFileSettled(int32_t index, int32_t count, qint64 elapsedMs, qint64 remainingMs);
    void batchEnded();
    // A run on the worker has ended and none goes now; emitted on the
    // document's thread once everything the run reported has arrived.
    void runEnded();
    // Undo has restored the unprocessed image.
    void undone();

private:
    // Runs `operation` once the running run has ended (once, however often
    // it is asked for meanwhile).
    void afterRun(void (CTessolinDoc::*operation)());
    void applyProfileChoice();
    int32_t previewTicks(bool immediate) const;
    bool mayWrite(const QString& target);
    void prepareSingleImageRun();
    bool startWorker();
    bool wholeImagePending() const;
    void settleWholeImage();
    // What runBatch and startBatch share: the request set up for a batch with
    // `host`, and put back for single-image runs once it has ended.
    void prepareBatch(BatchJob& batch, const BatchSettings& settings, WorkerHost& host);
    void finishBatch(BatchJob& batch);
    void onBatchEnded();

    const Options& m_options;
    const PresetTable& m_presets;
    LearnedProfileStore& m_profileStore;
    DocumentPrompter& m_prompter;
    QString m_sourcePath;
    bool m_loaded = false;
    std::unique_ptr<CBitmapEx> m_image;
    ProcessingJob m_job;
    // The running batch's options and, for startBatch, its job: the worker
    // reads them until the run has ended.
    BatchOptions m_batchOptions;
    BatchJob m_batch;
    bool m_batchGoing = false;
    // The last ended batch's measured profile, unsmoothed.
    std::optional<NoiseProfile> m_batchProfile;
    // The name the save step's own question covered, while a save goes.
    QString m_replaceConfirmed;
    // Declared before the worker: the worker's thread is joined first.
    QueuedWorkerHost m_host;
    ProcessingWorker m_worker;

    enum class WholeImageStage { None, Profile, Filter };
    WholeImageStage m_wholeImageStage = WholeImageStage::None;
    bool m_wholeImageProfileTried = false;
    QString m_wholeImageSavePath; // where the filter pass saves, if anywhere
    // The progress window ended while a run could still write the request's
    // wholeImage; it is cleared once no run is going.
    bool m_clearWholeImage = false;
    // The profile useMeasuredProfile() chose, while it waits for a run's end.
    std::optional<bool> m_profileChoice;
};

} // namespace calmora
