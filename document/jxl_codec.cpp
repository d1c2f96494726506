#include "document/jxl_codec.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#ifdef CALMORA_HAVE_JXL
#include <jxl/decode_cxx.h>
#include <jxl/encode_cxx.h>
#include <jxl/thread_parallel_runner_cxx.h>
#endif

namespace calmora {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("JxlCodec", text);
}

} // namespace

#ifndef CALMORA_HAVE_JXL

bool isJxl(const QByteArray&)
{
    return false;
}

CodecReading readJxl(
    const QByteArray&, const SizeCheck&, CodecPicture&, PixelBuffers*, QString& reason)
{
    reason = tr("this build reads no JPEG XL files.");
    return CodecReading::Damaged;
}

bool encodeJxl(const EncodeRequest&, int, QByteArray& file, QString& reason)
{
    file.clear();
    reason = tr("this build writes no JPEG XL files.");
    return false;
}

#else

namespace {

// EXIF and XMP boxes may be Brotli-compressed, so their size is known only
// while they are unpacked: a larger one is a bomb, and the file is refused
// before the decoder unpacks more of it.
constexpr size_t kMaxMetadataBytes = size_t { 16 } << 20;
constexpr size_t kFirstBoxBytes = size_t { 64 } << 10;
// libjxl accepts distances up to this.
constexpr float kMaxDistance = 25.0F;
// The encoder's effort for lossy pictures: on a 12-megapixel photo at
// distance 1 the default (7) takes three times as long for a file 4 %
// smaller and 0.5 dB better in PSNR. Lossless pictures keep the default.
constexpr int64_t kLossyEffort = 4;

// The decoder's statuses carry no text; these are its reasons in words.
QString decoderFailure(JxlDecoderStatus status)
{
    if (status == JXL_DEC_NEED_MORE_INPUT)
        return tr("the file ends before its picture does.");
    return tr("the JPEG XL decoder found the data invalid.");
}

QString encoderFailure(JxlEncoder* encoder)
{
    switch (JxlEncoderGetError(encoder)) {
    case JXL_ENC_ERR_OOM:
        return tr("not enough memory to encode the picture.");
    case JXL_ENC_ERR_BAD_INPUT:
    case JXL_ENC_ERR_NOT_SUPPORTED:
        return tr("the JPEG XL encoder does not take this picture.");
    default:
        return tr("the JPEG XL encoder failed.");
    }
}

bool isSrgb(const JxlColorEncoding& encoding)
{
    return (encoding.color_space == JXL_COLOR_SPACE_GRAY
               || (encoding.color_space == JXL_COLOR_SPACE_RGB
                   && encoding.primaries == JXL_PRIMARIES_SRGB))
        && encoding.white_point == JXL_WHITE_POINT_D65
        && encoding.transfer_function == JXL_TRANSFER_FUNCTION_SRGB;
}

// Collects the EXIF and XMP boxes as the decoder unpacks them.
class MetadataBoxes {
public:
    explicit MetadataBoxes(JxlDecoder* decoder)
        : m_decoder(decoder)
    { }

    // A new box starts: the one before it is complete.
    void start(CodecPicture& picture)
    {
        finish();
        JxlBoxType type {};
        if (JxlDecoderGetBoxType(m_decoder, type, JXL_TRUE) != JXL_DEC_SUCCESS)
            return;
        if (std::memcmp(type, "Exif", 4) == 0 && picture.exif.isEmpty())
            m_target = &picture.exif;
        else if (std::memcmp(type, "xml ", 4) == 0 && picture.xmp.isEmpty())
            m_target = &picture.xmp;
        else
            return;
        m_exif = m_target == &picture.exif;
        m_box.assign(kFirstBoxBytes, 0);
        m_used = 0;
        JxlDecoderSetBoxBuffer(m_decoder, m_box.data(), m_box.size());
    }

