#include "settings/auto_strength.h"

#include "settings/derive_params.h"
#include "settings/learned_reading.h"
#include "settings/noise_estimate.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <thread>

namespace calmora {

namespace {

// The candidates, lightest first (by how much they change the training
// photos on average): a few kinds of filtering (how the bands and the colour
// are suppressed, which processing degree) at a few noise levels.
// tools/auto_strength/fit.py chose them greedily from a wider pool, on the
// quality kit's training photos, by what the estimate then gained; more
// gain less than a hundredth of a decibel each, not worth two filterings per
// region (the cost is bounded: bench/auto_strength_bench.cpp). Rerun it to
// refit. The lightest leaves the luminance's thresholds at zero and
// only calms the colour. The second was searched later for white noise at
// ISO 800 and 3200, where no other setting came near a wavelet's shrinkage;
// it took the place of the strongest fit.py had chosen, the swap that
// gained most over both training sets together. The third is the only light
// one that smooths the luminance: without it light noise on a picture with
// sharp colour edges is left as it is.
const std::array<FilterSettings, 5> kCandidates = { {
    { 1, -20, 36, { 20, -20, -20, 0 }, -5, 20, 20, 6, 6, { 20, 0, 0, 0 } },
    { 2, -16, 40, { 16, -20, -20, 0 }, -5, 20, 20, 6, 10, { 20, 0, 0, 0 } },
    { 2, 0, 32, { 16, -20, -20, 0 }, -3, 20, 20, 12, 6, { 18, 6, 2, 0 } },
    { 2, -8, -20, { -8, -20, -12, 0 }, -5, 20, 20, 12, 14, { 20, 0, 0, 0 } },
    { 1, -4, -16, { -4, -12, -16, 0 }, -3, 20, 20, 19, 18, { 20, 14, 0, 0 } },
} };

// Pictures up to this size are judged whole; larger ones on kRegions small
// regions of kRegionSide pixels (small, so that the desktop program's Auto
// button answers at once on a 24-MP photo), each filtered with a margin of
// kMarginPx so that its border is filtered as inside the picture (the
// engine's tiles have the same margin).
//
// Where the error comes from is uneven: on a photo of a detailed subject
// before a soft background, a strong candidate wins on the background and
// loses far more on the subject, and a few regions at fixed places may all
// miss the subject. So the regions are drawn by texture: the picture's cells
// of kRegionSide pixels, ranked by their gradient energy, fall into kRegions
// strata of equal share, and each stratum sends its middle cell. Every kind
// of detail then weighs in as much as it covers the picture.
constexpr int64_t kWholeUpTo = 400 * 1000;
constexpr int kRegions = 12;
constexpr int32_t kRegionSide = 64;
constexpr int32_t kMarginPx = 16;
// Rows of a cell read for its texture: enough to rank cells, few enough to
// cost nothing on a large photo.
constexpr int32_t kTextureRowStep = 8;

// The probe moves the picture by this many levels (root mean square): small
// enough that the filter answers it as to a slight change, large enough
// that rounding to 8 bits does not swallow it, since the filter's input is
// rounded while the probe that is correlated with its answer is not.
constexpr double kProbeLevels = 1.5;
// Samples this close to black or white are clipped rather than noisy: they
// are neither perturbed nor judged.
constexpr int kClipMargin = 1;

// Colour differences back to R, G, B: the inverse of noise_estimate's.
constexpr double kRfromCr = 1.402;
constexpr double kGfromCr = -0.714136;
constexpr double kGfromCb = -0.344136;
constexpr double kBfromCb = 1.772;

// The estimated noise is trusted to nine tenths: texture that passes for
// noise makes the estimate too high far more often than anything makes it
// too low, and too high a noise level chooses settings that smooth
// texture away. A candidate must also promise at least a tenth less error
// than leaving the picture untouched.
constexpr double kNoiseTrust = 0.9;
constexpr double kLeaveMargin = 0.1;
// The pixels' two readings of the luminance noise (white noise's and
// smoothed noise's, settings/noise_estimate.h) agree on plain noise and
// differ where texture or compression fools one of them; by how much (the
// median over brightness of the log ratio) is how uncertain the variance,
// and with it every estimate, is. A lighter choice whose estimate is within
// kCaution times that share of the untouched estimate from the best is
// taken instead: too strong a choice smooths texture away for good, too
// light a one leaves a little noise. A learned profile, which several
// photos agree on, settles what the disagreement leaves open: with one
// there is no caution. Fitted on the training photos
// (tools/auto_strength/choices.py, with and without --learned).
constexpr double kCaution = 0.03;
// Noise below this variance (levels squared) is less than 8-bit rounding
// leaves (1/12) and nothing to filter; the probe of so little noise would
// also be too faint to measure anything.
constexpr double kNoiseFloor = 0.1;

// Deterministic normal deviates: the choice must not depend on the run.
class Normal {
public:
    explicit Normal(uint64_t seed)
        : m_state(seed * 0x9E3779B97F4A7C15ull + 0x6A09E667F3BCC909ull)
    { }
    double next()
    {
        if (m_hasSpare) {
            m_hasSpare = false;
            return m_spare;
        }
        const double u = (static_cast<double>(bits() >> 11) + 0.5) * 0x1.0p-53;
        const double v = static_cast<double>(bits() >> 11) * 0x1.0p-53;
        const double radius = std::sqrt(-2.0 * std::log(u));
        m_spare = radius * std::sin(6.283185307179586 * v);
        m_hasSpare = true;
        return radius * std::cos(6.283185307179586 * v);
    }

private:
    uint64_t bits()
    {
        // splitmix64
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t m_state;
    double m_spare = 0.0;
    bool m_hasSpare = false;
};

// One region: its pixels with their margin, the probe, and which samples
// are judged.
struct Region {
    Rect filtered; // in the picture
    Rect judged; // in the picture, inside `filtered`
    int32_t width = 0;
    int32_t height = 0;
    int64_t stride = 0;
    std::vector<uint8_t> pixels; // as the picture's, `filtered` only
    std::vector<uint8_t> probed; // pixels moved by probeScale * probe
    std::vector<float> probe; // per pixel and channel, in the buffer's order
    std::vector<uint8_t> judge; // per pixel: 1 when judged
    double probeScale = 0.0;
    double noiseSum = 0.0; // tr S over the judged samples
    int64_t samples = 0; // judged samples (pixels x channels)
};

struct Job {
    double residual = 0.0; // |f(y) - y|^2 over the judged samples
    double divergence = 0.0; // probe . (f(y + e b) - f(y)) / e
    bool refused = false;
};

int channelsOf(int bytesPerPixel)
{
    return bytesPerPixel == 1 ? 1 : kChannels;
}

// The gradient energy of a cell's luminance, on every kTextureRowStep-th
// row (horizontal and vertical neighbours).
double cellTexture(const ImageDesc& picture, int32_t left, int32_t top)
{
    const int bytes = picture.bitsPerPixel / 8;
    auto luma = [&](const uint8_t* p) {
        return bytes == 1 ? p[0] : 0.299 * p[2] + 0.587 * p[1] + 0.114 * p[0];
    };
    double energy = 0.0;
    for (int32_t y = top; y + 1 < top + kRegionSide; y += kTextureRowStep) {
        const uint8_t* row = picture.pixels + static_cast<int64_t>(y) * picture.stride;
        const uint8_t* below = row + picture.stride;
        for (int32_t x = left; x + 1 < left + kRegionSide; ++x) {
            const uint8_t* p = row + static_cast<int64_t>(x) * bytes;
            const double here = luma(p);
            const double across = luma(p + bytes) - here;
            const double down = luma(below + static_cast<int64_t>(x) * bytes) - here;
            energy += across * across + down * down;
        }
    }
    return energy;
}

std::vector<Rect> chooseRegions(const ImageDesc& picture)
{
    const int32_t width = picture.width;
    const int32_t height = picture.height;
    std::vector<Rect> regions;
    const int32_t across = width / kRegionSide;
    const int32_t down = height / kRegionSide;
    if (static_cast<int64_t>(width) * height <= kWholeUpTo
        || static_cast<int64_t>(across) * down < kRegions) {
        regions.push_back({ 0, 0, width, height });
        return regions;
    }
    std::vector<std::pair<double, int64_t>> cells;
    cells.reserve(static_cast<size_t>(across) * down);
    for (int32_t j = 0; j < down; ++j)
        for (int32_t i = 0; i < across; ++i)
            cells.emplace_back(cellTexture(picture, i * kRegionSide, j * kRegionSide),
                static_cast<int64_t>(j) * across + i);
    // Ties go by position, so that the choice does not depend on the sort.
    std::sort(cells.begin(), cells.end());
    const int64_t count = static_cast<int64_t>(cells.size());
    for (int k = 0; k < kRegions; ++k) {
        const int64_t low = k * count / kRegions;
        const int64_t high = (k + 1) * count / kRegions;
        const int64_t cell = cells[static_cast<size_t>(low + (high - low) / 2)].second;
        const int32_t left = static_cast<int32_t>(cell % across) * kRegionSide;
        const int32_t top = static_cast<int32_t>(cell / across) * kRegionSide;
        regions.push_back({ left, top, left + kRegionSide, top + kRegionSide });
    }
    return regions;
}

// The judged rectangle with its margin, copied out of the picture.
Region copyRegion(const ImageDesc& picture, const Rect& judged)
{
    Region region;
    region.judged = judged;
    region.filtered = { std::max(0, judged.left - kMarginPx), std::max(0, judged.top - kMarginPx),
        std::min(picture.width, judged.right + kMarginPx),
        std::min(picture.height, judged.bottom + kMarginPx) };
    region.width = region.filtered.width();
    region.height = region.filtered.height();
    const int bpp = picture.bitsPerPixel;
    const int bytes = bpp / 8;
    region.stride = rowStride(region.width, region.height, bpp,
        static_cast<int64_t>(region.width) * bytes * region.height);
    region.pixels.assign(static_cast<size_t>(region.stride * region.height), 0);
    for (int32_t y = 0; y < region.height; ++y) {
        const uint8_t* from = picture.pixels + static_cast<int64_t>(region.filtered.top + y) * picture.stride
            + static_cast<int64_t>(region.filtered.left) * bytes;
        std::copy(from, from + static_cast<int64_t>(region.width) * bytes,
            region.pixels.begin() + y * region.stride);
    }
    return region;
}

// The luminance each pixel's noise is read at: a 3 x 3 mean, so that the
// pixel's own noise barely moves it.
std::vector<float> smoothedLuma(const Region& region, int bytes)
{
    const size_t count = static_cast<size_t>(region.width) * region.height;
    std::vector<float> luma(count);
    for (int32_t y = 0; y < region.height; ++y) {
        const uint8_t* p = region.pixels.data() + y * region.stride;
        for (int32_t x = 0; x < region.width; ++x, p += bytes)
            luma[static_cast<size_t>(y) * region.width + x] = bytes == 1
                ? p[0]
                : static_cast<float>(0.299 * p[2] + 0.587 * p[1] + 0.114 * p[0]);
    }
    std::vector<float> smooth(count);
    for (int32_t y = 0; y < region.height; ++y) {
        for (int32_t x = 0; x < region.width; ++x) {
            float sum = 0.0f;
            int n = 0;
            for (int32_t dy = std::max(0, y - 1); dy <= std::min(region.height - 1, y + 1); ++dy)
                for (int32_t dx = std::max(0, x - 1); dx <= std::min(region.width - 1, x + 1); ++dx, ++n)
                    sum += luma[static_cast<size_t>(dy) * region.width + dx];
            smooth[static_cast<size_t>(y) * region.width + x] = sum / static_cast<float>(n);
        }
    }
    return smooth;
}

// One pixel's probe, the deviates `w` shaped by the noise at luminance `l`;
// returns the summed noise variance of the pixel's channels.
double shapeProbe(const PixelNoise& noise, double l, const double w[kChannels], int channels, float* b)
{
    const double sy = std::sqrt(noise.at(l, kY));
    if (channels == 1) {
        b[0] = static_cast<float>(sy * w[0]);
        return noise.at(l, kY);
    }
    const double vy = noise.at(l, kY);
    const double vr = noise.at(l, kCr);
    const double vb = noise.at(l, kCb);
    const double y0 = sy * w[0];
    const double cr = std::sqrt(vr) * w[1];
    const double cb = std::sqrt(vb) * w[2];
    // Buffer order: blue, green, red.
    b[0] = static_cast<float>(y0 + kBfromCb * cb);
    b[1] = static_cast<float>(y0 + kGfromCr * cr + kGfromCb * cb);
    b[2] = static_cast<float>(y0 + kRfromCr * cr);
    return 3.0 * vy + (kRfromCr * kRfromCr + kGfromCr * kGfromCr) * vr
        + (kBfromCb * kBfromCb + kGfromCb * kGfromCb) * vb;
}

// Draws the probe over the unclipped pixels, marks the judged ones and
// scales the probe to kProbeLevels.
void drawProbe(Region& region, const std::vector<float>& smooth, const PixelNoise& noise, uint64_t seed,
    int bytes)
{
    const int channels = channelsOf(bytes);
    const Rect& judged = region.judged;
    const size_t count = static_cast<size_t>(region.width) * region.height;
    Normal normal(seed);
    region.probe.assign(count * channels, 0.0f);
    region.judge.assign(count, 0);
    double probeEnergy = 0.0;
    int64_t probed = 0;
    for (int32_t y = 0; y < region.height; ++y) {
        const uint8_t* p = region.pixels.data() + y * region.stride;
        const int32_t py = region.filtered.top + y;
        for (int32_t x = 0; x < region.width; ++x, p += bytes) {
            const size_t i = static_cast<size_t>(y) * region.width + x;
            // Drawn for every pixel, so that the probe does not depend on
            // which are clipped.
            const double w[kChannels] = { normal.next(), normal.next(), normal.next() };
            bool clipped = false;
            for (int c = 0; c < channels; ++c)
                clipped = clipped || p[c] <= kClipMargin || p[c] >= 255 - kClipMargin;
            if (clipped)
                continue;
            float* b = region.probe.data() + i * channels;
            const double variance = shapeProbe(noise, smooth[i], w, channels, b);
            for (int c = 0; c < channels; ++c)
                probeEnergy += static_cast<double>(b[c]) * b[c];
            probed += channels;
            const int32_t px = region.filtered.left + x;
            if (px >= judged.left && px < judged.right && py >= judged.top && py < judged.bottom) {
                region.judge[i] = 1;
                region.noiseSum += variance;
                region.samples += channels;
            }
        }
    }
    const double rms = probed > 0 ? std::sqrt(probeEnergy / static_cast<double>(probed)) : 0.0;
    region.probeScale = rms > 1e-3 ? kProbeLevels / rms : 0.0;
}

// The region's pixels moved by the scaled probe, rounded back to 8 bits.
void applyProbe(Region& region, int bytes)
{
    const int channels = channelsOf(bytes);
    region.probed = region.pixels;
    for (int32_t y = 0; y < region.height; ++y) {
        uint8_t* p = region.probed.data() + y * region.stride;
        for (int32_t x = 0; x < region.width; ++x, p += bytes) {
            const float* b = region.probe.data() + (static_cast<size_t>(y) * region.width + x) * channels;
            for (int c = 0; c < channels; ++c)
                p[c] = static_cast<uint8_t>(
                    std::clamp(std::lround(p[c] + region.probeScale * b[c]), 0L, 255L));
        }
    }
}

Region makeRegion(const ImageDesc& picture, const Rect& judged, const PixelNoise& noise, uint64_t seed)
{
    Region region = copyRegion(picture, judged);
    const int bytes = picture.bitsPerPixel / 8;
    drawProbe(region, smoothedLuma(region, bytes), noise, seed, bytes);
    applyProbe(region, bytes);
    return region;
}

bool filterRegion(const Region& region, const std::vector<uint8_t>& input, std::vector<uint8_t>& output,
    int32_t bitsPerPixel, const NoiseProfile& profile, const FilterParams& params)
{
    output = input;
    const ImageDesc original { 0, region.width, region.height, static_cast<int32_t>(region.stride), 1,
        static_cast<uint16_t>(bitsPerPixel), const_cast<uint8_t*>(input.data()) };
    ImageDesc display = original;
    display.pixels = output.data();
    TileList tiles;
    buildTileList(region.width, region.height, tiles);
    return filterImage(original, display, nullptr, nullptr, bitsPerPixel, tiles, profile, params,
        nullptr, nullptr, nullptr, 1);
}

Job runJob(const Region& region, int32_t bitsPerPixel, const NoiseProfile& profile,
    const FilterParams& params)
{
    Job job;
    std::vector<uint8_t> plain;
    std::vector<uint8_t> moved;
    if (!filterRegion(region, region.pixels, plain, bitsPerPixel, profile, params)) {
        job.refused = true;
        return job;
    }
    const bool probing = region.probeScale > 0.0;
    if (probing && !filterRegion(region, region.probed, moved, bitsPerPixel, profile, params)) {
        job.refused = true;
        return job;
    }
    const int bytes = bitsPerPixel / 8;
    const int channels = channelsOf(bytes);
    for (int32_t y = 0; y < region.height; ++y) {
        const int64_t row = y * region.stride;
        for (int32_t x = 0; x < region.width; ++x) {
            const size_t i = static_cast<size_t>(y) * region.width + x;
            if (region.judge[i] == 0)
                continue;
            const int64_t at = row + static_cast<int64_t>(x) * bytes;
            for (int c = 0; c < channels; ++c) {
                const double f = plain[static_cast<size_t>(at + c)];
                const double change = f - region.pixels[static_cast<size_t>(at + c)];
                job.residual += change * change;
                if (probing)
                    job.divergence += region.probe[i * channels + c]
                        * (moved[static_cast<size_t>(at + c)] - f);
            }
        }
    }
    if (probing)
        job.divergence /= region.probeScale;
    return job;
}

// The median over brightness bins of |ln(white / smoothed)| for the
// luminance.
double readingsDisagree(const PixelNoise& noise)
{
    std::array<double, PixelNoise::kBins> logs {};
    for (int b = 0; b < PixelNoise::kBins; ++b) {
        const double white = std::max(noise.whiteVariance[static_cast<size_t>(b)][kY], 1e-6);
        const double smoothed = std::max(noise.colouredVariance[static_cast<size_t>(b)][kY], 1e-6);
        logs[static_cast<size_t>(b)] = std::abs(std::log(white / smoothed));
    }
    std::sort(logs.begin(), logs.end());
    return 0.5 * (logs[PixelNoise::kBins / 2 - 1] + logs[PixelNoise::kBins / 2]);
}

} // namespace

namespace {

// Every candidate on every region, spread over the threads; job c × regions
// + r is candidate c on region r, whichever thread ran it.
std::vector<Job> runJobs(const std::vector<Region>& regions, const ImageDesc& picture,
    const NoiseProfile& profile, int32_t threadCount)
{
    std::vector<FilterParams> params(kCandidates.size());
    for (size_t c = 0; c < kCandidates.size(); ++c)
        deriveDocumentParams(kCandidates[c], params[c]);
    const size_t jobCount = kCandidates.size() * regions.size();
    std::vector<Job> jobs(jobCount);
    std::atomic<size_t> next { 0 };
    auto work = [&] {
        for (size_t j = next.fetch_add(1); j < jobCount; j = next.fetch_add(1))
            jobs[j] = runJob(regions[j % regions.size()], picture.bitsPerPixel, profile,
                params[j / regions.size()]);
    };
    size_t threads = threadCount > 0 ? static_cast<size_t>(threadCount)
                                     : std::max(1u, std::thread::hardware_concurrency());
    threads = std::min(threads, jobCount);
    std::vector<std::thread> helpers;
    for (size_t t = 1; t < threads; ++t)
        helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers)
        helper.join();
    return jobs;
}

// Each candidate's estimated error, summed in a fixed order whatever thread
// did which job; `choice.chosen` becomes the lowest. Returns that estimate,
// infinity when the engine refused every candidate.
double estimateErrors(AutoStrength& choice, const std::vector<Job>& jobs, size_t regionCount,
    double trusted, int64_t samples)
{
    double best = std::numeric_limits<double>::infinity();
    for (size_t c = 0; c < kCandidates.size(); ++c) {
        double residual = 0.0;
        double divergence = 0.0;
        bool refused = false;
        for (size_t r = 0; r < regionCount; ++r) {
            const Job& job = jobs[c * regionCount + r];
            refused = refused || job.refused;
            residual += job.residual;
            divergence += job.divergence;
        }
        if (refused)
            continue;
        const double estimate
            = (residual - trusted + 2.0 * kNoiseTrust * divergence) / static_cast<double>(samples);
        choice.candidates[c].estimatedError = estimate;
        if (estimate < best) {
            best = estimate;
            choice.chosen = static_cast<int>(c);
        }
    }
    return best;
}

// The lightest choice whose estimate lies within the noise estimate's
// uncertainty of the best: leaving the picture first, then the candidates
// in their order. A learned profile leaves no such uncertainty.
void chooseCautiously(AutoStrength& choice, double best, const PixelNoise& noise, bool learned)
{
    const int bestCandidate = choice.chosen;
    const double leaving = choice.untouchedError * (1.0 - kLeaveMargin);
    const bool bestFilters = best < leaving;
    const double within
        = learned ? best : best + kCaution * readingsDisagree(noise) * choice.untouchedError;
    bool filter = leaving > within;
    if (filter) {
        for (size_t c = 0; c < kCandidates.size(); ++c) {
            if (choice.candidates[c].estimatedError <= within) {
                choice.chosen = static_cast<int>(c);
                break;
            }
        }
    }
    choice.cautious = filter != bestFilters || (filter && choice.chosen != bestCandidate);
    choice.values = kCandidates[static_cast<size_t>(choice.chosen)];
    choice.filter = choice.untouchedError >= kNoiseFloor && filter;
}

} // namespace

AutoStrength chooseAutoStrength(const ImageDesc& picture, const NoiseProfile& profile,
    int32_t threadCount, const NoiseProfile* measured, const PixelNoise* known)
{
    AutoStrength choice;
    for (const FilterSettings& values : kCandidates)
        choice.candidates.push_back({ values, std::numeric_limits<double>::infinity() });
    choice.values = kCandidates.front();
    choice.chosen = 0;
    if (picture.pixels == nullptr || picture.width <= 0 || picture.height <= 0
        || (picture.bitsPerPixel != 8 && picture.bitsPerPixel != 24 && picture.bitsPerPixel != 32)) {
        choice.filter = false;
        return choice;
    }

    PixelNoise noise = known != nullptr ? *known : estimatePixelNoise(picture);
    if (measured != nullptr) {
        // Photos teach a learned profile their finest band already lowered
        // to what their pixels show; against this photo's own as it would
        // teach it, the learned one tells only what the other photos add,
        // and the texture these pixels leave out is not taken out twice.
        choice.learnedNoise
            = lowerToLearnedProfile(noise, profile, learnedReading(*measured, noise));
    }
    choice.noiseLevel = noise.lumaDeviation;
    std::vector<Region> regions;
    const std::vector<Rect> rects = chooseRegions(picture);
    for (size_t r = 0; r < rects.size(); ++r)
        regions.push_back(makeRegion(picture, rects[r], noise, r + 1));
    double noiseSum = 0.0;
    int64_t samples = 0;
    for (const Region& region : regions) {
        noiseSum += region.noiseSum;
        samples += region.samples;
    }
    if (samples == 0) {
        choice.filter = false;
        return choice;
    }

    const std::vector<Job> jobs = runJobs(regions, picture, profile, threadCount);
    const double trusted = kNoiseTrust * noiseSum;
    choice.untouchedError = trusted / static_cast<double>(samples);
    const double best = estimateErrors(choice, jobs, regions.size(), trusted, samples);
    if (!std::isfinite(best)) {
        choice.filter = false;
        return choice;
    }
    chooseCautiously(choice, best, noise, measured != nullptr);
    return choice;
}

} // namespace calmora
