#include "noisy_picture.h"

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

bool writeNoisyPicture(const QString& path, int width, int height, unsigned seed)
{
    const bool named = path.section(QLatin1Char('/'), -1).contains(QLatin1Char('.'));
    return noisyPicture(width, height, seed).save(path, named ? nullptr : "PNG");
}

} // namespace calmora
