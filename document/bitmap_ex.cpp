#include "document/bitmap_ex.h"

#include "document/decoder_messages.h"
#include "document/file_formats.h"
#include "document/file_kind.h"
#include "document/heif_codec.h"
#include "document/image_checks.h"
#include "document/image_encoders.h"
#include "document/image_pixels.h"
#include "document/jpeg_codec.h"
#include "document/jpeg_metadata.h"
#include "document/jxl_codec.h"
#include "document/raw_codec.h"
#include "document/safe_file.h"
#include "document/tiff_decoder.h"
#include "settings/settings_store.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <exiv2/exiv2.hpp>

namespace calmora {

// Format_ARGB32 and Format_RGB32 keep a pixel as one 0xAARRGGBB word, which
// lies in memory as blue, green, red, alpha only on a little-endian machine.
static_assert(std::endian::native == std::endian::little,
    "the pixel buffers rely on 32-bit ARGB words being stored as B, G, R, A");

namespace {

constexpr int kBytesPerPixel = 4;
// The reader checks its own decoded format against this limit; for files
// with 16 bits per channel that format takes twice the bytes of ours.
constexpr int kReaderLimitMb = 2 * static_cast<int>(CBitmapEx::kMaxBytesPerCopy >> 20);

void prepareLibraries()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Every failure is reported through this module's own messages; the
        // metadata library's console chatter would only repeat them.
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        // The XMP toolkit has to be set up once before threads share it, and
        // with a lock: files are read and written on several threads at once
        // (a batch decodes one while it writes another), and reading unusual
        // XMP registers namespaces in the toolkit's shared tables.
        static std::mutex xmpLock;
        Exiv2::XmpParser::initialize(
            [](void* data, bool lock) {
                auto* mutex = static_cast<std::mutex*>(data);
                if (lock)
                    mutex->lock();
                else
                    mutex->unlock();
            },
            &xmpLock);
        if (QImageReader::allocationLimit() < kReaderLimitMb)
            QImageReader::setAllocationLimit(kReaderLimitMb);
    });
}

bool isReadableFormat(const QByteArray& format)
{
    const FileFormat* known = formatByKey(format.toLower());
    return known != nullptr && known->readable;
}

// Empty when a picture of this size can be held, else the reason. Sizes come
// from the file, so they are checked in 64 bits before anything is allocated.
QString sizeProblem(int64_t width, int64_t height)
{
    if (width <= 0 || height <= 0)
        return CBitmapEx::tr("the picture has no pixels (%1 × %2).").arg(width).arg(height);
    if (width * height * kBytesPerPixel > CBitmapEx::kMaxBytesPerCopy) {
        return CBitmapEx::tr("the picture is %1 × %2 pixels; at most %3 megapixels can be held.")
            .arg(width)
            .arg(height)
            .arg(CBitmapEx::kMaxBytesPerCopy / kBytesPerPixel / 1000000);
    }
    return {};
}

bool isStopped(const CBitmapEx::SaveOptions& options)
{
    return options.stop != nullptr && options.stop->load();
}

// The format a file of this name is written in: its extension's, or JPEG
// for a name that no writable format has.
QByteArray outputFormatFor(const QString& path)
{
    const FileFormat* format = writableFormatOfName(path);
    return format != nullptr ? format->key : QByteArray("jpeg");
}

// Formats whose metadata the encoder itself places: the metadata library
// cannot rewrite their files.
bool encoderPlacesMetadata(const QByteArray& format)
{
    return format == "heic" || format == "avif" || format == "jxl";
}

// IFD0 tags that describe how the source file laid out its pixels. The
// encoder writes its own; stale copies would describe a different file. The
// last four travel separately, as XMP, IPTC and the colour profile.
constexpr const char* kSourceLayoutTags[] = { "Exif.Image.NewSubfileType", "Exif.Image.SubfileType",
    "Exif.Image.ImageWidth", "Exif.Image.ImageLength", "Exif.Image.BitsPerSample",
    "Exif.Image.Compression", "Exif.Image.PhotometricInterpretation", "Exif.Image.FillOrder",
    "Exif.Image.StripOffsets", "Exif.Image.SamplesPerPixel", "Exif.Image.RowsPerStrip",
    "Exif.Image.StripByteCounts", "Exif.Image.PlanarConfiguration", "Exif.Image.Predictor",
    "Exif.Image.ColorMap", "Exif.Image.TileWidth", "Exif.Image.TileLength",
    "Exif.Image.TileOffsets", "Exif.Image.TileByteCounts", "Exif.Image.SubIFDs",
    "Exif.Image.ExtraSamples", "Exif.Image.SampleFormat", "Exif.Image.JPEGInterchangeFormat",
    "Exif.Image.JPEGInterchangeFormatLength", "Exif.Image.YCbCrSubSampling", "Exif.Image.XMLPacket",
    "Exif.Image.IPTCNAA", "Exif.Image.ImageResources", "Exif.Image.InterColorProfile" };

bool startsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

void replaceIfPresent(Exiv2::ExifData& exif, const char* key, uint32_t value)
{
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it != exif.end())
        *it = value;
}

void replaceIfPresent(Exiv2::XmpData& xmp, const char* key, uint32_t value)
{
    const auto it = xmp.findKey(Exiv2::XmpKey(key));
    if (it != xmp.end())
        it->setValue(std::to_string(value));
}

// This program's name as the writer: a result's noise is mostly gone, and
// the learned-profile eligibility rule keeps pictures its maker's software
// wrote out of what a camera is learned from.
std::string writtenBy()
{
    return (kOrganisationName + u' ' + kApplicationName).toStdString();
}

} // namespace

