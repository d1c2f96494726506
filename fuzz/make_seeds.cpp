// Writes the seed corpus of every fuzz target into the folder given (default
// fuzz/corpus): pictures of a few pixels in every format the loader reads,
// with and without metadata, noise profiles, stored settings and command
// lines. Everything is made here, so the seeds are ours and stay tiny.
//
//   build/fuzz-replay/fuzz/fuzz_make_seeds fuzz/corpus

#include "cli/profile_json.h"
#include "document/image_encoders.h"
#include "engine/engine.h"
#include "settings/filter_settings.h"
#include "settings/options.h"

#include <cstdio>
#include <functional>
#include <string_view>
#include <vector>

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageWriter>

#include <exiv2/exiv2.hpp>

namespace {

using namespace calmora;

QString g_root;

void writeSeed(const QString& target, const QString& name, const QByteArray& bytes)
{
    QDir().mkpath(g_root + u'/' + target);
    QFile file(g_root + u'/' + target + u'/' + name);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qUtf8Printable(file.fileName()));
        std::exit(1);
    }
}

// 8 x 8: a colour ramp with a half-transparent corner, so alpha handling and
// every channel take part.
QImage seedPicture()
{
    QImage picture(8, 8, QImage::Format_ARGB32);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            picture.setPixel(x, y, qRgba(x * 32, y * 32, 255 - x * 16, x + y < 4 ? 128 : 255));
    return picture;
}

QByteArray encode(const QImage& picture, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (!writer.write(picture)) {
        std::fprintf(
            stderr, "cannot encode %s: %s\n", format, qUtf8Printable(writer.errorString()));
        std::exit(1);
    }
    return bytes;
}

// Qt reads GIF but has no encoder. Four grey levels, and a clear code before
// every second pixel so the LZW codes stay three bits wide.
QByteArray encodeGif()
{
    QByteArray gif("GIF89a");
    const auto put16 = [&gif](int value) {
        gif.append(char(value & 0xFF));
        gif.append(char(value >> 8));
    };
    put16(8);
    put16(8);
    gif.append(char(0x81)); // global colour table of 4 entries
    gif.append(char(0));
    gif.append(char(0));
    for (int level : { 0, 85, 170, 255 })
        gif.append(QByteArray(3, char(level)));
    gif.append(",");
    put16(0);
    put16(0);
    put16(8);
    put16(8);
    gif.append(char(0));
    gif.append(char(2)); // minimum code size

    constexpr int kClear = 4;
    constexpr int kEnd = 5;
    std::vector<int> codes;
    for (int i = 0; i < 64; ++i) {
        if (i % 2 == 0)
            codes.push_back(kClear);
        codes.push_back((i / 8 + i % 8) % 4);
    }
    codes.push_back(kEnd);
    QByteArray packed;
    uint32_t bits = 0;
    int count = 0;
    for (int code : codes) {
        bits |= uint32_t(code) << count;
        count += 3;
        while (count >= 8) {
            packed.append(char(bits & 0xFF));
            bits >>= 8;
            count -= 8;
        }
    }
    if (count > 0)
        packed.append(char(bits & 0xFF));
    gif.append(char(packed.size()));
    gif.append(packed);
    gif.append(char(0));
    gif.append(";");
    return gif;
}

QByteArray withMetadata(const QByteArray& encoded, const std::function<void(Exiv2::Image&)>& edit)
{
    auto image = Exiv2::ImageFactory::open(
        reinterpret_cast<const Exiv2::byte*>(encoded.constData()), encoded.size());
    image->readMetadata();
    edit(*image);
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    io.seek(0, Exiv2::BasicIo::beg);
    QByteArray result(static_cast<qsizetype>(io.size()), '\0');
    io.read(reinterpret_cast<Exiv2::byte*>(result.data()), static_cast<long>(result.size()));
    return result;
}

void addCameraExif(Exiv2::Image& image)
{
    Exiv2::ExifData exif;
    exif["Exif.Image.Make"] = "Calmora Test";
    exif["Exif.Image.Model"] = "Seed One";
    exif["Exif.Image.Orientation"] = uint16_t(6);
    exif["Exif.Image.Software"] = "make_seeds";
    exif["Exif.Photo.DateTimeOriginal"] = "2024:05:01 12:34:56";
    exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 60);
    exif["Exif.Photo.FNumber"] = Exiv2::URational(28, 10);
    exif["Exif.Photo.FocalLength"] = Exiv2::URational(50, 1);
    exif["Exif.Photo.ISOSpeedRatings"] = uint16_t(800);
    exif["Exif.Photo.ExposureProgram"] = uint16_t(2);
    exif["Exif.Photo.MeteringMode"] = uint16_t(5);
    exif["Exif.Photo.Flash"] = uint16_t(16);
    exif["Exif.Photo.WhiteBalance"] = uint16_t(0);
    exif["Exif.Photo.ExposureBiasValue"] = Exiv2::Rational(-1, 3);
    exif["Exif.Photo.LensModel"] = "Seed 50mm";
    image.setExifData(exif);
}

