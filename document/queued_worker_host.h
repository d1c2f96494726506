// The worker host of a program with an event loop: every call from the
// worker thread becomes a signal emitted on the thread this object lives on
// (the document's), queued there. The worker thread only posts events; it
// never touches a QObject of the other thread, nor reads the job.
#pragma once

#include "document/processing_job.h"

#include <QObject>

#include <atomic>
#include <cstdint>

namespace calmora {

class QueuedWorkerHost final : public QObject, public WorkerHost {
    Q_OBJECT

public:
    explicit QueuedWorkerHost(QObject* parent = nullptr);

    // Called on the owner's thread while no run goes, before each run
    // starts. A tile report still queued from an earlier run is dropped
    // once a later run has begun: that run may be writing the same tile
    // again, so its pixels may not be read on the strength of the old report.
    void beginRun() { m_run.fetch_add(1); }

    void setProgress(ProgressKind kind, int percent) override;
    void runStatus(RunStatus status) override;
    void tileWritten(const Rect& rect) override;
    void profileReady() override;
    void batchFileStage(
        const QString& file, int32_t index, int32_t count, BatchStage stage) override;
    void batchFileSettled(
        int32_t index, int32_t count, int64_t elapsedMs, int64_t remainingMs) override;
    void batchEnded() override;
    void runEnded() override;
    void reportError(const QString& message, const QString& reason) override;
    void reportNote(const QString& file, const QString& note) override;

signals:
    void progressChanged(calmora::ProgressKind kind, int percent);
    void runStatusChanged(calmora::RunStatus status);
    void tileWrittenAt(calmora::Rect rect);
    void profileReadyReached();
    void batchFileStageReached(
        QString file, int32_t index, int32_t count, calmora::BatchStage stage);
    void batchFileSettledAt(int32_t index, int32_t count, qint64 elapsedMs, qint64 remainingMs);
    void batchEndReached();
    void runEndReached();
    void errorReported(QString message, QString reason);
    void noteReported(QString file, QString note);

protected:
    bool event(QEvent* event) override;

private:
    template <typename Emit>
    void post(Emit emitOnOwnThread);

    std::atomic<uint64_t> m_run { 0 };
    // Every event is complete before it is counted here and read only after
    // the count is loaded, so the hand-over is visible to race detectors,
    // which cannot see the synchronisation inside Qt's event queue.
    std::atomic<uint64_t> m_posted { 0 };
};

} // namespace calmora
