// The recursive level driver. A level is classified before its child exists
// in filtered form, smoothed only after the whole coarser pyramid has been
// filtered and before the coarser result is merged into it, and sharpened
// last. Level 1's luminance smoothing hands its edge directions up to level
// 0, whose smoothing runs later and finds them.

#include "pyramid.h"

#include <type_traits>
#include <utility>

namespace calmora {

template <typename Sample>
void PyramidLevel<Sample>::reset()
{
    PyramidLevel fresh;
    for (auto plane : { &PyramidLevel::yIn, &PyramidLevel::crIn, &PyramidLevel::cbIn,
             &PyramidLevel::yOut, &PyramidLevel::crOut, &PyramidLevel::cbOut })
        (fresh.*plane).swap(this->*plane);
    for (auto map : { &PyramidLevel::direction, &PyramidLevel::smoothedDirection,
             &PyramidLevel::yClass, &PyramidLevel::crClass, &PyramidLevel::cbClass })
        (fresh.*map).swap(this->*map);
    fresh.scratch.swap(scratch);
    *this = std::move(fresh);
}

template <typename Sample>
void processLevel(PyramidLevel<Sample>& level, const LevelParams& params, int32_t levelNumber,
    bool measure, TileMeasurement* measurement, PyramidLevel<Sample>* deeper)
{
    level.child = nullptr;
    level.params = &params;
    level.level = levelNumber;
    level.grey = level.bytesPerPixel == 1 || level.bytesPerPixel == 2;

    if (levelNumber == 0)
        convertInput(level, !measure);

    if (measure) {
        if constexpr (std::is_same_v<Sample, int16_t>) {
            evaluateLevel(
                level, measurement->evidence[levelNumber], measurement->levels[levelNumber]);
            measurement->levelCount = levelNumber + 1;
        }
    } else {
        level.levelClass = params.levelClass[levelNumber];
        level.sharpenAmount = params.settingsWord;
    }

    if (levelNumber < params.lastLevel) {
        PyramidLevel<Sample>& child = deeper[0];
        child.reset();
        child.bytesPerPixel = level.bytesPerPixel;
        level.child = &child;
        makeChild(level, child, !measure);
        if (!measure)
            classifyEdges(level);
        processLevel(child, params, levelNumber + 1, measure, measurement, deeper + 1);
        if (!measure) {
            smoothLuminance(level, true);
            smoothColour(level, true);
            mergeChild(child);
        }
        level.child = nullptr;
        if (!measure)
            sharpen(level);
    } else if (!measure) {
        classifyEdges(level);
        smoothLuminance(level, false);
        smoothColour(level, false);
        sharpen(level);
    }

    if (level.parent == nullptr && !measure)
        convertOutput(level);
}

template struct PyramidLevel<int16_t>;
template struct PyramidLevel<int32_t>;
template void processLevel<int16_t>(PyramidLevel<int16_t>&, const LevelParams&, int32_t, bool,
    TileMeasurement*, PyramidLevel<int16_t>*);
template void processLevel<int32_t>(PyramidLevel<int32_t>&, const LevelParams&, int32_t, bool,
    TileMeasurement*, PyramidLevel<int32_t>*);

} // namespace calmora
