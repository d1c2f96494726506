// Automatic strength: the sixteen filter settings chosen from the noise that
// a photo's own profile shows, for `calmora-cli denoise --preset auto`, the
// batch's per-file choice and the filter pane's "Auto" button. The choice is
// a plain function of the profile the filter would use anyway, so it needs no
// pass over the image of its own. It is not a preset: the values it returns
// are the pane's "Custom" values, and nothing of it is stored.
#pragma once

#include "engine/records.h"
#include "settings/filter_settings.h"

namespace calmora {

struct AutoStrength {
    // False when the noise is so weak that any filtering costs the picture
    // more than it removes: the untouched picture is the best result.
    bool filter = true;
    // The values to filter with. When `filter` is false, the lightest
    // filtering the rule knows, for a front end that filters regardless.
    FilterSettings values;
    // The luminance noise the profile is estimated to show: its standard
    // deviation in 8-bit levels, texture discounted.
    double noiseLevel = 0.0;
};

// The estimate of `noiseLevel` alone. A profile without the three finest
// bands (or without points) reads as no noise.
double estimateNoiseLevel(const NoiseProfile& profile);

AutoStrength chooseAutoStrength(const NoiseProfile& profile);

// For the filter pane's "Auto" button: the values to fill the controls with.
inline FilterSettings autoFilterSettings(const NoiseProfile& profile)
{
    return chooseAutoStrength(profile).values;
}

} // namespace calmora
