// Lossless encoders of our own for PNG and TIFF, and the requests of the
// other writers. Ours exist for speed (rows are filtered and compressed on
// every core) and for what Qt's writers do not offer: 16 bits per channel
// from our own buffers, TIFF's horizontal predictor, a chosen compression
// level. The file is built in memory; the caller adds the metadata and
// writes it atomically.
#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>

namespace calmora {

struct EncodeRequest {
    int32_t width = 0;
    int32_t height = 0;
    int channels = 3; // 1 grey, 2 grey and alpha, 3 RGB, 4 RGBA
    int bitsPerChannel = 8; // 8 or 16
    // 0 (none, fastest) .. 9 (smallest); -1 the default, which keeps a
    // 20-megapixel photo's encoding well under two seconds.
    int compression = -1;
    QByteArray iccProfile; // embedded when not empty
    // Lossy formats: 0..100; WebP writes 100 losslessly.
    int quality = 90;
    // Formats whose metadata the encoder itself places: the EXIF as a TIFF
    // structure and the XMP packet, embedded when not empty.
    QByteArray exif;
    QByteArray xmp;
    // 0: one thread per core.
    int threadCount = 0;
    // When another thread sets it, the encoding ends at the next band of
    // rows, as a failure that says so.
    const std::atomic<bool>* stop = nullptr;
    // Fills `samples` with row `y` (0 = the top row): width × channels
    // samples in R, G, B, A (or grey, alpha) order, one byte each at 8 bits,
    // one native-endian uint16_t each at 16 bits. Called from several
    // threads at once, for different rows.
    std::function<void(int32_t y, void* samples)> readRow;
};

// False with `reason` on a request that cannot be encoded or when memory runs
// out; the output is then empty.
bool encodePng(const EncodeRequest& request, QByteArray& file, QString& reason);
bool encodeTiff(const EncodeRequest& request, QByteArray& file, QString& reason);
// Through Qt's WebP plugin; the alpha is kept, 16-bit samples become 8.
bool encodeWebp(const EncodeRequest& request, QByteArray& file, QString& reason);

} // namespace calmora
