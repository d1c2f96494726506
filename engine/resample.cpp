// The two operations between a level and the next coarser one: make child
// (3x3 box average at every second sample) and merge child (the filtered
// child interpolated back, replacing the parent's low frequencies wherever
// its edge classes allow, under the level's suppression strengths).

#include "pyramid.h"
#include "vector_kernels.h"

#include <algorithm>
#include <type_traits>

namespace calmora {

namespace {

// Mean of a window of `count` samples. The 8-bit path rounds to nearest with
// an exact half rounded down (-0.5 gives -1); the 16-bit path truncates.
template <typename Sample, int32_t count>
int32_t windowMean(int32_t sum)
{
    if constexpr (std::is_same_v<Sample, int16_t>) {
        const int32_t scaled = divTrunc(mulWrap(sum, kStrengthOne), count);
        return asr(scaled, kStrengthShift) + ((scaled & (kStrengthOne - 1)) > 64 ? 1 : 0);
    } else {
        return divTrunc(sum, count);
    }
}

// The window holds 1, 2, 3, 4, 6 or 9 samples; dividing by a constant
// spares the division instruction.
template <typename Sample>
int32_t windowMean(int32_t sum, int32_t count)
{
    switch (count) {
    case 9:
        return windowMean<Sample, 9>(sum);
    case 6:
        return windowMean<Sample, 6>(sum);
    case 4:
        return windowMean<Sample, 4>(sum);
    case 3:
        return windowMean<Sample, 3>(sum);
    case 2:
        return windowMean<Sample, 2>(sum);
    default:
        return windowMean<Sample, 1>(sum);
    }
}

// Box sums are separable: column sums over the window's rows first, then
// three columns at a time. Integer sums do not depend on their order (and
// wrap alike), so the result is that of the window summed sample by sample.
template <typename Sample>
void averagePlane(const std::vector<Sample>& parent, int32_t parentWidth, int32_t parentHeight,
    std::vector<Sample>& child, std::vector<Sample>* copy, int32_t childWidth, int32_t childHeight,
    std::vector<int32_t>& columnSums)
{
    columnSums.resize(static_cast<size_t>(parentWidth));
    int32_t* sums = columnSums.data();
    const VectorKernels* kernels = vectorKernels();
    for (int32_t cy = 0; cy < childHeight; ++cy) {
        const int32_t top = std::max(2 * cy - 1, 0);
        const int32_t bottom = std::min(2 * cy + 1, parentHeight - 1);
        const int32_t rows = bottom - top + 1;
        const Sample* first = parent.data() + static_cast<size_t>(top) * parentWidth;
        // The column sums of columns [from, to); the kernel needs none.
        auto sumColumns = [&](int32_t from, int32_t to) {
            for (int32_t x = from; x < to; ++x)
                sums[x] = first[x];
            for (int32_t y = top + 1; y <= bottom; ++y) {
                const Sample* row = parent.data() + static_cast<size_t>(y) * parentWidth;
                for (int32_t x = from; x < to; ++x)
                    sums[x] = addWrap(sums[x], row[x]);
            }
        };
        Sample* out = child.data() + static_cast<size_t>(cy) * childWidth;
        auto edge = [&](int32_t cx) {
            const int32_t left = std::max(2 * cx - 1, 0);
            const int32_t right = std::min(2 * cx + 1, parentWidth - 1);
            int32_t sum = 0;
            for (int32_t x = left; x <= right; ++x)
                sum = addWrap(sum, sums[x]);
            out[cx] = toSample<Sample>(windowMean<Sample>(sum, rows * (right - left + 1)));
        };
        // Interior columns have all three parent columns: 1 <= cx and 2cx + 1 < width.
        const int32_t interiorEnd = std::max(1, std::min(childWidth, parentWidth / 2));
        if (rows == 3) {
            int32_t cx = 1;
            if (kernels != nullptr) {
                const Sample* const parentRows[3]
                    = { first, first + parentWidth, first + 2 * static_cast<size_t>(parentWidth) };
                cx = forSample<Sample>(kernels->averageRow8, kernels->averageRow16)(
                    parentRows, out, cx, interiorEnd);
            }
            // The columns of child column 0 and of those the kernel left.
            const int32_t rest = std::max(2 * cx - 1, 0);
            sumColumns(0, std::min(rest, 2));
            sumColumns(rest, parentWidth);
            edge(0);
            for (; cx < interiorEnd; ++cx) {
                const int32_t sum
                    = addWrap(addWrap(sums[2 * cx - 1], sums[2 * cx]), sums[2 * cx + 1]);
                out[cx] = toSample<Sample>(windowMean<Sample, 9>(sum));
            }
        } else {
            sumColumns(0, parentWidth);
            edge(0);
            for (int32_t cx = 1; cx < interiorEnd; ++cx) {
                const int32_t sum
                    = addWrap(addWrap(sums[2 * cx - 1], sums[2 * cx]), sums[2 * cx + 1]);
                out[cx] = toSample<Sample>(windowMean<Sample>(sum, rows * 3));
            }
        }
        for (int32_t cx = interiorEnd; cx < childWidth; ++cx)
            edge(cx);
        if (copy != nullptr)
            std::copy(out, out + childWidth, copy->data() + static_cast<size_t>(cy) * childWidth);
    }
}

// A child row interpolated to the parent's width: parent columns that fall
// between two child samples take the floor of their mean.
template <typename Sample>
void widenRow(const Sample* row, int32_t childWidth, int32_t parentWidth, int32_t* out,
    const VectorKernels* kernels)
{
    const int32_t pairs = std::min(childWidth - 1, parentWidth / 2);
    int32_t cx = 0;
    if (kernels != nullptr)
        cx = forSample<Sample>(kernels->widenRow8, kernels->widenRow16)(row, pairs, out);
    for (; cx < pairs; ++cx) {
        out[2 * cx] = row[cx];
        out[2 * cx + 1] = halfSum(row[cx], row[cx + 1]);
    }
    // The last child column has no right neighbour.
    for (int32_t px = 2 * std::max(pairs, 0); px < parentWidth; ++px)
        out[px] = row[px >> 1];
}

// The six child planes at the parent positions of one parent row, in the
// order yOut, crOut, cbOut, yIn, crIn, cbIn: a child row widened (once, and
// kept for the next parent row), or where the parent row falls between two
// child rows, the floor of the mean of both widened rows.
struct InterpolatedRow {
    const int32_t* upper[6];
    const int32_t* lower[6]; // null where the parent row has one child row

