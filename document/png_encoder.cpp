// PNG written by hand around zlib: rows are filtered and deflated in bands of
// about a megabyte on every core, and the bands are joined into one zlib
// stream. Each band but the last ends on a sync flush, which closes its
// deflate blocks on a byte boundary; the stream's adler-32 is combined from
// the bands' own. Bands are cut by size, never by thread count, and each is
// deflated from a fresh state, so the file is the same byte for byte on any
// number of threads.

#include "document/encode_bands.h"
#include "document/image_encoders.h"

#include <QCoreApplication>

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace calmora {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("ImageEncoders", text);
}

// About a megabyte of filtered rows per band: enough that the flush and the
// fresh start cost well under 0.1 % of the file, small enough that many
// bands keep every core busy on a 20-megapixel image.
constexpr uint64_t kBandBytes = uint64_t(1) << 20;
// IDAT chunks are cut at this size; PNG allows up to 2^31 - 1 bytes.
constexpr uint64_t kMaxChunkBytes = uint64_t(1) << 30;
// zlib counts its input and output in 32-bit lengths.
constexpr uint64_t kMaxZlibStep = uint64_t(1) << 30;

// Byte offsets within a band are 64-bit; zlib's offset type must hold them.
static_assert(sizeof(z_off_t) >= 8, "adler32_combine needs 64-bit lengths");

enum class RowFilter : uint8_t { None = 0, Sub = 1, Up = 2, Average = 3, Paeth = 4 };

struct PngMode {
    int zlibLevel = Z_DEFAULT_COMPRESSION;
    int strategy = Z_DEFAULT_STRATEGY;
    bool adaptive = true; // pick each row's filter, else store rows unfiltered
};

// On photos, deflate finds few matches longer than a run of equal filtered
// bytes, so run-length-only deflate after adaptive filtering is as small as
// level 6 (within 1 % either way on noisy and smoothed photos) at about a
// quarter of the time. Other levels are zlib's own; 0 stores the rows.
PngMode pngMode(int compression)
{
    PngMode mode;
    if (compression < 0) {
        mode.zlibLevel = 1;
        mode.strategy = Z_RLE;
    } else {
        mode.zlibLevel = compression;
        mode.adaptive = compression > 0;
    }
    return mode;
}

int paethPredictor(int left, int above, int aboveLeft)
{
    const int estimate = left + above - aboveLeft;
    const int toLeft = std::abs(estimate - left);
    const int toAbove = std::abs(estimate - above);
    const int toAboveLeft = std::abs(estimate - aboveLeft);
    if (toLeft <= toAbove && toLeft <= toAboveLeft)
        return left;
    return toAbove <= toAboveLeft ? above : aboveLeft;
}

// Writes `row` filtered with `filter` to `out`; `previous` is null on a
// band's first row, whose filter never looks above.
void applyFilter(RowFilter filter, const uint8_t* row, const uint8_t* previous, size_t size,
    size_t bpp, uint8_t* out)
{
    switch (filter) {
    case RowFilter::None:
        std::memcpy(out, row, size);
        break;
    case RowFilter::Sub:
        std::memcpy(out, row, std::min(bpp, size));
        for (size_t i = bpp; i < size; ++i)
            out[i] = static_cast<uint8_t>(row[i] - row[i - bpp]);
        break;
    case RowFilter::Up:
        for (size_t i = 0; i < size; ++i)
            out[i] = static_cast<uint8_t>(row[i] - previous[i]);
        break;
    case RowFilter::Average:
        for (size_t i = 0; i < std::min(bpp, size); ++i)
            out[i] = static_cast<uint8_t>(row[i] - (previous[i] >> 1));
        for (size_t i = bpp; i < size; ++i)
            out[i] = static_cast<uint8_t>(row[i] - ((row[i - bpp] + previous[i]) >> 1));
        break;
    case RowFilter::Paeth:
        for (size_t i = 0; i < std::min(bpp, size); ++i)
            out[i] = static_cast<uint8_t>(row[i] - previous[i]);
        for (size_t i = bpp; i < size; ++i)
            out[i] = static_cast<uint8_t>(
                row[i] - paethPredictor(row[i - bpp], previous[i], previous[i - bpp]));
        break;
    }
}

// libpng's heuristic: the filter whose output, read as signed bytes, has the
// smallest sum of magnitudes.
uint64_t signedSum(const uint8_t* bytes, size_t size)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum += static_cast<uint64_t>(std::abs(static_cast<int>(static_cast<int8_t>(bytes[i]))));
    return sum;
}

