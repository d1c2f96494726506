#include "document/queued_worker_host.h"

#include <QCoreApplication>
#include <QEvent>

#include <functional>

namespace calmora {

QueuedWorkerHost::QueuedWorkerHost(QObject* parent)
    : QObject(parent)
{ }

namespace {

// A call to run on the host's thread, carried by an event the worker posts.
class CallEvent final : public QEvent {
public:
    static QEvent::Type kind()
    {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }

    explicit CallEvent(std::function<void()> call)
        : QEvent(kind())
        , m_call(std::move(call))
    { }

    void run() const { m_call(); }

private:
    std::function<void()> m_call;
};

} // namespace

template <typename Emit>
void QueuedWorkerHost::post(Emit emitOnOwnThread)
{
    // Posting returns at once; the call, with its copied arguments, runs on
    // this object's thread. Events still pending when the object is
    // destroyed are dropped with it.
    auto* event = new CallEvent(std::move(emitOnOwnThread));
    m_posted.fetch_add(1, std::memory_order_release);
    QCoreApplication::postEvent(this, event);
}

bool QueuedWorkerHost::event(QEvent* event)
{
    // Before the event is looked at: it may come from the worker thread.
    m_posted.load(std::memory_order_acquire);
    if (event->type() != CallEvent::kind())
        return QObject::event(event);
    static_cast<CallEvent*>(event)->run();
    return true;
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
    const uint64_t run = m_run.load();
    post([this, rect, run] {
        if (run == m_run.load())
            emit tileWrittenAt(rect);
    });
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

void QueuedWorkerHost::runEnded()
{
    post([this] { emit runEndReached(); });
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
