// A picture for the tests of every module that reads images: a diagonal
// gradient under seeded noise, the same for the same size, seed and format.
#pragma once

#include <QImage>
#include <QString>

namespace calmora {

// Values stay inside 30..235, so the noise is never clipped; green sits a
// little above red and blue, so the colour differences are not flat.
QImage noisyPicture(int width, int height, unsigned seed = 11);
// For the tests of depths and alpha: drawn at 16 bits into `format`, ramps
// that differ in every channel and row under seeded noise, alpha falling
// across, so that a flipped, channel-swapped or narrowed buffer changes
// every checksum.
QImage noisyPicture(int width, int height, QImage::Format format, unsigned seed = 2024);
// Writes it to `path` (the format by the extension, PNG without one).
bool writeNoisyPicture(const QString& path, int width, int height, unsigned seed = 11);

} // namespace calmora