struct PngWorker {
    std::vector<uint8_t> rows[2]; // the current row and the one above, big-endian
    std::vector<uint8_t> filtered; // the band, each row behind its filter byte
    std::vector<uint8_t> trial; // a candidate filter's output
    z_stream stream {};
    bool streamReady = false;

    PngWorker() = default;
    PngWorker(const PngWorker&) = delete;
    PngWorker& operator=(const PngWorker&) = delete;
    ~PngWorker()
    {
        if (streamReady)
            deflateEnd(&stream);
    }
};

class PngEncoder {
public:
    PngEncoder(const EncodeRequest& request, const EncodeLayout& layout, QByteArray& file)
        : m_request(request)
        , m_layout(layout)
        , m_mode(pngMode(request.compression))
        , m_file(file)
        , m_memoryReason(notEnoughMemory(request))
    {
        const uint64_t stride = layout.rowBytes + 1;
        m_rowsPerBand = std::clamp<uint64_t>(kBandBytes / stride, 1, uint64_t(request.height));
        m_bandCount
            = static_cast<int64_t>((uint64_t(request.height) + m_rowsPerBand - 1) / m_rowsPerBand);
    }

    bool encode(QString& reason);

private:
    bool encodeBand(int64_t band, PngWorker& worker, EncodedBand& out, QString& reason);
    void filterRow(PngWorker& worker, const uint8_t* row, const uint8_t* previous, uint8_t* out);
    bool deflateBand(PngWorker& worker, size_t size, bool last, EncodedBand& out, QString& reason);
    bool appendBand(int64_t band, const EncodedBand& out);
    void appendHeader(QString& reason, bool& ok);
    void appendChunk(const char* type, const uint8_t* data, size_t size,
        const uint8_t* tail = nullptr, size_t tailSize = 0);

    const EncodeRequest& m_request;
    const EncodeLayout& m_layout;
    const PngMode m_mode;
    QByteArray& m_file;
    const QString m_memoryReason;
    uint64_t m_rowsPerBand = 1;
    int64_t m_bandCount = 1;
    uint32_t m_adler = 1; // of every band consumed so far
};

void PngEncoder::filterRow(
    PngWorker& worker, const uint8_t* row, const uint8_t* previous, uint8_t* out)
{
    const size_t size = m_layout.rowBytes;
    const auto bpp = static_cast<size_t>(m_layout.bytesPerPixel);
    if (!m_mode.adaptive) {
        out[0] = uint8_t(RowFilter::None);
        applyFilter(RowFilter::None, row, previous, size, bpp, out + 1);
        return;
    }
    static constexpr std::array kAll
        = { RowFilter::None, RowFilter::Sub, RowFilter::Up, RowFilter::Average, RowFilter::Paeth };
    const size_t candidates = previous != nullptr ? kAll.size() : 2;
    uint64_t bestSum = UINT64_MAX;
    // The best so far stays in `out`; a better one is swapped in from `trial`.
    for (size_t c = 0; c < candidates; ++c) {
        applyFilter(kAll[c], row, previous, size, bpp, worker.trial.data());
        const uint64_t sum = signedSum(worker.trial.data(), size);
        if (sum < bestSum) {
            bestSum = sum;
            out[0] = uint8_t(kAll[c]);
            std::memcpy(out + 1, worker.trial.data(), size);
        }
    }
}

bool PngEncoder::encodeBand(int64_t band, PngWorker& worker, EncodedBand& out, QString& reason)
{
    const uint64_t first = uint64_t(band) * m_rowsPerBand;
    const uint64_t end = std::min<uint64_t>(first + m_rowsPerBand, uint64_t(m_request.height));
    const size_t rowBytes = m_layout.rowBytes;
    const size_t stride = rowBytes + 1;
    for (std::vector<uint8_t>& row : worker.rows)
        row.resize(rowBytes);
    worker.trial.resize(rowBytes);
    worker.filtered.resize(stride * (end - first));
    for (uint64_t y = first; y < end; ++y) {
        std::vector<uint8_t>& row = worker.rows[y & 1];
        m_request.readRow(static_cast<int32_t>(y), row.data());
        if (m_layout.bytesPerSample == 2) {
            // The callback gives native uint16_t; PNG stores big-endian.
            for (size_t i = 0; i < rowBytes; i += 2) {
                uint16_t sample;
                std::memcpy(&sample, &row[i], 2);
                row[i] = static_cast<uint8_t>(sample >> 8);
                row[i + 1] = static_cast<uint8_t>(sample);
            }
        }
        const uint8_t* previous = y > first ? worker.rows[(y - 1) & 1].data() : nullptr;
        filterRow(worker, row.data(), previous, worker.filtered.data() + (y - first) * stride);
    }
    return deflateBand(
        worker, worker.filtered.size(), end == uint64_t(m_request.height), out, reason);
}

