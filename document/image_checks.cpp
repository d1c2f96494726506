#include "document/image_checks.h"

#include <algorithm>
#include <cstring>

#include <zlib.h>

namespace calmora {

namespace {

// The most pixels one byte of a file can stand for, per format, with about
// a threefold margin over what the coding allows:
// - JPEG: every 8x8 block of the first scan costs at least one bit, so at
//   most 512 pixels per byte;
// - PNG: deflate expands a byte to at most 1032, and a 1-bit row packs 8
//   pixels into each byte: about 8300;
// - GIF: a code stands for at most 4096 pixels, and codes are 12 bits wide
//   long before strings grow that long: about 2700. The decoder fills the
//   logical screen around the first picture too, so the screen counts;
// - BMP and TIFF: run-length skips and strip compression leave little
//   bound; only absurd ratios are refused, and BMP's own pixel data is
//   measured exactly by structureProblem();
// - WebP, HEIC, AVIF and JPEG XL: a flat 12-megapixel picture takes a few hundred
//   bytes of lossless WebP or AVIF (over 20000 pixels per byte), and
//   larger ones fewer still per pixel; only absurd ratios are refused, and
//   the decoders' own limits do the rest;
// - camera raw: the sensor data is stored at a few bits per pixel at the
//   least, even compressed; the bound of JPEG leaves room for lossy DNG.
struct Density {
    const char* format;
    int64_t pixelsPerByte;
};
constexpr Density kDensities[] = {
    { "jpeg", 2048 },
    { "png", 32768 },
    { "gif", 8192 },
    { "bmp", 65536 },
    { "tiff", 65536 },
    { "webp", 1 << 20 },
    { "heic", 1 << 20 },
    { "avif", 1 << 20 },
    { "jxl", 1 << 20 },
    { "raw", 2048 },
};

QString endsInside(const char* what)
{
    return QStringLiteral("the file ends inside %1.").arg(QLatin1String(what));
}

uint32_t bigEndian32(const uint8_t* p)
{
    return uint32_t { p[0] } << 24 | uint32_t { p[1] } << 16 | uint32_t { p[2] } << 8 | p[3];
}

uint32_t littleEndian32(const uint8_t* p)
{
    return uint32_t { p[3] } << 24 | uint32_t { p[2] } << 16 | uint32_t { p[1] } << 8 | p[0];
}

uint16_t littleEndian16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[1] << 8 | p[0]);
}

QString pngProblem(const uint8_t* data, int64_t size)
{
    constexpr int64_t kSignatureBytes = 8;
    constexpr int64_t kChunkOverhead = 12; // length, type and checksum
    int64_t at = kSignatureBytes;
    while (at + kChunkOverhead <= size) {
        const int64_t length = bigEndian32(data + at);
        const uint8_t* type = data + at + 4;
        const QString name = QString::fromLatin1(reinterpret_cast<const char*>(type), 4);
        if (length > INT32_MAX)
            return QStringLiteral("its %1 chunk declares an impossible length.").arg(name);
        if (length > size - at - kChunkOverhead)
            return QStringLiteral("the file ends inside its %1 chunk.").arg(name);
        // Bit 5 of the first letter marks an ancillary chunk; the decoder
        // drops a damaged one with a warning, but a damaged critical chunk
        // (header, palette, pixel data) spoils the picture.
        const bool critical = (type[0] & 0x20) == 0;
        if (critical) {
            uLong crc = crc32(0, type, 4);
            int64_t done = 0;
            while (done < length) {
                const uInt piece = static_cast<uInt>(std::min<int64_t>(length - done, 1 << 30));
                crc = crc32(crc, data + at + 8 + done, piece);
                done += piece;
            }
            if (crc != bigEndian32(data + at + 8 + length))
                return QStringLiteral("the checksum of its %1 chunk is wrong.").arg(name);
        }
        if (name == QLatin1String("IEND"))
            return {};
        at += kChunkOverhead + length;
    }
    return QStringLiteral("the file ends before its last chunk.");
}

// Walks sub-blocks from `at`; the offset past the terminating empty block,
// or -1 when the data ends first.
int64_t skipSubBlocks(const uint8_t* data, int64_t size, int64_t at)
{
    while (at < size) {
        const int64_t length = data[at];
        at += 1 + length;
        if (length == 0)
            return at;
    }
    return -1;
}