struct CBitmapEx::Metadata {
    Exiv2::ExifData exif;
    Exiv2::XmpData xmp;
    Exiv2::IptcData iptc;
    QByteArray icc;

    // Null when the file carries nothing or its metadata cannot be parsed: a
    // damaged block costs the metadata, never the picture, and in a JPEG only
    // the damaged part of it, which `notes` then names.
    static std::unique_ptr<Metadata> read(const QByteArray& file, QStringList* notes = nullptr);

    enum class Reading { Done, Empty, Failed };
    static Reading readAll(const QByteArray& file, Metadata& metadata);

    // Whether the colour profile may go with a picture of this kind: a grey
    // picture (kept grey) cannot carry a colour profile, nor colour a grey
    // one; readers reject or misread either.
    bool profileSuits(bool grey) const
    {
        constexpr int kColourSpaceAt = 16;
        if (icc.size() < kColourSpaceAt + 4)
            return false;
        return (icc.mid(kColourSpaceAt, 4) == "GRAY") == grey;
    }

    // Made of the parts a HEIF or JPEG XL file keeps apart: the EXIF's TIFF structure,
    // the XMP packet and the colour profile. The pixels come turned as they
    // are shown, so the orientation tags say so. Null when nothing is left.
    static std::unique_ptr<Metadata> fromParts(const CodecPicture& parts);

    // `encoded` with this metadata added, or empty when it could not be
    // added; the colour profile too when `addProfile` is set.
    QByteArray addTo(const QByteArray& encoded, const QByteArray& format, int32_t width,
        int32_t height, int32_t orientation, bool addProfile) const;

    // The EXIF and XMP as a result of this size carries them.
    Exiv2::ExifData exifForResult(int32_t width, int32_t height, int32_t orientation) const;
    Exiv2::XmpData xmpForResult(int32_t width, int32_t height) const;
    // The EXIF as a TIFF structure and the XMP packet, for encoders that
    // place them themselves; empty where there is none.
    void encodeForResult(int32_t width, int32_t height, int32_t orientation, QByteArray& exifBytes,
        QByteArray& xmpBytes) const;

private:
    void embed(Exiv2::Image& image, const Exiv2::ExifData& outExif, const Exiv2::XmpData& outXmp,
        const QByteArray& format, bool addProfile) const;
};

CBitmapEx::Metadata::Reading CBitmapEx::Metadata::readAll(const QByteArray& file, Metadata& metadata)
{
    try {
        auto image = Exiv2::ImageFactory::open(
            reinterpret_cast<const Exiv2::byte*>(file.constData()), static_cast<long>(file.size()));
        image->readMetadata();
        metadata.exif = image->exifData();
        metadata.xmp = image->xmpData();
        metadata.iptc = image->iptcData();
        const Exiv2::DataBuf* icc = image->iccProfile();
        if (icc && icc->pData_ && icc->size_ > 0)
            metadata.icc = QByteArray(reinterpret_cast<const char*>(icc->pData_), icc->size_);
    } catch (const std::exception&) {
        return Reading::Failed;
    }
    return metadata.exif.empty() && metadata.xmp.empty() && metadata.iptc.empty()
            && metadata.icc.isEmpty()
        ? Reading::Empty
        : Reading::Done;
}

std::unique_ptr<CBitmapEx::Metadata> CBitmapEx::Metadata::read(
    const QByteArray& file, QStringList* notes)
{
    QStringList said;
    QByteArray bytes = file;
    QString repair;
    if (QByteArray repaired = jpegWithExifCountsRepaired(file, repair); !repaired.isEmpty()) {
        bytes = std::move(repaired);
        said.append(tr("%1.").arg(repair));
    }
    auto metadata = std::make_unique<Metadata>();
    Reading outcome = readAll(bytes, *metadata);
    // The metadata library gives up on everything for one damaged segment;
    // without it, the rest is read.
    for (const MetadataPart part : { MetadataPart::ColourProfile, MetadataPart::Exif,
             MetadataPart::Xmp, MetadataPart::Iptc }) {
        if (outcome != Reading::Failed)
            break;
        const QByteArray without = jpegWithout(bytes, part);
        if (without.isEmpty())
            continue;
        *metadata = Metadata();
        outcome = readAll(without, *metadata);
        if (outcome != Reading::Failed)
            said.append(tr("its %1 is damaged and was left out.").arg(metadataPartName(part)));
    }
    if (outcome != Reading::Done)
        return nullptr;
    if (notes != nullptr)
        notes->append(said);
    return metadata;
}

std::unique_ptr<CBitmapEx::Metadata> CBitmapEx::Metadata::fromParts(const CodecPicture& parts)
{
    auto metadata = std::make_unique<Metadata>();
    try {
        if (!parts.exif.isEmpty()) {
            Exiv2::ExifParser::decode(metadata->exif,
                reinterpret_cast<const Exiv2::byte*>(parts.exif.constData()),
                static_cast<uint32_t>(parts.exif.size()));
        }
        if (!parts.xmp.isEmpty())
            Exiv2::XmpParser::decode(metadata->xmp, parts.xmp.toStdString());
    } catch (const std::exception&) {
        // A damaged block costs the metadata, never the picture.
        metadata->exif.clear();
        metadata->xmp.clear();
    }
    if (const auto it = metadata->exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        it != metadata->exif.end())
        it->setValue("1");
    replaceIfPresent(metadata->xmp, "Xmp.tiff.Orientation", 1);
    metadata->icc = parts.icc;
    if (metadata->exif.empty() && metadata->xmp.empty() && metadata->icc.isEmpty())
        return nullptr;
    return metadata;
}