bool PngEncoder::deflateBand(
    PngWorker& worker, size_t size, bool last, EncodedBand& out, QString& reason)
{
    z_stream& stream = worker.stream;
    if (!worker.streamReady) {
        // Raw deflate: the zlib header and trailer are written once, around
        // all bands. Window 2^15, memory level 8: zlib's defaults.
        const int status
            = deflateInit2(&stream, m_mode.zlibLevel, Z_DEFLATED, -MAX_WBITS, 8, m_mode.strategy);
        if (status == Z_MEM_ERROR)
            throw std::bad_alloc();
        if (status != Z_OK) {
            reason = tr("the compressor could not be set up (zlib error %1).").arg(status);
            return false;
        }
        worker.streamReady = true;
    } else if (deflateReset(&stream) != Z_OK) {
        reason = tr("the compressor could not be reset.");
        return false;
    }
    const uint8_t* input = worker.filtered.data();
    out.sourceBytes = size;
    out.adler = static_cast<uint32_t>(adler32(0, nullptr, 0));
    for (size_t done = 0; done < size;) {
        const auto step = static_cast<uInt>(std::min<uint64_t>(size - done, kMaxZlibStep));
        out.adler = static_cast<uint32_t>(adler32(out.adler, input + done, step));
        done += step;
    }
    // deflateBound covers Z_FINISH; a sync flush adds at most an empty
    // stored block (5 bytes) and a few bits before it.
    size_t capacity = static_cast<size_t>(deflateBound(&stream, static_cast<uLong>(size))) + 16;
    out.bytes.resize(capacity);
    size_t written = 0;
    size_t consumed = 0;
    const int finalFlush = last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
        const auto inStep = static_cast<uInt>(std::min<uint64_t>(size - consumed, kMaxZlibStep));
        const bool lastStep = consumed + inStep == size;
        if (capacity - written < 64) {
            capacity += capacity / 2 + 64;
            out.bytes.resize(capacity);
        }
        stream.next_in = const_cast<Bytef*>(input + consumed);
        stream.avail_in = inStep;
        stream.next_out = out.bytes.data() + written;
        stream.avail_out = static_cast<uInt>(std::min<uint64_t>(capacity - written, kMaxZlibStep));
        const uInt outBefore = stream.avail_out;
        const int status = deflate(&stream, lastStep ? finalFlush : Z_NO_FLUSH);
        consumed += inStep - stream.avail_in;
        written += outBefore - stream.avail_out;
        if (status == Z_STREAM_END)
            break;
        if (status != Z_OK && status != Z_BUF_ERROR) {
            reason = tr("the compressor failed (zlib error %1).").arg(status);
            return false;
        }
        // A flush is complete when zlib had room left over.
        if (lastStep && consumed == size && !last && stream.avail_out > 0)
            break;
    }
    out.bytes.resize(written);
    return true;
}

void PngEncoder::appendChunk(
    const char* type, const uint8_t* data, size_t size, const uint8_t* tail, size_t tailSize)
{
    const uint64_t length = uint64_t(size) + tailSize;
    const uint8_t header[8] = { uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8),
        uint8_t(length), uint8_t(type[0]), uint8_t(type[1]), uint8_t(type[2]), uint8_t(type[3]) };
    uLong crc = crc32(0, header + 4, 4);
    if (size > 0)
        crc = crc32_z(crc, data, size);
    if (tailSize > 0)
        crc = crc32_z(crc, tail, tailSize);
    const uint8_t trailer[4]
        = { uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc) };
    m_file.append(reinterpret_cast<const char*>(header), 8);
    if (size > 0)
        m_file.append(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (tailSize > 0)
        m_file.append(reinterpret_cast<const char*>(tail), static_cast<qsizetype>(tailSize));
    m_file.append(reinterpret_cast<const char*>(trailer), 4);
}