void addCameraXmp(Exiv2::Image& image)
{
    Exiv2::XmpData xmp;
    xmp["Xmp.tiff.Make"] = "Calmora Test";
    xmp["Xmp.tiff.Model"] = "Seed Two";
    xmp["Xmp.exif.FNumber"] = "28/10";
    xmp["Xmp.exif.ExposureTime"] = "1/125";
    xmp["Xmp.exif.DateTimeOriginal"] = "2024-05-01T12:34:56";
    image.setXmpData(xmp);
}

// The seed picture as grey and alpha (1 + 1 samples) or colour and alpha
// (3 + 1), 16 bits each, through this program's own encoder: layouts whose
// tags a mutation turns into planes, tiles or another byte order.
QByteArray encodeWithAlpha16(
    const QImage& picture, int channels, bool (*encoder)(const EncodeRequest&, QByteArray&, QString&))
{
    EncodeRequest request;
    request.width = picture.width();
    request.height = picture.height();
    request.channels = channels;
    request.bitsPerChannel = 16;
    request.threadCount = 1;
    request.readRow = [&picture, channels](int32_t y, void* samples) {
        auto* out = static_cast<uint16_t*>(samples);
        for (int x = 0; x < picture.width(); ++x) {
            const QRgba64 colour = picture.pixelColor(x, y).rgba64();
            *out++ = colour.red();
            if (channels == 4) {
                *out++ = colour.green();
                *out++ = colour.blue();
            }
            *out++ = colour.alpha();
        }
    };
    QByteArray file;
    QString reason;
    if (!encoder(request, file, reason)) {
        std::fprintf(stderr, "cannot encode a seed: %s\n", qUtf8Printable(reason));
        std::exit(1);
    }
    return file;
}

void writeImageSeeds()
{
    const QImage picture = seedPicture();
    const QByteArray jpeg = encode(picture.convertToFormat(QImage::Format_RGB32), "jpeg");
    const QByteArray tiff = encode(picture, "tiff");
    writeSeed(QStringLiteral("image_loader"), QStringLiteral("ramp.jpg"), jpeg);
    writeSeed(QStringLiteral("image_loader"), QStringLiteral("ramp.png"), encode(picture, "png"));
    writeSeed(QStringLiteral("image_loader"), QStringLiteral("ramp16.png"),
        encode(picture.convertToFormat(QImage::Format_RGBA64), "png"));
    writeSeed(QStringLiteral("image_loader"), QStringLiteral("ramp.bmp"),
        encode(picture.convertToFormat(QImage::Format_RGB32), "bmp"));
    writeSeed(QStringLiteral("image_loader"), QStringLiteral("ramp.tif"), tiff);
    writeSeed(QStringLiteral("image_loader"), QStringLiteral("grey.gif"), encodeGif());
    writeSeed(QStringLiteral("image_loader"), QStringLiteral("grey-alpha16.tif"),
        encodeWithAlpha16(picture, 2, encodeTiff));
    writeSeed(QStringLiteral("image_loader"), QStringLiteral("rgba16.tif"),
        encodeWithAlpha16(picture, 4, encodeTiff));
    writeSeed(QStringLiteral("image_loader"), QStringLiteral("grey-alpha16.png"),
        encodeWithAlpha16(picture, 2, encodePng));
    const QByteArray exifJpeg = withMetadata(jpeg, addCameraExif);
    writeSeed(QStringLiteral("image_loader"), QStringLiteral("exif.jpg"), exifJpeg);

    writeSeed(QStringLiteral("exif_reader"), QStringLiteral("exif.jpg"), exifJpeg);
    writeSeed(
        QStringLiteral("exif_reader"), QStringLiteral("xmp.jpg"), withMetadata(jpeg, addCameraXmp));
    writeSeed(QStringLiteral("exif_reader"), QStringLiteral("exif.tif"),
        withMetadata(tiff, addCameraExif));
}

void writeProfileSeeds()
{
    NoiseProfile profile;
    resetProfile(profile, false);
    for (int32_t b = 0; b < profile.bandCount; ++b)
        for (int32_t p = 0; p < profile.bands[b].pointCount; ++p)
            for (int c = 0; c < kChannels; ++c) {
                profile.bands[b].noise[p][c] = static_cast<int16_t>(100 * (b + 1) + 7 * p + c);
                profile.bands[b].weight[p][c] = static_cast<int16_t>(p % 3);
            }
    writeSeed(QStringLiteral("profile_json"), QStringLiteral("four_bands.json"),
        profileToJsonText(profile));
    profile.bandCount = kProfileBands;
    profile.bands[4].pointCount = kMaxPoints;
    profile.bands[4].noise[15][kCb] = 32767;
    writeSeed(QStringLiteral("profile_json"), QStringLiteral("five_bands.json"),
        profileToJsonText(profile));
    writeSeed(QStringLiteral("profile_json"), QStringLiteral("one_band.json"),
        R"({"bandCount": 1, "bands": [{"pointCount": 1, "noise": [[1, 2, 3]], "weight": [[0, 0, 1]]}]})");
}

