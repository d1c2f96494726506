// Small synthetic images for the engine tests: deterministic, generated in
// code, in every buffer depth the engine accepts.
#pragma once

#include "engine/engine.h"
#include "engine/records.h"

#include <cstdint>
#include <string>
#include <vector>

namespace calmora::test {

// A pixel buffer with its geometry. Rows are `stride` bytes apart.
struct TestImage {
    int32_t width = 0;
    int32_t height = 0;
    int32_t bitsPerPixel = 32;
    int64_t stride = 0;
    std::vector<uint8_t> pixels;

    ImageDesc desc();
    int64_t bufferSize() const { return static_cast<int64_t>(pixels.size()); }
};

// Deterministic generator (xorshift) so that checksums stay stable across
// platforms and standard libraries.
class TestRandom {
public:
    explicit TestRandom(uint64_t seed)
        : m_state(seed * 0x9E3779B97F4A7C15ull + 1)
    { }
    uint32_t next();
    // Approximately normal with mean 0 and deviation 1 (sum of uniforms).
    double gaussian();

private:
    uint64_t m_state;
};

int64_t strideFor(int32_t width, int32_t bitsPerPixel);

// A blank image of the depth, every sample `value` (16-bit samples are
// value * 257).
TestImage makeFlatImage(int32_t width, int32_t height, int32_t bitsPerPixel, uint8_t value);

// A photo-like scene: smooth gradients, a few hard-edged shapes and fine
// texture (unless `texture` is false), plus Gaussian noise of deviation `sigma` in 8-bit steps.
TestImage makeSceneImage(int32_t width, int32_t height, int32_t bitsPerPixel, double sigma,
    uint64_t seed, bool texture = true);

// A noisy-camera profile: luminance noise rising with brightness and
// falling with the band, colour noise flat. `scale` multiplies every value.
NoiseProfile makeSyntheticProfile(int scale = 1);

// Filter parameters as the neutral sliders give them, with the suppressions,
// sharpening and class selector given.
FilterParams makeParams(int16_t lumaSuppression, int16_t colourSuppression, int32_t sharpenAmount,
    int32_t classSelector, int16_t levelFactor = 0);

// Sets every noise threshold (each level, channel and brightness bin) to
// `threshold`, so that a test controls exactly what counts as an edge.
void fillThresholds(LevelParams& params, int32_t threshold);

// Every kernel set this build and processor have, the scalar loops first.
std::vector<KernelSet> kernelSets();

// Makes a kernel set the active one for its lifetime, then the one before.
class ActiveKernelSet {
public:
    explicit ActiveKernelSet(KernelSet set)
        : m_before(activeKernelSet())
    {
        selectKernelSet(set);
    }
    ~ActiveKernelSet() { selectKernelSet(m_before); }
    ActiveKernelSet(const ActiveKernelSet&) = delete;
    ActiveKernelSet& operator=(const ActiveKernelSet&) = delete;

private:
    KernelSet m_before;
};

// FNV-1a of a byte range, printed as 16 hex digits in messages.
uint64_t checksum(const uint8_t* data, size_t size);
std::string hex(uint64_t value);

// Expects `pixels`, laid out as `like`, to hash to `expected`. When they do
// not, the failure names files to look at under the test's temporary folder:
// the picture as a PNM, and a map of where it differs from `reference` (an
// agreed result, or failing that the input), with the largest difference.
void expectChecksum(const std::string& name, const std::vector<uint8_t>& pixels,
    const TestImage& like, uint64_t expected, const std::vector<uint8_t>& reference);

} // namespace calmora::test
