// TIFF through libtiff, with strips made here: each strip's rows get the
// horizontal predictor and are deflated by libdeflate on every core, and the
// calling thread writes them in order with TIFFWriteRawStrip into a growing
// buffer in memory. libtiff is only ever called from the calling thread,
// where a DecoderMessages collects what it says. Strips are cut by size,
// never by thread count, so the file is the same on any number of threads.

#include "document/decoder_messages.h"
#include "document/encode_bands.h"
#include "document/image_encoders.h"
#include "document/tiff_memory_file.h"

#include <QCoreApplication>

#include <libdeflate.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace calmora {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("ImageEncoders", text);
}

// A strip holds about 256 KiB of samples: many strips keep every core busy,
// and deflate's 32 KiB window gains next to nothing from longer ones.
constexpr uint64_t kStripBytes = uint64_t(256) << 10;
// Classic TIFF addresses 4 GiB; past this the file is written as BigTIFF.
// The margin covers the directory and deflate's worst-case growth.
constexpr uint64_t kClassicTiffLimit = (uint64_t(1) << 32) - (uint64_t(64) << 20);

// libdeflate's level 6 with the predictor is smaller than LZW without it by
// far on photos and deflates a 20-megapixel photo in under half a second per
// core. Level 9 asks for the smallest file, which is libdeflate's 12.
int deflateLevel(int compression)
{
    if (compression < 0)
        return 6;
    return compression == 9 ? 12 : compression;
}

struct TiffWorker {
    std::vector<uint8_t> strip;
    libdeflate_compressor* compressor = nullptr;

    TiffWorker() = default;
    TiffWorker(const TiffWorker&) = delete;
    TiffWorker& operator=(const TiffWorker&) = delete;
    ~TiffWorker() { libdeflate_free_compressor(compressor); }
};

// The horizontal predictor (TIFF's predictor 2): each sample becomes its
// difference from the same channel of the pixel to its left, modulo 2^bits.
// Runs from the right so every difference reads an original sample.
template <typename Sample>
void predictRow(uint8_t* bytes, uint64_t samples, int channels)
{
    auto* row = reinterpret_cast<Sample*>(bytes);
    for (uint64_t i = samples; i-- > uint64_t(channels);)
        row[i] = static_cast<Sample>(row[i] - row[i - channels]);
}

class TiffEncoder {
public:
    TiffEncoder(const EncodeRequest& request, const EncodeLayout& layout)
        : m_request(request)
        , m_layout(layout)
        , m_compressed(request.compression != 0)
        , m_memoryReason(notEnoughMemory(request))
    {
        m_rowsPerStrip
            = std::clamp<uint64_t>(kStripBytes / layout.rowBytes, 1, uint64_t(request.height));
        m_stripCount = static_cast<int64_t>(
            (uint64_t(request.height) + m_rowsPerStrip - 1) / m_rowsPerStrip);
    }

    bool encode(TIFF* tiff, QString& reason);
    bool writeTags(TIFF* tiff);

private:
    bool encodeStrip(int64_t strip, TiffWorker& worker, EncodedBand& out, QString& reason);

    const EncodeRequest& m_request;
    const EncodeLayout& m_layout;
    const bool m_compressed;
    const QString m_memoryReason;
    uint64_t m_rowsPerStrip = 1;
    int64_t m_stripCount = 1;
};

bool TiffEncoder::writeTags(TIFF* tiff)
{
    const int channels = m_request.channels;
    bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(m_request.width))
        && TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(m_request.height))
        && TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(m_request.bitsPerChannel))
        && TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(channels))
        && TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, uint16_t(SAMPLEFORMAT_UINT))
        && TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
            uint16_t(channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK))
        && TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG))
        && TIFFSetField(tiff, TIFFTAG_ORIENTATION, uint16_t(ORIENTATION_TOPLEFT))
        && TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, uint32_t(m_rowsPerStrip))
        && TIFFSetField(tiff, TIFFTAG_COMPRESSION,
            uint16_t(m_compressed ? COMPRESSION_ADOBE_DEFLATE : COMPRESSION_NONE));
    if (ok && m_compressed)
        ok = TIFFSetField(tiff, TIFFTAG_PREDICTOR, uint16_t(PREDICTOR_HORIZONTAL));
    if (ok && (channels == 2 || channels == 4)) {
        const uint16_t extra[1] = { EXTRASAMPLE_UNASSALPHA };
        ok = TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, uint16_t(1), extra);
    }
    if (ok && !m_request.iccProfile.isEmpty())
        ok = TIFFSetField(tiff, TIFFTAG_ICCPROFILE, uint32_t(m_request.iccProfile.size()),
            m_request.iccProfile.constData());
    return ok;
}

