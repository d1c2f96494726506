#include "settings/noise_estimate.h"

#include "engine/fixed_point.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

namespace calmora {

namespace {

// Patches of 5 x 5 samples: 25 dimensions, few enough for the covariance of
// thousands of patches and its eigenvalues to cost a few milliseconds.
constexpr int kSide = 5;
constexpr int kDims = kSide * kSide;
// A covariance needs several patches per dimension to be worth reading.
constexpr int kMinPatches = 4 * kDims;
// Overlapping patches read for the white-noise estimate, wherever the
// picture is.
constexpr int kPatchBudget = 16384;

// The gradient energy of a patch of white noise with unit variance (the sum
// of its 40 squared neighbour differences) has mean 80 and variance 696;
// as a gamma distribution its 99th percentile is 153.76. A patch whose
// energy stays below that many times the noise variance shows no texture
// that noise alone would not explain.
constexpr double kFlatEnergyPerVariance = 153.76;
constexpr int kSelectionRounds = 4;
// A bin's smoothed-noise estimate stays within this factor of the pooled
// one: a brightness whose patches are all textured would read its texture.
constexpr double kBinSpread = 2.0;
// Eigenvalue spreads (see estimatePixelNoise) up to kWhiteSpread read as
// white noise, from kSmoothedSpread on as smoothed noise, and between them
// as a blend of the two estimates.
constexpr double kWhiteSpread = 1.25;
constexpr double kSmoothedSpread = 1.9;

// BT.601 colour differences in 8-bit levels, as the engine's planes have
// them up to scale.
constexpr double kToYcc[kChannels][3] = {
    { 0.299, 0.587, 0.114 },
    { 0.5, -0.4187, -0.0813 },
    { -0.1687, -0.3313, 0.5 },
};

void toYcc(double r, double g, double b, double out[kChannels])
{
    for (int c = 0; c < kChannels; ++c)
        out[c] = kToYcc[c][0] * r + kToYcc[c][1] * g + kToYcc[c][2] * b;
}

struct Reader {
    const uint8_t* pixels;
    int64_t stride;
    int bytesPerPixel;

    // The mean of a square of `size` pixels at (x, y), as Y, Cr, Cb.
    void block(int32_t x, int32_t y, int size, double out[kChannels]) const
    {
        double r = 0.0;
        double g = 0.0;
        double b = 0.0;
        for (int dy = 0; dy < size; ++dy) {
            const uint8_t* p = pixels + (y + dy) * stride + static_cast<int64_t>(x) * bytesPerPixel;
            for (int dx = 0; dx < size; ++dx, p += bytesPerPixel) {
                if (bytesPerPixel == 1) {
                    r += p[0];
                    g += p[0];
                    b += p[0];
                } else {
                    b += p[0];
                    g += p[1];
                    r += p[2];
                }
            }
        }
        const double n = static_cast<double>(size) * size;
        toYcc(r / n, g / n, b / n, out);
    }
};

// One scale's patches: every channel's samples and the luminance mean.
struct Patches {
    int count = 0;
    std::vector<float> samples; // patch-major, then channel, then the 25 samples
    std::vector<float> luma;

