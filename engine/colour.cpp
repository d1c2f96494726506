// Colour conversion between a tile's pixels and the YCrCb planes of its top
// level, with the integer BT.601 coefficients. The 8-bit path keeps white at
// Y = 21906 in 16-bit planes; the 16-bit path works at about twice that
// scale in 32-bit planes.

#include "colour_equations.h"
#include "pyramid.h"
#include "vector_kernels.h"

#include <algorithm>

namespace calmora {

namespace {

// Pixel samples in the order the conversion expects: blue, green, red.
struct Bgr {
    int32_t b, g, r;
};

template <typename Sample>
Bgr readPixel(const uint8_t* pixel, bool grey)
{
    if constexpr (std::is_same_v<Sample, int16_t>) {
        if (grey)
            return { pixel[0], pixel[0], pixel[0] };
        return { pixel[0], pixel[1], pixel[2] };
    } else {
        auto sample
            = [&](int i) { return static_cast<int32_t>(pixel[2 * i] | (pixel[2 * i + 1] << 8)); };
        if (grey)
            return { sample(0), sample(0), sample(0) };
        return { sample(0), sample(1), sample(2) };
    }
}

// 8-bit rounding: thousandths truncated, then hundreds rounded up only for a
// remainder strictly above 50. For x >= 0 that is (x / 1000 + 49) / 100,
// which equals (x + 49000) / 100000: one division by a constant instead of
// two. Negative x gives 0 or less either way, which clamps to 0.
int32_t toPixel8(int32_t x)
{
    if (x < 0)
        return 0;
    const uint32_t value = (static_cast<uint32_t>(x) + 49000u) / 100000u;
    return value > 255u ? 255 : static_cast<int32_t>(value);
}

// The 16-bit path has no rounding step: (x / 100000) * 128 in double
// precision, truncated toward zero.
int32_t toPixel16(int32_t x)
{
    const double value = static_cast<double>(x) / 100000.0 * 128.0;
    if (!(value > 0.0))
        return 0;
    if (value >= 65535.0)
        return 65535;
    return static_cast<int32_t>(value);
}

} // namespace

namespace {

// One loop per pixel layout, so that the compiler sees a constant stride:
// `count` pixels from `pixel` into the samples from `first` on. The output
// planes, when wanted, are written in the same pass.
template <typename Sample, int bytesPerPixel, bool withOutput>
void convertPixels(PyramidLevel<Sample>& top, const uint8_t* pixel, size_t first, size_t count)
{
    constexpr int shift = PathTraits<Sample>::kInputShift;
    constexpr bool grey = bytesPerPixel == 1 || bytesPerPixel == 2;
    Sample* y = top.yIn.data() + first;
    Sample* cr = top.crIn.data() + first;
    Sample* cb = top.cbIn.data() + first;
    Sample* yOut = top.yOut.data() + first;
    Sample* crOut = top.crOut.data() + first;
    Sample* cbOut = top.cbOut.data() + first;
    for (size_t i = 0; i < count; ++i, pixel += bytesPerPixel) {
        const Bgr p = readPixel<Sample>(pixel, grey);
        const lanes::YCrCb<int32_t> values = lanes::planeValues(p.r, p.g, p.b, shift);
        y[i] = toSample<Sample>(values.y);
        cr[i] = toSample<Sample>(values.cr);
        cb[i] = toSample<Sample>(values.cb);
        if constexpr (withOutput) {
            yOut[i] = y[i];
            crOut[i] = cr[i];
            cbOut[i] = cb[i];
        }
    }
}

template <typename Sample, bool withOutput>
void convertLayout(PyramidLevel<Sample>& top, const uint8_t* pixels, size_t first, size_t count)
{
    switch (top.bytesPerPixel) {
    case 4:
        convertPixels<Sample, 4, withOutput>(top, pixels, first, count);
        break;
    case 3:
        convertPixels<Sample, 3, withOutput>(top, pixels, first, count);
        break;
    case 6:
        convertPixels<Sample, 6, withOutput>(top, pixels, first, count);
        break;
    case 2:
        convertPixels<Sample, 2, withOutput>(top, pixels, first, count);
        break;
    default:
        convertPixels<Sample, 1, withOutput>(top, pixels, first, count);
        break;
    }
}

// `count` pixels from `pixels` into the samples from `first` on.
template <typename Sample>
void convertRun(PyramidLevel<Sample>& top, bool withOutput, const uint8_t* pixels, size_t first,
    size_t count, const VectorKernels* kernels)
{
    if (kernels != nullptr) {
        Sample* const planes[6] = { top.yIn.data() + first, top.crIn.data() + first,
            top.cbIn.data() + first, withOutput ? top.yOut.data() + first : nullptr,
            top.crOut.data() + first, top.cbOut.data() + first };
        const size_t done = forSample<Sample>(kernels->inputPixels8, kernels->inputPixels16)(
            pixels, top.bytesPerPixel, count, planes);
        if (done == count)
            return;
    }
    if (withOutput)
        convertLayout<Sample, true>(top, pixels, first, count);
    else
        convertLayout<Sample, false>(top, pixels, first, count);
}

} // namespace

template <typename Sample>
void convertInput(PyramidLevel<Sample>& top, bool withOutput)
{
    const size_t count = top.sampleCount();
    for (std::vector<Sample>* plane : { &top.yIn, &top.crIn, &top.cbIn })
        plane->resize(count);
    if (withOutput) {
        for (std::vector<Sample>* plane : { &top.yOut, &top.crOut, &top.cbOut })
            plane->resize(count);
    }
    const VectorKernels* kernels = vectorKernels();
    // Row by row, from the working buffer's packed rows or the image's.
    const size_t width = static_cast<size_t>(top.width);
    const int64_t stride = top.imageInput != nullptr
        ? top.imageStride
        : static_cast<int64_t>(width) * top.bytesPerPixel;
    const uint8_t* pixels = top.imageInput != nullptr ? top.imageInput : top.pixels;
    for (int32_t y = 0; y < top.height; ++y)
        convertRun(top, withOutput, pixels + y * stride, y * width, width, kernels);
}

namespace {

// `count` pixels to `pixel` from the output planes at `first` on; a fourth
// byte of a pixel comes from `kept`. `masked` leaves the pixels whose write
// mask entry is 0 (mask entry `first` + i for pixel i) as they are.
template <typename Sample>
void outputRun(const PyramidLevel<Sample>& top, size_t first, size_t count, uint8_t* pixel,
    const uint8_t* kept, const VectorKernels* kernels)
{
    constexpr bool eightBit = std::is_same_v<Sample, int16_t>;
    // A grey tile's colour planes were never filtered: it is rebuilt from
    // its input colour differences.
    const Sample* y = top.yOut.data() + first;
    const Sample* cr = (top.grey ? top.crIn : top.crOut).data() + first;
    const Sample* cb = (top.grey ? top.cbIn : top.cbOut).data() + first;
    const size_t maskStep = eightBit ? static_cast<size_t>(top.bytesPerPixel)
                                     : static_cast<size_t>(top.bytesPerPixel / 2);
    const size_t bytes = static_cast<size_t>(top.bytesPerPixel);
    // The kernels take the common layouts (colour pixels of 4 bytes or of
    // three 16-bit samples, no mask) up to a whole number of vectors.
    size_t done = 0;
    if (kernels != nullptr && top.writeMask == nullptr && !top.grey) {
        if constexpr (eightBit) {
            if (top.bytesPerPixel == 4)
                done = kernels->outputBgrx8(y, cr, cb, kept, pixel, count);
        } else {
            if (top.bytesPerPixel == 6)
                done = kernels->outputBgr16(y, cr, cb, pixel, count);
        }
    }
    pixel += done * bytes;
    kept += done * bytes;
    for (size_t i = done; i < count; ++i, pixel += bytes, kept += bytes) {
        if (top.writeMask != nullptr && top.writeMask[(first + i) * maskStep] == 0)
            continue;
        const lanes::Rgb<int32_t> x = lanes::reconstructionSums<int32_t>(y[i], cr[i], cb[i]);
        if constexpr (eightBit) {
            const int32_t r = toPixel8(x.r), g = toPixel8(x.g), b = toPixel8(x.b);
            if (top.grey) {
                pixel[0] = static_cast<uint8_t>((b + g + r) / 3);
            } else {
                pixel[0] = static_cast<uint8_t>(b);
                pixel[1] = static_cast<uint8_t>(g);
                pixel[2] = static_cast<uint8_t>(r);
                if (bytes == 4)
                    pixel[3] = kept[3];
            }
        } else {
            auto store = [&](int index, int32_t value) {
                pixel[2 * index] = static_cast<uint8_t>(value & 0xFF);
                pixel[2 * index + 1] = static_cast<uint8_t>(value >> 8);
            };
            const int32_t r = toPixel16(x.r), g = toPixel16(x.g), b = toPixel16(x.b);
            if (top.grey) {
                store(0, (b + g + r) / 3);
            } else {
                store(0, b);
                store(1, g);
                store(2, r);
            }
        }
    }
}

} // namespace

template <typename Sample>
void convertOutput(PyramidLevel<Sample>& top)
{
    const VectorKernels* kernels = vectorKernels();
    const int64_t bytes = top.bytesPerPixel;
    if (top.imageOutput == nullptr) {
        const int64_t stride = top.width * bytes;
        for (int32_t y = 0; y < top.height; ++y) {
            uint8_t* row = top.pixels + y * stride;
            outputRun(top, top.index(0, y), static_cast<size_t>(top.width), row, row, kernels);
        }
        return;
    }
    const Rect area = top.outputArea;
    for (int32_t y = area.top; y < area.bottom; ++y) {
        const int64_t row = y * top.imageStride + area.left * bytes;
        outputRun(top, top.index(area.left, y), static_cast<size_t>(area.width()),
            top.imageOutput + (y - area.top) * top.imageStride, top.imageInput + row, kernels);
    }
}

template void convertInput<int16_t>(PyramidLevel<int16_t>&, bool);
template void convertInput<int32_t>(PyramidLevel<int32_t>&, bool);
template void convertOutput<int16_t>(PyramidLevel<int16_t>&);
template void convertOutput<int32_t>(PyramidLevel<int32_t>&);

} // namespace calmora