    // The box outgrew its buffer: a larger one, unless it is too large.
    bool grow()
    {
        const size_t unused = JxlDecoderReleaseBoxBuffer(m_decoder);
        if (m_target == nullptr || m_box.size() >= kMaxMetadataBytes) {
            m_target = nullptr;
            m_box.clear();
            return false;
        }
        m_used = m_box.size() - unused;
        m_box.resize(m_box.size() * 2);
        JxlDecoderSetBoxBuffer(m_decoder, m_box.data() + m_used, m_box.size() - m_used);
        return true;
    }

    void finish()
    {
        if (m_box.empty())
            return;
        const size_t unused = JxlDecoderReleaseBoxBuffer(m_decoder);
        if (m_target != nullptr) {
            const QByteArray block(reinterpret_cast<const char*>(m_box.data()),
                static_cast<qsizetype>(m_box.size() - unused));
            *m_target = m_exif ? exifTiffStructure(block) : block;
        }
        m_target = nullptr;
        m_box.clear();
    }

private:
    JxlDecoder* m_decoder;
    QByteArray* m_target = nullptr;
    bool m_exif = false;
    std::vector<uint8_t> m_box;
    size_t m_used = 0;
};

// The basic description, as the picture is shown.
void describe(const JxlBasicInfo& info, CodecPicture& picture)
{
    const bool turned = info.orientation >= JXL_ORIENT_TRANSPOSE;
    picture.width
        = static_cast<int32_t>(std::min<uint32_t>(turned ? info.ysize : info.xsize, INT32_MAX));
    picture.height
        = static_cast<int32_t>(std::min<uint32_t>(turned ? info.xsize : info.ysize, INT32_MAX));
    picture.bitsPerChannel = static_cast<int>(info.bits_per_sample);
    picture.alpha = info.alpha_bits > 0;
    picture.grey = info.num_color_channels == 1;
    picture.decodedColours = picture.grey ? 1 : 3;
}

// The colours come as sRGB unless the file names another space; that one's
// profile goes with the picture. A lossy file made from a profile the
// decoder cannot name is turned into sRGB by the decoder itself.
void chooseColours(JxlDecoder* decoder, const JxlBasicInfo& info, CodecPicture& picture)
{
    JxlColorEncoding encoding {};
    const bool named = JxlDecoderGetColorAsEncodedProfile(
                           decoder, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL, &encoding)
        == JXL_DEC_SUCCESS;
    if (!info.uses_original_profile && !named) {
        JxlColorEncodingSetToSRGB(&encoding, picture.grey ? JXL_TRUE : JXL_FALSE);
        JxlDecoderSetPreferredColorProfile(decoder, &encoding);
    }
    if (JxlDecoderGetColorAsEncodedProfile(
            decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &encoding)
            == JXL_DEC_SUCCESS
        && isSrgb(encoding))
        return;
    size_t size = 0;
    if (JxlDecoderGetICCProfileSize(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size)
            != JXL_DEC_SUCCESS
        || size == 0 || size > kMaxMetadataBytes)
        return;
    picture.icc.resize(static_cast<qsizetype>(size));
    if (JxlDecoderGetColorAsICCProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
            reinterpret_cast<uint8_t*>(picture.icc.data()), size)
        != JXL_DEC_SUCCESS)
        picture.icc.clear();
}

JxlPixelFormat pixelFormat(int channels, bool sixteenBits)
{
    return { static_cast<uint32_t>(channels), sixteenBits ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8,
        JXL_NATIVE_ENDIAN, 0 };
}

bool storeDecoded(const std::vector<uint8_t>& decoded, const CodecPicture& picture,
    const SampleLayout& layout, PixelBuffers& pixels)
{
    if (!startPicture(pixels, picture.width, picture.height, layout))
        return false;
    const size_t samples = static_cast<size_t>(picture.width) * layout.samplesPerPixel();
    const size_t rowBytes = samples * (layout.sixteenBits ? 2 : 1);
    std::vector<uint16_t> row(samples);
    for (int32_t y = 0; y < picture.height; ++y) {
        const uint8_t* from = decoded.data() + rowBytes * static_cast<size_t>(y);
        if (layout.sixteenBits)
            std::memcpy(row.data(), from, rowBytes);
        else
            std::copy(from, from + samples, row.begin());
        storeSamples(pixels, layout, y, 0, picture.width, row.data());
    }
    finishPicture(pixels);
    return true;
}

} // namespace

