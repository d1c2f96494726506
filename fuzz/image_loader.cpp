// The image loader, from bytes in memory, for every format it reads (JPEG,
// TIFF, BMP, GIF, PNG, WebP, HEIC, AVIF, JPEG XL, camera raw, told apart by
// content).
// Any bytes are refused with a reason, leaving the image as it was, or give
// a picture within the size limit and within what so many bytes can
// honestly hold, whose working copy equals its original, with every fourth
// byte of a 32-bit one 255.
//
// The WebP, HEIC and AVIF seeds were made from 16 × 16 ramps with cwebp and
// heif-enc (make_seeds writes the others): ramp.webp lossy,
// alpha-lossless.webp, ramp.heic, ramp10.heic at 10 bits, alpha.avif.
// The JPEG XL seeds were made with cjxl from 16 × 16 ramps (ramp.jxl lossy,
// alpha16-lossless.jxl at 16 bits, grey.jxl) and by calmora-cli from
// exif.jpg (exif.jxl, with its EXIF and XMP boxes).
// mosaic.dng is a 24 × 24 16-bit red-green/green-blue mosaic with the
// camera's EXIF, written with libtiff as the document tests write theirs.

#include "document/bitmap_ex.h"
#include "fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <QBuffer>
#include <QImage>

namespace {

using namespace calmora;
using calmora::fuzz::check;

constexpr int kBytesPerPixel = 4;
// No real picture packs more pixels into a byte of file than a flat one in
// lossless WebP or AVIF (tens of thousands, more the larger it is); far more
// is a decompression bomb, which the loader must refuse before it decodes.
// The allowance keeps tiny honest files clear of the rule.
constexpr int64_t kMaxPixelsPerByte = int64_t { 1 } << 20;
constexpr int64_t kPixelAllowance = int64_t { 1 } << 20;
// The colour the image held before a load that must leave it as it was.
constexpr QRgb kEarlierColour = 0xFF336699;

const QByteArray& earlierPicture()
{
    static const QByteArray png = [] {
        QImage picture(1, 1, QImage::Format_RGB32);
        picture.fill(kEarlierColour);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        picture.save(&buffer, "png");
        return bytes;
    }();
    return png;
}

void checkLoaded(const CBitmapEx& image, size_t fileBytes)
{
    const int64_t pixels = int64_t { image.width() } * image.height();
    check(pixels <= kMaxPixelsPerByte * static_cast<int64_t>(fileBytes) + kPixelAllowance,
        QStringLiteral("a %1-byte file loaded as %2 x %3 pixels")
            .arg(fileBytes)
            .arg(image.width())
            .arg(image.height()));
    check(image.width() > 0 && image.height() > 0
            && pixels * kBytesPerPixel <= CBitmapEx::kMaxBytesPerCopy,
        QStringLiteral("loaded a %1 x %2 picture").arg(image.width()).arg(image.height()));
    const int32_t depth = image.bitsPerPixel();
    check(depth == 32 || depth == 8 || depth == 48 || depth == 16,
        QStringLiteral("%1 bits per pixel").arg(depth));

    const ImageDesc working = image.description();
    const ImageDesc original = image.originalDescription();
    check(working.pixels && original.pixels && working.pixels != original.pixels,
        QStringLiteral("working copy and original do not both exist"));
    const bool highDepth = depth == 48 || depth == 16;
    const int32_t shown = highDepth ? depth / 2 : depth;
    check(original.width == working.width && original.height == working.height
            && original.stride == working.stride && working.bitsPerPixel == shown
            && working.stride == (int64_t { image.width() } * shown / 8 + 3) / 4 * 4,
        QStringLiteral("working copy and original differ in shape"));
    const size_t bytes = static_cast<size_t>(working.stride) * image.height();
    check(std::memcmp(working.pixels, original.pixels, bytes) == 0,
        QStringLiteral("working copy differs from the original"));
    if (depth == 32) {
        for (size_t alpha = 3; alpha < bytes; alpha += kBytesPerPixel)
            if (working.pixels[alpha] != 255)
                check(false,
                    QStringLiteral("pixel %1: fourth byte %2")
                        .arg(alpha / 4)
                        .arg(working.pixels[alpha]));
    } else if (highDepth) {
        const size_t samples = static_cast<size_t>(pixels) * (depth / 16);
        check(image.highDepthPixels() && image.original()->highDepthPixels()
                && std::memcmp(
                       image.highDepthPixels(), image.original()->highDepthPixels(), samples * 2)
                    == 0,
            QStringLiteral("high-depth working copy differs from the original"));
    }
    check(image.toQImage().size() == QSize(image.width(), image.height()),
        QStringLiteral("drawing copy of another size"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The image plugins (JPEG, TIFF, GIF) are found through the application.
    calmora::fuzz::ensureApplication();
    CBitmapEx image;
    QString error;
    check(image.loadFromData(earlierPicture(), &error),
        QStringLiteral("a 1 x 1 PNG refused: ") + error);

    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (image.loadFromData(bytes, &error)) {
        checkLoaded(image, size);
        return 0;
    }
    check(!error.isEmpty(), QStringLiteral("a refusal without a reason"));
    const ImageDesc kept = image.description();
    uint32_t pixel = 0;
    if (kept.pixels)
        std::memcpy(&pixel, kept.pixels, sizeof pixel);
    check(kept.width == 1 && kept.height == 1 && pixel == kEarlierColour,
        QStringLiteral("a refused load changed the image: ") + error);
    return 0;
}