// The settings_blobs target reads records: kind (bit 0: 0 the presets'
// section, 1 the options' section; (kind >> 1) % 3: 0 bytes, 1 text,
// 2 a number), name length, name, value length, value.
QByteArray record(int kind, const QByteArray& name, const QByteArray& value)
{
    QByteArray bytes;
    bytes.append(char(kind));
    bytes.append(char(name.size()));
    bytes.append(name);
    bytes.append(char(value.size()));
    bytes.append(value);
    return bytes;
}

void writeSettingsSeeds()
{
    constexpr int kPresets = 0;
    constexpr int kOptions = 1;
    constexpr int kText = 2;
    constexpr int kNumber = 4;
    FilterSettings night;
    night.degree = 1;
    night.lumaLevel = 12;
    night.freqLevel[2] = 5;
    night.sharpening = 3;
    SettingsGroup settings;
    settings.defaultSuffix = QStringLiteral("_clean");
    settings.defaultPreset = 3;
    settings.defaultZoom = 100;
    Settings3Group settings3;
    settings3.recentCount = 3;

    QByteArray full = record(kPresets, "Night", encodeFilterSettings(night))
        + record(kPresets, "Plain", encodeFilterSettings(FilterSettings {}))
        + record(kOptions, "Settings", encodeSettingsGroup(settings))
        + record(kOptions, "Settings2", encodeSettings2Group(Settings2Group {}))
        + record(kOptions, "Settings3", encodeSettings3Group(settings3))
        + record(kOptions | kText, "Profile", "/tmp/profiles")
        + record(kOptions | kText, "Recent1", "/photos/2024")
        + record(kOptions | kText, "Recent2", "");
    writeSeed(QStringLiteral("settings_blobs"), QStringLiteral("full.bin"), full);

    FilterSettings wild;
    wild.lumaLevel = 9999;
    wild.freqSuppression[3] = -4;
    QByteArray damaged = record(kPresets, "Wild", encodeFilterSettings(wild))
        + record(kPresets, "Short", QByteArray(40, '\x01'))
        + record(kPresets | kText, "Text", "not bytes")
        + record(kOptions, "Settings", encodeSettingsGroup(settings).left(95))
        + record(kOptions | kNumber, "Settings2", "x");
    writeSeed(QStringLiteral("settings_blobs"), QStringLiteral("damaged.bin"), damaged);
}

void writeCommandLineSeeds()
{
    using namespace std::literals;
    // Arguments separated by NUL bytes, as the cli_args target splits them.
    const std::string_view lines[] = {
        "denoise\0photo.jpg"sv,
        "denoise\0--dest-dir\0out\0--format\0auto\0a.jpg\0b.tif"sv,
        "denoise\0-o\0clean.png\0--preset\0Night Scene\0--set\0sharpening=2\0photo.jpg"sv,
        "denoise\0--settings\0"
        "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15\0--quality\0"
        "85\0"
        "--threads\0"
        "2\0--suffix\0_x\0--dest-subdir\0done\0--in-place\0-q\0a.jpg"sv,
        "profile\0photo.jpg\0--json\0--profile-out\0p.json"sv,
        "denoise\0--profile-in\0p.json\0photo.jpg"sv,
        "presets\0--json"sv,
        "info\0photo.jpg"sv,
        "--help"sv,
        "--version"sv,
        "profiles\0delete\0--all"sv,
        "profiles\0show\0Canon|EOS R|3200|12\0--json"sv,
        "denoise\0--no-learn\0--dry-run\0a.jpg"sv,
        "profiles\0export\0KEY\0out.json"sv,
        "denoise\0--files-from\0-\0--null\0--shard\0"
        "3/8\0--skip-existing\0--report\0r.jsonl"sv,
    };
    int index = 0;
    for (const std::string_view line : lines)
        writeSeed(QStringLiteral("cli_args"), QStringLiteral("line%1").arg(index++),
            QByteArray(line.data(), static_cast<qsizetype>(line.size())));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    Exiv2::XmpParser::initialize();
    g_root = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("fuzz/corpus");
    writeImageSeeds();
    writeProfileSeeds();
    writeSettingsSeeds();
    writeCommandLineSeeds();
    return 0;
}