bool isJxl(const QByteArray& bytes)
{
    const JxlSignature signature = JxlSignatureCheck(
        reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size()));
    return signature == JXL_SIG_CODESTREAM || signature == JXL_SIG_CONTAINER;
}

CodecReading readJxl(const QByteArray& bytes, const SizeCheck& check, CodecPicture& picture,
    PixelBuffers* pixels, QString& reason)
{
    const JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
    const JxlThreadParallelRunnerPtr runner
        = JxlThreadParallelRunnerMake(nullptr, JxlThreadParallelRunnerDefaultNumWorkerThreads());
    if (!decoder || !runner) {
        reason = tr("not enough memory to decode the picture.");
        return CodecReading::OutOfMemory;
    }
    int events = JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_BOX;
    if (pixels != nullptr)
        events |= JXL_DEC_FULL_IMAGE;
    JxlDecoder* dec = decoder.get();
    if (JxlDecoderSubscribeEvents(dec, events) != JXL_DEC_SUCCESS
        || JxlDecoderSetParallelRunner(dec, JxlThreadParallelRunner, runner.get())
            != JXL_DEC_SUCCESS
        || JxlDecoderSetDecompressBoxes(dec, JXL_TRUE) != JXL_DEC_SUCCESS
        || JxlDecoderSetUnpremultiplyAlpha(dec, JXL_TRUE) != JXL_DEC_SUCCESS
        || JxlDecoderSetInput(dec, reinterpret_cast<const uint8_t*>(bytes.constData()),
               static_cast<size_t>(bytes.size()))
            != JXL_DEC_SUCCESS) {
        reason = tr("the JPEG XL decoder could not be set up.");
        return CodecReading::Damaged;
    }
    JxlDecoderCloseInput(dec);

    MetadataBoxes boxes(dec);
    JxlBasicInfo info {};
    SampleLayout layout;
    std::vector<uint8_t> decoded;
    bool haveBasics = false;
    bool havePixels = false;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(dec);
        switch (status) {
        case JXL_DEC_BASIC_INFO:
            if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS) {
                reason = decoderFailure(JXL_DEC_ERROR);
                return CodecReading::Damaged;
            }
            describe(info, picture);
            reason = check(picture.width, picture.height);
            if (!reason.isEmpty())
                return CodecReading::Refused;
            haveBasics = true;
            break;
        case JXL_DEC_COLOR_ENCODING:
            chooseColours(dec, info, picture);
            break;
        case JXL_DEC_BOX:
            boxes.start(picture);
            break;
        case JXL_DEC_BOX_NEED_MORE_OUTPUT:
            if (!boxes.grow()) {
                reason
                    = tr("its metadata unpacks to more than %1 MB.").arg(kMaxMetadataBytes >> 20);
                return CodecReading::Damaged;
            }
            break;
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            // The decoder has told the size by now, and it passed the check.
            layout.colours = picture.decodedColours;
            layout.alpha = picture.alpha;
            layout.sixteenBits = picture.bitsPerChannel > 8;
            const JxlPixelFormat format = pixelFormat(layout.samplesPerPixel(), layout.sixteenBits);
            size_t size = 0;
            // The buffer is read back as rows of the checked size.
            const size_t expected = static_cast<size_t>(picture.width) * picture.height
                * layout.samplesPerPixel() * (layout.sixteenBits ? 2 : 1);
            if (JxlDecoderImageOutBufferSize(dec, &format, &size) != JXL_DEC_SUCCESS
                || size != expected) {
                reason = decoderFailure(JXL_DEC_ERROR);
                return CodecReading::Damaged;
            }
            try {
                decoded.resize(size);
            } catch (const std::bad_alloc&) {
                reason = tr("not enough memory for a %1 × %2 picture.")
                             .arg(picture.width)
                             .arg(picture.height);
                return CodecReading::OutOfMemory;
            }
            if (JxlDecoderSetImageOutBuffer(dec, &format, decoded.data(), decoded.size())
                != JXL_DEC_SUCCESS) {
                reason = decoderFailure(JXL_DEC_ERROR);
                return CodecReading::Damaged;
            }
            break;
        }
        case JXL_DEC_FULL_IMAGE:
            havePixels = true;
            break;
        case JXL_DEC_SUCCESS:
            break;
        default:
            reason = decoderFailure(status);
            return CodecReading::Damaged;
        }
        // Further frames of an animation are not decoded.
        if (status == JXL_DEC_SUCCESS || status == JXL_DEC_FULL_IMAGE)
            break;
    }
    boxes.finish();
    if (!haveBasics) {
        reason = decoderFailure(JXL_DEC_NEED_MORE_INPUT);
        return CodecReading::Damaged;
    }
    if (pixels == nullptr)
        return CodecReading::Done;
    if (!havePixels) {
        reason = decoderFailure(JXL_DEC_NEED_MORE_INPUT);
        return CodecReading::Damaged;
    }
    if (!storeDecoded(decoded, picture, layout, *pixels)) {
        reason
            = tr("not enough memory for a %1 × %2 picture.").arg(picture.width).arg(picture.height);
        return CodecReading::OutOfMemory;
    }
    return CodecReading::Done;
}

