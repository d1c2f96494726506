// The two operations between a level and the next coarser one: make child
// (3x3 box average at every second sample) and merge child (the filtered
// child interpolated back, replacing the parent's low frequencies wherever
// its edge classes allow, under the level's suppression strengths).

#include "pyramid.h"

#include <algorithm>
#include <type_traits>

namespace calmora {

namespace {

// Mean of a window of `count` samples. The 8-bit path rounds to nearest with
// an exact half rounded down (-0.5 gives -1); the 16-bit path truncates.
template <typename Sample>
int32_t windowMean(int32_t sum, int32_t count)
{
    if constexpr (std::is_same_v<Sample, int16_t>) {
        const int32_t scaled = divTrunc(mulWrap(sum, kStrengthOne), count);
        return asr(scaled, kStrengthShift) + ((scaled & (kStrengthOne - 1)) > 64 ? 1 : 0);
    } else {
        return divTrunc(sum, count);
    }
}

template <typename Sample>
void averagePlane(const std::vector<Sample>& parent, int32_t parentWidth, int32_t parentHeight,
    std::vector<Sample>& childIn, std::vector<Sample>& childOut, int32_t childWidth,
    int32_t childHeight)
{
    for (int32_t cy = 0; cy < childHeight; ++cy) {
        const int32_t top = std::max(2 * cy - 1, 0);
        const int32_t bottom = std::min(2 * cy + 1, parentHeight - 1);
        for (int32_t cx = 0; cx < childWidth; ++cx) {
            const int32_t left = std::max(2 * cx - 1, 0);
            const int32_t right = std::min(2 * cx + 1, parentWidth - 1);
            int32_t sum = 0;
            for (int32_t y = top; y <= bottom; ++y) {
                const Sample* row = parent.data() + static_cast<size_t>(y) * parentWidth;
                for (int32_t x = left; x <= right; ++x)
                    sum = addWrap(sum, row[x]);
            }
            const int32_t count = (bottom - top + 1) * (right - left + 1);
            const Sample value = toSample<Sample>(windowMean<Sample>(sum, count));
            const size_t i = static_cast<size_t>(cy) * childWidth + cx;
            childIn[i] = value;
            childOut[i] = value;
        }
    }
}

// Child plane value at a parent position: rows and columns that fall between
// two child samples take the floor of their mean.
template <typename Sample>
struct Interpolator {
    const PyramidLevel<Sample>& child;

