#include "document/raw_codec.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#ifdef CALMORA_HAVE_RAW
#include <exiv2/exiv2.hpp>
#include <libraw/libraw.h>
#endif

namespace calmora {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("RawCodec", text);
}

} // namespace

#ifndef CALMORA_HAVE_RAW

bool isCameraRaw(const QByteArray&, bool)
{
    return false;
}

CodecReading readRaw(
    const QByteArray&, const SizeCheck&, CodecPicture&, PixelBuffers*, QString& reason)
{
    reason = tr("this build reads no camera raw files.");
    return CodecReading::Damaged;
}

#else

namespace {

constexpr uint16_t kDngVersionTag = 50706;

// Marks hold zero bytes, so their length is the literal's.
template <size_t N>
bool startsWith(const QByteArray& bytes, qsizetype at, const char (&mark)[N])
{
    constexpr auto length = static_cast<qsizetype>(N - 1);
    return bytes.size() >= at + length && std::memcmp(bytes.constData() + at, mark, length) == 0;
}

bool isTiff(const QByteArray& bytes)
{
    return startsWith(bytes, 0, "II*\0") || startsWith(bytes, 0, "MM\0*");
}

// Whether the first directory of a TIFF structure holds `tag`; every
// offset is checked against the bytes there are.
bool firstDirectoryHas(const QByteArray& bytes, uint16_t tag)
{
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData());
    const int64_t size = bytes.size();
    const bool little = p[0] == 'I';
    const auto read16 = [&](int64_t at) {
        return static_cast<uint16_t>(little ? p[at] | p[at + 1] << 8 : p[at] << 8 | p[at + 1]);
    };
    const auto read32 = [&](int64_t at) {
        return little ? uint32_t { read16(at) } | uint32_t { read16(at + 2) } << 16
                      : uint32_t { read16(at) } << 16 | read16(at + 2);
    };
    constexpr int64_t kEntryBytes = 12;
    if (size < 8)
        return false;
    const int64_t directory = read32(4);
    if (directory + 2 > size)
        return false;
    const int64_t entries = read16(directory);
    for (int64_t i = 0; i < entries; ++i) {
        const int64_t entry = directory + 2 + i * kEntryBytes;
        if (entry + kEntryBytes > size)
            return false;
        if (read16(entry) == tag)
            return true;
    }
    return false;
}

// Files whose first bytes say that they hold a camera's raw data.
bool hasRawMark(const QByteArray& bytes)
{
    if (startsWith(bytes, 0, "FUJIFILMCCD-RAW") || startsWith(bytes, 4, "ftypcrx ")
        || startsWith(bytes, 0, "IIRO") || startsWith(bytes, 0, "IIRS")
        || startsWith(bytes, 0, "MMOR") || startsWith(bytes, 0, "IIU\0"))
        return true;
    return isTiff(bytes)
        && (startsWith(bytes, 8, "CR\2") || firstDirectoryHas(bytes, kDngVersionTag));
}

// LibRaw's statuses in words; its own texts are terse but they are what
// it knows.
QString failureOf(int status)
{
    switch (status) {
    case LIBRAW_FILE_UNSUPPORTED:
        return tr("LibRaw does not know this camera's raw data.");
    case LIBRAW_UNSUFFICIENT_MEMORY:
    case LIBRAW_TOO_BIG:
        return tr("not enough memory to develop the raw data.");
    case LIBRAW_IO_ERROR:
        return tr("the file ends inside its raw data.");
    default:
        return tr("LibRaw: %1.").arg(QString::fromLatin1(LibRaw::strerror(status)));
    }
}

CodecReading failed(int status, QString& reason)
{
    reason = failureOf(status);
    return status == LIBRAW_UNSUFFICIENT_MEMORY || status == LIBRAW_TOO_BIG
        ? CodecReading::OutOfMemory
        : CodecReading::Damaged;
}

// What LibRaw's decoders report of damaged data: they carry on with
// whatever they read, so the loader refuses the file itself.
struct DataErrors {
    bool endOfFile = false;
    int64_t offset = -1;
};

void noteDataError(void* data, const char*, const int offset)
{
    auto* errors = static_cast<DataErrors*>(data);
    if (offset < 0)
        errors->endOfFile = true;
    else if (errors->offset < 0)
        errors->offset = offset;
}

QString dataProblem(const DataErrors& errors)
{
    if (errors.endOfFile)
        return tr("the file ends inside its raw data.");
    if (errors.offset >= 0)
        return tr("its raw data is damaged at byte %1.").arg(errors.offset);
    return {};
}