Exiv2::ExifData CBitmapEx::Metadata::exifForResult(
    int32_t width, int32_t height, int32_t orientation) const
{
    Exiv2::ExifData outExif = exif;
    for (const char* key : kSourceLayoutTags) {
        const auto it = outExif.findKey(Exiv2::ExifKey(key));
        if (it != outExif.end())
            outExif.erase(it);
    }
    // The thumbnail shows the unfiltered picture, and further pages or
    // sub-images of a TIFF source are not part of the result.
    Exiv2::ExifThumb(outExif).erase();
    for (auto it = outExif.begin(); it != outExif.end();) {
        const std::string group = it->groupName();
        if (startsWith(group, "SubImage") || startsWith(group, "SubThumb")
            || (startsWith(group, "Image") && group != "Image"))
            it = outExif.erase(it);
        else
            ++it;
    }
    replaceIfPresent(outExif, "Exif.Photo.PixelXDimension", static_cast<uint32_t>(width));
    replaceIfPresent(outExif, "Exif.Photo.PixelYDimension", static_cast<uint32_t>(height));
    // The pixels are saved as they were stored, unrotated, so the tag
    // must keep telling viewers how to turn them.
    if (!outExif.empty() && orientation >= 1 && orientation <= 8)
        outExif["Exif.Image.Orientation"] = static_cast<uint16_t>(orientation);
    if (!outExif.empty())
        outExif["Exif.Image.Software"] = writtenBy();
    return outExif;
}

Exiv2::XmpData CBitmapEx::Metadata::xmpForResult(int32_t width, int32_t height) const
{
    Exiv2::XmpData outXmp = xmp;
    if (!outXmp.empty())
        outXmp["Xmp.tiff.Software"] = writtenBy();
    replaceIfPresent(outXmp, "Xmp.exif.PixelXDimension", static_cast<uint32_t>(width));
    replaceIfPresent(outXmp, "Xmp.exif.PixelYDimension", static_cast<uint32_t>(height));
    return outXmp;
}

void CBitmapEx::Metadata::encodeForResult(int32_t width, int32_t height, int32_t orientation,
    QByteArray& exifBytes, QByteArray& xmpBytes) const
{
    exifBytes.clear();
    xmpBytes.clear();
    try {
        const Exiv2::ExifData outExif = exifForResult(width, height, orientation);
        if (!outExif.empty()) {
            Exiv2::Blob blob;
            Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, outExif);
            exifBytes = QByteArray(
                reinterpret_cast<const char*>(blob.data()), static_cast<qsizetype>(blob.size()));
        }
        Exiv2::XmpData outXmp = xmpForResult(width, height);
        if (orientation >= 1 && orientation <= 8)
            replaceIfPresent(outXmp, "Xmp.tiff.Orientation", static_cast<uint32_t>(orientation));
        std::string packet;
        if (!outXmp.empty() && Exiv2::XmpParser::encode(packet, outXmp) == 0)
            xmpBytes = QByteArray::fromStdString(packet);
    } catch (const std::exception&) {
        // Metadata is a courtesy: the picture is written without it.
        exifBytes.clear();
        xmpBytes.clear();
    }
}

void CBitmapEx::Metadata::embed(Exiv2::Image& image, const Exiv2::ExifData& outExif,
    const Exiv2::XmpData& outXmp, const QByteArray& format, bool addProfile) const
{
    const auto writable = [&image](Exiv2::MetadataId kind) {
        return (image.checkMode(kind) & Exiv2::amWrite) != 0;
    };
    if (!outExif.empty() && writable(Exiv2::mdExif))
        image.setExifData(outExif);
    if (!outXmp.empty() && writable(Exiv2::mdXmp))
        image.setXmpData(outXmp);
    if (!iptc.empty() && writable(Exiv2::mdIptc))
        image.setIptcData(iptc);
    // Profiles that the image library can parse were embedded by its
    // encoder. The metadata library's own PNG profile chunk is rejected by
    // common PNG readers, so a PNG goes without a profile it cannot carry.
    if (addProfile && !icc.isEmpty() && format != "png") {
        Exiv2::DataBuf profile(
            reinterpret_cast<const Exiv2::byte*>(icc.constData()), static_cast<long>(icc.size()));
        try {
            image.setIccProfile(profile, true);
        } catch (const std::exception&) {
            // A malformed profile is left out; the rest is still worth keeping.
        }
    }
}

namespace {

// The whole file the metadata library holds, or empty when it cannot be
// read back.
QByteArray fileOf(Exiv2::BasicIo& io)
{
    if (io.open() != 0)
        return {};
    const long size = io.size();
    if (size <= 0)
        return {};
    QByteArray result(size, Qt::Uninitialized);
    const long got = io.read(reinterpret_cast<Exiv2::byte*>(result.data()), size);
    io.close();
    return got == size ? result : QByteArray();
}

// Whether `file` still reads as a picture of this size: rewriting the file
// structure must not cost the picture.
bool readsBackAs(QByteArray& file, const QByteArray& format, int32_t width, int32_t height)
{
    QBuffer check(&file);
    check.open(QIODevice::ReadOnly);
    QImageReader reader(&check, format);
    return reader.canRead() && reader.size() == QSize(width, height);
}

} // namespace

QByteArray CBitmapEx::Metadata::addTo(const QByteArray& encoded, const QByteArray& format,
    int32_t width, int32_t height, int32_t orientation, bool addProfile) const
{
    try {
        const Exiv2::ExifData outExif = exifForResult(width, height, orientation);
        const Exiv2::XmpData outXmp = xmpForResult(width, height);
        auto image
            = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(encoded.constData()),
                static_cast<long>(encoded.size()));
        image->readMetadata();
        embed(*image, outExif, outXmp, format, addProfile);
        image->writeMetadata();
        QByteArray result = fileOf(image->io());
        // When the result no longer reads as the same picture, the caller
        // keeps the plain encoding.
        if (result.isEmpty() || !readsBackAs(result, format, width, height))
            return {};
        return result;
    } catch (const std::exception&) {
        return {};
    }
}