QString gifProblem(const uint8_t* data, int64_t size)
{
    constexpr int64_t kHeaderBytes = 13; // signature and logical screen
    constexpr int64_t kImageDescriptorBytes = 10;
    if (size < kHeaderBytes)
        return endsInside("its header");
    const int64_t screenWidth = littleEndian16(data + 6);
    const int64_t screenHeight = littleEndian16(data + 8);
    int64_t at = kHeaderBytes;
    if (data[10] & 0x80)
        at += 3 * (int64_t { 2 } << (data[10] & 7));
    while (at < size) {
        const uint8_t block = data[at];
        if (block == 0x21) {
            at = at + 2 > size ? -1 : skipSubBlocks(data, size, at + 2);
            if (at < 0)
                return endsInside("an extension block");
        } else if (block == 0x2C) {
            if (at + kImageDescriptorBytes > size)
                return endsInside("the picture's description");
            // The decoder allocates a canvas that holds both the logical
            // screen and the first picture where it lies on it, which may be
            // far larger than either size the header reports.
            const int64_t canvasWidth = std::max<int64_t>(
                screenWidth, littleEndian16(data + at + 1) + littleEndian16(data + at + 5));
            const int64_t canvasHeight = std::max<int64_t>(
                screenHeight, littleEndian16(data + at + 3) + littleEndian16(data + at + 7));
            if (const QString problem = declaredSizeProblem("gif", canvasWidth, canvasHeight, size);
                !problem.isEmpty())
                return problem;
            const uint8_t flags = data[at + 9];
            at += kImageDescriptorBytes;
            if (flags & 0x80)
                at += 3 * (int64_t { 2 } << (flags & 7));
            // The code size byte, then the compressed picture.
            if (at + 1 > size || skipSubBlocks(data, size, at + 1) < 0)
                return endsInside("the picture data");
            return {};
        } else if (block == 0x3B) {
            return QStringLiteral("the file holds no picture.");
        } else {
            return QStringLiteral("it holds an unknown block (0x%1) before the picture.")
                .arg(block, 2, 16, QLatin1Char('0'));
        }
    }
    return endsInside("the picture data");
}

// A run-length stream walked as the decoder walks it: runs and literal
// pixels paint, an end of line, a jump or the end code skip to a later
// place, and the decoder leaves what is skipped as it found it, which is
// whatever its memory held.
struct RunLengthWalk {
    int64_t painted = 0; // pixels
    bool complete = false; // the stream reached its end code or ended every row
};

RunLengthWalk walkRunLength(
    const uint8_t* data, int64_t size, int64_t at, int64_t width, int64_t rows, bool fourBit)
{
    RunLengthWalk walk;
    int64_t x = 0;
    int64_t y = 0;
    const auto paint = [&](int64_t count) {
        const int64_t inRow = std::clamp<int64_t>(width - x, 0, count);
        walk.painted += inRow;
        x += inRow;
    };
    while (y < rows && at + 2 <= size) {
        const uint8_t count = data[at];
        const uint8_t code = data[at + 1];
        at += 2;
        if (count != 0) {
            paint(count);
        } else if (code == 0) {
            x = 0;
            ++y;
        } else if (code == 1) {
            walk.complete = true;
            break;
        } else if (code == 2) {
            if (at + 2 > size)
                break;
            // The decoder keeps a jump inside the picture.
            x = std::min(x + data[at], width - 1);
            y = std::min(y + data[at + 1], rows - 1);
            at += 2;
        } else {
            const int64_t bytes = fourBit ? (code + 1) / 2 : code;
            if (at + bytes > size)
                break;
            paint(code);
            at += bytes + (bytes & 1);
        }
    }
    walk.complete = walk.complete || y >= rows;
    return walk;
}

constexpr int64_t kBmpFileHeaderBytes = 14;
// The header sizes the decoder reads in full; any other size it reads as
// the oldest header, with 16-bit sizes and no compression.
constexpr uint32_t kBmpOldHeader = 12;
constexpr uint32_t kBmpFullHeaders[] = { 40, 64, 108, 124 };
constexpr uint32_t kBmpRgb = 0, kBmpRle8 = 1, kBmpRle4 = 2, kBmpBitFields = 3,
                   kBmpAlphaBitFields = 6;

// A BMP header as the decoder reads it.
struct BmpHeader {
    int64_t pixelOffset = 0;
    uint32_t infoBytes = 0;
    int64_t width = 0;
    int64_t height = 0;
    int bitsPerPixel = 0;
    uint32_t compression = 0;
    uint32_t paletteSize = 0;
    int64_t headerEnd = kBmpFileHeaderBytes + 16;
};