    int32_t at(int plane, int32_t px) const
    {
        return lower[plane] == nullptr ? upper[plane][px]
                                       : halfSum(upper[plane][px], lower[plane][px]);
    }
};

template <typename Sample>
class RowInterpolator {
public:
    // Keeps its rows in `rows`, whose memory a reused level keeps.
    RowInterpolator(
        const PyramidLevel<Sample>& child, int32_t parentWidth, std::vector<int32_t>& rows)
        : m_child(child)
        , m_width(parentWidth)
    {
        rows.resize(static_cast<size_t>(parentWidth) * kPlanes * 2);
        m_widened = rows.data();
    }

    // Rows must be asked for in increasing order.
    InterpolatedRow row(int32_t py)
    {
        const int32_t cy = py >> 1;
        const bool betweenRows = (py & 1) != 0 && cy + 1 < m_child.height;
        const int32_t* upper = widened(cy);
        const int32_t* lower = betweenRows ? widened(cy + 1) : nullptr;
        InterpolatedRow result {};
        for (int p = 0; p < kPlanes; ++p) {
            const size_t offset = static_cast<size_t>(p) * m_width;
            result.upper[p] = upper + offset;
            result.lower[p] = lower != nullptr ? lower + offset : nullptr;
        }
        return result;
    }

private:
    static constexpr int kPlanes = 6;

    const int32_t* widened(int32_t cy)
    {
        const int slot = cy & 1;
        int32_t* rows = m_widened + static_cast<size_t>(slot) * kPlanes * m_width;
        if (m_slotRow[slot] != cy) {
            const std::vector<Sample>* planes[kPlanes] = { &m_child.yOut, &m_child.crOut,
                &m_child.cbOut, &m_child.yIn, &m_child.crIn, &m_child.cbIn };
            for (int p = 0; p < kPlanes; ++p)
                widenRow(planes[p]->data() + static_cast<size_t>(cy) * m_child.width, m_child.width,
                    m_width, rows + static_cast<size_t>(p) * m_width, m_kernels);
            m_slotRow[slot] = cy;
        }
        return rows;
    }

