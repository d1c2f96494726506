// The recursive level driver. A level is classified before its child exists
// in filtered form, smoothed only after the whole coarser pyramid has been
// filtered and before the coarser result is merged into it, and sharpened
// last. Level 1's luminance smoothing hands its edge directions up to level
// 0, whose smoothing runs later and finds them.

#include "pyramid.h"

#include <type_traits>

namespace calmora {

template <typename Sample>
void PyramidLevel<Sample>::freePlanes()
{
    for (std::vector<Sample>* plane : { &yIn, &crIn, &cbIn, &yOut, &crOut, &cbOut })
        std::vector<Sample>().swap(*plane);
}

template <typename Sample>
void PyramidLevel<Sample>::freeMaps()
{
    for (std::vector<uint8_t>* map :
        { &direction, &smoothedDirection, &yClass, &crClass, &cbClass })
        std::vector<uint8_t>().swap(*map);
}

template <typename Sample>
void processLevel(PyramidLevel<Sample>& level, const LevelParams& params, int32_t levelNumber,
    bool measure, TileMeasurement* measurement)
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
        PyramidLevel<Sample> child;
        child.bytesPerPixel = level.bytesPerPixel;
        level.child = &child;
        makeChild(level, child, !measure);
        if (!measure)
            classifyEdges(level);
        processLevel(child, params, levelNumber + 1, measure, measurement);
        if (!measure) {
            smoothLuminance(level, true);
            smoothColour(level, true);
            mergeChild(child);
        }
        child.freePlanes();
        child.freeMaps();
        level.child = nullptr;
        if (!measure)
            sharpen(level);
    } else if (!measure) {
        classifyEdges(level);
        smoothLuminance(level, false);
        smoothColour(level, false);
        sharpen(level);
    }

    if (level.parent == nullptr) {
        if (!measure)
            convertOutput(level);
        level.freePlanes();
        level.freeMaps();
    }
}

template struct PyramidLevel<int16_t>;
template struct PyramidLevel<int32_t>;
template void processLevel<int16_t>(
    PyramidLevel<int16_t>&, const LevelParams&, int32_t, bool, TileMeasurement*);
template void processLevel<int32_t>(
    PyramidLevel<int32_t>&, const LevelParams&, int32_t, bool, TileMeasurement*);

} // namespace calmora
