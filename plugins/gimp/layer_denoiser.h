// Denoising a picture that an editor hands over as samples in memory, the
// way calmora-cli denoises a file: the noise profile measured on the whole
// layer, then the settings (a preset, the sixteen values, or the automatic
// choice), then the filter over the part asked for. Knows nothing of the
// editor, so that the editor's side stays a thin shell.
#pragma once

#include "engine/records.h"
#include "settings/auto_strength.h"
#include "settings/filter_settings.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

namespace calmora {

class PresetTable;

// Samples top-down, each row `width` pixels of grey or red, green and blue,
// then the alpha when there is one; 8-bit samples are kept in uint16_t too.
struct LayerSamples {
    int32_t width = 0;
    int32_t height = 0;
    int colours = 3; // 1 or 3
    bool alpha = false;
    bool sixteenBits = false;
    std::vector<uint16_t> samples;

    int samplesPerPixel() const { return colours + (alpha ? 1 : 0); }
};

// What to filter with: a preset's index, or the sixteen values as the
// filter pane gives them, or the choice made from the layer's own noise.
struct LayerSettings {
    enum class Kind { Preset, Values, Automatic };
    Kind kind = Kind::Preset;
    int presetIndex = 0;
    FilterSettings values;
};

class LayerDenoiser {
public:
    // Measures the whole layer's noise and, when `chooseAutomatically`,
    // makes the automatic choice from the untouched layer. False with
    // `error` when the picture cannot be held or measured.
    bool measure(const LayerSamples& layer, bool chooseAutomatically, QString* error);

    // What the automatic choice found, after measure().
    const AutoStrength& automaticChoice() const { return m_choice; }

    // Filters `part` (a piece of the measured layer, or all of it) in place
    // with the measured profile. `progress` gets 0..100 and may return false
    // to stop; a stopped or refused run leaves `part` as it was and returns
    // false. A layer whose noise the automatic choice finds too weak to
    // filter is left as it is, and true is returned.
    bool filter(LayerSamples& part, const LayerSettings& settings, const PresetTable& presets,
        const std::function<bool(int)>& progress, QString* error) const;

private:
    NoiseProfile m_profile {};
    AutoStrength m_choice;
    bool m_measured = false;
    bool m_chosen = false;
};

} // namespace calmora