    int32_t operator()(const std::vector<Sample>& plane, int32_t px, int32_t py) const
    {
        const int32_t cx = px >> 1;
        const int32_t cy = py >> 1;
        const bool betweenColumns = (px & 1) != 0 && cx + 1 < child.width;
        const bool betweenRows = (py & 1) != 0 && cy + 1 < child.height;
        auto rowValue = [&](int32_t row) {
            const Sample* r = plane.data() + static_cast<size_t>(row) * child.width;
            return betweenColumns ? halfSum(r[cx], r[cx + 1]) : static_cast<int32_t>(r[cx]);
        };
        const int32_t first = rowValue(cy);
        return betweenRows ? halfSum(first, rowValue(cy + 1)) : first;
    }
};

// Pull of the parent towards the child, scaled down on edges. Levels 1 and 2
// keep more of the pull than the coarser ones.
int32_t scaleLumaPull(int32_t d, int32_t edgeClass, bool fineChild)
{
    switch (edgeClass) {
    case 1:
        return asr(d, 3);
    case 2:
        return fineChild ? asr(d, 1) : asr(d, 2);
    case 3:
        return fineChild ? subWrap(d, asr(d, 2)) : asr(d, 1);
    default:
        return d;
    }
}

int32_t scaleColourPull(int32_t d, int32_t edgeClass, bool fineChild)
{
    switch (edgeClass) {
    case 1:
        return 0;
    case 2:
        return fineChild ? asr(d, 2) : asr(d, 3);
    case 3:
        return fineChild ? asr(d, 1) : asr(d, 2);
    case 4:
        return fineChild ? subWrap(d, asr(d, 2)) : asr(d, 1);
    default:
        return d;
    }
}

// Lowered to at most the threshold first, then raised to at least its
// negative (the order matters only for a negative threshold).
int32_t limitPull(int32_t pull, int32_t threshold)
{
    pull = std::min(pull, threshold);
    return std::max(pull, subWrap(0, threshold));
}

// F is the parent pulled towards the child, O the parent's own input with the
// coarser levels' noise taken out; the strength chooses between them.
int32_t blendMerge(int32_t out, int32_t in, int32_t pull, int32_t noise, int32_t strength)
{
    const int32_t pulled = addWrap(out, pull);
    const int32_t own = subWrap(in, noise);
    return addWrap(pulled, blend(subWrap(own, pulled), kStrengthOne - strength));
}

} // namespace

template <typename Sample>
void makeChild(PyramidLevel<Sample>& parent, PyramidLevel<Sample>& child)
{
    child.width = (parent.width + 1) / 2;
    child.height = (parent.height + 1) / 2;
    child.parent = &parent;
    const size_t count = child.sampleCount();
    for (std::vector<Sample>* plane :
        { &child.yIn, &child.crIn, &child.cbIn, &child.yOut, &child.crOut, &child.cbOut })
        plane->assign(count, 0);
    averagePlane(parent.yIn, parent.width, parent.height, child.yIn, child.yOut, child.width,
        child.height);
    averagePlane(parent.crIn, parent.width, parent.height, child.crIn, child.crOut, child.width,
        child.height);
    averagePlane(parent.cbIn, parent.width, parent.height, child.cbIn, child.cbOut, child.width,
        child.height);
}

template <typename Sample>
void mergeChild(PyramidLevel<Sample>& child)
{
    if (child.parent == nullptr)
        return;
    PyramidLevel<Sample>& parent = *child.parent;
    const LevelParams& params = *parent.params;
    const int16_t* strength = params.suppression[parent.level];
    const bool fineChild = child.level <= 2;
    const bool limitColour = child.level >= 2;
    const Interpolator<Sample> at { child };

    for (int32_t py = 0; py < parent.height; ++py) {
        for (int32_t px = 0; px < parent.width; ++px) {
            const size_t i = parent.index(px, py);
            const int32_t fY = at(child.yOut, px, py);
            const int32_t fCr = at(child.crOut, px, py);
            const int32_t fCb = at(child.cbOut, px, py);
            const int32_t nY = subWrap(at(child.yIn, px, py), fY);
            const int32_t nCr = subWrap(at(child.crIn, px, py), fCr);
            const int32_t nCb = subWrap(at(child.cbIn, px, py), fCb);
            const int32_t yOut = parent.yOut[i];
            const int32_t crOut = parent.crOut[i];
            const int32_t cbOut = parent.cbOut[i];

            const int32_t classY = parent.yClass[i] & 7;
            int32_t classCr = parent.crClass[i];
            int32_t classCb = parent.cbClass[i];
            if (!fineChild && classY != 0) {
                classCr = std::min(classCr, classY);
                classCb = std::min(classCb, classY);
            }
            const int32_t pullY = scaleLumaPull(subWrap(fY, yOut), classY, fineChild);
            int32_t pullCr = scaleColourPull(subWrap(fCr, crOut), classCr, fineChild);
            int32_t pullCb = scaleColourPull(subWrap(fCb, cbOut), classCb, fineChild);
            if (limitColour) {
                // The bin is the parent's current luminance, before its blend.
                const int32_t bin = brightnessBin<Sample>(yOut);
                pullCr = limitPull(pullCr, noiseThreshold(params, child.level, kCr, bin));
                pullCb = limitPull(pullCb, noiseThreshold(params, child.level, kCb, bin));
            }
            parent.yOut[i] = toSample<Sample>(blendMerge(yOut, parent.yIn[i], pullY, nY, strength[kY]));
            parent.crOut[i]
                = toSample<Sample>(blendMerge(crOut, parent.crIn[i], pullCr, nCr, strength[kCr]));
            parent.cbOut[i]
                = toSample<Sample>(blendMerge(cbOut, parent.cbIn[i], pullCb, nCb, strength[kCb]));
        }
    }
}

template void makeChild<int16_t>(PyramidLevel<int16_t>&, PyramidLevel<int16_t>&);
template void makeChild<int32_t>(PyramidLevel<int32_t>&, PyramidLevel<int32_t>&);
template void mergeChild<int16_t>(PyramidLevel<int16_t>&);
template void mergeChild<int32_t>(PyramidLevel<int32_t>&);

} // namespace calmora
