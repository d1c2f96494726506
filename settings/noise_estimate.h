// The noise a photo carries, estimated from its pixels alone: the variance
// of its luminance and colour-difference noise at each brightness, for the
// automatic strength's error estimate.
//
// Two estimates, because two kinds of noise fool each other's measure:
// - White noise (a raw converter's or a PNG's, independent from pixel to
//   pixel): texture looks like noise to any measure of fine detail, and at
//   low ISO a detailed photo shows far more texture than noise. So only
//   weak-texture patches count (their gradient energy no larger than noise
//   alone would give), and within them the noise is read from the smallest
//   eigenvalue of the patches' covariance: texture, even faint, fills a few
//   directions of the patch space, white noise fills them all alike.
// - Smoothed noise (demosaiced, JPEG-compressed): correlated between
//   neighbours and channels, it has almost no power in some directions, so
//   the smallest eigenvalue misses most of it. Its whole variance shows in
//   patches whose neighbours are flat.
// Which one a channel has shows in the flat patches' eigenvalues: level in
// their lower half for white noise (texture only raises the upper ones),
// spread over decades for smoothed noise.
#pragma once

#include "engine/fixed_point.h"
#include "engine/records.h"

#include <array>

namespace calmora {

struct PixelNoise {
    // Luminance bins of 32 levels (8-bit), by the luminance of the patch.
    static constexpr int kBins = 8;
    // Noise variance of Y, Cr and Cb in 8-bit levels squared at each bin's
    // centre; bins without enough patches take their nearest measured one.
    std::array<std::array<double, kChannels>, kBins> variance {};
    // True for a grey picture: its colour differences are zero.
    bool grey = false;
    // False when no bin had enough patches to measure (a tiny picture);
    // the variances are then zero.
    bool measured = false;

    // The two estimates `variance` blends, per channel, by `spread`: white
    // noise's from weak-texture patches, and the whole variance of
    // smoothed (demosaiced, compressed) noise from flat patches.
    std::array<std::array<double, kChannels>, kBins> whiteVariance {};
    std::array<std::array<double, kChannels>, kBins> colouredVariance {};
    std::array<double, kChannels> spread {};
    // How much of `variance` is the smoothed estimate's, per channel: 0 for
    // white noise, 1 for smoothed, between them a blend.
    std::array<double, kChannels> smoothedShare {};

    // Variance of a channel at a luminance (0 to 255), linear between the
    // bins' centres and flat beyond the outer ones.
    double at(double luma, int channel) const;
    // The luminance noise's standard deviation over the measured bins,
    // weighted by how much of the picture each holds (8-bit levels).
    double lumaDeviation = 0.0;
    // How much of the picture each bin holds, for lumaDeviation.
    std::array<double, kBins> share {};
};

// `picture` is an 8-bit image as the engine takes it (8, 24 or 32 bits per
// pixel); rows may run either way. Reads a bounded number of patches spread
// over the whole picture, so the cost hardly grows with its size.
PixelNoise estimatePixelNoise(const ImageDesc& picture);

// An engine profile's brightness points are the engine's brightness bins.
// Where point p (its centre at p + 0.5) falls in 8-bit luminance, and back.
inline double lumaOfProfilePoint(double point)
{
    return point * static_cast<double>(1 << PathTraits<int16_t>::kBinShift) * 255.0 / kMaxLuma8;
}
inline double profilePointOfLuma(double luma)
{
    return luma * (static_cast<double>(kMaxLuma8) / (1 << PathTraits<int16_t>::kBinShift) / 255.0);
}

// A profile learned over several photos of one camera and ISO speed reads
// the camera's noise, where one photo's own measure also reads its
// texture. The two profiles' finest bands are in the engine's units, not
// the pixels' variance; their ratio at a brightness and channel carries
// over, as the photo's own profile and its pixels see the same kind of
// noise (white or smoothed). So where `learned` reads clearly less than
// `own`, the photo's own measured profile, `noise` is lowered by the square
// of how much less (kLearnedTolerance); it is never raised, since a learned
// profile falls back to the photo's own values where it knows little.
// Returns true when it lowered anything.
bool lowerToLearnedProfile(PixelNoise& noise, const NoiseProfile& learned, const NoiseProfile& own);

} // namespace calmora
