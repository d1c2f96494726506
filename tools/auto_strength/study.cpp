// A filter server for the fitting scripts: the engine behind a pipe, so that
// numpy can try noise models and probes on thousands of filterings without
// a process and an encoded file per filtering.
//
// Requests on stdin, answers on stdout, all little-endian:
//   'L' u32 length, path bytes      load a file as calmora-cli does and
//                                   measure its smoothed profile; answers
//                                   i32 width, i32 height, the picture as
//                                   top-down RGB bytes, and the 1004-byte
//                                   profile
//   'F' 16 x i32 settings, RGB bytes of the loaded size
//                                   filters those pixels (8-bit path) with
//                                   the loaded profile; answers RGB bytes
//   'G' 16 x i32 settings, RGB u16 samples
//                                   the same through the 16-bit path;
//                                   answers RGB u16 samples
//   'N'                             the loaded picture's noise estimate:
//                                   8 x 3 f64 variances (Y, Cr, Cb per bin)
//                                   f64 luminance deviation, the white and
//                                   the smoothed estimates (8 x 3 f64 each)
//                                   and 3 x f64 eigenvalue spreads
//   'H' u32 length, folder bytes    looks up a learned profile for the
//                                   loaded file in that profile folder,
//                                   learning nothing; answers i32 photos
//                                   behind it (0: none) and the 1004-byte
//                                   profile, smoothed (the file's own when
//                                   none is found). Found, it is the
//                                   profile 'F' and 'A' use from then on,
//                                   as the program would filter with it
//   'A' i32 threads                 automatic strength on the loaded
//                                   picture: f64 untouched error, i32 count,
//                                   per candidate 16 x i32 settings and f64
//                                   estimate, i32 chosen, i32 filter
//   'R'                             the loaded file's own profile as
//                                   measured, before smoothing (what a
//                                   learned-profile store is offered):
//                                   1004 bytes
//   'Q'                             quits
#include "document/bitmap_ex.h"
#include "engine/engine.h"
#include "settings/auto_strength.h"
#include "settings/derive_params.h"
#include "settings/learned_profile_folder.h"
#include "settings/noise_estimate.h"

#include <QCoreApplication>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <vector>

using namespace calmora;