    const float* at(int patch, int channel) const
    {
        return samples.data() + (static_cast<size_t>(patch) * kChannels + channel) * kDims;
    }
};

Patches readPatches(const Reader& reader, int32_t width, int32_t height, int scale)
{
    Patches patches;
    const int size = 1 << scale;
    const int32_t w = width / size;
    const int32_t h = height / size;
    if (w < kSide || h < kSide)
        return patches;
    const int64_t positions = static_cast<int64_t>(w - kSide + 1) * (h - kSide + 1);
    const int32_t step = std::max<int32_t>(1,
        static_cast<int32_t>(std::ceil(std::sqrt(static_cast<double>(positions) / kPatchBudget))));
    const int32_t across = (w - kSide) / step + 1;
    const int32_t down = (h - kSide) / step + 1;
    patches.count = across * down;
    patches.samples.resize(static_cast<size_t>(patches.count) * kChannels * kDims);
    patches.luma.resize(static_cast<size_t>(patches.count));
    int index = 0;
    double ycc[kChannels];
    for (int32_t j = 0; j < down; ++j) {
        for (int32_t i = 0; i < across; ++i, ++index) {
            float* out = patches.samples.data() + static_cast<size_t>(index) * kChannels * kDims;
            double sum = 0.0;
            for (int s = 0; s < kDims; ++s) {
                reader.block((i * step + s % kSide) * size, (j * step + s / kSide) * size, size, ycc);
                for (int c = 0; c < kChannels; ++c)
                    out[c * kDims + s] = static_cast<float>(ycc[c]);
                sum += ycc[kY];
            }
            patches.luma[static_cast<size_t>(index)] = static_cast<float>(sum / kDims);
        }
    }
    return patches;
}

double gradientEnergy(const float* v)
{
    double energy = 0.0;
    for (int r = 0; r < kSide; ++r) {
        for (int c = 0; c + 1 < kSide; ++c) {
            const double across = v[r * kSide + c + 1] - v[r * kSide + c];
            const double down = v[(c + 1) * kSide + r] - v[c * kSide + r];
            energy += across * across + down * down;
        }
    }
    return energy;
}

// Eigenvalues of a symmetric matrix by cyclic Jacobi rotations, ascending.
std::array<double, kDims> eigenvalues(std::array<double, kDims * kDims> a)
{
    for (int sweep = 0; sweep < 30; ++sweep) {
        double off = 0.0;
        double diagonal = 0.0;
        for (int p = 0; p < kDims; ++p) {
            diagonal += a[p * kDims + p] * a[p * kDims + p];
            for (int q = p + 1; q < kDims; ++q)
                off += a[p * kDims + q] * a[p * kDims + q];
        }
        if (off <= 1e-20 * diagonal)
            break;
        for (int p = 0; p < kDims; ++p) {
            for (int q = p + 1; q < kDims; ++q) {
                const double apq = a[p * kDims + q];
                if (std::abs(apq) < 1e-300)
                    continue;
                const double theta = (a[q * kDims + q] - a[p * kDims + p]) / (2.0 * apq);
                const double t = (theta >= 0 ? 1.0 : -1.0)
                    / (std::abs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0);
                const double s = t * c;
                for (int k = 0; k < kDims; ++k) {
                    const double akp = a[k * kDims + p];
                    const double akq = a[k * kDims + q];
                    a[k * kDims + p] = c * akp - s * akq;
                    a[k * kDims + q] = s * akp + c * akq;
                }
                for (int k = 0; k < kDims; ++k) {
                    const double apk = a[p * kDims + k];
                    const double aqk = a[q * kDims + k];
                    a[p * kDims + k] = c * apk - s * aqk;
                    a[q * kDims + k] = s * apk + c * aqk;
                }
            }
        }
    }
    std::array<double, kDims> values;
    for (int k = 0; k < kDims; ++k)
        values[static_cast<size_t>(k)] = a[k * kDims + k];
    std::sort(values.begin(), values.end());
    return values;
}

// Sums over a growing or shrinking prefix of patches, so that each round of
// the selection only adds or removes the patches its threshold moved past.
class RunningCovariance {
public:
    void add(const float* v, double sign)
    {
        for (int p = 0; p < kDims; ++p) {
            m_sum[p] += sign * v[p];
            for (int q = p; q < kDims; ++q)
                m_products[p * kDims + q] += sign * v[p] * v[q];
        }
        m_count += sign > 0 ? 1 : -1;
    }
    int count() const { return m_count; }

