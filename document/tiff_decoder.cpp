#include "document/tiff_decoder.h"

#include "document/tiff_memory_file.h"

#include <QCoreApplication>

#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace calmora {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("TiffDecoder", text);
}

// The most libtiff may allocate at once for its own needs (a tag's values, a
// strip's compressed bytes); the picture and its strip buffers are allocated
// here, once their sizes have been checked.
constexpr tmsize_t kMaxLibraryAllocation = tmsize_t { 1 } << 30;
// A strip or tile may take as many bytes as the whole picture, or this much
// for a small picture whose tiles reach past its edges.
constexpr uint64_t kMinBlockLimit = uint64_t { 64 } << 20;

class OpenTiff {
public:
    explicit OpenTiff(const QByteArray& file)
    {
        m_memory.bytes = &file;
        TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
        if (options == nullptr)
            return;
        TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxLibraryAllocation);
        // "m": the bytes are in memory already, there is nothing to map.
        m_tiff = TIFFClientOpenExt("input", "rm", &m_memory, TiffMemoryFile::read,
            TiffMemoryFile::write, TiffMemoryFile::seek, TiffMemoryFile::close,
            TiffMemoryFile::size, TiffMemoryFile::map, TiffMemoryFile::unmap, options);
        TIFFOpenOptionsFree(options);
    }
    ~OpenTiff()
    {
        if (m_tiff != nullptr)
            TIFFClose(m_tiff);
    }
    OpenTiff(const OpenTiff&) = delete;
    OpenTiff& operator=(const OpenTiff&) = delete;

    TIFF* get() const { return m_tiff; }

private:
    TiffMemoryFile m_memory;
    TIFF* m_tiff = nullptr;
};

// The tags that decide how the samples are read.
struct Fields {
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bits = 1;
    uint16_t samples = 1;
    uint16_t photometric = 0;
    uint16_t planar = PLANARCONFIG_CONTIG;
    bool minIsWhite = false;
    int alphaSample = -1; // index among the pixel's samples, or -1
    bool associatedAlpha = false;
};

void describe(TIFF* tiff, TiffLayout& layout, Fields& fields)
{
    uint16_t sampleFormat = SAMPLEFORMAT_UINT;
    uint16_t compression = COMPRESSION_NONE;
    uint16_t extraCount = 0;
    uint16_t* extraTypes = nullptr;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &fields.width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &fields.height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &fields.bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &fields.samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &fields.planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &extraCount, &extraTypes);
    const bool hasPhotometric = TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &fields.photometric) == 1;

    layout.width = static_cast<int32_t>(std::min<uint32_t>(fields.width, INT32_MAX));
    layout.height = static_cast<int32_t>(std::min<uint32_t>(fields.height, INT32_MAX));
    layout.bitsPerSample = fields.bits;
    layout.reader = TiffLayout::Reader::Qt;
    if (hasPhotometric && fields.photometric == PHOTOMETRIC_SEPARATED) {
        // Inks need the printer's profile to become screen colours; a guess
        // would be a different picture.
        layout.reader = TiffLayout::Reader::None;
        layout.refusal = tr("its colours are CMYK (printing inks), which are not supported; "
                            "grey and RGB TIFF files are.");
        return;
    }
    fields.minIsWhite = fields.photometric == PHOTOMETRIC_MINISWHITE;
    const int colours = !hasPhotometric                 ? 0
        : fields.photometric == PHOTOMETRIC_MINISBLACK || fields.minIsWhite ? 1
        : fields.photometric == PHOTOMETRIC_RGB                              ? 3
                                                                             : 0;
    // Old-style JPEG stores colour differences that only libtiff's RGBA
    // interface, which Qt's reader uses, turns back into colours.
    if (colours == 0 || (fields.bits != 8 && fields.bits != 16)
        || sampleFormat != SAMPLEFORMAT_UINT || fields.samples < colours
        || compression == COMPRESSION_OJPEG)
        return;
    layout.colours = colours;
    if (!TIFFIsCODECConfigured(compression)) {
        layout.reader = TiffLayout::Reader::None;
        layout.refusal = tr("its compression (method %1) is not supported.").arg(compression);
        return;
    }
    // The first extra sample that is an alpha. An unspecified one after the
    // three colours is taken for an associated alpha, as libtiff's own RGBA
    // reader takes it: writers that leave it unspecified mean one.
    const int firstExtra = fields.samples - extraCount;
    for (int i = 0; i < extraCount && extraTypes != nullptr; ++i) {
        const uint16_t type = extraTypes[i];
        const bool unspecifiedAlpha
            = type == EXTRASAMPLE_UNSPECIFIED && i == 0 && fields.samples > 3;
        if ((type == EXTRASAMPLE_ASSOCALPHA || type == EXTRASAMPLE_UNASSALPHA || unspecifiedAlpha)
            && firstExtra + i >= colours) {
            fields.alphaSample = firstExtra + i;
            fields.associatedAlpha = type != EXTRASAMPLE_UNASSALPHA;
            break;
        }
    }
    layout.alpha = fields.alphaSample >= 0;
    layout.reader = TiffLayout::Reader::Own;
}