namespace {

// The distance, libjxl's measure of loss, that a JPEG quality matches:
// 90 gives 1.0, the encoder's own "visually lossless" default.
float distanceOf(int quality)
{
    const float q = static_cast<float>(quality);
    const float distance = quality >= 30 ? 0.1F + (100.0F - q) * 0.09F
                                         : 6.4F + std::pow(2.5F, (30.0F - q) / 5.0F) / 6.25F;
    return std::min(distance, kMaxDistance);
}

bool setDescription(
    JxlEncoder* encoder, const EncodeRequest& request, int orientation, bool lossless)
{
    const bool grey = request.channels <= 2;
    const bool alpha = request.channels == 2 || request.channels == 4;
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = static_cast<uint32_t>(request.width);
    info.ysize = static_cast<uint32_t>(request.height);
    info.bits_per_sample = static_cast<uint32_t>(request.bitsPerChannel);
    info.num_color_channels = grey ? 1 : 3;
    info.num_extra_channels = alpha ? 1 : 0;
    info.alpha_bits = alpha ? info.bits_per_sample : 0;
    info.uses_original_profile = lossless ? JXL_TRUE : JXL_FALSE;
    info.orientation = orientation >= 1 && orientation <= 8
        ? static_cast<JxlOrientation>(orientation)
        : JXL_ORIENT_IDENTITY;
    if (JxlEncoderSetBasicInfo(encoder, &info) != JXL_ENC_SUCCESS)
        return false;
    if (!request.iccProfile.isEmpty())
        return JxlEncoderSetICCProfile(encoder,
                   reinterpret_cast<const uint8_t*>(request.iccProfile.constData()),
                   static_cast<size_t>(request.iccProfile.size()))
            == JXL_ENC_SUCCESS;
    JxlColorEncoding encoding;
    JxlColorEncodingSetToSRGB(&encoding, grey ? JXL_TRUE : JXL_FALSE);
    return JxlEncoderSetColorEncoding(encoder, &encoding) == JXL_ENC_SUCCESS;
}

bool addBoxes(JxlEncoder* encoder, const EncodeRequest& request)
{
    if (request.exif.isEmpty() && request.xmp.isEmpty())
        return true;
    if (JxlEncoderUseBoxes(encoder) != JXL_ENC_SUCCESS)
        return false;
    if (!request.exif.isEmpty()) {
        // The TIFF header follows at once: its offset is 0.
        const QByteArray block = QByteArray(4, '\0') + request.exif;
        if (JxlEncoderAddBox(encoder, "Exif", reinterpret_cast<const uint8_t*>(block.constData()),
                static_cast<size_t>(block.size()), JXL_FALSE)
            != JXL_ENC_SUCCESS)
            return false;
    }
    if (!request.xmp.isEmpty()
        && JxlEncoderAddBox(encoder, "xml ",
               reinterpret_cast<const uint8_t*>(request.xmp.constData()),
               static_cast<size_t>(request.xmp.size()), JXL_FALSE)
            != JXL_ENC_SUCCESS)
        return false;
    JxlEncoderCloseBoxes(encoder);
    return true;
}

bool collectOutput(JxlEncoder* encoder, QByteArray& file)
{
    std::vector<uint8_t> out(size_t { 64 } << 10);
    size_t used = 0;
    for (;;) {
        uint8_t* next = out.data() + used;
        size_t available = out.size() - used;
        const JxlEncoderStatus status = JxlEncoderProcessOutput(encoder, &next, &available);
        used = out.size() - available;
        if (status == JXL_ENC_SUCCESS)
            break;
        if (status != JXL_ENC_NEED_MORE_OUTPUT)
            return false;
        out.resize(out.size() * 2);
    }
    file = QByteArray(reinterpret_cast<const char*>(out.data()), static_cast<qsizetype>(used));
    return true;
}

} // namespace

