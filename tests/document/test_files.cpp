#include "test_files.h"

#include "document/bitmap_ex.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <tiffio.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QImageWriter>

namespace calmora::test {

QImage quadrantPicture()
{
    QImage picture(64, 32, QImage::Format_RGB32);
    const QRgb bases[2][2]
        = { { qRgb(230, 0, 0), qRgb(0, 200, 0) }, { qRgb(0, 0, 220), qRgb(240, 240, 240) } };
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb base = bases[y / 16][x / 32];
            const int ramp = (x % 4) * 4;
            picture.setPixel(x, y, qRgb(std::max(qRed(base) - ramp, 0), qGreen(base), qBlue(base)));
        }
    }
    return picture;
}

namespace {

// Uncompressed GIF: every pixel is a literal code, and a clear code follows
// before the dictionary would grow the code width, so widths never change.
QByteArray encodeGif(const QImage& picture, int transparentIndex)
{
    QList<QRgb> palette;
    QHash<QRgb, int> indexOf;
    QList<int> indexes;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb colour = picture.pixel(x, y) | 0xff000000u;
            if (!indexOf.contains(colour)) {
                indexOf.insert(colour, static_cast<int>(palette.size()));
                palette.append(colour);
            }
            indexes.append(indexOf.value(colour));
        }
    }
    const int minCodeSize = 8;
    const int clearCode = 1 << minCodeSize;
    const int codeWidth = minCodeSize + 1;
    QByteArray out("GIF89a");
    const auto word = [&out](int v) { out.append(char(v & 0xff)).append(char(v >> 8)); };
    word(picture.width());
    word(picture.height());
    out.append(char(0xf7)).append('\0').append('\0'); // global table of 256 entries
    for (int i = 0; i < 256; ++i) {
        const QRgb c = i < palette.size() ? palette[i] : 0;
        out.append(char(qRed(c))).append(char(qGreen(c))).append(char(qBlue(c)));
    }
    if (transparentIndex >= 0)
        out.append("\x21\xf9\x04\x01\x00\x00", 6).append(char(transparentIndex)).append('\0');
    out.append(',');
    word(0);
    word(0);
    word(picture.width());
    word(picture.height());
    out.append('\0').append(char(minCodeSize));

    QByteArray data;
    quint32 bits = 0;
    int bitCount = 0;
    const auto putCode = [&](int code) {
        bits |= quint32(code) << bitCount;
        for (bitCount += codeWidth; bitCount >= 8; bitCount -= 8, bits >>= 8)
            data.append(char(bits & 0xff));
    };
    for (int i = 0; i < indexes.size(); ++i) {
        if (i % (clearCode - 2) == 0)
            putCode(clearCode);
        putCode(indexes[i]);
    }
    putCode(clearCode + 1);
    if (bitCount > 0)
        data.append(char(bits & 0xff));
    for (qsizetype pos = 0; pos < data.size(); pos += 255) {
        const QByteArray block = data.mid(pos, 255);
        out.append(char(block.size())).append(block);
    }
    return out.append('\0').append(';');
}

} // namespace

bool writePicture(
    const QString& path, const QImage& picture, const char* format, int transparentIndex)
{
    if (QByteArray(format) == "gif")
        return writeBytes(path, encodeGif(picture, transparentIndex));
    // Qt writes neither; the program's own saver does.
    if (QByteArray(format) == "heic" || QByteArray(format) == "avif"
        || QByteArray(format) == "jxl") {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        CBitmapEx image;
        return picture.save(&buffer, "png") && image.loadFromData(png)
            && image.save(path, 100, false);
    }
    QImageWriter writer(path, format);
    writer.setQuality(100);
    return writer.write(picture);
}

