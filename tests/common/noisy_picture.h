// A picture for the tests of every module that reads images: a diagonal
// gradient under seeded noise, the same for the same size and seed.
#pragma once

#include <QImage>
#include <QString>

namespace calmora {

// Values stay inside 30..235, so the noise is never clipped; green sits a
// little above red and blue, so the colour differences are not flat.
QImage noisyPicture(int width, int height, unsigned seed = 11);
// Writes it to `path` (the format by the extension, PNG without one).
bool writeNoisyPicture(const QString& path, int width, int height, unsigned seed = 11);

} // namespace calmora