bool encodeJxl(const EncodeRequest& request, int orientation, QByteArray& file, QString& reason)
{
    file.clear();
    const JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
    const size_t threads = request.threadCount > 0
        ? static_cast<size_t>(request.threadCount)
        : JxlThreadParallelRunnerDefaultNumWorkerThreads();
    const JxlThreadParallelRunnerPtr runner = JxlThreadParallelRunnerMake(nullptr, threads);
    if (!encoder || !runner) {
        reason = tr("not enough memory to encode the picture.");
        return false;
    }
    JxlEncoder* enc = encoder.get();
    const bool lossless = request.quality >= 100;
    JxlEncoderFrameSettings* settings = nullptr;
    if (JxlEncoderSetParallelRunner(enc, JxlThreadParallelRunner, runner.get()) != JXL_ENC_SUCCESS
        || !setDescription(enc, request, orientation, lossless) || !addBoxes(enc, request)
        || (settings = JxlEncoderFrameSettingsCreate(enc, nullptr)) == nullptr
        || (lossless
                   ? JxlEncoderSetFrameLossless(settings, JXL_TRUE)
                   : JxlEncoderSetFrameDistance(settings, distanceOf(std::max(request.quality, 0))))
            != JXL_ENC_SUCCESS
        || (!lossless
            && JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, kLossyEffort)
                != JXL_ENC_SUCCESS)) {
        reason = encoderFailure(enc);
        return false;
    }

    const bool sixteenBits = request.bitsPerChannel > 8;
    const size_t rowBytes
        = static_cast<size_t>(request.width) * request.channels * (sixteenBits ? 2 : 1);
    std::vector<uint8_t> samples(rowBytes * static_cast<size_t>(request.height));
    for (int32_t y = 0; y < request.height; ++y) {
        if (request.stop != nullptr && request.stop->load()) {
            reason = tr("the save was stopped.");
            return false;
        }
        request.readRow(y, samples.data() + rowBytes * static_cast<size_t>(y));
    }
    const JxlPixelFormat format = pixelFormat(request.channels, sixteenBits);
    if (JxlEncoderAddImageFrame(settings, &format, samples.data(), samples.size())
        != JXL_ENC_SUCCESS) {
        reason = encoderFailure(enc);
        return false;
    }
    JxlEncoderCloseInput(enc);
    if (!collectOutput(enc, file)) {
        file.clear();
        reason = encoderFailure(enc);
        return false;
    }
    return true;
}

#endif

} // namespace calmora
