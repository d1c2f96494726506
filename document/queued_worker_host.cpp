#include "document/queued_worker_host.h"

#include <QMetaObject>

namespace calmora {

QueuedWorkerHost::QueuedWorkerHost(QObject* parent)
    : QObject(parent)
{ }

template <typename Emit>
void QueuedWorkerHost::post(Emit emitOnOwnThread)
{
    // A queued call posts an event and returns; the functor, with its copied
    // arguments, runs on this object's thread. Events still pending when the
    // object is destroyed are dropped with it.
    QMetaObject::invokeMethod(this, std::move(emitOnOwnThread), Qt::QueuedConnection);
}

void QueuedWorkerHost::setProgress(ProgressKind kind, int percent)
{
    post([this, kind, percent] { emit progressChanged(kind, percent); });
}

void QueuedWorkerHost::runStatus(RunStatus status)
{
    post([this, status] { emit runStatusChanged(status); });
}

void QueuedWorkerHost::tileWritten(const Rect& rect)
{
    post([this, rect] { emit tileWrittenAt(rect); });
}

void QueuedWorkerHost::profileReady()
{
    post([this] { emit profileReadyReached(); });
}

void QueuedWorkerHost::batchFileStage(
    const QString& file, int32_t index, int32_t count, BatchStage stage)
{
    post([this, file, index, count, stage] {
        emit batchFileStageReached(file, index, count, stage);
    });
}

void QueuedWorkerHost::batchFileSettled(
    int32_t index, int32_t count, int64_t elapsedMs, int64_t remainingMs)
{
    post([this, index, count, elapsedMs, remainingMs] {
        emit batchFileSettledAt(index, count, elapsedMs, remainingMs);
    });
}

void QueuedWorkerHost::batchEnded()
{
    post([this] { emit batchEndReached(); });
}

void QueuedWorkerHost::reportError(const QString& message, const QString& reason)
{
    post([this, message, reason] { emit errorReported(message, reason); });
}

void QueuedWorkerHost::reportNote(const QString& file, const QString& note)
{
    post([this, file, note] { emit noteReported(file, note); });
}

} // namespace calmora