    // The noise variance the smallest eigenvalue shows. With n patches the
    // smallest eigenvalue of pure noise falls short of the variance by the
    // factor (1 - sqrt(25 / n))^2 (the lower edge of the Marchenko-Pastur
    // law), which is taken back.
    double noiseVariance() const
    {
        std::array<double, kDims * kDims> cov {};
        const double n = m_count;
        for (int p = 0; p < kDims; ++p)
            for (int q = p; q < kDims; ++q) {
                const double value = (m_products[p * kDims + q] - m_sum[p] * m_sum[q] / n) / (n - 1);
                cov[p * kDims + q] = value;
                cov[q * kDims + p] = value;
            }
        const double shortfall = 1.0 - std::sqrt(static_cast<double>(kDims) / n);
        return std::max(eigenvalues(cov)[0], 0.0) / (shortfall * shortfall);
    }

private:
    std::array<double, kDims> m_sum {};
    std::array<double, kDims * kDims> m_products {};
    int m_count = 0;
};

// The noise variance of one channel over the given patches, or a negative
// value when they are too few.
double measureVariance(const Patches& patches, const std::vector<int>& members, int channel)
{
    if (static_cast<int>(members.size()) < kMinPatches)
        return -1.0;
    std::vector<std::pair<double, int>> byEnergy;
    byEnergy.reserve(members.size());
    for (int m : members)
        byEnergy.emplace_back(gradientEnergy(patches.at(m, channel)), m);
    std::sort(byEnergy.begin(), byEnergy.end());
    RunningCovariance running;
    for (const auto& [energy, m] : byEnergy)
        running.add(patches.at(m, channel), 1.0);
    double variance = running.noiseVariance();
    for (int round = 0; round < kSelectionRounds; ++round) {
        const double threshold = kFlatEnergyPerVariance * variance;
        const int flat = static_cast<int>(
            std::lower_bound(byEnergy.begin(), byEnergy.end(), std::make_pair(threshold, -1))
            - byEnergy.begin());
        if (flat < kMinPatches || flat == running.count())
            break;
        while (running.count() < flat)
            running.add(patches.at(byEnergy[static_cast<size_t>(running.count())].second, channel), 1.0);
        while (running.count() > flat)
            running.add(
                patches.at(byEnergy[static_cast<size_t>(running.count() - 1)].second, channel), -1.0);
        variance = running.noiseVariance();
    }
    return variance;
}


// The whole noise, smoothed or not, from patches whose surroundings are
// flat: a patch chosen for its own low energy would be one whose noise
// happened to be weak, while its eight neighbours' energy tells texture from
// noise without looking at the patch's own noise. Per channel, the mean
// within-patch variance of the flattest tenth, pooled and per brightness,
// and the eigenvalues of the same patches' covariance.
struct FlatPatches {
    bool measured = false;
    std::array<double, kChannels> pooled {};
    std::array<std::array<double, kChannels>, PixelNoise::kBins> byBin {};
    std::array<bool, PixelNoise::kBins> binKnown {};
    std::array<std::array<double, kDims>, kChannels> spectrum {};
    int count = 0; // patches in `spectrum` and `pooled`
};

constexpr int kFlatBudget = 10000; // patches judged by their neighbours
constexpr double kFlatShare = 0.1;
constexpr int kMinFlat = 40;

// A patch's samples with the texture of its eight neighbours and its
// brightness bin.
struct JudgedPatch {
    double texture;
    int bin;
    std::array<std::array<float, kDims>, kChannels> samples;
};

// A patch at (x, y) with its neighbours at +-kSide: 3 x 3 patches.
constexpr int32_t kJudgedSpan = 3 * kSide;

JudgedPatch judgePatch(const Reader& reader, int32_t x, int32_t y)
{
    JudgedPatch item {};
    double ycc[kChannels];
    std::array<std::array<float, kDims>, kChannels> patch;
    double neighbours = 0.0;
    for (int n = 0; n < 9; ++n) {
        const int32_t px = x + (n % 3) * kSide;
        const int32_t py = y + (n / 3) * kSide;
        for (int k = 0; k < kDims; ++k) {
            reader.block(px + k % kSide, py + k / kSide, 1, ycc);
            for (int c = 0; c < kChannels; ++c)
                patch[static_cast<size_t>(c)][static_cast<size_t>(k)] = static_cast<float>(ycc[c]);
        }
        if (n == 4)
            item.samples = patch;
        else
            neighbours += gradientEnergy(patch[kY].data());
    }
    double luma = 0.0;
    for (float v : item.samples[kY])
        luma += v;
    item.texture = neighbours;
    item.bin = std::clamp(static_cast<int>(luma / kDims / 32.0), 0, PixelNoise::kBins - 1);
    return item;
}

// Patches on a grid of at most about kFlatBudget places; none when the
// picture is smaller than one patch with its neighbours.
std::vector<JudgedPatch> judgePatches(const Reader& reader, int32_t width, int32_t height)
{
    std::vector<JudgedPatch> judged;
    const int32_t span = kJudgedSpan;
    if (width < span || height < span)
        return judged;
    const int64_t positions = static_cast<int64_t>((width - span) / kSide + 1) * ((height - span) / kSide + 1);
    const int32_t step = kSide
        * std::max<int32_t>(1,
            static_cast<int32_t>(std::ceil(std::sqrt(static_cast<double>(positions) / kFlatBudget))));
    for (int32_t y = 0; y + span <= height; y += step)
        for (int32_t x = 0; x + span <= width; x += step)
            judged.push_back(judgePatch(reader, x, y));
    return judged;
}

double withinVariance(const std::array<float, kDims>& v)
{
    double mean = 0.0;
    for (float x : v)
        mean += x;
    mean /= kDims;
    double sum = 0.0;
    for (float x : v)
        sum += (x - mean) * (x - mean);
    return sum / (kDims - 1);
}

// The kFlatShare of `members` with the least texture, but no fewer than
// kMinFlat / 2.
std::vector<int> flattest(const std::vector<JudgedPatch>& judged, std::vector<int> members)
{
    std::sort(members.begin(), members.end(), [&](int a, int b) {
        return judged[static_cast<size_t>(a)].texture < judged[static_cast<size_t>(b)].texture;
    });
    members.resize(std::min(members.size(),
        std::max<size_t>(kMinFlat / 2, static_cast<size_t>(kFlatShare * members.size()))));
    return members;
}

// The pooled variance and covariance spectrum of the chosen patches.
void measurePooled(const std::vector<JudgedPatch>& judged, const std::vector<int>& chosen, int channels,
    FlatPatches& flat)
{
    flat.count = static_cast<int>(chosen.size());
    for (int c = 0; c < channels; ++c) {
        std::array<double, kDims * kDims> cov {};
        double variance = 0.0;
        for (int m : chosen) {
            const auto& v = judged[static_cast<size_t>(m)].samples[static_cast<size_t>(c)];
            double mean = 0.0;
            for (float x : v)
                mean += x;
            mean /= kDims;
            for (int p = 0; p < kDims; ++p)
                for (int q = 0; q < kDims; ++q)
                    cov[static_cast<size_t>(p * kDims + q)] += (v[static_cast<size_t>(p)] - mean) * (v[static_cast<size_t>(q)] - mean);
            variance += withinVariance(v);
        }
        for (double& x : cov)
            x /= static_cast<double>(chosen.size());
        flat.spectrum[static_cast<size_t>(c)] = eigenvalues(cov);
        flat.pooled[static_cast<size_t>(c)] = variance / static_cast<double>(chosen.size());
    }
}

// Per brightness bin, the variance of that bin's flattest patches; bins
// with fewer than kMinFlat patches stay unknown.
void measureByBin(const std::vector<JudgedPatch>& judged, const std::vector<int>& all, int channels,
    FlatPatches& flat)
{
    for (int b = 0; b < PixelNoise::kBins; ++b) {
        std::vector<int> members;
        for (int m : all)
            if (judged[static_cast<size_t>(m)].bin == b)
                members.push_back(m);
        if (static_cast<int>(members.size()) < kMinFlat)
            continue;
        const std::vector<int> binChosen = flattest(judged, members);
        flat.binKnown[static_cast<size_t>(b)] = true;
        for (int c = 0; c < channels; ++c) {
            double variance = 0.0;
            for (int m : binChosen)
                variance += withinVariance(judged[static_cast<size_t>(m)].samples[static_cast<size_t>(c)]);
            flat.byBin[static_cast<size_t>(b)][static_cast<size_t>(c)] = variance / static_cast<double>(binChosen.size());
        }
    }
}

FlatPatches measureFlatPatches(const Reader& reader, int32_t width, int32_t height, int channels)
{
    FlatPatches flat;
    const std::vector<JudgedPatch> judged = judgePatches(reader, width, height);
    std::vector<int> all(judged.size());
    std::iota(all.begin(), all.end(), 0);
    if (static_cast<int>(all.size()) < kMinFlat)
        return flat;
    measurePooled(judged, flattest(judged, all), channels, flat);
    measureByBin(judged, all, channels, flat);
    flat.measured = true;
    return flat;
}

// The ratio of the 12th to the 2nd smallest non-zero eigenvalue that the
// covariance of n patches of white noise shows: sampling alone spreads the
// eigenvalues, the more the fewer the patches (about 1.28 for 1000 and 2.5
// for 100; a fit to simulations, within 10 % from 60 patches up).
double whiteSpread(int n)
{
    const double ratio = static_cast<double>(kDims) / std::max(n, 1);
    return std::exp(1.5 * std::sqrt(ratio) + 0.65 * ratio);
}

// The ratio of the 12th to the 2nd smallest non-zero eigenvalue of a
// channel's flat patches (the smallest is the patch mean's, removed), as a
// multiple of what white noise shows with as many patches.
double eigenvalueSpread(const FlatPatches& flat, int channel)
{
    const auto& spectrum = flat.spectrum[static_cast<size_t>(channel)];
    return spectrum[12] / std::max(spectrum[2], 1e-9) / whiteSpread(flat.count);
}

using Spreads = std::array<double, kChannels>;

// Demosaicing, compression and a camera's own noise reduction smooth the
// colour differences at least as much as the luminance. So where a colour
// difference still reads as white noise, a luminance spread is texture
// that fills only some directions of the patch space (grain, glitter,
// fine foliage), and reading it as smoothed noise would take all of that
// texture for noise: the luminance then reads as white noise too. A
// spread far below white noise's own (which sampling keeps near 1) is a
// colour difference with next to no variation, as in a grey picture
// stored in colour, and tells nothing.
//
// Nor do they take all of the colour noise away: a sensor's noise is its
// photosites', each of one colour. White noise leaves the flat patches'
// luminance about half the two colour differences' variance; a JPEG's
// colour subsampling and coarser colour steps raise that to 16 times at
// most on the quality kit's training photos, at every ISO speed. Flat
// patches whose luminance varies more than kLumaOverColour times their
// colour are not flat: grain or glitter all over leaves no patch without
// texture, and under a JPEG the colour that would tell it from noise is
// gone. The luminance then reads as white noise, whose weak-texture
// patches see past such texture. Should real noise ever be that grey,
// white noise's reading is the lower one, and filtering too little loses
// far less than smoothing texture away (tools/auto_strength/choices.py on
// the photos of tools/auto_strength/wider.py: at 28 a glitter's camera
// JPEGs still lose up to 1.8 dB, at 40 up to 2.4; at 10 the kit's JPEGs
// lose 0.16 dB on average).
constexpr double kLumaOverColour = 20.0;

Spreads channelSpreads(const FlatPatches& flat, int channels)
{
    Spreads spreads {};
    for (int c = 0; c < channels; ++c)
        spreads[static_cast<size_t>(c)] = eigenvalueSpread(flat, c);
    if (channels == kChannels) {
        const double colour = std::min(spreads[kCr], spreads[kCb]);
        if (colour >= 0.5 && colour <= kWhiteSpread)
            spreads[kY] = std::min(spreads[kY], kWhiteSpread);
        if (flat.pooled[kY] > kLumaOverColour * (flat.pooled[kCr] + flat.pooled[kCb]))
            spreads[kY] = std::min(spreads[kY], kWhiteSpread);
    }
    return spreads;
}

// Fills bins without a value from the nearest one that has one; false when
// none has.
template <typename Values>
bool fillFromNearest(Values& values, const std::array<bool, PixelNoise::kBins>& known)
{
    int any = -1;
    for (int b = 0; b < PixelNoise::kBins; ++b)
        if (known[static_cast<size_t>(b)])
            any = b;
    if (any < 0)
        return false;
    for (int b = 0; b < PixelNoise::kBins; ++b) {
        if (known[static_cast<size_t>(b)])
            continue;
        int best = any;
        for (int k = 0; k < PixelNoise::kBins; ++k)
            if (known[static_cast<size_t>(k)] && std::abs(k - b) < std::abs(best - b))
                best = k;
        values[static_cast<size_t>(b)] = values[static_cast<size_t>(best)];
    }
    return true;
}

using BinVariances = std::array<std::array<double, kChannels>, PixelNoise::kBins>;
using BinMembers = std::array<std::vector<int>, PixelNoise::kBins>;

// The finest patches by brightness bin.
BinMembers binByBrightness(const Patches& finest)
{
    BinMembers members;
    for (int p = 0; p < finest.count; ++p)
        members[static_cast<size_t>(std::clamp(
                    static_cast<int>(finest.luma[static_cast<size_t>(p)] / 32.0f), 0, PixelNoise::kBins - 1))]
            .push_back(p);
    return members;
}

// White noise, per brightness: weak-texture patches and the smallest
// eigenvalue of their covariance.
BinVariances measureWhite(const Patches& finest, const BinMembers& members, int channels,
    std::array<bool, PixelNoise::kBins>& known)
{
    BinVariances white {};
    for (int b = 0; b < PixelNoise::kBins; ++b) {
        for (int c = 0; c < channels; ++c) {
            const double v = measureVariance(finest, members[static_cast<size_t>(b)], c);
            known[static_cast<size_t>(b)] = v >= 0.0;
            white[static_cast<size_t>(b)][static_cast<size_t>(c)] = std::max(v, 0.0);
        }
    }
    return white;
}

// Noise of a PNG or a raw converter's output is independent between the
// red, green and blue samples; fine texture (foliage, gravel, ripples) is
// not: its colour changes little within a patch, so it moves the three
// together. Where a brightness's weak-texture patches show that shared
// part clearly, a one-factor split of their red, green and blue covariance,
// C = l l' + diag(psi), keeps psi, the part no other channel explains.
// Unlike the smallest eigenvalue, this sees through texture that fills
// every direction of the patch space. Pure noise correlates only by chance,
// which would make the split unstable, so below kSharedCorrelation the
// white reading stands. Compressed or demosaiced noise is itself shared
// between the channels, so only a picture whose every channel reads as
// white noise is split.
constexpr double kSharedCorrelation = 0.1;

// The inverse of toYcc's matrix: R, G, B from Y, Cr, Cb.
constexpr double kToRgb[3][3] = {
    { 1.0, 1.402, 0.0 },
    { 1.0, -0.714136, -0.344136 },
    { 1.0, 0.0, 1.772 },
};

// The Y, Cr, Cb variances of the channel-independent part of the patches'
// within-patch variation, or negative values where no clear shared part
// shows.
std::array<double, kChannels> independentVariance(const Patches& patches, const std::vector<int>& chosen)
{
    std::array<double, kChannels> result { -1.0, -1.0, -1.0 };
    if (static_cast<int>(chosen.size()) < kMinPatches)
        return result;
    double ycc[3][3] {};
    for (int m : chosen) {
        double mean[kChannels] {};
        for (int c = 0; c < kChannels; ++c) {
            const float* v = patches.at(m, c);
            for (int s = 0; s < kDims; ++s)
                mean[c] += v[s];
            mean[c] /= kDims;
        }
        for (int s = 0; s < kDims; ++s) {
            double d[kChannels];
            for (int c = 0; c < kChannels; ++c)
                d[c] = patches.at(m, c)[s] - mean[c];
            for (int p = 0; p < kChannels; ++p)
                for (int q = 0; q < kChannels; ++q)
                    ycc[p][q] += d[p] * d[q];
        }
    }
    // Removing each patch's mean leaves 24 of its 25 samples' worth of noise.
    const double n = static_cast<double>(chosen.size()) * (kDims - 1);
    double rgb[3][3] {};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int p = 0; p < 3; ++p)
                for (int q = 0; q < 3; ++q)
                    rgb[i][j] += kToRgb[i][p] * ycc[p][q] * kToRgb[j][q] / n;
    for (int i = 0; i < 3; ++i)
        for (int j = i + 1; j < 3; ++j)
            if (rgb[i][j] < kSharedCorrelation * std::sqrt(rgb[i][i] * rgb[j][j]))
                return result;
    double psi[3];
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3;
        const int k = (i + 2) % 3;
        psi[i] = std::clamp(rgb[i][i] - rgb[i][j] * rgb[i][k] / rgb[j][k], 0.0, rgb[i][i]);
    }
    for (int c = 0; c < kChannels; ++c) {
        result[static_cast<size_t>(c)] = 0.0;
        for (int i = 0; i < 3; ++i)
            result[static_cast<size_t>(c)] += kToYcc[c][i] * kToYcc[c][i] * psi[i];
    }
    return result;
}

