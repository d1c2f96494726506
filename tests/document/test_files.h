// Small pictures and files made in code for the document tests.
#pragma once

#include <functional>
#include <vector>

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

#include <exiv2/exiv2.hpp>

#include "document/processing_job.h"
#include "engine/records.h"

namespace calmora::test {

// A worker host that hears nothing; a test overrides what it looks at.
struct QuietHost : WorkerHost {
    void setProgress(ProgressKind, int) override { }
    void runStatus(RunStatus) override { }
    void tileWritten(const Rect&) override { }
    void profileReady() override { }
    void batchFileStage(const QString&, int32_t, int32_t, BatchStage) override { }
    void batchFileSettled(int32_t, int32_t, int64_t, int64_t) override { }
    void batchEnded() override { }
    void reportError(const QString&, const QString&) override { }
    void reportNote(const QString&, const QString&) override { }
};

// 64 x 32, four quadrants (red, green / blue, white) that tell a flipped,
// mirrored or channel-swapped copy apart, each with a small horizontal ramp.
// 16 colours, so GIF can hold it exactly.
QImage quadrantPicture();

// Writes `picture` with Qt's encoder, or with the test's own GIF encoder for
// "gif" (Qt has none). A transparent colour index applies to GIF only.
bool writePicture(
    const QString& path, const QImage& picture, const char* format, int transparentIndex = -1);

// A TIFF written with libtiff as asked, from `samples`: width × height ×
// samplesPerPixel values, pixel after pixel. `photometric` and
// `extraSample` (the last sample's kind, or -1 for none) take libtiff's
// numbers.
struct TiffLayout {
    int32_t width = 37; // odd sizes: rows and tiles end off the grid
    int32_t height = 29;
    int samplesPerPixel = 3;
    int bits = 8;
    int photometric = 2; // RGB
    int extraSample = -1;
    bool planar = false; // each sample in a plane of its own
    bool tiled = false; // 16 x 16 tiles, else strips of 5 rows
    bool deflate = false;
    bool bigEndian = false;
    // A camera's raw data as a DNG: 16-bit samples, one per pixel, under a
    // red, green / green, blue mosaic, with a daylight white balance and
    // the camera's EXIF (Calmora, "Test Camera", ISO 1600, 1/125 s, f/2.8,
    // "2024:05:06 07:08:09").
    bool dng = false;
};
bool writeTiff(const QString& path, const TiffLayout& layout, const std::vector<uint16_t>& samples);

QByteArray readBytes(const QString& path);
bool writeBytes(const QString& path, const QByteArray& bytes);
QStringList listing(const QString& folder);

// Opens `path` with the metadata library, lets `edit` change it and writes
// it back.
void editMetadata(const QString& path, const std::function<void(Exiv2::Image&)>& edit);
Exiv2::Image::AutoPtr readMetadata(const QString& path);

// Largest channel difference between a bottom-up B,G,R buffer and a top-down
// picture, ignoring pixels closer than `margin` to a quadrant edge (lossy
// codecs smear edges). Also fails on a fourth byte other than 255.
struct PixelReport {
    int worst = 0;
    int x = 0;
    int y = 0;
    int badFourthBytes = 0;
};
PixelReport compare(const ImageDesc& desc, const QImage& picture, int margin);

} // namespace calmora::test