uint16_t sampleAt(const std::vector<uint8_t>& block, uint64_t index, int bytesPerSample)
{
    if (bytesPerSample == 1)
        return block[index];
    // libtiff hands 16-bit samples over in the machine's byte order.
    uint16_t sample = 0;
    std::memcpy(&sample, block.data() + index * 2, 2);
    return sample;
}

bool decodeBlocks(TIFF* tiff, const Fields& fields, const SampleLayout& sampleLayout,
    PixelBuffers& pixels, QString& reason)
{
    const bool planes = fields.planar == PLANARCONFIG_SEPARATE && fields.samples > 1;
    const bool tiled = TIFFIsTiled(tiff) != 0;
    const uint32_t width = fields.width;
    const uint32_t height = fields.height;
    uint32_t blockWidth = width;
    uint32_t blockLength = height;
    if (tiled) {
        TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &blockWidth);
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &blockLength);
    } else {
        uint32_t rowsPerStrip = height;
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
        blockLength = std::clamp<uint32_t>(rowsPerStrip, 1, height);
    }
    if (blockWidth == 0 || blockLength == 0) {
        reason = tr("its tiles have no size.");
        return false;
    }
    // Every size here comes from the file: a block larger than the picture
    // calls for is refused before its buffer exists. The picture's own size
    // is already within the loader's limit, so these products fit.
    const int bytesPerSample = fields.bits / 8;
    const uint64_t blockSamples = planes ? 1 : fields.samples;
    const uint64_t pictureBytes
        = uint64_t { width } * height * fields.samples * static_cast<uint64_t>(bytesPerSample);
    const uint64_t limit = std::max(kMinBlockLimit, pictureBytes);
    const uint64_t blockPixels = uint64_t { blockWidth } * blockLength;
    if (blockPixels > limit || blockPixels * blockSamples * bytesPerSample > limit) {
        reason = tr("its %1 × %2 %3 are far larger than the picture.")
                     .arg(blockWidth)
                     .arg(blockLength)
                     .arg(tiled ? tr("tiles") : tr("strips"));
        return false;
    }
    const uint64_t blockBytes = blockPixels * blockSamples * bytesPerSample;

    // The samples wanted, in the order storeSamples takes them.
    const int wanted = sampleLayout.samplesPerPixel();
    int sampleOf[4] = { 0, 1, 2, 3 };
    if (sampleLayout.alpha)
        sampleOf[sampleLayout.colours] = fields.alphaSample;
    std::vector<std::vector<uint8_t>> blocks(planes ? static_cast<size_t>(wanted) : 1);
    for (std::vector<uint8_t>& block : blocks)
        block.resize(static_cast<size_t>(blockBytes));
    std::vector<uint16_t> row(static_cast<size_t>(blockWidth) * static_cast<size_t>(wanted));
    const uint16_t white = fields.bits == 16 ? 65535 : 255;

    for (uint32_t top = 0; top < height; top += blockLength) {
        const uint32_t rows = std::min(blockLength, height - top);
        for (uint32_t left = 0; left < width; left += blockWidth) {
            const uint32_t columns = std::min(blockWidth, width - left);
            for (size_t p = 0; p < blocks.size(); ++p) {
                const auto plane = static_cast<uint16_t>(planes ? sampleOf[p] : 0);
                tmsize_t got = -1;
                tmsize_t needed = static_cast<tmsize_t>(blockBytes);
                if (tiled) {
                    got = TIFFReadEncodedTile(tiff, TIFFComputeTile(tiff, left, top, 0, plane),
                        blocks[p].data(), needed);
                } else {
                    needed = static_cast<tmsize_t>(
                        uint64_t { rows } * width * blockSamples * bytesPerSample);
                    got = TIFFReadEncodedStrip(
                        tiff, TIFFComputeStrip(tiff, top, plane), blocks[p].data(), needed);
                }
                if (got < needed) {
                    reason = tr("its picture data cannot be read from row %1 on.").arg(top);
                    return false;
                }
            }
            for (uint32_t r = 0; r < rows; ++r) {
                uint16_t* out = row.data();
                for (uint32_t c = 0; c < columns; ++c) {
                    const uint64_t pixel = uint64_t { r } * blockWidth + c;
                    for (int s = 0; s < wanted; ++s) {
                        uint16_t sample = planes
                            ? sampleAt(blocks[static_cast<size_t>(s)], pixel, bytesPerSample)
                            : sampleAt(blocks[0], pixel * blockSamples + sampleOf[s],
                                bytesPerSample);
                        if (fields.minIsWhite && s == 0)
                            sample = static_cast<uint16_t>(white - sample);
                        *out++ = sample;
                    }
                }
                storeSamples(pixels, sampleLayout, static_cast<int32_t>(top + r),
                    static_cast<int32_t>(left), static_cast<int32_t>(columns), row.data());
            }
        }
    }
    finishPicture(pixels);
    return true;
}

} // namespace