// False when the file ends inside the header.
bool readBmpHeader(const uint8_t* data, int64_t size, BmpHeader& header)
{
    if (size < kBmpFileHeaderBytes + 16)
        return false;
    header.pixelOffset = littleEndian32(data + 10);
    header.infoBytes = littleEndian32(data + 14);
    const bool full
        = std::find(std::begin(kBmpFullHeaders), std::end(kBmpFullHeaders), header.infoBytes)
        != std::end(kBmpFullHeaders);
    if (full) {
        if (size < kBmpFileHeaderBytes + 40)
            return false;
        header.width = static_cast<int32_t>(littleEndian32(data + 18));
        header.height = static_cast<int32_t>(littleEndian32(data + 22));
        header.bitsPerPixel = littleEndian16(data + 28);
        header.compression = littleEndian32(data + 30);
        header.paletteSize = littleEndian32(data + 46);
        header.headerEnd = kBmpFileHeaderBytes + header.infoBytes;
    } else {
        header.width = static_cast<int16_t>(littleEndian16(data + 18));
        header.height = static_cast<int16_t>(littleEndian16(data + 20));
        header.bitsPerPixel = littleEndian16(data + 24);
        if (header.infoBytes == kBmpOldHeader)
            header.headerEnd = kBmpFileHeaderBytes + kBmpOldHeader;
    }
    return true;
}

// The pixels start at the declared offset, but never before the colour
// table or the masks that the decoder reads first.
int64_t bmpDataStart(const BmpHeader& header)
{
    int64_t tableBytes = 0;
    if (header.bitsPerPixel <= 8)
        tableBytes
            = int64_t { header.paletteSize != 0 ? header.paletteSize : 1u << header.bitsPerPixel }
            * (header.infoBytes == kBmpOldHeader ? 3 : 4);
    else if ((header.compression == kBmpBitFields || header.compression == kBmpAlphaBitFields)
        && header.infoBytes < 108)
        tableBytes = header.compression == kBmpBitFields ? 12 : 16;
    return std::max(header.pixelOffset, header.headerEnd + tableBytes);
}

// Whether the pixel data from `dataStart` on fills every row the header
// declares.
QString bmpPixelsProblem(
    const uint8_t* data, int64_t size, const BmpHeader& header, int64_t dataStart)
{
    const int64_t width = header.width;
    const int64_t rows = header.height < 0 ? -header.height : header.height;
    const uint32_t compression = header.compression;
    if (compression == kBmpRgb || compression == kBmpBitFields
        || compression == kBmpAlphaBitFields) {
        const int64_t stride = (width * header.bitsPerPixel + 31) / 32 * 4;
        // Compared by division: the product of two sizes from the file may
        // not fit in 64 bits.
        if ((size - dataStart) / stride < rows)
            return endsInside("the picture data");
        return {};
    }
    if (compression == kBmpRle8 || compression == kBmpRle4) {
        const RunLengthWalk walk
            = walkRunLength(data, size, dataStart, width, rows, compression == kBmpRle4);
        if (!walk.complete)
            return endsInside("the picture data");
        // Both sizes fit in 31 bits, so the product fits.
        const int64_t pixels = width * rows;
        if (walk.painted < pixels) {
            return QStringLiteral("its run-length data paints %1 of the picture's %2 pixels.")
                .arg(walk.painted)
                .arg(pixels);
        }
    }
    return {};
}

QString bmpProblem(const uint8_t* data, int64_t size)
{
    BmpHeader header;
    if (!readBmpHeader(data, size, header))
        return endsInside("its header");
    // Nonsense in the header is the decoder's to refuse.
    if (header.width <= 0 || header.height == 0 || header.bitsPerPixel <= 0
        || header.bitsPerPixel > 64)
        return {};
    const int64_t dataStart = bmpDataStart(header);
    if (dataStart > size)
        return endsInside("the picture data");
    return bmpPixelsProblem(data, size, header, dataStart);
}

} // namespace

QString declaredSizeProblem(
    const QByteArray& format, int64_t width, int64_t height, int64_t fileBytes)
{
    for (const Density& density : kDensities) {
        if (format != density.format)
            continue;
        // Both sizes are already within the pixel limit, so the product fits.
        const int64_t pixels = width * height;
        if (fileBytes <= 0 || pixels / fileBytes > density.pixelsPerByte) {
            return QStringLiteral("the file is %1 bytes, far too short for the %2 × %3 pixels "
                                  "it declares.")
                .arg(fileBytes)
                .arg(width)
                .arg(height);
        }
    }
    return {};
}

bool storedAsGrey(const QByteArray& format, const uint8_t* data, int64_t size)
{
    // The signature, then the header chunk first: its length and name, the
    // width and height, the bit depth and the colour type (0 grey, 4 grey
    // with alpha).
    constexpr int64_t kColourTypeAt = 8 + 8 + 8 + 1;
    if (format != "png" || size <= kColourTypeAt
        || std::memcmp(data + 12, "IHDR", 4) != 0)
        return false;
    return data[kColourTypeAt] == 0 || data[kColourTypeAt] == 4;
}

QString structureProblem(const QByteArray& format, const uint8_t* data, int64_t size)
{
    if (format == "png")
        return pngProblem(data, size);
    if (format == "gif")
        return gifProblem(data, size);
    if (format == "bmp")
        return bmpProblem(data, size);
    return {};
}

} // namespace calmora