void CBitmapEx::readExif(const Metadata& metadata, CExifFormatter& exif)
{
    if (!metadata.exif.empty()) {
        exif.readFrom(metadata.exif);
    } else if (!metadata.xmp.empty()) {
        // Some programs keep the camera data only as XMP.
        try {
            Exiv2::ExifData converted;
            Exiv2::copyXmpToExif(metadata.xmp, converted);
            exif.readFrom(converted);
        } catch (const std::exception&) {
            exif.clear();
        }
    }
}

CBitmapEx::CBitmapEx() = default;
CBitmapEx::~CBitmapEx() = default;

namespace {

// What decoding a file gives: the pixels, and what the decoder said on the
// way that did not spoil the picture.
struct Decoded {
    PixelBuffers pixels;
    QStringList notes;
    // A HEIF or JPEG XL file's metadata, which its decoder reads.
    std::optional<CodecPicture> parts;
};

bool isPrematureEnd(const QString& message)
{
    return message.contains(QLatin1String("premature end"), Qt::CaseInsensitive);
}

QString damagedFile(const QString& problem)
{
    return CBitmapEx::tr("damaged file: %1").arg(problem);
}

// Frames (GIF) or pages (TIFF) in the file. Counted by a reader of its own:
// the TIFF plugin counts from wherever an earlier call left the stream.
int frameCount(const QByteArray& bytes, const QByteArray& format)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader counter(&buffer, format);
    return std::max(1, counter.imageCount());
}

// The size check that every picture passes before its pixels are
// allocated, whoever decodes it.
QString declaredProblem(const QByteArray& format, int64_t width, int64_t height, int64_t fileBytes)
{
    QString reason = sizeProblem(width, height);
    if (reason.isEmpty()) {
        if (const QString problem = declaredSizeProblem(format, width, height, fileBytes);
            !problem.isEmpty())
            reason = damagedFile(problem);
    }
    return reason;
}

// Reads the header of the file in `reader`: its format and declared size.
// Refuses, before any pixel is allocated, a format that is not ours and a
// size that is too large or that the file is far too short to hold.
bool checkHeader(
    QImageReader& reader, int64_t fileBytes, QByteArray& format, QSize& declared, QString& reason)
{
    // The pixels stay as stored: the EXIF orientation goes unchanged into the
    // saved file, and pixels turned here would be turned again by viewers.
    reader.setAutoTransform(false);
    if (!reader.canRead()) {
        reason = reader.errorString();
        return false;
    }
    format = reader.format().toLower();
    if (!isReadableFormat(format)) {
        reason = CBitmapEx::tr("%1 files are not supported; %2 are.")
                     .arg(QString::fromLatin1(format).toUpper(), readableNames());
        return false;
    }
    declared = reader.size();
    if (!declared.isValid())
        return true;
    reason = declaredProblem(format, declared.width(), declared.height(), fileBytes);
    return reason.isEmpty();
}

// "heic", "avif", "jxl" or "raw" for a file that a library reads whole, else
// empty. `rawByName`: the file's name is a camera raw file's.
QByteArray codecFormatOf(const QByteArray& bytes, bool rawByName)
{
    if (isJxl(bytes))
        return "jxl";
    if (isCameraRaw(bytes, rawByName))
        return "raw";
    return heifFormatOf(bytes);
}

bool hasRawName(const QString& path)
{
    const FileFormat* format = fileFormatOfExtension(QFileInfo(path).suffix());
    return format != nullptr && format->key == "raw";
}

// Reads a file of `format` (a codecFormatOf() one), its pixels too unless
// `pixels` is null, refusing a declared size that cannot be held or that the
// file is far too short for before the library decodes a pixel.
bool readCodecFile(const QByteArray& bytes, const QByteArray& format, CodecPicture& picture,
    PixelBuffers* pixels, QString& reason)
{
    if (!isReadableFormat(format)) {
        reason = CBitmapEx::tr("this system's libheif cannot decode %1 files.")
                     .arg(QString::fromLatin1(format).toUpper());
        return false;
    }
    const SizeCheck check = [&](int64_t width, int64_t height) {
        return declaredProblem(format, width, height, bytes.size());
    };
    const CodecReading reading = format == "jxl" ? readJxl(bytes, check, picture, pixels, reason)
        : format == "raw"                        ? readRaw(bytes, check, picture, pixels, reason)
                                                 : readHeif(bytes, check, picture, pixels, reason);
    if (reading == CodecReading::Damaged)
        reason = damagedFile(reason);
    return reading == CodecReading::Done;
}

// The decoder's own words say more than our fallback, when it said any.
QString decoderWords(const DecoderMessages& messages, const QString& fallback)
{
    return messages.messages().isEmpty() ? fallback : messages.messages().join(QLatin1String("; "));
}

// A JPEG cut short still decodes: the decoder fills the missing rows with
// grey and says so only in a warning. Empty when it said no such thing.
QString prematureEndProblem(const DecoderMessages& messages)
{
    for (const QString& message : messages.messages()) {
        if (isPrematureEnd(message))
            return damagedFile(message);
    }
    return {};
}

// A TIFF file's layout decides which reader takes its pixels, if any.
bool checkTiffLayout(
    const QByteArray& bytes, const DecoderMessages& messages, TiffLayout& tiff, QString& reason)
{
    QString why;
    if (!readTiffLayout(bytes, tiff, why)) {
        reason = damagedFile(decoderWords(messages, why));
        return false;
    }
    if (tiff.reader == TiffLayout::Reader::None) {
        reason = tiff.refusal;
        return false;
    }
    return true;
}

