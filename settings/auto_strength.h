// Automatic strength: the sixteen filter settings chosen for one photo by
// what they do to it, for `calmora-cli denoise --preset auto`, the batch's
// per-file choice and the filter pane's "Auto" button.
//
// Each candidate is judged by an estimate of the mean squared error it would
// leave, made without the clean picture: Stein's unbiased risk estimate in
// its Monte-Carlo form, on a few regions of the photo. For a candidate f and
// noise of covariance S,
//   error(f) = |f(y) - y|^2 - tr S + 2 tr(S J),
// where J is f's Jacobian. The last term comes from one more filtering of the
// picture plus a random probe shaped like the noise (its variance per pixel
// and channel from the noise the picture shows, settings/noise_estimate.h):
// the probe's correlation with the change it causes. Leaving the picture as
// it is costs tr S. It is not a preset: the values it returns are the pane's
// "Custom" values, and nothing of it is stored.
#pragma once

#include "engine/engine.h"
#include "engine/records.h"
#include "settings/filter_settings.h"
#include "settings/noise_estimate.h"

#include <vector>

namespace calmora {

struct AutoCandidate {
    FilterSettings values;
    // Estimated mean squared error per sample, in 8-bit levels squared; a
    // candidate the engine refused reads infinity.
    double estimatedError = 0.0;
};

struct AutoStrength {
    // False when leaving the picture as it is promises the smallest error:
    // filtering would cost it more than it removes.
    bool filter = true;
    // The values to filter with. When `filter` is false, the filtering
    // estimated least harmful, for a front end that filters regardless.
    FilterSettings values;
    // The luminance noise the picture shows: its standard deviation in 8-bit
    // levels.
    double noiseLevel = 0.0;
    // True when a learned profile lowered the noise the pixels show.
    bool learnedNoise = false;
    // True when the noise estimate's uncertainty made the choice lighter
    // than the lowest estimate alone would have.
    bool cautious = false;
    // The estimated error of leaving the picture as it is.
    double untouchedError = 0.0;
    // Every candidate with its estimate, lightest first; `chosen` indexes the
    // one `values` holds.
    std::vector<AutoCandidate> candidates;
    int chosen = 0;
};

// `picture` is the untouched photo as 8-bit pixels (8, 24 or 32 bits per
// pixel, as the engine takes them); nothing may write to it meanwhile.
// `profile` is the profile the photo will be filtered with, measured or
// learned; when it is a learned one, `measured` is the photo's own (both as
// smoothed for filtering), and the noise the pixels show is lowered where
// the learned profile reads less (lowerToLearnedProfile). `known`, when
// given, is the picture's noise estimate already made (estimatePixelNoise),
// as learning makes it. Runs the engine on a bounded sample of the photo,
// spread over `threadCount` threads (kAllThreads: one per core); the choice
// does not depend on the thread count.
AutoStrength chooseAutoStrength(const ImageDesc& picture, const NoiseProfile& profile,
    int32_t threadCount = kAllThreads, const NoiseProfile* measured = nullptr,
    const PixelNoise* known = nullptr);

} // namespace calmora