QString text(const char* chars, size_t capacity)
{
    return QString::fromLatin1(chars, static_cast<qsizetype>(strnlen(chars, capacity))).trimmed();
}

// Exposure times as cameras write them: 1/125 rather than 0.008.
Exiv2::Rational exposureRational(float seconds)
{
    if (seconds < 1.0F) {
        const float inverse = 1.0F / seconds;
        const float whole = std::round(inverse);
        if (std::fabs(inverse - whole) < 0.01F * inverse && whole < 1e9F)
            return { 1, static_cast<int32_t>(whole) };
    }
    return Exiv2::floatToRationalCast(seconds);
}

// The camera's description as LibRaw read it, as the TIFF structure that
// EXIF readers take: what the EXIF pane shows and self-learning keys on.
QByteArray cameraExifOf(const LibRaw& raw)
{
    const libraw_iparams_t& camera = raw.imgdata.idata;
    const libraw_imgother_t& shot = raw.imgdata.other;
    Exiv2::ExifData exif;
    const auto setText = [&exif](const char* key, const QString& value) {
        if (!value.isEmpty())
            exif[key] = value.toStdString();
    };
    setText("Exif.Image.Make", text(camera.make, sizeof camera.make));
    setText("Exif.Image.Model", text(camera.model, sizeof camera.model));
    setText("Exif.Image.Software", text(camera.software, sizeof camera.software));
    setText("Exif.Image.Artist", text(shot.artist, sizeof shot.artist));
    setText("Exif.Photo.LensModel",
        text(raw.imgdata.lens.Lens, sizeof raw.imgdata.lens.Lens));
    // Values outside what the tags hold are left out, as a camera that did
    // not record them would.
    if (shot.iso_speed >= 1.0F && shot.iso_speed <= 65535.0F)
        exif["Exif.Photo.ISOSpeedRatings"] = static_cast<uint16_t>(std::lround(shot.iso_speed));
    if (shot.shutter > 0.0F && shot.shutter < 1e6F)
        exif["Exif.Photo.ExposureTime"] = exposureRational(shot.shutter);
    if (shot.aperture > 0.0F && shot.aperture < 1e4F)
        exif["Exif.Photo.FNumber"] = Exiv2::floatToRationalCast(shot.aperture);
    if (shot.focal_len > 0.0F && shot.focal_len < 1e5F)
        exif["Exif.Photo.FocalLength"] = Exiv2::floatToRationalCast(shot.focal_len);
    // LibRaw turned the camera's local date into a time as the local clock
    // reads it; turned back the same way, it is the camera's again.
    std::tm local {};
    char date[32] = {};
    if (shot.timestamp > 0 && localtime_r(&shot.timestamp, &local) != nullptr
        && std::strftime(date, sizeof date, "%Y:%m:%d %H:%M:%S", &local) > 0)
        exif["Exif.Photo.DateTimeOriginal"] = std::string(date);
    if (exif.empty())
        return {};
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
    return QByteArray(
        reinterpret_cast<const char*>(blob.data()), static_cast<qsizetype>(blob.size()));
}

QByteArray cameraExif(const LibRaw& raw)
{
    try {
        return cameraExifOf(raw);
    } catch (const std::exception&) {
        // The description is a courtesy: the picture goes without it.
        return {};
    }
}

// The size the developed picture takes before it is turned: LibRaw
// stretches pictures of cameras with oblong pixels square. Zero when the
// file's ratio is no ratio at all.
bool stretchedSize(const libraw_image_sizes_t& sizes, int64_t& width, int64_t& height)
{
    width = sizes.width;
    height = sizes.height;
    const double aspect = sizes.pixel_aspect;
    if (!std::isfinite(aspect) || aspect <= 0.0)
        return false;
    if (aspect < 1.0)
        height = static_cast<int64_t>(std::min(height / aspect + 0.5, 1e12));
    else if (aspect > 1.0)
        width = static_cast<int64_t>(std::min(width * aspect + 0.5, 1e12));
    return true;
}

struct ProcessedImage {
    void operator()(libraw_processed_image_t* image) const { LibRaw::dcraw_clear_mem(image); }
};