// Per brightness, the weak-texture patches as the white reading judged
// them (luminance gradient energy within kFlatEnergyPerVariance of its
// noise), read for what the channels share.
void discountSharedTexture(const Patches& finest, const BinMembers& members, const Spreads& spreads,
    BinVariances& white)
{
    for (int c = 0; c < kChannels; ++c)
        if (spreads[static_cast<size_t>(c)] > kWhiteSpread)
            return;
    for (int b = 0; b < PixelNoise::kBins; ++b) {
        const double threshold = kFlatEnergyPerVariance * white[static_cast<size_t>(b)][kY];
        std::vector<int> chosen;
        for (int m : members[static_cast<size_t>(b)])
            if (gradientEnergy(finest.at(m, kY)) <= threshold)
                chosen.push_back(m);
        const std::array<double, kChannels> independent = independentVariance(finest, chosen);
        for (int c = 0; c < kChannels; ++c)
            if (independent[static_cast<size_t>(c)] >= 0.0)
                white[static_cast<size_t>(b)][static_cast<size_t>(c)]
                    = std::min(white[static_cast<size_t>(b)][static_cast<size_t>(c)], independent[static_cast<size_t>(c)]);
    }
}

// A brightness whose patches are all textured reads its texture even here:
// each bin stays within kBinSpread of what the flattest patches of the whole
// picture show.
void boundByPooled(const Patches& finest, int channels, BinVariances& white)
{
    std::vector<int> all(static_cast<size_t>(finest.count));
    std::iota(all.begin(), all.end(), 0);
    for (int c = 0; c < channels; ++c) {
        const double pooled = measureVariance(finest, all, c);
        if (pooled <= 0.0)
            continue;
        for (auto& bin : white)
            bin[static_cast<size_t>(c)] = std::clamp(bin[static_cast<size_t>(c)], pooled / kBinSpread, pooled * kBinSpread);
    }
}

