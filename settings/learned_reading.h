// What one photo teaches the learned-profile store. The engine's profile
// reads fine texture as noise, and at low ISO speeds a photo's texture at
// the finest band can read above the camera's noise in every photo alike,
// so a minimum over photos cannot take it out. The pixels' own estimate
// (settings/noise_estimate.h) leaves most texture out; where it says the
// engine's reading was inflated, the learned reading is lowered to it.
// The engine's profile itself is never changed: the image keeps its own
// measurement, only what the store merges changes.
#pragma once

#include "engine/records.h"
#include "settings/noise_estimate.h"

namespace calmora {

// Lowers `profile`'s finest band, per brightness point and channel, to what
// `noise` says the camera's noise alone would read there; never raises a
// value and keeps every weight. Only channels whose noise reads as white,
// where the estimate's texture-robust split applies, are lowered; smoothed
// noise keeps the engine's reading. True when anything was lowered.
bool lowerToPixelNoise(NoiseProfile& profile, const PixelNoise& noise);

// `own` as it is offered to the store for a photo whose pixels' noise
// estimate is `noise`: lowered by it.
NoiseProfile learnedReading(const NoiseProfile& own, const PixelNoise& noise);

} // namespace calmora
