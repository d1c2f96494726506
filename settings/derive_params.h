// Turning the sixteen user settings into the per-band, per-channel factors
// that the engine reads. Both derivations write the level and suppression
// factors of bands 0..3, the sharpening amount and the class selector, and
// leave band 4 and `bandCount` alone.
#pragma once

#include "engine/records.h"
#include "settings/filter_settings.h"

namespace calmora {

// For the document's parameters, from the filter pane. The colour level is
// weighted by crFactor and cbFactor. Returns true when any written field
// differs from what `params` held before, which is what makes the pane mark
// the tiles for re-filtering.
bool deriveDocumentParams(const FilterSettings& settings, FilterParams& params);

// For a batch job's parameters, from a preset: both colour channels take the
// luminance formula with colorLevel, and the two colour factors are not read.
void derivePresetParams(const FilterSettings& settings, FilterParams& params);

} // namespace calmora