// Smoothed noise, from the flat patches: their whole variance, shaped over
// brightness by the bins' own flattest patches within a factor of
// kBinSpread of the pooled value.
BinVariances smoothedVariance(const FlatPatches& flat, int channels)
{
    BinVariances coloured {};
    for (int c = 0; c < channels; ++c) {
        const double pooled = flat.pooled[static_cast<size_t>(c)];
        for (int b = 0; b < PixelNoise::kBins; ++b) {
            const double ratio = flat.binKnown[static_cast<size_t>(b)] && pooled > 0.0
                ? std::clamp(flat.byBin[static_cast<size_t>(b)][static_cast<size_t>(c)] / pooled, 1.0 / kBinSpread, kBinSpread)
                : 1.0;
            coloured[static_cast<size_t>(b)][static_cast<size_t>(c)] = pooled * ratio;
        }
    }
    return coloured;
}

// Which to believe, per channel: white noise and texture leave the lower
// half of the flat patches' eigenvalues level (texture fills the upper
// ones), smoothed noise spreads them over decades. The spread is the ratio
// of the 12th to the 2nd smallest non-zero eigenvalue (the smallest is the
// patch mean's, removed), as a multiple of what white noise shows with as
// many patches.
void blendReadings(const Spreads& spreads, int channels, PixelNoise& noise)
{
    for (int c = 0; c < channels; ++c) {
        const double spread = spreads[static_cast<size_t>(c)];
        noise.spread[static_cast<size_t>(c)] = spread;
        const double share = std::clamp((spread - kWhiteSpread) / (kSmoothedSpread - kWhiteSpread), 0.0, 1.0);
        noise.smoothedShare[static_cast<size_t>(c)] = share;
        for (int b = 0; b < PixelNoise::kBins; ++b) {
            const double w = std::max(noise.whiteVariance[static_cast<size_t>(b)][static_cast<size_t>(c)], 1e-6);
            const double s = std::max(noise.colouredVariance[static_cast<size_t>(b)][static_cast<size_t>(c)], 1e-6);
            noise.variance[static_cast<size_t>(b)][static_cast<size_t>(c)]
                = std::exp((1.0 - share) * std::log(w) + share * std::log(s));
        }
    }
}