bool TiffEncoder::encodeStrip(int64_t strip, TiffWorker& worker, EncodedBand& out, QString& reason)
{
    const uint64_t first = uint64_t(strip) * m_rowsPerStrip;
    const uint64_t end = std::min<uint64_t>(first + m_rowsPerStrip, uint64_t(m_request.height));
    const uint64_t rowBytes = m_layout.rowBytes;
    const uint64_t samplesPerRow = uint64_t(m_request.width) * uint64_t(m_request.channels);
    std::vector<uint8_t>& raw = m_compressed ? worker.strip : out.bytes;
    raw.resize(rowBytes * (end - first));
    for (uint64_t y = first; y < end; ++y) {
        uint8_t* row = raw.data() + (y - first) * rowBytes;
        // libtiff writes in the machine's byte order, the callback's order.
        m_request.readRow(static_cast<int32_t>(y), row);
        if (!m_compressed)
            continue;
        if (m_layout.bytesPerSample == 2)
            predictRow<uint16_t>(row, samplesPerRow, m_request.channels);
        else
            predictRow<uint8_t>(row, samplesPerRow, m_request.channels);
    }
    if (!m_compressed)
        return true;
    if (worker.compressor == nullptr) {
        worker.compressor = libdeflate_alloc_compressor(deflateLevel(m_request.compression));
        if (worker.compressor == nullptr)
            throw std::bad_alloc();
    }
    out.bytes.resize(libdeflate_zlib_compress_bound(worker.compressor, raw.size()));
    const size_t size = libdeflate_zlib_compress(
        worker.compressor, raw.data(), raw.size(), out.bytes.data(), out.bytes.size());
    if (size == 0) {
        reason = tr("strip %1 could not be compressed.").arg(strip);
        return false;
    }
    out.bytes.resize(size);
    return true;
}

bool TiffEncoder::encode(TIFF* tiff, QString& reason)
{
    if (!writeTags(tiff))
        return false;
    const int threads = encoderThreads(m_request.threadCount, m_stripCount);
    std::vector<TiffWorker> workers(static_cast<size_t>(threads));
    const auto encodeOne = [&](int64_t strip, int worker, EncodedBand& out, QString& why) {
        return encodeStrip(strip, workers[size_t(worker)], out, why);
    };
    const auto consumeOne = [&](int64_t strip, EncodedBand& out, QString&) {
        return TIFFWriteRawStrip(tiff, static_cast<uint32_t>(strip), out.bytes.data(),
                   static_cast<tmsize_t>(out.bytes.size()))
            >= 0;
    };
    return runBands(m_stripCount, threads, encodeOne, consumeOne, m_memoryReason, reason,
               m_request.stop)
        && TIFFFlush(tiff) == 1;
}

} // namespace

bool encodeTiff(const EncodeRequest& request, QByteArray& file, QString& reason)
{
    file.clear();
    EncodeLayout layout;
    if (!checkEncodeRequest(request, layout, reason))
        return false;
    DecoderMessages messages;
    TiffMemoryFile memory;
    memory.bytes = &file;
    memory.output = &file;
    bool ok = false;
    QString why;
    try {
        TiffEncoder encoder(request, layout);
        const bool big = layout.imageBytes > kClassicTiffLimit;
        TIFF* tiff = TIFFClientOpen("output", big ? "w8" : "w", &memory, TiffMemoryFile::read,
            TiffMemoryFile::write, TiffMemoryFile::seek, TiffMemoryFile::close, TiffMemoryFile::size,
            TiffMemoryFile::map, TiffMemoryFile::unmap);
        if (tiff != nullptr) {
            ok = encoder.encode(tiff, why);
            TIFFClose(tiff);
        }
    } catch (const std::bad_alloc&) {
        memory.outOfMemory = true;
    } catch (const std::length_error&) {
        memory.outOfMemory = true;
    }
    if (ok && !memory.outOfMemory)
        return true;
    if (memory.outOfMemory)
        reason = notEnoughMemory(request);
    else if (!why.isEmpty())
        reason = why;
    else if (!messages.messages().isEmpty())
        reason = messages.messages().join(QLatin1String("; "));
    else
        reason = tr("the TIFF file could not be written.");
    file.clear();
    return false;
}

} // namespace calmora
