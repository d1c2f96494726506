#include "plugins/gimp/layer_denoiser.h"

#include "document/image_pixels.h"
#include "engine/engine.h"
#include "settings/derive_params.h"
#include "settings/presets.h"

#include <algorithm>
#include <new>

namespace calmora {

namespace {

const QString kOutOfMemory = QStringLiteral("Not enough memory for the picture.");

bool toPixels(const LayerSamples& layer, PixelBuffers& pixels)
{
    SampleLayout layout;
    layout.colours = layer.colours;
    layout.alpha = layer.alpha;
    layout.sixteenBits = layer.sixteenBits;
    const int64_t rowSamples = int64_t { layer.width } * layer.samplesPerPixel();
    if (layer.width <= 0 || layer.height <= 0
        || static_cast<int64_t>(layer.samples.size()) != rowSamples * layer.height)
        return false;
    try {
        if (!startPicture(pixels, layer.width, layer.height, layout))
            return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (int32_t y = 0; y < layer.height; ++y)
        storeSamples(pixels, layout, y, 0, layer.width, layer.samples.data() + y * rowSamples);
    finishPicture(pixels);
    return true;
}

struct ProgressRun {
    const std::function<bool(int)>* progress = nullptr;
    int32_t tiles = 0;
    int32_t finished = 0;
};

int reportProgress(TileCallbackInfo& info)
{
    auto& run = *static_cast<ProgressRun*>(info.user);
    if (info.processed == 0)
        return 1;
    ++run.finished;
    if (!*run.progress)
        return 1;
    return (*run.progress)(run.finished * 100 / std::max(run.tiles, 1)) ? 1 : 0;
}

} // namespace

bool LayerDenoiser::measure(const LayerSamples& layer, bool chooseAutomatically, QString* error)
{
    m_measured = m_chosen = false;
    PixelBuffers pixels;
    if (!toPixels(layer, pixels)) {
        *error = kOutOfMemory;
        return false;
    }
    TileList tiles;
    buildTileList(layer.width, layer.height, tiles);
    resetProfile(m_profile, false);
    if (!buildProfile(pixels.displayDescription(), tiles, m_profile, nullptr, nullptr)) {
        *error = QStringLiteral("The noise of the picture could not be measured.");
        return false;
    }
    smoothProfile(m_profile);
    if (chooseAutomatically) {
        m_choice = chooseAutoStrength(pixels.displayDescription(), m_profile);
        m_chosen = true;
    }
    m_measured = true;
    return true;
}

bool LayerDenoiser::filter(LayerSamples& part, const LayerSettings& settings,
    const PresetTable& presets, const std::function<bool(int)>& progress, QString* error) const
{
    if (!m_measured || (settings.kind == LayerSettings::Kind::Automatic && !m_chosen)) {
        *error = QStringLiteral("The picture's noise has not been measured.");
        return false;
    }
    // The same derivations as a command-line run: a preset's own, or the
    // pane's for values given one by one and for the automatic choice.
    FilterParams params;
    switch (settings.kind) {
    case LayerSettings::Kind::Preset:
        presets.deriveParams(settings.presetIndex, params);
        break;
    case LayerSettings::Kind::Values:
        deriveDocumentParams(settings.values, params);
        break;
    case LayerSettings::Kind::Automatic:
        if (!m_choice.filter)
            return true;
        deriveDocumentParams(m_choice.values, params);
        break;
    }

    PixelBuffers source;
    PixelBuffers result;
    SampleLayout plain;
    plain.colours = part.colours;
    plain.sixteenBits = part.sixteenBits;
    try {
        if (!toPixels(part, source) || !startPicture(result, part.width, part.height, plain)) {
            *error = kOutOfMemory;
            return false;
        }
    } catch (const std::bad_alloc&) {
        *error = kOutOfMemory;
        return false;
    }
    TileList tiles;
    buildTileList(part.width, part.height, tiles);
    ProgressRun run { &progress, tiles.count(), 0 };
    const bool filtered = filterImage(source.displayDescription(), result.displayDescription(),
        reinterpret_cast<const uint8_t*>(source.highDepth.get()),
        reinterpret_cast<uint8_t*>(result.highDepth.get()), source.bitsPerPixel, tiles, m_profile,
        params, reportProgress, &run);
    if (!filtered || run.finished < run.tiles) {
        *error = filtered ? QStringLiteral("Stopped.")
                          : QStringLiteral("The filter refused the picture or its noise profile.");
        return false;
    }
    // The alpha and the colours as given stay the picture's own, as a saved
    // file keeps them.
    result.alpha = std::move(source.alpha);
    result.straight = std::move(source.straight);
    const int channels = part.samplesPerPixel();
    const int64_t rowSamples = int64_t { part.width } * channels;
    std::vector<uint16_t> row8;
    for (int32_t y = 0; y < part.height; ++y) {
        uint16_t* row = part.samples.data() + y * rowSamples;
        if (part.sixteenBits) {
            readRow(result, y, channels, true, row);
        } else {
            row8.resize(static_cast<size_t>(rowSamples));
            auto* bytes = reinterpret_cast<uint8_t*>(row8.data());
            readRow(result, y, channels, false, bytes);
            for (int64_t i = 0; i < rowSamples; ++i)
                row[i] = bytes[i];
        }
    }
    return true;
}

} // namespace calmora