// Each bin's share of the picture, and the luminance deviation over the
// whole picture.
void weighBins(const BinMembers& members, PixelNoise& noise)
{
    double weighted = 0.0;
    double weight = 0.0;
    for (int b = 0; b < PixelNoise::kBins; ++b) {
        weighted += static_cast<double>(members[static_cast<size_t>(b)].size()) * noise.variance[static_cast<size_t>(b)][kY];
        weight += static_cast<double>(members[static_cast<size_t>(b)].size());
    }
    for (int b = 0; b < PixelNoise::kBins; ++b)
        noise.share[static_cast<size_t>(b)] = weight > 0
            ? static_cast<double>(members[static_cast<size_t>(b)].size()) / weight
            : 0.0;
    noise.lumaDeviation = weight > 0 ? std::sqrt(weighted / weight) : 0.0;
}

} // namespace

double PixelNoise::at(double luma, int channel) const
{
    const double position = std::clamp(luma / 32.0 - 0.5, 0.0, kBins - 1.0);
    const int low = std::min(static_cast<int>(position), kBins - 2);
    const double share = position - low;
    return (1.0 - share) * variance[static_cast<size_t>(low)][static_cast<size_t>(channel)]
        + share * variance[static_cast<size_t>(low + 1)][static_cast<size_t>(channel)];
}