// JPEG goes straight into the pixel buffers; only files in inks are left
// (`jpeg` NotOurs) to the general reader.
bool decodeJpegFile(const QByteArray& bytes, PixelBuffers& pixels, DecoderMessages& messages,
    JpegDecoding& jpeg, QString& reason)
{
    QString why;
    jpeg = decodeJpeg(bytes, pixels, messages, why);
    if (jpeg == JpegDecoding::OutOfMemory) {
        reason = why;
        return false;
    }
    if (jpeg == JpegDecoding::Damaged) {
        reason = damagedFile(decoderWords(messages, why));
        return false;
    }
    if (jpeg == JpegDecoding::Done) {
        if (const QString problem = prematureEndProblem(messages); !problem.isEmpty()) {
            pixels = PixelBuffers();
            reason = problem;
            return false;
        }
    }
    return true;
}

// The layout's size is checked as a declared one would be, before our own
// decoder allocates a pixel.
bool decodeOwnTiff(const QByteArray& bytes, const QByteArray& format, const TiffLayout& tiff,
    const DecoderMessages& messages, PixelBuffers& pixels, QString& reason)
{
    reason = declaredProblem(format, tiff.width, tiff.height, bytes.size());
    if (!reason.isEmpty())
        return false;
    QString why;
    const TiffDecoding decoding = decodeTiff(bytes, pixels, why);
    if (decoding != TiffDecoding::Done) {
        reason = decoding == TiffDecoding::OutOfMemory ? why
                                                       : damagedFile(decoderWords(messages, why));
        return false;
    }
    return true;
}

// What our own decoders leave: the other formats, and JPEG in inks.
bool decodeWithReader(QImageReader& reader, const QByteArray& bytes, const QByteArray& format,
    const DecoderMessages& messages, PixelBuffers& pixels, QString& reason)
{
    QImage picture;
    if (!reader.read(&picture)) {
        reason = damagedFile(decoderWords(messages, reader.errorString()));
        return false;
    }
    // The declared size is only a promise; the decoded one is what counts.
    reason = sizeProblem(picture.width(), picture.height());
    if (!reason.isEmpty())
        return false;
    if (const QString problem = prematureEndProblem(messages); !problem.isEmpty()) {
        reason = problem;
        return false;
    }
    const int32_t width = picture.width();
    const int32_t height = picture.height();
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
    if (!takePicture(picture, pixels, storedAsGrey(format, data, bytes.size()))) {
        reason = CBitmapEx::tr("not enough memory for a %1 × %2 picture.").arg(width).arg(height);
        return false;
    }
    return true;
}

// What was said on the way that did not spoil the picture.
void addDecoderNotes(const QByteArray& bytes, const QByteArray& format,
    const DecoderMessages& messages, QStringList& notes)
{
    for (const QString& message : messages.messages())
        notes.append(CBitmapEx::tr("the decoder reported: %1").arg(message));
    const int frames = frameCount(bytes, format);
    if (frames > 1)
        notes.append(CBitmapEx::tr("it holds %1 frames; only the first is denoised.").arg(frames));
}

// Decodes `bytes`, refusing what the header or the file's structure already
// shows to be too large or damaged. On failure `reason` says why.
bool decodePicture(const QByteArray& bytes, bool rawByName, Decoded& decoded, QString& reason)
{
    if (const QByteArray codec = codecFormatOf(bytes, rawByName); !codec.isEmpty()) {
        decoded.parts.emplace();
        if (!readCodecFile(bytes, codec, *decoded.parts, &decoded.pixels, reason))
            return false;
        if (!decoded.parts->note.isEmpty())
            decoded.notes.append(decoded.parts->note);
        return true;
    }
    // Made before the reader, so that what the header check says is heard too.
    DecoderMessages messages;
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    QByteArray format;
    QSize declared;
    if (!checkHeader(reader, bytes.size(), format, declared, reason))
        return false;
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
    if (const QString problem = structureProblem(format, data, bytes.size()); !problem.isEmpty()) {
        reason = damagedFile(problem);
        return false;
    }
    TiffLayout tiff;
    if (format == "tiff" && !checkTiffLayout(bytes, messages, tiff, reason))
        return false;
    JpegDecoding jpeg = JpegDecoding::NotOurs;
    if (format == "jpeg" && !decodeJpegFile(bytes, decoded.pixels, messages, jpeg, reason))
        return false;
    if (jpeg != JpegDecoding::Done) {
        const bool read = tiff.reader == TiffLayout::Reader::Own
            ? decodeOwnTiff(bytes, format, tiff, messages, decoded.pixels, reason)
            : decodeWithReader(reader, bytes, format, messages, decoded.pixels, reason);
        if (!read)
            return false;
    }
    addDecoderNotes(bytes, format, messages, decoded.notes);
    return true;
}

// What a file stores per pixel, from the format its decoder will deliver
// (`grey` when the file says it stores grey that the decoder delivers in
// colour); a format the header does not tell (a GIF's) is 8-bit colour.
void describeStoredFormat(QImage::Format format, bool grey, CBitmapEx::Header& header)
{
    const QImage::Format sixteenBit[]
        = { QImage::Format_RGBX64, QImage::Format_RGBA64, QImage::Format_RGBA64_Premultiplied };
    header.bitsPerChannel = 8;
    header.channels = grey ? 1 : 3;
    if (format == QImage::Format_Grayscale16) {
        header.bitsPerChannel = 16;
        header.channels = 1;
    } else if (std::find(std::begin(sixteenBit), std::end(sixteenBit), format)
        != std::end(sixteenBit)) {
        header.bitsPerChannel = 16;
    } else if (format == QImage::Format_Grayscale8) {
        header.channels = 1;
    } else if (format == QImage::Format_Mono || format == QImage::Format_MonoLSB) {
        header.bitsPerChannel = 1;
        header.channels = 1;
    }
    header.alpha = format != QImage::Format_Invalid && QImage(1, 1, format).hasAlphaChannel();
}

