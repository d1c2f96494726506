#include "test_files.h"

#include <algorithm>
#include <cstdlib>

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
    QImageWriter writer(path, format);
    writer.setQuality(100);
    return writer.write(picture);
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