PixelNoise estimatePixelNoise(const ImageDesc& picture)
{
    PixelNoise noise;
    if (picture.pixels == nullptr || picture.width <= 0 || picture.height <= 0
        || (picture.bitsPerPixel != 8 && picture.bitsPerPixel != 24 && picture.bitsPerPixel != 32))
        return noise;
    const Reader reader { picture.pixels, picture.stride, picture.bitsPerPixel / 8 };
    noise.grey = picture.bitsPerPixel == 8;
    const int channels = noise.grey ? 1 : kChannels;

    const Patches finest = readPatches(reader, picture.width, picture.height, 0);
    const BinMembers members = binByBrightness(finest);
    std::array<bool, PixelNoise::kBins> known {};
    BinVariances white = measureWhite(finest, members, channels, known);
    const FlatPatches flat = measureFlatPatches(reader, picture.width, picture.height, channels);
    if (!fillFromNearest(white, known) || !flat.measured)
        return noise;
    boundByPooled(finest, channels, white);
    const Spreads spreads = channelSpreads(flat, channels);
    if (!noise.grey)
        discountSharedTexture(finest, members, spreads, white);
    noise.measured = true;
    noise.whiteVariance = white;
    noise.colouredVariance = smoothedVariance(flat, channels);
    blendReadings(spreads, channels, noise);
    weighBins(members, noise);
    return noise;
}