// The depth load() gives a picture of this kind: 8-bit colour or grey, or
// 16-bit colour or grey.
int32_t loadedBitsPerPixel(int32_t bitsPerChannel, int32_t channels)
{
    if (bitsPerChannel < 16)
        return channels == 1 ? 8 : 32;
    return channels == 1 ? 16 : 48;
}

// The bytes of the image file at `path`, mapped into memory when the system
// allows it: the checks and the decoder then see every byte without a second
// copy of the file in memory.
class ImageFile {
public:
    bool open(const QString& path, QString& reason)
    {
        // A folder on the way that may not be searched hides the file as
        // well as a missing one, but the user needs to know which it is.
        reason = lookUpProblem(path);
        if (!reason.isEmpty())
            return false;
        if (const QString kind = irregularFileKind(path); !kind.isEmpty()) {
            reason = CBitmapEx::tr("%1, not an image file.").arg(kind);
            return false;
        }
        // The reader would call an unreadable file "not found" and an empty
        // one "unsupported"; the real reasons are more use to the user.
        m_file.setFileName(path);
        if (!m_file.open(QIODevice::ReadOnly)) {
            reason = m_file.errorString();
            return false;
        }
        const int64_t size = m_file.size();
        if (size == 0) {
            reason = CBitmapEx::tr("the file is empty.");
            return false;
        }
        m_mapped = m_file.map(0, size);
        if (m_mapped != nullptr) {
            m_bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(m_mapped), size);
            return true;
        }
        try {
            m_bytes = m_file.readAll();
        } catch (const std::bad_alloc&) {
            reason = CBitmapEx::tr("not enough memory to read the file.");
            return false;
        }
        if (m_bytes.size() != size) {
            reason = m_file.errorString();
            return false;
        }
        return true;
    }

    ~ImageFile()
    {
        m_bytes.clear();
        if (m_mapped != nullptr)
            m_file.unmap(m_mapped);
    }

    const QByteArray& bytes() const { return m_bytes; }

private:
    QFile m_file;
    uchar* m_mapped = nullptr;
    QByteArray m_bytes;
};

} // namespace

bool CBitmapEx::load(const QString& path, QString* error)
{
    prepareLibraries();
    QString reason;
    ImageFile file;
    if (file.open(path, reason) && loadBytes(file.bytes(), hasRawName(path), &reason))
        return true;
    if (error)
        *error = tr("Cannot open \"%1\": %2").arg(QDir::toNativeSeparators(path), reason);
    return false;
}

bool CBitmapEx::readHeader(const QString& path, Header& header, QString* error)
{
    prepareLibraries();
    QString reason;
    ImageFile file;
    if (file.open(path, reason) && readHeaderBytes(file.bytes(), hasRawName(path), header, reason))
        return true;
    if (error)
        *error = tr("Cannot open \"%1\": %2").arg(QDir::toNativeSeparators(path), reason);
    return false;
}

bool CBitmapEx::readCodecHeader(
    const QByteArray& bytes, const QByteArray& format, Header& header, QString& reason)
{
    CodecPicture picture;
    if (!readCodecFile(bytes, format, picture, nullptr, reason))
        return false;
    header.format = format;
    header.width = picture.width;
    header.height = picture.height;
    header.bitsPerChannel = picture.bitsPerChannel;
    header.channels = picture.grey ? 1 : 3;
    header.alpha = picture.alpha;
    header.bitsPerPixel
        = loadedBitsPerPixel(header.bitsPerChannel > 8 ? 16 : 8, picture.decodedColours);
    header.frames = 1;
    header.note = picture.note;
    header.exif.clear();
    if (const std::unique_ptr<Metadata> metadata = Metadata::fromParts(picture))
        readExif(*metadata, header.exif);
    header.exif.setPictureSize(header.width, header.height);
    header.exif.setDevelopedFromRaw(picture.developedFromRaw);
    return true;
}

bool CBitmapEx::readHeaderBytes(
    const QByteArray& bytes, bool rawByName, Header& header, QString& reason)
{
    if (const QByteArray codec = codecFormatOf(bytes, rawByName); !codec.isEmpty())
        return readCodecHeader(bytes, codec, header, reason);
    DecoderMessages messages;
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    QSize declared;
    if (!checkHeader(reader, bytes.size(), header.format, declared, reason))
        return false;
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
    if (const QString problem = structureProblem(header.format, data, bytes.size());
        !problem.isEmpty()) {
        reason = tr("damaged file: %1").arg(problem);
        return false;
    }
    if (!declared.isValid()) {
        reason = tr("damaged file: its header gives no size.");
        return false;
    }
    header.width = declared.width();
    header.height = declared.height();
    TiffLayout tiff;
    if (header.format == "tiff" && !readTiffLayout(bytes, tiff, reason)) {
        reason = tr("damaged file: %1").arg(reason);
        return false;
    }
    if (tiff.reader == TiffLayout::Reader::None) {
        reason = tiff.refusal;
        return false;
    }
    if (tiff.reader == TiffLayout::Reader::Own) {
        header.bitsPerChannel = tiff.bitsPerSample;
        header.channels = tiff.colours;
        header.alpha = tiff.alpha;
    } else {
        describeStoredFormat(
            reader.imageFormat(), storedAsGrey(header.format, data, bytes.size()), header);
    }
    header.bitsPerPixel = loadedBitsPerPixel(header.bitsPerChannel, header.channels);
    header.frames = frameCount(bytes, header.format);
    header.exif.clear();
    if (const std::unique_ptr<Metadata> metadata = Metadata::read(bytes))
        readExif(*metadata, header.exif);
    header.exif.setPictureSize(header.width, header.height);
    return true;
}