namespace {

bool readAll(void* data, size_t size)
{
    return std::fread(data, 1, size, stdin) == size;
}

void writeAll(const void* data, size_t size)
{
    std::fwrite(data, 1, size, stdout);
}

int32_t g_width = 0;
int32_t g_height = 0;
NoiseProfile g_profile {};
// The loaded file's own profile unsmoothed and smoothed, and its EXIF, for
// 'H'; g_learned: whether g_profile is a learned one.
NoiseProfile g_raw {};
NoiseProfile g_own {};
ExifRecord g_exif;
bool g_learned = false;
std::vector<uint8_t> g_picture; // as loaded: 32 bits per pixel, bottom-up
int32_t g_stride = 0;

ImageDesc loadedPicture()
{
    return { 0, g_width, g_height, g_stride, 1, 32, g_picture.data() };
}

bool readSettings(FilterParams& params)
{
    FilterSettings settings;
    int32_t values[kFilterFieldCount];
    if (!readAll(values, sizeof values))
        return false;
    for (int f = 0; f < kFilterFieldCount; ++f)
        fieldAt(settings, f) = values[f];
    params = FilterParams {};
    deriveDocumentParams(settings, params);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    for (;;) {
        char command = 0;
        if (!readAll(&command, 1) || command == 'Q')
            return 0;
        if (command == 'L') {
            uint32_t length = 0;
            readAll(&length, 4);
            std::string path(length, '\0');
            readAll(path.data(), length);
            CBitmapEx image;
            QString error;
            if (!image.load(QString::fromStdString(path), &error) || image.bitsPerPixel() != 32) {
                const int32_t none[2] = { 0, 0 };
                writeAll(none, sizeof none);
                std::fflush(stdout);
                continue;
            }
            const ImageDesc desc = image.description();
            g_width = desc.width;
            g_height = desc.height;
            g_stride = desc.stride;
            g_picture.assign(desc.pixels, desc.pixels + static_cast<int64_t>(desc.stride) * desc.height);
            TileList tiles;
            buildTileList(g_width, g_height, tiles);
            resetProfile(g_profile, false);
            buildProfile(desc, tiles, g_profile, nullptr, nullptr, nullptr, 1);
            g_raw = g_profile;
            smoothProfile(g_profile);
            g_own = g_profile;
            g_exif = image.exif().record();
            g_learned = false;
            const int32_t size[2] = { g_width, g_height };
            writeAll(size, sizeof size);
            std::vector<uint8_t> rgb(static_cast<size_t>(g_width) * g_height * 3);
            for (int32_t y = 0; y < g_height; ++y) {
                const uint8_t* row = desc.pixels + static_cast<int64_t>(g_height - 1 - y) * desc.stride;
                for (int32_t x = 0; x < g_width; ++x)
                    for (int c = 0; c < 3; ++c)
                        rgb[(static_cast<size_t>(y) * g_width + x) * 3 + c] = row[4 * x + 2 - c];
            }
            writeAll(rgb.data(), rgb.size());
            writeAll(&g_profile, sizeof g_profile);
            std::fflush(stdout);
        } else if (command == 'F') {
            FilterParams params;
            readSettings(params);
            const size_t pixels = static_cast<size_t>(g_width) * g_height;
            std::vector<uint8_t> rgb(pixels * 3);
            readAll(rgb.data(), rgb.size());
            std::vector<uint8_t> in(pixels * 4, 255);
            for (int32_t y = 0; y < g_height; ++y)
                for (int32_t x = 0; x < g_width; ++x)
                    for (int c = 0; c < 3; ++c)
                        in[(static_cast<size_t>(g_height - 1 - y) * g_width + x) * 4 + 2 - c]
                            = rgb[(static_cast<size_t>(y) * g_width + x) * 3 + c];
            std::vector<uint8_t> out = in;
            ImageDesc original { 0, g_width, g_height, g_width * 4, 1, 32, in.data() };
            ImageDesc display { 0, g_width, g_height, g_width * 4, 1, 32, out.data() };
            TileList tiles;
            buildTileList(g_width, g_height, tiles);
            filterImage(original, display, nullptr, nullptr, 32, tiles, g_profile, params, nullptr,
                nullptr, nullptr, 1);
            for (int32_t y = 0; y < g_height; ++y)
                for (int32_t x = 0; x < g_width; ++x)
                    for (int c = 0; c < 3; ++c)
                        rgb[(static_cast<size_t>(y) * g_width + x) * 3 + c]
                            = out[(static_cast<size_t>(g_height - 1 - y) * g_width + x) * 4 + 2 - c];
            writeAll(rgb.data(), rgb.size());
            std::fflush(stdout);
        } else if (command == 'G') {
            FilterParams params;
            readSettings(params);
            const size_t pixels = static_cast<size_t>(g_width) * g_height;
            std::vector<uint16_t> rgb(pixels * 3);
            readAll(rgb.data(), rgb.size() * 2);
            std::vector<uint16_t> in(pixels * 3);
            for (size_t i = 0; i < pixels; ++i)
                for (int c = 0; c < 3; ++c)
                    in[i * 3 + 2 - c] = rgb[i * 3 + c];
            std::vector<uint16_t> out(pixels * 3);
            std::vector<uint8_t> display(static_cast<size_t>(rowStride(g_width, g_height, 24, 0)) * g_height);
            ImageDesc none { 0, g_width, g_height, static_cast<int32_t>(rowStride(g_width, g_height, 24, 0)), 1, 24, display.data() };
            TileList tiles;
            buildTileList(g_width, g_height, tiles);
            filterImage(none, none, reinterpret_cast<const uint8_t*>(in.data()),
                reinterpret_cast<uint8_t*>(out.data()), 48, tiles, g_profile, params, nullptr,
                nullptr, nullptr, 1);
            for (size_t i = 0; i < pixels; ++i)
                for (int c = 0; c < 3; ++c)
                    rgb[i * 3 + c] = out[i * 3 + 2 - c];
            writeAll(rgb.data(), rgb.size() * 2);
            std::fflush(stdout);
        } else if (command == 'R') {
            writeAll(&g_raw, sizeof g_raw);
            std::fflush(stdout);
        } else if (command == 'N') {
            const PixelNoise noise = estimatePixelNoise(loadedPicture());
            for (const auto& bin : noise.variance)
                writeAll(bin.data(), sizeof(double) * kChannels);
            writeAll(&noise.lumaDeviation, sizeof(double));
            for (const auto& bin : noise.whiteVariance)
                writeAll(bin.data(), sizeof(double) * kChannels);
            for (const auto& bin : noise.colouredVariance)
                writeAll(bin.data(), sizeof(double) * kChannels);
            writeAll(noise.spread.data(), sizeof(double) * kChannels);
            std::fflush(stdout);
        } else if (command == 'H') {
            uint32_t length = 0;
            readAll(&length, 4);
            std::string folder(length, '\0');
            readAll(folder.data(), length);
            LearnedProfileFolder store(QString::fromStdString(folder));
            store.setLearning(false);
            NoiseProfile learned = g_raw;
            int32_t photos = 0;
            if (eligible(g_exif) && store.lookUp(g_exif, learned)) {
                photos = store.lastFound().photos;
                smoothProfile(learned);
                g_profile = learned;
                g_learned = true;
            }
            writeAll(&photos, 4);
            writeAll(&g_profile, sizeof g_profile);
            std::fflush(stdout);
        } else if (command == 'A') {
            int32_t threads = 1;
            readAll(&threads, 4);
            const AutoStrength choice
                = chooseAutoStrength(loadedPicture(), g_profile, threads, g_learned ? &g_own : nullptr);
            writeAll(&choice.untouchedError, sizeof(double));
            const int32_t count = static_cast<int32_t>(choice.candidates.size());
            writeAll(&count, 4);
            for (const AutoCandidate& candidate : choice.candidates) {
                int32_t values[kFilterFieldCount];
                for (int f = 0; f < kFilterFieldCount; ++f)
                    values[f] = fieldAt(candidate.values, f);
                writeAll(values, sizeof values);
                writeAll(&candidate.estimatedError, sizeof(double));
            }
            const int32_t tail[2] = { choice.chosen, choice.filter ? 1 : 0 };
            writeAll(tail, sizeof tail);
            std::fflush(stdout);
        } else {
            return 1;
        }
    }
}