// A learned profile is a low statistic over photos, so it reads somewhat
// less than one photo's own even on plain noise; and the pixels' estimate
// already leaves most texture out. Only a learned reading below this share
// of the own one says that the photo's texture passes for noise, and only
// the part below it lowers the noise. Fitted on the training photos with
// profiles learned from other photos (tools/auto_strength/choices.py
// --learned); from 0.6 to 0.8 it makes little difference.
constexpr double kLearnedTolerance = 0.7;

bool lowerToLearnedProfile(PixelNoise& noise, const NoiseProfile& learned, const NoiseProfile& own)
{
    if (!noise.measured || learned.bandCount <= 0 || own.bandCount <= 0)
        return false;
    const NoiseBand& a = learned.bands[0];
    const NoiseBand& b = own.bands[0];
    const int points = std::min({ a.pointCount, b.pointCount, kMaxPoints });
    if (points <= 0)
        return false;
    // A band's value at an 8-bit luminance: linear between its points'
    // centres, flat beyond the outer ones.
    auto read = [points](const NoiseBand& band, double luma, int channel) {
        const double position = std::clamp(profilePointOfLuma(luma) - 0.5, 0.0,
            static_cast<double>(points - 1));
        const int low = std::min(static_cast<int>(position), std::max(points - 2, 0));
        const int high = std::min(low + 1, points - 1);
        const double part = position - low;
        return (1.0 - part) * band.noise[low][channel] + part * band.noise[high][channel];
    };
    const int channels = noise.grey ? 1 : kChannels;
    bool lowered = false;
    double weighted = 0.0;
    for (int bin = 0; bin < PixelNoise::kBins; ++bin) {
        const double luma = 32.0 * bin + 16.0;
        for (int c = 0; c < channels; ++c) {
            const double mine = read(b, luma, c);
            const double theirs = read(a, luma, c);
            if (mine <= 0.0 || theirs <= 0.0 || theirs >= kLearnedTolerance * mine)
                continue;
            const double ratio = theirs / (kLearnedTolerance * mine);
            noise.variance[static_cast<size_t>(bin)][static_cast<size_t>(c)] *= ratio * ratio;
            lowered = true;
        }
        weighted += noise.share[static_cast<size_t>(bin)] * noise.variance[static_cast<size_t>(bin)][kY];
    }
    if (lowered)
        noise.lumaDeviation = std::sqrt(weighted);
    return lowered;
}

} // namespace calmora
