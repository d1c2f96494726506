#include "bench/bench_photo.h"
#include "bench/bench_random.h"
#include "document/tessolin_doc.h"

#include <QImageWriter>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace calmora::bench {

const std::vector<uint16_t>& photo()
{
    static const std::vector<uint16_t> samples = [] {
        std::vector<uint16_t> image(size_t(kWidth) * kHeight * 3);
        Random random;
        struct Disc {
            double x, y, r, colour[3];
        };
        std::vector<Disc> discs;
        for (int i = 0; i < 60; ++i)
            discs.push_back({ random.uniform() * kWidth, random.uniform() * kHeight,
                40 + random.uniform() * 500,
                { random.uniform(), random.uniform(), random.uniform() } });
        for (int32_t y = 0; y < kHeight; ++y) {
            for (int32_t x = 0; x < kWidth; ++x) {
                const double u = double(x) / kWidth;
                const double v = double(y) / kHeight;
                double rgb[3] = { 0.5 + 0.3 * std::sin(6 * u * v), 0.3 + 0.4 * u, 0.2 + 0.6 * v };
                for (const Disc& d : discs) {
                    if ((x - d.x) * (x - d.x) + (y - d.y) * (y - d.y) < d.r * d.r)
                        std::copy(d.colour, d.colour + 3, rgb);
                }
                const double texture = 0.03 * std::sin(x * 0.31 + std::sin(y * 0.05) * 3);
                uint16_t* p = image.data() + (size_t(y) * kWidth + x) * 3;
                for (int c = 0; c < 3; ++c) {
                    const double signal = std::clamp(rgb[c] + texture, 0.0, 1.0);
                    const double sigma = std::sqrt(0.0004 + 0.004 * signal);
                    const double value = signal + sigma * random.gaussian() * 1.7;
                    p[c] = uint16_t(std::clamp(std::lround(value * 65535), 0L, 65535L));
                }
            }
        }
        return image;
    }();
    return samples;
}

EncodeRequest photoRequest(int bits)
{
    EncodeRequest request;
    request.width = kWidth;
    request.height = kHeight;
    request.channels = 3;
    request.bitsPerChannel = bits;
    const std::vector<uint16_t>* samples = &photo();
    request.readRow = [samples, bits](int32_t y, void* out) {
        const uint16_t* row = samples->data() + size_t(y) * kWidth * 3;
        if (bits == 16) {
            std::memcpy(out, row, size_t(kWidth) * 3 * 2);
            return;
        }
        auto* bytes = static_cast<uint8_t*>(out);
        for (size_t i = 0; i < size_t(kWidth) * 3; ++i)
            bytes[i] = uint8_t((row[i] + 128u) / 257u);
    };
    return request;
}

QImage photoImage(int bits)
{
    QImage image(kWidth, kHeight, bits == 8 ? QImage::Format_RGB888 : QImage::Format_RGBX64);
    const EncodeRequest request = photoRequest(bits);
    std::vector<uint16_t> row(size_t(kWidth) * 3);
    for (int32_t y = 0; y < kHeight; ++y) {
        if (bits == 8) {
            request.readRow(y, image.scanLine(y));
            continue;
        }
        request.readRow(y, row.data());
        auto* line = reinterpret_cast<uint16_t*>(image.scanLine(y));
        for (int32_t x = 0; x < kWidth; ++x) {
            std::copy_n(&row[size_t(x) * 3], 3, line + size_t(x) * 4);
            line[size_t(x) * 4 + 3] = 65535;
        }
    }
    return image;
}

QString photoFile()
{
    static QTemporaryDir dir;
    static const QString path = [] {
        const QString file = dir.filePath(QStringLiteral("photo.jpg"));
        QImageWriter writer(file, "jpeg");
        writer.setQuality(92);
        writer.write(photoImage(8));
        return file;
    }();
    return path;
}

bool SilentPrompter::runWholeImage(CTessolinDoc& document)
{
    return document.processWholeImageNow();
}

} // namespace calmora::bench