bool CBitmapEx::loadFromData(const QByteArray& bytes, QString* error)
{
    prepareLibraries();
    QString reason;
    if (bytes.isEmpty())
        reason = tr("the data is empty.");
    else if (loadBytes(bytes, false, &reason))
        return true;
    if (error)
        *error = tr("Cannot open the image: %1").arg(reason);
    return false;
}

bool CBitmapEx::loadBytes(const QByteArray& bytes, bool rawByName, QString* reason)
{
    Decoded decoded;
    std::unique_ptr<CBitmapEx> companion;
    try {
        if (!decodePicture(bytes, rawByName, decoded, *reason))
            return false;
        // The decoder's own copy is gone by now, so that no more than two
        // full-size images exist at a time.
        if (m_keepsOriginal)
            companion = std::make_unique<CBitmapEx>();
        if (companion && !copyPixels(decoded.pixels, companion->m_pixels)) {
            *reason = tr("not enough memory for a %1 × %2 picture.")
                          .arg(decoded.pixels.width)
                          .arg(decoded.pixels.height);
            return false;
        }
    } catch (const std::bad_alloc&) {
        *reason = tr("not enough memory to decode the picture.");
        return false;
    }

    std::unique_ptr<Metadata> metadata = decoded.parts ? Metadata::fromParts(*decoded.parts)
                                                       : Metadata::read(bytes, &decoded.notes);
    CExifFormatter exif;
    if (metadata)
        readExif(*metadata, exif);

    m_original = std::move(companion);
    m_pixels = std::move(decoded.pixels);
    m_exif = std::move(exif);
    m_exif.setPictureSize(width(), height());
    m_exif.setDevelopedFromRaw(decoded.parts && decoded.parts->developedFromRaw);
    m_metadata = std::move(metadata);
    m_decoderNotes = std::move(decoded.notes);
    return true;
}

bool CBitmapEx::save(const QString& path, int jpegQuality, bool keepHighDepth, QString* error) const
{
    SaveOptions options;
    options.jpegQuality = jpegQuality;
    options.keepHighDepth = keepHighDepth;
    return save(path, options, error);
}

bool CBitmapEx::save(const QString& path, const SaveOptions& options, QString* error) const
{
    prepareLibraries();
    const auto fail = [&](const QString& reason) {
        if (error)
            *error = tr("Cannot save \"%1\": %2").arg(QDir::toNativeSeparators(path), reason);
        return false;
    };
    const QFileInfo info(path);
    if (info.isDir())
        return fail(tr("it is a folder."));
    if (const QString problem = folderLookUpProblem(info.absolutePath()); !problem.isEmpty())
        return fail(problem);

    // Encoded in memory first: the destination, which may be the source file
    // itself, is touched only once the complete file exists.
    QByteArray encoded;
    QString reason;
    try {
        // The name decides the format, so that a file called .png or .tif
        // really is one.
        const QByteArray format = outputFormatFor(path);
        bool iccWritten = false;
        if (!encode(format, options, encoded, iccWritten, reason))
            return fail(isStopped(options) ? tr("the save was stopped.") : reason);
        if (m_metadata && !encoderPlacesMetadata(format)) {
            // Metadata is a courtesy: when it cannot be added, the picture is
            // still saved, without it.
            QByteArray withMetadata = m_metadata->addTo(encoded, format, width(), height(),
                m_exif.record().orientation,
                !iccWritten && m_metadata->profileSuits(m_pixels.isGrey()));
            if (!withMetadata.isEmpty())
                encoded = std::move(withMetadata);
        }
    } catch (const std::bad_alloc&) {
        return fail(tr("not enough memory to encode the picture."));
    }
    if (isStopped(options))
        return fail(tr("the save was stopped."));
    if (!writeFileAtomically(path, encoded, &reason, options.mayReplace))
        return fail(reason);
    return true;
}

QByteArray CBitmapEx::embeddableProfile() const
{
    // A profile that Qt cannot parse is left to the metadata step, which
    // embeds it where the format allows; a PNG goes without it.
    if (!m_metadata || !m_metadata->profileSuits(m_pixels.isGrey()))
        return {};
    // Qt's remarks on a profile it rejects are not the user's concern.
    DecoderMessages remarks;
    return QColorSpace::fromIccProfile(m_metadata->icc).isValid() ? m_metadata->icc : QByteArray();
}

EncodeRequest CBitmapEx::encodeRequest(
    const SaveOptions& options, const QByteArray& icc, bool sixteenBits) const
{
    EncodeRequest request;
    request.width = width();
    request.height = height();
    request.channels = outputChannels(m_pixels, true);
    request.bitsPerChannel = sixteenBits ? 16 : 8;
    request.compression = options.compression;
    request.iccProfile = icc;
    request.threadCount = options.threadCount;
    request.stop = options.stop;
    request.quality = qualityOf(options);
    request.readRow = [this, channels = request.channels, sixteenBits](int32_t y, void* samples) {
        readRow(m_pixels, y, channels, sixteenBits, samples);
    };
    return request;
}

