#include "document/encode_bands.h"

#include <QCoreApplication>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace calmora {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("ImageEncoders", text);
}

// How many bands each worker may run ahead of the consumer: enough to keep
// every core busy while one band is slow, few enough that only a handful of
// compressed bands wait in memory.
constexpr int kBandsAheadPerWorker = 3;

struct BandQueue {
    std::mutex mutex;
    std::condition_variable changed;
    int64_t nextBand = 0; // the next band a worker takes
    int64_t consumed = 0; // bands handed to the consumer
    bool failed = false;
    QString reason;
    // Band b waits in slot b % window; a worker takes band b only once band
    // b - window has been consumed, so the slot is free.
    std::vector<EncodedBand> waiting;
    std::vector<char> ready;

    void fail(const QString& why)
    {
        if (!failed) {
            failed = true;
            reason = why;
        }
    }
};

// Runs `step`, turning what it throws into a reason: the row callback and
// every allocation may throw.
template <typename Step>
bool guarded(const Step& step, const QString& memoryReason, QString& reason)
{
    try {
        return step();
    } catch (const std::bad_alloc&) {
        reason = memoryReason;
    } catch (const std::length_error&) {
        reason = memoryReason;
    } catch (const std::exception& error) {
        reason = QString::fromLocal8Bit(error.what());
    } catch (...) {
        reason = tr("the image's rows could not be read.");
    }
    return false;
}

void workerLoop(BandQueue& queue, int64_t bandCount, int worker, const EncodeBandFn& encode,
    const QString& memoryReason, const std::atomic<bool>* stop)
{
    const auto window = static_cast<int64_t>(queue.waiting.size());
    for (;;) {
        int64_t band = 0;
        {
            std::unique_lock lock(queue.mutex);
            queue.changed.wait(lock, [&] {
                return queue.failed || queue.nextBand >= bandCount
                    || queue.nextBand < queue.consumed + window;
            });
            if (queue.failed || queue.nextBand >= bandCount)
                return;
            if (stop != nullptr && stop->load()) {
                queue.fail(tr("the encoding was stopped."));
                queue.changed.notify_all();
                return;
            }
            band = queue.nextBand++;
        }
        EncodedBand out;
        QString reason;
        const bool ok
            = guarded([&] { return encode(band, worker, out, reason); }, memoryReason, reason);
        {
            std::lock_guard lock(queue.mutex);
            if (ok) {
                queue.waiting[band % window] = std::move(out);
                queue.ready[band % window] = 1;
            } else {
                queue.fail(reason);
            }
        }
        queue.changed.notify_all();
    }
}

void consumeInOrder(
    BandQueue& queue, int64_t bandCount, const ConsumeBandFn& consume, const QString& memoryReason)
{
    const auto window = static_cast<int64_t>(queue.waiting.size());
    for (int64_t band = 0; band < bandCount; ++band) {
        EncodedBand out;
        {
            std::unique_lock lock(queue.mutex);
            queue.changed.wait(lock, [&] { return queue.failed || queue.ready[band % window]; });
            if (queue.failed)
                return;
            out = std::move(queue.waiting[band % window]);
            queue.waiting[band % window] = EncodedBand();
            queue.ready[band % window] = 0;
        }
        QString reason;
        const bool ok = guarded([&] { return consume(band, out, reason); }, memoryReason, reason);
        {
            std::lock_guard lock(queue.mutex);
            if (ok)
                queue.consumed = band + 1;
            else
                queue.fail(reason);
        }
        queue.changed.notify_all();
    }
}

} // namespace

bool checkEncodeRequest(const EncodeRequest& request, EncodeLayout& layout, QString& reason)
{
    if (request.width <= 0 || request.height <= 0) {
        reason = tr("the image has no pixels (%1 × %2).").arg(request.width).arg(request.height);
        return false;
    }
    if (request.channels < 1 || request.channels > 4) {
        reason = tr("%1 channels cannot be encoded; 1 to 4 can.").arg(request.channels);
        return false;
    }
    if (request.bitsPerChannel != 8 && request.bitsPerChannel != 16) {
        reason
            = tr("%1 bits per channel cannot be encoded; 8 or 16 can.").arg(request.bitsPerChannel);
        return false;
    }
    if (request.compression < -1 || request.compression > 9) {
        reason = tr("compression level %1 is out of range (0 to 9).").arg(request.compression);
        return false;
    }
    if (request.threadCount < 0) {
        reason = tr("thread count %1 is out of range.").arg(request.threadCount);
        return false;
    }
    if (!request.readRow) {
        reason = tr("there are no rows to encode.");
        return false;
    }
    layout.bytesPerSample = request.bitsPerChannel / 8;
    layout.bytesPerPixel = layout.bytesPerSample * request.channels;
    layout.rowBytes
        = static_cast<uint64_t>(request.width) * static_cast<uint64_t>(layout.bytesPerPixel);
    layout.imageBytes = layout.rowBytes * static_cast<uint64_t>(request.height);
    return true;
}

QString notEnoughMemory(const EncodeRequest& request)
{
    return tr("not enough memory to encode a %1 × %2 image.")
        .arg(request.width)
        .arg(request.height);
}

int encoderThreads(int threadCount, int64_t bandCount)
{
    int64_t threads = threadCount;
    if (threads <= 0)
        threads = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<int>(std::clamp<int64_t>(threads, 1, std::max<int64_t>(bandCount, 1)));
}

bool runBands(int64_t bandCount, int threads, const EncodeBandFn& encode,
    const ConsumeBandFn& consume, const QString& memoryReason, QString& reason,
    const std::atomic<bool>* stop)
{
    BandQueue queue;
    std::vector<std::thread> workers;
    const bool started = guarded(
        [&] {
            const auto window = static_cast<size_t>(threads) * kBandsAheadPerWorker;
            queue.waiting.resize(window);
            queue.ready.assign(window, 0);
            workers.reserve(static_cast<size_t>(threads));
            for (int worker = 0; worker < threads; ++worker)
                workers.emplace_back(workerLoop, std::ref(queue), bandCount, worker,
                    std::cref(encode), std::cref(memoryReason), stop);
            return true;
        },
        memoryReason, reason);
    if (started) {
        consumeInOrder(queue, bandCount, consume, memoryReason);
    } else {
        // A thread that could not be started (std::system_error) ends the
        // encoding; the started ones see the failure and stop.
        std::lock_guard lock(queue.mutex);
        queue.fail(reason);
    }
    queue.changed.notify_all();
    for (std::thread& worker : workers)
        worker.join();
    if (queue.failed)
        reason = queue.reason;
    return !queue.failed;
}

} // namespace calmora
