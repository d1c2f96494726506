#include "document/image_encoders.h"

#include <QBuffer>
#include <QColorSpace>
#include <QCoreApplication>
#include <QImage>
#include <QImageWriter>

#include <new>
#include <vector>

namespace calmora {

bool encodeWebp(const EncodeRequest& request, QByteArray& file, QString& reason)
{
    file.clear();
    const bool alpha = request.channels == 2 || request.channels == 4;
    const int given = request.channels;
    const int colours = given <= 2 ? 1 : 3;
    QImage picture(
        request.width, request.height, alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    if (picture.isNull()) {
        reason = QCoreApplication::translate(
            "WebpEncoder", "not enough memory to encode the picture.");
        return false;
    }
    // 16-bit rows are asked for at 8 bits: WebP holds no more.
    std::vector<uint8_t> row(static_cast<size_t>(request.width) * given);
    for (int32_t y = 0; y < request.height; ++y) {
        if (request.stop != nullptr && request.stop->load())
            return false;
        request.readRow(y, row.data());
        uint8_t* to = picture.scanLine(y);
        for (int32_t x = 0; x < request.width; ++x) {
            const uint8_t* from = row.data() + int64_t { x } * given;
            for (int c = 0; c < 3; ++c)
                *to++ = from[colours == 1 ? 0 : c];
            if (alpha)
                *to++ = from[colours];
        }
    }
    if (!request.iccProfile.isEmpty())
        picture.setColorSpace(QColorSpace::fromIccProfile(request.iccProfile));
    QBuffer buffer(&file);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "webp");
    // The plugin writes losslessly at 100.
    writer.setQuality(request.quality);
    if (!writer.write(picture)) {
        reason = writer.errorString();
        file.clear();
        return false;
    }
    return true;
}

} // namespace calmora