int CBitmapEx::qualityOf(const SaveOptions& options)
{
    // A value outside 0..100 is a damaged setting and falls back to the
    // default.
    return options.jpegQuality >= 0 && options.jpegQuality <= 100 ? options.jpegQuality
                                                                  : kDefaultJpegQuality;
}

bool CBitmapEx::encode(const QByteArray& format, const SaveOptions& options, QByteArray& file,
    bool& iccWritten, QString& reason) const
{
    prepareLibraries();
    if (isNull()) {
        reason = tr("there is no image to save.");
        return false;
    }
    const QByteArray icc = embeddableProfile();
    iccWritten = !icc.isEmpty();
    if (format == "jpeg") {
        // A JPEG holds 8 bits and no alpha: it gets the picture at 8 bits,
        // composited over black, at the caller's quality.
        JpegEncodeRequest request;
        request.quality = qualityOf(options);
        request.iccProfile = icc;
        request.stop = options.stop;
        return encodeJpeg(m_pixels, request, file, reason);
    }
    // The lossless formats keep the alpha, and the 16 bits when the
    // image has them and the caller asks for them.
    const FileFormat* written = formatByKey(format);
    const bool sixteenBits = options.keepHighDepth && m_pixels.isHighDepth() && written != nullptr
        && writesHighDepth(*written);
    EncodeRequest request = encodeRequest(options, icc, sixteenBits);
    if (format == "png")
        return encodePng(request, file, reason);
    if (format == "tiff")
        return encodeTiff(request, file, reason);
    if (format == "webp")
        return encodeWebp(request, file, reason);
    if (!encoderPlacesMetadata(format)) {
        reason = tr("%1 files cannot be written.").arg(QString::fromLatin1(format).toUpper());
        return false;
    }
    const int orientation = m_exif.record().orientation;
    if (format == "jxl") {
        // The file's own orientation field turns the stored pixels, as the
        // EXIF tag does.
        if (m_metadata) {
            m_metadata->encodeForResult(width(), height(), orientation, request.exif, request.xmp);
        }
        return encodeJxl(request, orientation, file, reason);
    }
    // The pixels are saved turned as they are shown, and the tags say so.
    const bool turned = orientation >= 5 && orientation <= 8;
    if (m_metadata) {
        m_metadata->encodeForResult(
            turned ? height() : width(), turned ? width() : height(), 1, request.exif, request.xmp);
    }
    return encodeHeif(request, format, orientation, file, reason);
}

ImageDesc CBitmapEx::description() const
{
    return m_pixels.displayDescription();
}

ImageDesc CBitmapEx::originalDescription() const
{
    return m_original ? m_original->description() : ImageDesc {};
}

ImageDesc CBitmapEx::untouchedDescription() const
{
    return m_original ? m_original->description() : description();
}

uint8_t* CBitmapEx::highDepthPixels() const
{
    return reinterpret_cast<uint8_t*>(m_pixels.highDepth.get());
}

bool CBitmapEx::restoreFromOriginal()
{
    if (m_original)
        restorePixels(m_original->m_pixels, m_pixels);
    return true;
}

bool CBitmapEx::separateOriginal(bool wholeImage)
{
    if (m_original || isNull())
        return true;
    auto companion = std::make_unique<CBitmapEx>();
    PixelBuffers& loaded = companion->m_pixels;
    SampleLayout layout;
    layout.colours = m_pixels.colours();
    layout.sixteenBits = m_pixels.isHighDepth();
    try {
        if (!startPicture(loaded, width(), height(), layout))
            return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    // The loaded buffers move to the companion; the working image keeps
    // its alpha and colours as given, and takes the new buffers.
    std::swap(loaded.display, m_pixels.display);
    std::swap(loaded.highDepth, m_pixels.highDepth);
    if (!wholeImage)
        restorePixels(loaded, m_pixels);
    m_original = std::move(companion);
    return true;
}

bool CBitmapEx::widenToHighDepth()
{
    if (!m_original && !m_pixels.isHighDepth())
        return calmora::widenToHighDepth(m_pixels);
    if (!m_original || m_pixels.isHighDepth())
        return !isNull();
    // Widened from the original, with the alpha and the colours as given
    // that only the working image holds.
    PixelBuffers original;
    if (!copyPixels(m_original->m_pixels, original))
        return false;
    original.alpha = std::move(m_pixels.alpha);
    original.straight = std::move(m_pixels.straight);
    PixelBuffers working;
    if (!calmora::widenToHighDepth(original) || !copyPixels(original, working)) {
        // Nothing changes: the widened colours go back to 8 bits, exactly.
        if (original.isHighDepth() && original.straight) {
            const int64_t samples = int64_t { width() } * height() * original.colours();
            for (int64_t i = 0; i < samples; ++i)
                original.straight[i] = static_cast<uint16_t>(original.straight[i] / 257);
        }
        m_pixels.alpha = std::move(original.alpha);
        m_pixels.straight = std::move(original.straight);
        return false;
    }
    working.alpha = std::move(original.alpha);
    working.straight = std::move(original.straight);
    m_original->m_pixels = std::move(original);
    m_pixels = std::move(working);
    return true;
}

QImage CBitmapEx::region(const QRect& rect, bool original, int32_t step) const
{
    const CBitmapEx* source = original ? m_original.get() : this;
    return source ? displayRegion(source->m_pixels, rect, step) : QImage();
}

QImage CBitmapEx::toQImage(bool original) const
{
    const CBitmapEx* source = original ? m_original.get() : this;
    return source ? displayPicture(source->m_pixels) : QImage();
}

bool CBitmapEx::keepsHighDepth(const QString& path)
{
    const FileFormat* format = formatByKey(outputFormatFor(path));
    return format != nullptr && writesHighDepth(*format);
}

} // namespace calmora