bool storeDeveloped(const libraw_processed_image_t& image, PixelBuffers& pixels)
{
    SampleLayout layout;
    layout.colours = image.colors;
    layout.sixteenBits = true;
    if (!startPicture(pixels, image.width, image.height, layout))
        return false;
    const size_t samples = size_t { image.width } * image.colors;
    std::vector<uint16_t> row(samples);
    for (int32_t y = 0; y < image.height; ++y) {
        std::memcpy(row.data(), image.data + samples * 2 * static_cast<size_t>(y), samples * 2);
        storeSamples(pixels, layout, y, 0, image.width, row.data());
    }
    finishPicture(pixels);
    return true;
}

} // namespace

bool isCameraRaw(const QByteArray& bytes, bool rawByName)
{
    if (hasRawMark(bytes))
        return true;
    if (!rawByName || !isTiff(bytes))
        return false;
    // LibRaw takes a TIFF that holds a finished picture for none of its
    // cameras' raw data.
    const auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    return raw->open_buffer(const_cast<char*>(bytes.constData()), static_cast<size_t>(bytes.size()))
        == LIBRAW_SUCCESS;
}

CodecReading readRaw(const QByteArray& bytes, const SizeCheck& check, CodecPicture& picture,
    PixelBuffers* pixels, QString& reason)
{
    const auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    DataErrors errors;
    raw->set_dataerror_handler(noteDataError, &errors);
    // LibRaw reads the buffer and never writes to it.
    int status
        = raw->open_buffer(const_cast<char*>(bytes.constData()), static_cast<size_t>(bytes.size()));
    if (status != LIBRAW_SUCCESS)
        return failed(status, reason);

    // The sensor's data is allocated at its full size before a pixel is
    // decoded, and the picture grows when oblong pixels are made square.
    const libraw_image_sizes_t& sizes = raw->imgdata.sizes;
    int64_t width = 0;
    int64_t height = 0;
    if (!stretchedSize(sizes, width, height)) {
        reason = tr("its pixel aspect ratio is impossible.");
        return CodecReading::Damaged;
    }
    reason = check(sizes.raw_width, sizes.raw_height);
    if (reason.isEmpty())
        reason = check(width, height);
    if (!reason.isEmpty())
        return CodecReading::Refused;

    const bool turned = (sizes.flip & 4) != 0;
    picture.width = static_cast<int32_t>(turned ? height : width);
    picture.height = static_cast<int32_t>(turned ? width : height);
    picture.bitsPerChannel = 16;
    picture.developedFromRaw = true;
    picture.grey = raw->imgdata.idata.colors == 1;
    picture.decodedColours = picture.grey ? 1 : 3;
    picture.exif = cameraExif(*raw);
    picture.note = tr("developed from the camera's raw data with LibRaw's default settings and "
                      "the camera's white balance, into 16-bit sRGB.");
    if (pixels == nullptr)
        return CodecReading::Done;

    libraw_output_params_t& params = raw->imgdata.params;
    params.use_camera_wb = 1;
    params.output_bps = 16;
    params.output_color = 1; // sRGB
    status = raw->unpack();
    if (status == LIBRAW_SUCCESS && dataProblem(errors).isEmpty())
        status = raw->dcraw_process();
    if (const QString problem = dataProblem(errors); !problem.isEmpty()) {
        reason = problem;
        return CodecReading::Damaged;
    }
    if (status != LIBRAW_SUCCESS)
        return failed(status, reason);
    const std::unique_ptr<libraw_processed_image_t, ProcessedImage> image(
        raw->dcraw_make_mem_image(&status));
    if (!image)
        return failed(status, reason);
    // Only the developed copy is needed from here on.
    raw->recycle();
    const bool layoutFits = image->type == LIBRAW_IMAGE_BITMAP && image->bits == 16
        && (image->colors == 1 || image->colors == 3)
        && uint64_t { image->data_size }
            == uint64_t { image->width } * image->height * image->colors * 2;
    if (!layoutFits) {
        reason = tr("LibRaw developed the raw data into a picture this program cannot take.");
        return CodecReading::Damaged;
    }
    reason = check(image->width, image->height);
    if (!reason.isEmpty())
        return CodecReading::Refused;
    picture.width = image->width;
    picture.height = image->height;
    picture.grey = image->colors == 1;
    picture.decodedColours = image->colors;
    if (!storeDeveloped(*image, *pixels)) {
        reason = tr("not enough memory for a %1 × %2 picture.").arg(image->width).arg(image->height);
        return CodecReading::OutOfMemory;
    }
    return CodecReading::Done;
}

#endif

} // namespace calmora