bool PngEncoder::appendBand(int64_t band, const EncodedBand& out)
{
    m_adler = static_cast<uint32_t>(
        adler32_combine(m_adler, out.adler, static_cast<z_off_t>(out.sourceBytes)));
    const bool last = band + 1 == m_bandCount;
    size_t offset = 0;
    const size_t size = out.bytes.size();
    // Cut so that the last piece holds the stream's adler-32 too.
    while (size - offset > kMaxChunkBytes) {
        appendChunk("IDAT", out.bytes.data() + offset, kMaxChunkBytes);
        offset += kMaxChunkBytes;
    }
    const uint8_t adler[4] = { uint8_t(m_adler >> 24), uint8_t(m_adler >> 16),
        uint8_t(m_adler >> 8), uint8_t(m_adler) };
    if (last || size > offset)
        appendChunk(
            "IDAT", out.bytes.data() + offset, size - offset, last ? adler : nullptr, last ? 4 : 0);
    return true;
}

void PngEncoder::appendHeader(QString& reason, bool& ok)
{
    static const uint8_t kSignature[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n' };
    // Colour types by channel count: grey 0, grey and alpha 4, RGB 2, RGBA 6.
    static const uint8_t kColourType[5] = { 0, 0, 4, 2, 6 };
    m_file.append(reinterpret_cast<const char*>(kSignature), 8);
    const auto width = static_cast<uint32_t>(m_request.width);
    const auto height = static_cast<uint32_t>(m_request.height);
    const uint8_t header[13]
        = { uint8_t(width >> 24), uint8_t(width >> 16), uint8_t(width >> 8), uint8_t(width),
              uint8_t(height >> 24), uint8_t(height >> 16), uint8_t(height >> 8), uint8_t(height),
              uint8_t(m_request.bitsPerChannel), kColourType[m_request.channels], 0, 0, 0 };
    appendChunk("IHDR", header, sizeof header);
    ok = true;
    if (m_request.iccProfile.isEmpty())
        return;
    // iCCP: a Latin-1 name, its terminator, method 0 (zlib), the profile.
    static const char kName[] = "ICC profile";
    const auto profileSize = static_cast<uLong>(m_request.iccProfile.size());
    uLongf packedSize = compressBound(profileSize);
    std::vector<uint8_t> chunk(sizeof kName + 1 + packedSize);
    std::memcpy(chunk.data(), kName, sizeof kName);
    chunk[sizeof kName] = 0;
    const int status = compress2(chunk.data() + sizeof kName + 1, &packedSize,
        reinterpret_cast<const Bytef*>(m_request.iccProfile.constData()), profileSize, 9);
    if (status == Z_MEM_ERROR)
        throw std::bad_alloc();
    if (status != Z_OK) {
        reason = tr("the ICC profile could not be compressed (zlib error %1).").arg(status);
        ok = false;
        return;
    }
    appendChunk("iCCP", chunk.data(), sizeof kName + 1 + packedSize);
}

bool PngEncoder::encode(QString& reason)
{
    bool ok = false;
    appendHeader(reason, ok);
    if (!ok)
        return false;
    const int threads = encoderThreads(m_request.threadCount, m_bandCount);
    std::vector<PngWorker> workers(static_cast<size_t>(threads));
    // The zlib header: deflate with a 32 KiB window (CMF 0x78), the level as
    // FLEVEL, and the check bits that make CMF·256 + FLG a multiple of 31.
    const int level = m_mode.zlibLevel;
    const int flevel = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
    const int cmf = 0x78;
    int flg = flevel << 6;
    flg += 31 - (cmf * 256 + flg) % 31;
    const auto encodeOne = [&](int64_t band, int worker, EncodedBand& out, QString& why) {
        if (!encodeBand(band, workers[size_t(worker)], out, why))
            return false;
        if (band == 0)
            out.bytes.insert(out.bytes.begin(), { uint8_t(cmf), uint8_t(flg) });
        return true;
    };
    const auto consumeOne
        = [&](int64_t band, EncodedBand& out, QString&) { return appendBand(band, out); };
    if (!runBands(
            m_bandCount, threads, encodeOne, consumeOne, m_memoryReason, reason, m_request.stop))
        return false;
    appendChunk("IEND", nullptr, 0);
    return true;
}

} // namespace

bool encodePng(const EncodeRequest& request, QByteArray& file, QString& reason)
{
    file.clear();
    EncodeLayout layout;
    if (!checkEncodeRequest(request, layout, reason))
        return false;
    try {
        PngEncoder encoder(request, layout, file);
        if (encoder.encode(reason))
            return true;
    } catch (const std::bad_alloc&) {
        reason = notEnoughMemory(request);
    } catch (const std::length_error&) {
        reason = notEnoughMemory(request);
    }
    file.clear();
    return false;
}

} // namespace calmora