bool writeTiff(const QString& path, const TiffLayout& layout, const std::vector<uint16_t>& samples)
{
    TIFF* tiff = TIFFOpen(QFile::encodeName(path).constData(), layout.bigEndian ? "wb" : "wl");
    if (tiff == nullptr)
        return false;
    // The camera's EXIF directory goes first, so that the picture's own
    // can point to it.
    uint64_t exifOffset = 0;
    if (layout.dng) {
        const uint16_t iso[1] = { 1600 };
        if (TIFFCreateEXIFDirectory(tiff) != 0
            || !TIFFSetField(tiff, EXIFTAG_ISOSPEEDRATINGS, uint16_t(1), iso)
            || !TIFFSetField(tiff, EXIFTAG_EXPOSURETIME, 1.0 / 125)
            || !TIFFSetField(tiff, EXIFTAG_FNUMBER, 2.8)
            || !TIFFSetField(tiff, EXIFTAG_DATETIMEORIGINAL, "2024:05:06 07:08:09")
            || !TIFFWriteCustomDirectory(tiff, &exifOffset) || TIFFCreateDirectory(tiff) != 0) {
            TIFFClose(tiff);
            return false;
        }
    }
    const int planes = layout.planar ? layout.samplesPerPixel : 1;
    const int perPixel = layout.planar ? 1 : layout.samplesPerPixel;
    const uint32_t blockWidth = layout.tiled ? 16 : uint32_t(layout.width);
    const uint32_t blockLength = layout.tiled ? 16 : 5;
    bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(layout.width))
        && TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(layout.height))
        && TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(layout.bits))
        && TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(layout.samplesPerPixel))
        && TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, uint16_t(layout.photometric))
        && TIFFSetField(tiff, TIFFTAG_PLANARCONFIG,
            uint16_t(layout.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG))
        && TIFFSetField(tiff, TIFFTAG_COMPRESSION,
            uint16_t(layout.deflate ? COMPRESSION_ADOBE_DEFLATE : COMPRESSION_NONE));
    if (ok && layout.dng) {
        const uint8_t version[4] = { 1, 4, 0, 0 };
        const uint16_t repeat[2] = { 2, 2 };
        const uint8_t mosaic[4] = { 0, 1, 1, 2 };
        const float matrix[9] = { 1.0F, 0, 0, 0, 1.0F, 0, 0, 0, 1.0F };
        const float neutral[3] = { 0.5F, 1.0F, 0.8F };
        const uint32_t white[1] = { 65535 };
        ok = TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, uint32_t(0))
            && TIFFSetField(tiff, TIFFTAG_MAKE, "Calmora")
            && TIFFSetField(tiff, TIFFTAG_MODEL, "Test Camera")
            && TIFFSetField(tiff, TIFFTAG_DNGVERSION, version)
            && TIFFSetField(tiff, TIFFTAG_UNIQUECAMERAMODEL, "Calmora Test Camera")
            && TIFFSetField(tiff, TIFFTAG_CFAREPEATPATTERNDIM, repeat)
            && TIFFSetField(tiff, TIFFTAG_CFAPATTERN, uint16_t(4), mosaic)
            && TIFFSetField(tiff, TIFFTAG_COLORMATRIX1, uint16_t(9), matrix)
            && TIFFSetField(tiff, TIFFTAG_ASSHOTNEUTRAL, uint16_t(3), neutral)
            && TIFFSetField(tiff, TIFFTAG_WHITELEVEL, uint16_t(1), white)
            && TIFFSetField(tiff, TIFFTAG_EXIFIFD, exifOffset);
    }
    if (ok && layout.extraSample >= 0) {
        const uint16_t kinds[1] = { uint16_t(layout.extraSample) };
        ok = TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, uint16_t(1), kinds);
    }
    if (ok && layout.tiled)
        ok = TIFFSetField(tiff, TIFFTAG_TILEWIDTH, blockWidth)
            && TIFFSetField(tiff, TIFFTAG_TILELENGTH, blockLength);
    else if (ok)
        ok = TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, blockLength);
    // Blocks are whole even at the picture's edges; what lies past it is 0.
    std::vector<uint8_t> block(size_t(blockWidth) * blockLength * perPixel * (layout.bits / 8));
    for (int plane = 0; ok && plane < planes; ++plane) {
        for (uint32_t top = 0; ok && top < uint32_t(layout.height); top += blockLength) {
            for (uint32_t left = 0; ok && left < uint32_t(layout.width); left += blockWidth) {
                std::fill(block.begin(), block.end(), 0);
                size_t at = 0;
                for (uint32_t y = top; y < top + blockLength; ++y) {
                    for (uint32_t x = left; x < left + blockWidth; ++x) {
                        for (int s = 0; s < perPixel; ++s, ++at) {
                            if (x >= uint32_t(layout.width) || y >= uint32_t(layout.height))
                                continue;
                            const uint16_t value = samples[(size_t(y) * size_t(layout.width) + x)
                                    * size_t(layout.samplesPerPixel)
                                + size_t(layout.planar ? plane : s)];
                            if (layout.bits == 16)
                                std::memcpy(&block[at * 2], &value, 2);
                            else
                                block[at] = uint8_t(value);
                        }
                    }
                }
                const tmsize_t size = layout.tiled
                    ? tmsize_t(block.size())
                    : tmsize_t(std::min<uint32_t>(blockLength, uint32_t(layout.height) - top)
                        * blockWidth * perPixel * (layout.bits / 8));
                ok = (layout.tiled ? TIFFWriteEncodedTile(tiff,
                          TIFFComputeTile(tiff, left, top, 0, uint16_t(plane)), block.data(), size)
                                 : TIFFWriteEncodedStrip(tiff,
                                     TIFFComputeStrip(tiff, top, uint16_t(plane)), block.data(),
                                     size))
                    >= 0;
            }
        }
    }
    TIFFClose(tiff);
    return ok;
}

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList listing(const QString& folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

void editMetadata(const QString& path, const std::function<void(Exiv2::Image&)>& edit)
{
    Exiv2::Image::AutoPtr image = readMetadata(path);
    edit(*image);
    image->writeMetadata();
}

Exiv2::Image::AutoPtr readMetadata(const QString& path)
{
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    image->readMetadata();
    return image;
}

PixelReport compare(const ImageDesc& desc, const QImage& picture, int margin)
{
    PixelReport report;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const uint8_t* p = desc.pixels + int64_t { desc.height - 1 - y } * desc.stride + x * 4;
            report.badFourthBytes += p[3] != 255;
            if (std::abs(x % 32 - 16) > 16 - margin || std::abs(y % 16 - 8) > 8 - margin)
                continue;
            const QRgb want = picture.pixel(x, y);
            const int diff = std::max({ std::abs(p[0] - qBlue(want)), std::abs(p[1] - qGreen(want)),
                std::abs(p[2] - qRed(want)) });
            if (diff > report.worst)
                report = { diff, x, y, report.badFourthBytes };
        }
    }
    return report;
}

} // namespace calmora::test
