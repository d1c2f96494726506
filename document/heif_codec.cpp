#include "document/heif_codec.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#ifdef CALMORA_HAVE_HEIF
#include <libheif/heif.h>
#endif

namespace calmora {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("HeifCodec", text);
}

} // namespace

#ifndef CALMORA_HAVE_HEIF

QByteArray heifFormatOf(const QByteArray&)
{
    return {};
}

CodecReading readHeif(
    const QByteArray&, const SizeCheck&, CodecPicture&, PixelBuffers*, QString& reason)
{
    reason = tr("this build reads no HEIF files.");
    return CodecReading::Damaged;
}

bool encodeHeif(const EncodeRequest&, const QByteArray&, int, QByteArray&, QString& reason)
{
    reason = tr("this build writes no HEIF files.");
    return false;
}

#else

namespace {

// Larger pictures are refused before the library decodes them; it takes
// the square of this as its pixel limit. 16384² is what one pixel copy may
// hold.
constexpr int kMaxSide = 16384;

struct ContextDeleter {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageDeleter {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
struct EncoderDeleter {
    void operator()(heif_encoder* encoder) const { heif_encoder_release(encoder); }
};
using Context = std::unique_ptr<heif_context, ContextDeleter>;
using Handle = std::unique_ptr<heif_image_handle, HandleDeleter>;
using Image = std::unique_ptr<heif_image, ImageDeleter>;
using Encoder = std::unique_ptr<heif_encoder, EncoderDeleter>;

bool failed(const heif_error& error, QString& reason)
{
    if (error.code == heif_error_Ok)
        return false;
    reason = QString::fromUtf8(error.message != nullptr ? error.message : "unknown error");
    if (!reason.endsWith(QLatin1Char('.')))
        reason += QLatin1Char('.');
    return true;
}

QByteArray metadataBlock(const heif_image_handle* handle, const char* type, const char* content)
{
    const int count = heif_image_handle_get_number_of_metadata_blocks(handle, type);
    if (count <= 0)
        return {};
    std::vector<heif_item_id> ids(static_cast<size_t>(count));
    heif_image_handle_get_list_of_metadata_block_IDs(handle, type, ids.data(), count);
    for (const heif_item_id id : ids) {
        if (content != nullptr
            && std::strcmp(heif_image_handle_get_metadata_content_type(handle, id), content) != 0)
            continue;
        const size_t size = heif_image_handle_get_metadata_size(handle, id);
        if (size == 0 || size > static_cast<size_t>(INT32_MAX))
            continue;
        QByteArray block(static_cast<qsizetype>(size), Qt::Uninitialized);
        if (heif_image_handle_get_metadata(handle, id, block.data()).code == heif_error_Ok)
            return block;
    }
    return {};
}

void describe(const heif_image_handle* handle, CodecPicture& picture)
{
    picture.width = heif_image_handle_get_width(handle);
    picture.height = heif_image_handle_get_height(handle);
    const int bits = heif_image_handle_get_luma_bits_per_pixel(handle);
    picture.bitsPerChannel = bits > 8 ? bits : 8;
    picture.alpha = heif_image_handle_has_alpha_channel(handle) != 0;
    picture.grey = heif_image_handle_get_chroma_bits_per_pixel(handle) <= 0;
    picture.exif = exifTiffStructure(metadataBlock(handle, "Exif", nullptr));
    picture.xmp = metadataBlock(handle, "mime", "application/rdf+xml");
    const heif_color_profile_type profile = heif_image_handle_get_color_profile_type(handle);
    if (profile == heif_color_profile_type_prof || profile == heif_color_profile_type_rICC) {
        const size_t size = heif_image_handle_get_raw_color_profile_size(handle);
        if (size > 0 && size <= static_cast<size_t>(INT32_MAX)) {
            picture.icc.resize(static_cast<qsizetype>(size));
            if (heif_image_handle_get_raw_color_profile(handle, picture.icc.data()).code
                != heif_error_Ok)
                picture.icc.clear();
        }
    }
}

// Copies the decoded interleaved rows into `pixels`, widening 10 and 12 bits
// to 16 by repeating the high bits below, so that white stays white.
bool storeDecoded(const heif_image* image, const CodecPicture& picture, PixelBuffers& pixels)
{
    SampleLayout layout;
    layout.colours = 3;
    layout.alpha = picture.alpha;
    layout.sixteenBits = picture.bitsPerChannel > 8;
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    if (plane == nullptr || !startPicture(pixels, picture.width, picture.height, layout))
        return false;
    const int bits = picture.bitsPerChannel;
    const int samples = layout.samplesPerPixel();
    std::vector<uint16_t> row(static_cast<size_t>(picture.width) * samples);
    for (int32_t y = 0; y < picture.height; ++y) {
        const uint8_t* from = plane + int64_t { y } * stride;
        for (size_t i = 0; i < row.size(); ++i) {
            if (!layout.sixteenBits) {
                row[i] = from[i];
                continue;
            }
            uint16_t value = 0;
            std::memcpy(&value, from + 2 * i, sizeof value);
            const uint32_t wide = uint32_t { value } << (16 - bits);
            row[i] = static_cast<uint16_t>(wide | wide >> bits);
        }
        storeSamples(pixels, layout, y, 0, picture.width, row.data());
    }
    finishPicture(pixels);
    return true;
}

} // namespace

QByteArray heifFormatOf(const QByteArray& bytes)
{
    constexpr int kEnoughForTheBrands = 64;
    const int length = static_cast<int>(std::min<qsizetype>(bytes.size(), kEnoughForTheBrands));
    const char* type
        = heif_get_file_mime_type(reinterpret_cast<const uint8_t*>(bytes.constData()), length);
    const QByteArray mime = type != nullptr ? QByteArray(type) : QByteArray();
    if (mime == "image/avif")
        return "avif";
    if (mime == "image/heic" || mime == "image/heif")
        return "heic";
    return {};
}

CodecReading readHeif(const QByteArray& bytes, const SizeCheck& check, CodecPicture& picture,
    PixelBuffers* pixels, QString& reason)
{
    Context context(heif_context_alloc());
    if (!context) {
        reason = tr("not enough memory to decode the picture.");
        return CodecReading::OutOfMemory;
    }
    heif_context_set_maximum_image_size_limit(context.get(), kMaxSide);
    heif_image_handle* primary = nullptr;
    if (failed(heif_context_read_from_memory_without_copy(
                   context.get(), bytes.constData(), static_cast<size_t>(bytes.size()), nullptr),
            reason)
        || failed(heif_context_get_primary_image_handle(context.get(), &primary), reason))
        return CodecReading::Damaged;
    const Handle handle(primary);
    describe(handle.get(), picture);
    reason = check(picture.width, picture.height);
    if (!reason.isEmpty())
        return CodecReading::Refused;
    if (pixels == nullptr)
        return CodecReading::Done;

    const bool high = picture.bitsPerChannel > 8;
    const heif_chroma chroma = high
        ? (picture.alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
        : (picture.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* decodedImage = nullptr;
    // The default options turn the picture as the file says it is shown.
    if (failed(heif_decode_image(handle.get(), &decodedImage, heif_colorspace_RGB, chroma, nullptr),
            reason))
        return CodecReading::Damaged;
    const Image image(decodedImage);
    // The size the decoder delivered is what is copied, whatever the
    // header said.
    picture.width = heif_image_get_width(image.get(), heif_channel_interleaved);
    picture.height = heif_image_get_height(image.get(), heif_channel_interleaved);
    reason = check(picture.width, picture.height);
    if (!reason.isEmpty())
        return CodecReading::Refused;
    if (!storeDecoded(image.get(), picture, *pixels)) {
        reason
            = tr("not enough memory for a %1 × %2 picture.").arg(picture.width).arg(picture.height);
        return CodecReading::OutOfMemory;
    }
    return CodecReading::Done;
}

namespace {

heif_error writeToBytes(heif_context*, const void* data, size_t size, void* userdata)
{
    auto* file = static_cast<QByteArray*>(userdata);
    try {
        file->append(static_cast<const char*>(data), static_cast<qsizetype>(size));
    } catch (const std::bad_alloc&) {
        return { heif_error_Memory_allocation_error, heif_suberror_Unspecified, "out of memory" };
    }
    return { heif_error_Ok, heif_suberror_Unspecified, "" };
}

// Where the stored pixel shown at (x, y) lies, for an EXIF orientation
// (1..8) and a stored picture of `width` × `height`.
std::pair<int32_t, int32_t> storedAt(
    int orientation, int32_t x, int32_t y, int32_t width, int32_t height)
{
    switch (orientation) {
    case 2:
        return { width - 1 - x, y };
    case 3:
        return { width - 1 - x, height - 1 - y };
    case 4:
        return { x, height - 1 - y };
    case 5:
        return { y, x };
    case 6:
        return { y, height - 1 - x };
    case 7:
        return { width - 1 - y, height - 1 - x };
    case 8:
        return { width - 1 - y, x };
    default:
        return { x, y };
    }
}

// The bits per sample a result of the request is written at: a 16-bit
// picture as HEIC at 10 (Main 10, the depth phones write), all else at 8.
// Debian 12's libheif asks aom for 10-bit AV1 in a profile that aom's
// encoder aborts the program on, and 12 bits is a profile few AVIF readers
// decode.
int heifBits(const EncodeRequest& request, heif_compression_format compression)
{
    return request.bitsPerChannel == 16 && compression == heif_compression_HEVC ? 10 : 8;
}

// The request's picture as one interleaved RGB(A) plane, 8 bits a sample or
// 10 in two little-endian bytes, turned as `orientation` says it is shown:
// HEIF readers take no EXIF orientation. Grey becomes colour, as both
// formats' encoders take it.
template <typename Sample>
bool fillImage(
    const EncodeRequest& request, int orientation, heif_image* image, bool alpha, int bits)
{
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    if (plane == nullptr)
        return false;
    const int given = request.channels;
    const int colours = given <= 2 ? 1 : 3;
    const int64_t rowSamples = int64_t { request.width } * given;
    std::vector<Sample> stored(static_cast<size_t>(rowSamples * request.height));
    for (int32_t y = 0; y < request.height; ++y) {
        if (request.stop != nullptr && request.stop->load())
            return false;
        request.readRow(y, stored.data() + y * rowSamples);
    }
    // 16-bit samples are rounded to the nearest of the written levels.
    const uint32_t top = (uint32_t { 1 } << bits) - 1;
    const auto put = [bits, top](uint8_t*& to, Sample value) {
        if constexpr (sizeof(Sample) == 1) {
            *to++ = value;
        } else {
            const uint32_t level = (uint32_t { value } * top + 32767) / 65535;
            *to++ = static_cast<uint8_t>(level);
            if (bits > 8)
                *to++ = static_cast<uint8_t>(level >> 8);
        }
    };
    const bool turned = orientation >= 5 && orientation <= 8;
    const int32_t shownWidth = turned ? request.height : request.width;
    const int32_t shownHeight = turned ? request.width : request.height;
    for (int32_t y = 0; y < shownHeight; ++y) {
        uint8_t* to = plane + int64_t { y } * stride;
        for (int32_t x = 0; x < shownWidth; ++x) {
            const auto [sx, sy] = storedAt(orientation, x, y, request.width, request.height);
            const Sample* from = stored.data() + sy * rowSamples + int64_t { sx } * given;
            for (int c = 0; c < 3; ++c)
                put(to, from[colours == 1 ? 0 : c]);
            if (alpha)
                put(to, from[colours]);
        }
    }
    return true;
}

bool addMetadata(
    const EncodeRequest& request, heif_context* context, heif_image_handle* handle, QString& reason)
{
    if (!request.exif.isEmpty()
        && failed(heif_context_add_exif_metadata(context, handle, request.exif.constData(),
                      static_cast<int>(request.exif.size())),
            reason))
        return false;
    return request.xmp.isEmpty()
        || !failed(heif_context_add_XMP_metadata(context, handle, request.xmp.constData(),
                       static_cast<int>(request.xmp.size())),
            reason);
}

} // namespace

bool encodeHeif(const EncodeRequest& request, const QByteArray& format, int orientation,
    QByteArray& file, QString& reason)
{
    file.clear();
    const heif_compression_format compression
        = format == "avif" ? heif_compression_AV1 : heif_compression_HEVC;
    if (!heif_have_encoder_for_format(compression)) {
        reason = tr("this system's libheif has no %1 encoder.")
                     .arg(QString::fromLatin1(format.toUpper()));
        return false;
    }
    const bool alpha = request.channels == 2 || request.channels == 4;
    Context context(heif_context_alloc());
    heif_encoder* rawEncoder = nullptr;
    if (!context
        || failed(
            heif_context_get_encoder_for_format(context.get(), compression, &rawEncoder), reason))
        return false;
    const Encoder encoder(rawEncoder);
    const bool turned = orientation >= 5 && orientation <= 8;
    const int32_t width = turned ? request.height : request.width;
    const int32_t height = turned ? request.width : request.height;
    const int bits = heifBits(request, compression);
    const heif_chroma chroma = bits > 8
        ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
        : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* rawImage = nullptr;
    if (failed(heif_image_create(width, height, heif_colorspace_RGB, chroma, &rawImage), reason))
        return false;
    const Image image(rawImage);
    if (failed(heif_image_add_plane(image.get(), heif_channel_interleaved, width, height, bits),
            reason))
        return false;
    const bool filled = request.bitsPerChannel == 16
        ? fillImage<uint16_t>(request, orientation, image.get(), alpha, bits)
        : fillImage<uint8_t>(request, orientation, image.get(), alpha, bits);
    if (!filled) {
        reason = tr("the save was stopped.");
        return false;
    }
    if (!request.iccProfile.isEmpty()
        && failed(
            heif_image_set_raw_color_profile(image.get(), "prof", request.iccProfile.constData(),
                static_cast<size_t>(request.iccProfile.size())),
            reason))
        return false;
    heif_encoder_set_lossy_quality(encoder.get(), std::clamp(request.quality, 0, 100));
    // For one still picture x265's faster presets lose next to nothing: on a
    // 12-megapixel photo at quality 90, "ultrafast" takes a third of the
    // time of "medium" for a file 3 % larger at the same PSNR (42.1 dB);
    // its default "slow" takes twice as long again for 1 % less.
    if (compression == heif_compression_HEVC)
        heif_encoder_set_parameter_string(encoder.get(), "preset", "ultrafast");
    heif_image_handle* rawHandle = nullptr;
    if (failed(heif_context_encode_image(
                   context.get(), image.get(), encoder.get(), nullptr, &rawHandle),
            reason))
        return false;
    const Handle handle(rawHandle);
    if (!addMetadata(request, context.get(), handle.get(), reason))
        return false;
    heif_writer writer {};
    writer.writer_api_version = 1;
    writer.write = writeToBytes;
    if (failed(heif_context_write(context.get(), &writer, &file), reason)) {
        file.clear();
        return false;
    }
    return true;
}

#endif

} // namespace calmora
