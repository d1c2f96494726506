#include "engine/pyramid.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace calmora {
namespace {

// A one-row top level over `pixels`.
template <typename Sample>
PyramidLevel<Sample> topLevel(std::vector<uint8_t>& pixels, int32_t bytesPerPixel, int32_t width)
{
    PyramidLevel<Sample> top;
    top.bytesPerPixel = bytesPerPixel;
    top.pixels = pixels.data();
    top.width = width;
    top.height = 1;
    top.grey = bytesPerPixel == 1 || bytesPerPixel == 2;
    return top;
}

struct ConversionRow {
    const char* name;
    uint8_t b, g, r;
    int32_t y, cr, cb;
};

TEST(ConvertInput, EightBitValues)
{
    const ConversionRow rows[] = {
        { "white", 255, 255, 255, 21906, 3, 3 },
        { "black", 0, 0, 0, 0, 0, 0 },
        { "pure red", 0, 0, 255, 6554, 11196, -3774 },
        { "pure blue", 255, 0, 0, 2498, -1809, 11196 },
        { "mid grey", 128, 128, 128, 10996, 2, 2 },
    };
    for (const ConversionRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> pixels { row.b, row.g, row.r, 0x77 };
        PyramidLevel<int16_t> top = topLevel<int16_t>(pixels, 4, 1);
        convertInput(top);
        EXPECT_EQ(top.yIn[0], row.y);
        EXPECT_EQ(top.crIn[0], row.cr);
        EXPECT_EQ(top.cbIn[0], row.cb);
        EXPECT_EQ(top.yOut, top.yIn);
        EXPECT_EQ(top.crOut, top.crIn);
        EXPECT_EQ(top.cbOut, top.cbIn);
    }
}

TEST(ConvertInput, SixteenBitWhiteAndGrey)
{
    std::vector<uint8_t> colour { 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF };
    PyramidLevel<int32_t> top = topLevel<int32_t>(colour, 6, 1);
    convertInput(top);
    EXPECT_EQ(top.yIn[0], 43983);
    EXPECT_EQ(top.crIn[0], 7);
    EXPECT_EQ(top.cbIn[0], 7);

    // A grey pixel yields Cr = Cb = v >> 13.
    std::vector<uint8_t> grey { 0x00, 0x80 };
    PyramidLevel<int32_t> greyTop = topLevel<int32_t>(grey, 2, 1);
    convertInput(greyTop);
    EXPECT_EQ(greyTop.crIn[0], 0x8000 >> 13);
    EXPECT_EQ(greyTop.cbIn[0], 0x8000 >> 13);
}

// Every 8-bit colour on a coarse lattice converts in and straight out again
// within one step per channel, and the fourth byte is never touched.
TEST(ConvertOutput, EightBitRoundTripWithinOneStep)
{
    std::vector<uint8_t> pixels;
    for (int b = 0; b <= 255; b += 5)
        for (int g = 0; g <= 255; g += 5)
            for (int r = 0; r <= 255; r += 5)
                pixels.insert(pixels.end(), { uint8_t(b), uint8_t(g), uint8_t(r), uint8_t(b ^ r) });
    const std::vector<uint8_t> before = pixels;
    PyramidLevel<int16_t> top
        = topLevel<int16_t>(pixels, 4, static_cast<int32_t>(pixels.size() / 4));
    convertInput(top);
    convertOutput(top);
    for (size_t i = 0; i < pixels.size(); ++i) {
        if (i % 4 == 3)
            ASSERT_EQ(pixels[i], before[i]) << "fourth byte of pixel " << i / 4;
        else
            ASSERT_LE(std::abs(pixels[i] - before[i]), 1) << "byte " << i;
    }
}

TEST(ConvertOutput, SixteenBitRoundTripWithinOneEightBitStep)
{
    std::vector<uint8_t> pixels;
    for (int v = 0; v < 65536; v += 4099)
        for (int w = 0; w < 65536; w += 8191)
            for (int sample : { v, w, (v + w) / 2 })
                pixels.insert(pixels.end(), { uint8_t(sample & 0xFF), uint8_t(sample >> 8) });
    const std::vector<uint8_t> before = pixels;
    PyramidLevel<int32_t> top
        = topLevel<int32_t>(pixels, 6, static_cast<int32_t>(pixels.size() / 6));
    convertInput(top);
    convertOutput(top);
    for (size_t i = 0; i < pixels.size(); i += 2) {
        const int was = before[i] | before[i + 1] << 8;
        const int is = pixels[i] | pixels[i + 1] << 8;
        ASSERT_LE(std::abs(was - is), 257) << "sample " << i / 2;
    }
}

struct OutputRow {
    const char* name;
    int32_t y, cr, cb;
    uint8_t b, g, r;
};

TEST(ConvertOutput, EightBitRoundingAndClamping)
{
    const OutputRow rows[] = {
        // q = 25050 keeps 250; q = 25051 rounds up to 251.
        { "remainder 50 does not round up", 21521, 0, 0, 250, 250, 250 },
        { "remainder 51 rounds up", 21522, 0, 0, 251, 251, 251 },
        { "above white clamps", 30000, 0, 0, 255, 255, 255 },
        { "below black clamps", -3000, 0, 0, 0, 0, 0 },
        { "strong red clamps green", 10000, 11000, 0, 116, 27, 255 },
    };
    for (const OutputRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> pixels { 1, 2, 3 };
        PyramidLevel<int16_t> top = topLevel<int16_t>(pixels, 3, 1);
        top.yOut = { static_cast<int16_t>(row.y) };
        top.crOut = { static_cast<int16_t>(row.cr) };
        top.cbOut = { static_cast<int16_t>(row.cb) };
        convertOutput(top);
        EXPECT_EQ(pixels[0], row.b);
        EXPECT_EQ(pixels[1], row.g);
        EXPECT_EQ(pixels[2], row.r);
    }
}

TEST(ConvertOutput, GreyTileAveragesTheChannelsRebuiltFromTheInputColour)
{
    std::vector<uint8_t> pixels { 200 };
    PyramidLevel<int16_t> top = topLevel<int16_t>(pixels, 1, 1);
    convertInput(top);
    // Filtered colour planes of a grey tile are ignored.
    top.crOut[0] = 5000;
    top.cbOut[0] = -5000;
    convertOutput(top);
    EXPECT_EQ(pixels[0], 200);
}

TEST(ConvertOutput, WriteMaskKeepsMaskedPixels)
{
    std::vector<uint8_t> pixels { 10, 20, 30, 40, 50, 60 };
    PyramidLevel<int16_t> top = topLevel<int16_t>(pixels, 3, 2);
    convertInput(top);
    top.yOut = { 0, 0 };
    top.crOut = { 0, 0 };
    top.cbOut = { 0, 0 };
    // One entry per byte: pixel 0 is masked, pixel 1 is written.
    const std::vector<uint8_t> mask { 0, 1, 1, 1, 0, 0 };
    top.writeMask = mask.data();
    convertOutput(top);
    EXPECT_EQ(pixels, (std::vector<uint8_t> { 10, 20, 30, 0, 0, 0 }));
}

} // namespace
} // namespace calmora
