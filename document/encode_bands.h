// What the PNG and TIFF encoders share: the checks on a request, the sizes
// it implies, and the engine that compresses bands of rows on every core and
// hands the results back in order to the calling thread.
#pragma once

#include "document/image_encoders.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

namespace calmora {

// Sizes of one request, all in 64 bits: a row of 2^31 RGBA pixels at 16 bits
// is 2^34 bytes.
struct EncodeLayout {
    int bytesPerSample = 1;
    int bytesPerPixel = 1;
    uint64_t rowBytes = 0; // samples of one row, without any filter byte
    uint64_t imageBytes = 0; // rowBytes × height
};

// False with `reason` when the request cannot be encoded as asked.
bool checkEncodeRequest(const EncodeRequest& request, EncodeLayout& layout, QString& reason);

// "not enough memory to encode a W × H image."
QString notEnoughMemory(const EncodeRequest& request);

// One worker thread per core when `threadCount` is 0, never more than there
// are bands.
int encoderThreads(int threadCount, int64_t bandCount);

struct EncodedBand {
    std::vector<uint8_t> bytes;
    uint32_t adler = 1; // adler-32 of the band's uncompressed bytes (PNG only)
    uint64_t sourceBytes = 0; // how many bytes `adler` covers
};

// Calls `encode(band, worker, out)` for every band in [0, bandCount) on
// `threads` threads (`worker` in [0, threads) names the calling thread, for
// state kept per thread), and `consume(band, out)` for each in band order on
// the calling thread, which alone may touch the output and its library.
// Workers run at most a few bands ahead of the consumer, so only those are
// held in memory. The first failure, from either side, stops every thread
// and its reason is returned; bad_alloc becomes `memoryReason`. Setting
// `stop` from another thread ends the run before the next band.
using EncodeBandFn
    = std::function<bool(int64_t band, int worker, EncodedBand& out, QString& reason)>;
using ConsumeBandFn = std::function<bool(int64_t band, EncodedBand& out, QString& reason)>;
bool runBands(int64_t bandCount, int threads, const EncodeBandFn& encode,
    const ConsumeBandFn& consume, const QString& memoryReason, QString& reason,
    const std::atomic<bool>* stop = nullptr);

} // namespace calmora
