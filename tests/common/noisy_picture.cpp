#include "noisy_picture.h"

#include <QColor>

#include <algorithm>
#include <cstdint>
#include <random>

namespace calmora {

QImage noisyPicture(int width, int height, unsigned seed)
{
    QImage picture(width, height, QImage::Format_RGB32);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> noise(-20, 20);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int base = 50 + (x + y) * 150 / (width + height);
            row[x] = qRgb(base + noise(random), base + 15 + noise(random), base + noise(random));
        }
    }
    return picture;
}

QImage noisyPicture(int width, int height, QImage::Format format, unsigned seed)
{
    QImage picture(width, height, format);
    uint32_t state = seed;
    const auto level = [](int value) { return static_cast<quint16>(std::clamp(value, 0, 65535)); };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            state = state * 1664525u + 1013904223u;
            const auto noise = [state](int shift) { return static_cast<int>((state >> shift) & 0xfff); };
            const QRgba64 colour
                = QRgba64::fromRgba64(level(x * 900 + noise(0)), level(y * 1200 + noise(8)),
                    level(30000 - x * 300 + noise(16)), level(65535 - x * 600));
            picture.setPixelColor(x, y, QColor::fromRgba64(colour));
        }
    }
    return picture;
}

bool writeNoisyPicture(const QString& path, int width, int height, unsigned seed)
{
    const bool named = path.section(QLatin1Char('/'), -1).contains(QLatin1Char('.'));
    return noisyPicture(width, height, seed).save(path, named ? nullptr : "PNG");
}

} // namespace calmora