    const PyramidLevel<Sample>& m_child;
    int32_t m_width;
    const VectorKernels* m_kernels = vectorKernels();
    int32_t* m_widened; // two child rows, six planes each
    int32_t m_slotRow[2] = { -1, -1 };
};

// Pull of the parent towards the child, scaled down on edges. Levels 1 and 2
// keep more of the pull than the coarser ones.
int32_t scaleLumaPull(int32_t d, int32_t edgeClass, bool fineChild)
{
    switch (edgeClass) {
    case kStrongEdge:
        return asr(d, 3);
    case kWeakEdge:
        return fineChild ? asr(d, 1) : asr(d, 2);
    case kSecondRing:
        return fineChild ? subWrap(d, asr(d, 2)) : asr(d, 1);
    default:
        return d;
    }
}

int32_t scaleColourPull(int32_t d, int32_t edgeClass, bool fineChild)
{
    switch (edgeClass) {
    case kStrongEdge:
        return 0;
    case kWeakEdge:
        return fineChild ? asr(d, 2) : asr(d, 3);
    case kSecondRing:
        return fineChild ? asr(d, 1) : asr(d, 2);
    case kThirdRing:
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
void makeChild(PyramidLevel<Sample>& parent, PyramidLevel<Sample>& child, bool withOutput)
{
    child.width = (parent.width + 1) / 2;
    child.height = (parent.height + 1) / 2;
    child.parent = &parent;
    const size_t count = child.sampleCount();
    const std::vector<Sample>* from[3] = { &parent.yIn, &parent.crIn, &parent.cbIn };
    std::vector<Sample>* in[3] = { &child.yIn, &child.crIn, &child.cbIn };
    std::vector<Sample>* out[3] = { &child.yOut, &child.crOut, &child.cbOut };
    for (int c = 0; c < 3; ++c) {
        in[c]->resize(count);
        if (withOutput)
            out[c]->resize(count);
        averagePlane(*from[c], parent.width, parent.height, *in[c], withOutput ? out[c] : nullptr,
            child.width, child.height, child.scratch);
    }
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
    RowInterpolator<Sample> interpolator(child, parent.width, child.scratch);
    const VectorKernels* kernels = vectorKernels();
    int32_t (*mergeRow)(const MergeRow<Sample>&) = kernels != nullptr && child.level < kMaxLevels
        ? forSample<Sample>(kernels->mergeRow8, kernels->mergeRow16)
        : nullptr;
    const int32_t* thresholds[2] = {
        params.scaledNoise[std::min(child.level, kMaxLevels - 1)][kCr],
        params.scaledNoise[std::min(child.level, kMaxLevels - 1)][kCb]
    }; // read below kMaxLevels only

    for (int32_t py = 0; py < parent.height; ++py) {
        const InterpolatedRow at = interpolator.row(py);
        int32_t first = 0;
        if (mergeRow != nullptr) {
            const size_t start = parent.index(0, py);
            const MergeRow<Sample> row { at.upper, at.lower[0] != nullptr ? at.lower : nullptr,
                { parent.yOut.data() + start, parent.crOut.data() + start,
                    parent.cbOut.data() + start },
                { parent.yIn.data() + start, parent.crIn.data() + start,
                    parent.cbIn.data() + start },
                { parent.yClass.data() + start, parent.crClass.data() + start,
                    parent.cbClass.data() + start },
                { strength[kY], strength[kCr], strength[kCb] }, { thresholds[0], thresholds[1] },
                fineChild, limitColour, parent.width };
            first = mergeRow(row);
        }
        for (int32_t px = first; px < parent.width; ++px) {
            const size_t i = parent.index(px, py);
            const int32_t fY = at.at(0, px);
            const int32_t fCr = at.at(1, px);
            const int32_t fCb = at.at(2, px);
            const int32_t nY = subWrap(at.at(3, px), fY);
            const int32_t nCr = subWrap(at.at(4, px), fCr);
            const int32_t nCb = subWrap(at.at(5, px), fCb);
            const int32_t yOut = parent.yOut[i];
            const int32_t crOut = parent.crOut[i];
            const int32_t cbOut = parent.cbOut[i];

            const int32_t classY = parent.yClass[i] & 7;
            int32_t classCr = parent.crClass[i];
            int32_t classCb = parent.cbClass[i];
            if (!fineChild && classY != kNoEdge) {
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
            parent.yOut[i]
                = toSample<Sample>(blendMerge(yOut, parent.yIn[i], pullY, nY, strength[kY]));
            parent.crOut[i]
                = toSample<Sample>(blendMerge(crOut, parent.crIn[i], pullCr, nCr, strength[kCr]));
            parent.cbOut[i]
                = toSample<Sample>(blendMerge(cbOut, parent.cbIn[i], pullCb, nCb, strength[kCb]));
        }
    }
}

template void makeChild<int16_t>(PyramidLevel<int16_t>&, PyramidLevel<int16_t>&, bool);
template void makeChild<int32_t>(PyramidLevel<int32_t>&, PyramidLevel<int32_t>&, bool);
template void mergeChild<int16_t>(PyramidLevel<int16_t>&);
template void mergeChild<int32_t>(PyramidLevel<int32_t>&);

} // namespace calmora
