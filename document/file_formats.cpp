#include "document/file_formats.h"

#include <QFileInfo>

#ifdef CALMORA_HAVE_HEIF
#include <libheif/heif.h>
#endif

namespace calmora {

namespace {

// What the formats read through libheif can do in this build: the
// decoders and encoders are plugins of the library, and a distribution may
// leave any of them out.
#ifdef CALMORA_HAVE_HEIF
bool heifDecodes(heif_compression_format format)
{
    return heif_have_decoder_for_format(format) != 0;
}
bool heifEncodes(heif_compression_format format)
{
    return heif_have_encoder_for_format(format) != 0;
}
#endif

std::vector<FileFormat> buildTable()
{
    std::vector<FileFormat> table;
    const auto add = [&table](const char* key, const char* name, QStringList extensions,
                         QStringList mimeTypes, bool writable, QList<int> depths) -> FileFormat& {
        FileFormat format;
        format.key = key;
        format.name = QString::fromLatin1(name);
        format.extensions = std::move(extensions);
        format.mimeTypes = std::move(mimeTypes);
        format.readable = true;
        format.writable = writable;
        format.depths = std::move(depths);
        table.push_back(std::move(format));
        return table.back();
    };
    const auto carries = [](FileFormat& format, bool exif, bool xmp, bool icc) {
        format.exif = exif;
        format.xmp = xmp;
        format.icc = icc;
    };

    FileFormat* format
        = &add("jpeg", "JPEG", { "jpg", "jpeg", "jpe" }, { "image/jpeg" }, true, { 8 });
    format->lossy = true;
    carries(*format, true, true, true);
    format->codec = QStringLiteral("libjpeg-turbo");

    format = &add("png", "PNG", { "png" }, { "image/png" }, true, { 8, 16 });
    format->alpha = format->lossless = true;
    carries(*format, true, true, true);
    format->deepWriteBits = 16;
    format->codec = QStringLiteral("Qt (read), own encoder (write)");

    format = &add("tiff", "TIFF", { "tif", "tiff" }, { "image/tiff" }, true, { 8, 16 });
    format->alpha = format->lossless = true;
    carries(*format, true, true, true);
    format->deepWriteBits = 16;
    format->codec = QStringLiteral("libtiff and Qt (read), own encoder (write)");

    format = &add("bmp", "BMP", { "bmp" }, { "image/bmp", "image/x-bmp" }, false, { 8 });
    format->alpha = format->lossless = true;
    format->codec = QStringLiteral("Qt");

    format = &add("gif", "GIF", { "gif" }, { "image/gif" }, false, { 8 });
    format->alpha = format->lossless = true;
    format->codec = QStringLiteral("Qt");

    format = &add("webp", "WebP", { "webp" }, { "image/webp" }, true, { 8 });
    format->alpha = format->lossy = format->lossless = true;
    carries(*format, true, true, true);
    format->codec = QStringLiteral("Qt's plugin (libwebp)");

#ifdef CALMORA_HAVE_HEIF
    if (heifDecodes(heif_compression_HEVC)) {
        format = &add("heic", "HEIC", { "heic", "heif", "hif" }, { "image/heic", "image/heif" },
            heifEncodes(heif_compression_HEVC), { 8, 10, 12 });
        format->alpha = format->lossy = true;
        carries(*format, true, true, true);
        // Main 10: what phones write and every HEIC reader decodes.
        format->deepWriteBits = 10;
        format->codec = QStringLiteral("libheif (libde265, x265)");
    }
    if (heifDecodes(heif_compression_AV1)) {
        format = &add("avif", "AVIF", { "avif" }, { "image/avif" },
            heifEncodes(heif_compression_AV1), { 8, 10, 12 });
        format->alpha = format->lossy = true;
        carries(*format, true, true, true);
        // 8 bits: the AV1 encoder of Debian 12's libheif cannot write 10.
        format->codec = QStringLiteral("libheif (dav1d, aom)");
    }
#endif
#ifdef CALMORA_HAVE_JXL
    format = &add("jxl", "JPEG XL", { "jxl" }, { "image/jxl" }, true, { 8, 16 });
    format->alpha = format->lossy = format->lossless = true;
    carries(*format, true, true, true);
    format->deepWriteBits = 16;
    format->codec = QStringLiteral("libjxl");
#endif
#ifdef CALMORA_HAVE_RAW
    // Developed into 16-bit colour, never written: a result is a 16-bit
    // TIFF.
    format = &add("raw", "Camera RAW",
        { "dng", "cr2", "cr3", "nef", "arw", "orf", "rw2", "raf", "pef", "srw" },
        { "image/x-adobe-dng", "image/x-canon-cr2", "image/x-canon-cr3", "image/x-nikon-nef",
            "image/x-sony-arw", "image/x-olympus-orf", "image/x-panasonic-rw2",
            "image/x-fuji-raf", "image/x-pentax-pef", "image/x-samsung-srw" },
        false, { 16 });
    format->lossless = true;
    format->exif = true;
    format->codec = QStringLiteral("LibRaw, with its default development");
    format->resultKey = "tiff";
#endif
    return table;
}

QString joinedWithOr(const QStringList& items, const QString& last)
{
    if (items.size() < 2)
        return items.join(QString());
    return items.mid(0, items.size() - 1).join(QStringLiteral(", ")) + last + items.constLast();
}

} // namespace

const std::vector<FileFormat>& fileFormats()
{
    static const std::vector<FileFormat> table = buildTable();
    return table;
}

const FileFormat* formatByKey(const QByteArray& key)
{
    for (const FileFormat& format : fileFormats()) {
        if (format.key == key)
            return &format;
    }
    return nullptr;
}

const FileFormat* fileFormatOfExtension(const QString& extension)
{
    const QString lower = extension.toLower();
    for (const FileFormat& format : fileFormats()) {
        if (format.extensions.contains(lower))
            return &format;
    }
    return nullptr;
}

const FileFormat* writableFormatOfName(const QString& path)
{
    const FileFormat* format = fileFormatOfExtension(QFileInfo(path).suffix());
    return format != nullptr && format->writable ? format : nullptr;
}

const FileFormat* resultFormatOfSource(const QString& path)
{
    const FileFormat* source = fileFormatOfExtension(QFileInfo(path).suffix());
    if (source == nullptr || source->writable)
        return source;
    return source->resultKey.isEmpty() ? nullptr : formatByKey(source->resultKey);
}

QString filterPatterns(const FileFormat& format)
{
    QStringList patterns;
    for (const QString& extension : format.extensions)
        patterns << QStringLiteral("*.") + extension;
    return patterns.join(QLatin1Char(' '));
}

QString filterOf(const FileFormat& format)
{
    return QStringLiteral("%1 (%2)").arg(format.name, filterPatterns(format));
}

QString readablePatterns()
{
    QStringList patterns;
    for (const FileFormat& format : fileFormats()) {
        if (format.readable)
            patterns << filterPatterns(format);
    }
    return patterns.join(QLatin1Char(' '));
}

QString writableExtensionList()
{
    QStringList extensions;
    for (const FileFormat& format : fileFormats()) {
        if (!format.writable)
            continue;
        for (const QString& extension : format.extensions)
            extensions << QLatin1Char('.') + extension;
    }
    return joinedWithOr(extensions, QStringLiteral(" or "));
}

QString readableNames()
{
    QStringList names;
    for (const FileFormat& format : fileFormats()) {
        if (format.readable)
            names << format.name;
    }
    return joinedWithOr(names, QStringLiteral(" and "));
}

QString formatTableText()
{
    const auto yesNo
        = [](bool value) { return value ? QStringLiteral("yes") : QStringLiteral("-"); };
    // The bits per channel results are written at: WebP stays at 8 even
    // from a 16-bit picture.
    const auto written = [](const FileFormat& format) {
        if (!format.writable)
            return QStringLiteral("-");
        return format.deepWriteBits > 8 ? QStringLiteral("8,%1").arg(format.deepWriteBits)
                                        : QStringLiteral("8");
    };
    QString text = QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9\n")
                       .arg(QStringLiteral("Format"), -10)
                       .arg(QStringLiteral("Extensions"), -17)
                       .arg(QStringLiteral("Read"), -5)
                       .arg(QStringLiteral("Write"), -6)
                       .arg(QStringLiteral("Read bits"), -9)
                       .arg(QStringLiteral("Alpha"), -6)
                       .arg(QStringLiteral("Coding"), -17)
                       .arg(QStringLiteral("EXIF XMP ICC"), -13)
                       .arg(QStringLiteral("Codec"));
    for (const FileFormat& format : fileFormats()) {
        QStringList depths;
        for (const int depth : format.depths)
            depths << QString::number(depth);
        const QString coding = format.lossy && format.lossless ? QStringLiteral("lossy or lossless")
            : format.lossy                                     ? QStringLiteral("lossy")
                                                               : QStringLiteral("lossless");
        const QString metadata = QStringLiteral("%1 %2 %3")
                                     .arg(yesNo(format.exif), -4)
                                     .arg(yesNo(format.xmp), -3)
                                     .arg(yesNo(format.icc));
        text += QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9\n")
                    .arg(format.name, -10)
                    .arg(format.extensions.join(QLatin1Char(' ')), -17)
                    .arg(yesNo(format.readable), -5)
                    .arg(written(format), -6)
                    .arg(depths.join(QLatin1Char(',')), -9)
                    .arg(yesNo(format.alpha), -6)
                    .arg(coding, -17)
                    .arg(metadata, -13)
                    .arg(format.codec);
    }
    return text;
}

} // namespace calmora