bool readTiffLayout(const QByteArray& file, TiffLayout& layout, QString& reason)
{
    const OpenTiff open(file);
    if (open.get() == nullptr) {
        reason = tr("its first directory cannot be read.");
        return false;
    }
    Fields fields;
    describe(open.get(), layout, fields);
    return true;
}

TiffDecoding decodeTiff(const QByteArray& file, PixelBuffers& pixels, QString& reason)
{
    pixels = PixelBuffers();
    const OpenTiff open(file);
    if (open.get() == nullptr) {
        reason = tr("its first directory cannot be read.");
        return TiffDecoding::Damaged;
    }
    TiffLayout layout;
    Fields fields;
    describe(open.get(), layout, fields);
    if (layout.reader != TiffLayout::Reader::Own) {
        reason = layout.refusal.isEmpty() ? tr("its kind of picture is read elsewhere.")
                                          : layout.refusal;
        return TiffDecoding::Damaged;
    }
    SampleLayout sampleLayout;
    sampleLayout.colours = layout.colours;
    sampleLayout.alpha = layout.alpha;
    sampleLayout.premultiplied = fields.associatedAlpha;
    sampleLayout.sixteenBits = fields.bits == 16;
    try {
        if (!startPicture(pixels, layout.width, layout.height, sampleLayout)) {
            reason = tr("not enough memory for a %1 × %2 picture.")
                         .arg(layout.width)
                         .arg(layout.height);
            return TiffDecoding::OutOfMemory;
        }
        if (decodeBlocks(open.get(), fields, sampleLayout, pixels, reason))
            return TiffDecoding::Done;
        pixels = PixelBuffers();
        return TiffDecoding::Damaged;
    } catch (const std::bad_alloc&) {
        reason = tr("not enough memory to decode the picture.");
    } catch (const std::length_error&) {
        reason = tr("not enough memory to decode the picture.");
    }
    pixels = PixelBuffers();
    return TiffDecoding::OutOfMemory;
}

} // namespace calmora
