// Per-level filtering: luminance smoothing along edges (direction search,
// neighbourhood vote, weighted walk), colour smoothing, and sharpening. On
// every level but the coarsest only edge samples are touched: flat areas are
// denoised by the merge with the coarser level. The coarsest level smooths
// every sample and blends the result with its input by its suppression.

#include "pyramid.h"
#include "vector_kernels.h"

#include <algorithm>
#include <limits>
#include <type_traits>

namespace calmora {

namespace {

struct Offset {
    int32_t dx, dy;
};

// Directions 0..3 are the diagonals and axes, 4..7 the knight's-move slopes
// between them. Maps store the index + 1; 0 means no direction.
constexpr Offset kDirections[8]
    = { { 1, 1 }, { 1, -1 }, { 1, 0 }, { 0, 1 }, { 2, 1 }, { 2, -1 }, { 1, 2 }, { 1, -2 } };
constexpr int kAxisDirections = 4;

template <typename Sample>
int32_t clampedAt(
    const PyramidLevel<Sample>& level, const std::vector<Sample>& plane, int32_t x, int32_t y)
{
    x = clampInt(x, 0, level.width - 1);
    y = clampInt(y, 0, level.height - 1);
    return plane[level.index(x, y)];
}

// Brightness that chooses a sample's noise thresholds: the child's input
// while there is a child, else the level's own `plane`.
template <typename Sample>
int32_t thresholdBin(const PyramidLevel<Sample>& level, const std::vector<Sample>& plane,
    bool hasChild, int32_t x, int32_t y)
{
    const int32_t brightness = hasChild ? level.child->yIn[level.child->index(x >> 1, y >> 1)]
                                        : plane[level.index(x, y)];
    return brightnessBin<Sample>(brightness);
}

// Squared difference in units of 64, the measure of how well a direction
// follows the edge.
template <typename Sample>
int32_t directionCost(const PyramidLevel<Sample>& level, size_t centre, int32_t x, int32_t y)
{
    const int32_t d = asr(subWrap(level.yOut[level.index(x, y)], level.yOut[centre]), 6);
    return mulWrap(d, d);
}

template <typename Sample>
void labelDirection(PyramidLevel<Sample>& level, size_t i, uint8_t label)
{
    level.direction[i] = label;
    level.smoothedDirection[i] = label;
}

// The direction whose samples differ least from the sample at (x, y).
// `inside`: every sample the search looks at (at most 2 away on each axis)
// lies inside the plane, so none needs a check.
template <bool inside, typename Sample>
int chooseDirection(const PyramidLevel<Sample>& level, int32_t x, int32_t y, int candidates)
{
    const size_t centre = level.index(x, y);
    // Step-one samples of the axes (k = 2, 3) also count for the two knight's
    // moves next to them, which have no step-one samples of their own.
    int32_t partial[8] = {};
    int32_t best = std::numeric_limits<int32_t>::max();
    int chosen = 0;
    for (int k = 0; k < candidates; ++k) {
        const Offset o = kDirections[k];
        int32_t sum = partial[k];
        bool givenUp = false;
        for (int sense = 1; sense >= -1 && !givenUp; sense -= 2) {
            for (int step = 1; step <= 2 && !givenUp; ++step) {
                if (k >= kAxisDirections && step == 1)
                    continue;
                const int32_t reach = k < kAxisDirections ? step : 1;
                const int32_t nx = x + sense * reach * o.dx;
                const int32_t ny = y + sense * reach * o.dy;
                if (!inside && !level.contains(nx, ny))
                    continue;
                const int32_t q = directionCost(level, centre, nx, ny);
                if (step == 1 && k == 2) {
                    partial[4] = addWrap(partial[4], q);
                    partial[5] = addWrap(partial[5], q);
                } else if (step == 1 && k == 3) {
                    partial[6] = addWrap(partial[6], q);
                    partial[7] = addWrap(partial[7], q);
                }
                sum = addWrap(sum, q);
                givenUp = sum > best;
            }
        }
        // Ties keep the earlier direction.
        if (!givenUp && sum < best) {
            best = sum;
            chosen = k;
        }
    }
    return chosen;
}

// Labels the sample with direction `chosen` and spreads the label along it.
template <typename Sample>
void labelAlong(PyramidLevel<Sample>& level, int32_t x, int32_t y, int chosen)
{
    const uint8_t label = static_cast<uint8_t>(chosen + 1);
    labelDirection(level, level.index(x, y), label);
    // Spreading the result along the direction spares about three quarters of
    // the edge samples a search of their own.
    const Offset o = kDirections[chosen];
    const Offset near = chosen < kAxisDirections ? o : Offset { o.dx >> 1, o.dy >> 1 };
    const Offset far = chosen < kAxisDirections ? Offset { 2 * o.dx, 2 * o.dy } : o;
    const Offset spread[4] = { near, { -near.dx, -near.dy }, far, { -far.dx, -far.dy } };
    for (const Offset s : spread) {
        const int32_t nx = x + s.dx;
        const int32_t ny = y + s.dy;
        if (level.contains(nx, ny) && level.direction[level.index(nx, ny)] == 0)
            labelDirection(level, level.index(nx, ny), label);
    }
}

// Even rows first, then odd rows; within a row even columns, then odd ones.
// A search reads only the luminance, so the search kernel may choose every
// inside sample's direction beforehand; which samples are searched still
// follows from the labels the visits spread, in this order.
template <typename Sample>
void searchDirections(PyramidLevel<Sample>& level)
{
    const int candidates = level.levelClass == 2 ? kAxisDirections : 8;
    const VectorKernels* kernels = vectorKernels();
    int32_t (*searchRow)(const SearchRow<Sample>&) = kernels != nullptr
        ? forSample<Sample>(kernels->searchRow8, kernels->searchRow16)
        : nullptr;
    // Samples 2 or more from the border see all their search samples.
    constexpr int32_t kReach = 2;
    const uint8_t* chosen = nullptr;
    int32_t chosenEnd = 0;
    if (searchRow != nullptr && level.width > 2 * kReach && level.height > 2 * kReach) {
        level.scratch.resize(level.sampleCount() / 4 + 1);
        uint8_t* rows = reinterpret_cast<uint8_t*>(level.scratch.data());
        for (int32_t y = kReach; y < level.height - kReach; ++y) {
            const size_t row = level.index(0, y);
            chosenEnd = searchRow(
                { level.yOut.data(), level.yClass.data() + row, level.direction.data() + row,
                    rows + row, level.width, y, kReach, level.width - kReach, candidates });
        }
        chosen = rows;
    }
    for (int32_t rowParity = 0; rowParity < 2; ++rowParity) {
        for (int32_t y = rowParity; y < level.height; y += 2) {
            const uint8_t* classes = level.yClass.data() + level.index(0, y);
            const bool insideRow = y >= kReach && y + kReach < level.height;
            for (int32_t columnParity = 0; columnParity < 2; ++columnParity) {
                for (int32_t x = nextMarkedEveryOther(classes, columnParity, level.width);
                     x < level.width; x = nextMarkedEveryOther(classes, x + 2, level.width)) {
                    // Samples labelled by a neighbour or by level 1 are not searched again.
                    if (level.direction[level.index(x, y)] != 0)
                        continue;
                    const bool inside = insideRow && x >= kReach && x + kReach < level.width;
                    if (chosen != nullptr && inside && x < chosenEnd)
                        labelAlong(level, x, y, chosen[level.index(x, y)]);
                    else if (inside)
                        labelAlong(level, x, y, chooseDirection<true>(level, x, y, candidates));
                    else
                        labelAlong(level, x, y, chooseDirection<false>(level, x, y, candidates));
                }
            }
        }
    }
}

// The vote of one sample, whose window of radius r lies inside the map.
template <typename Sample>
void voteAt(PyramidLevel<Sample>& level, int32_t x, int32_t y, int32_t r)
{
    const int32_t side = 2 * r + 1;
    const int32_t majority = (side * side + 1) / 2;
    const uint8_t* direction = level.direction.data();
    uint8_t counts[9] = {};
    int32_t leaderCount = 0;
    uint8_t leader = 0;
    const uint8_t* window = direction + level.index(x - r, y - r);
    for (int32_t j = 0; j < side && leaderCount < majority; ++j, window += level.width) {
        for (int32_t i = 0; i < side && leaderCount < majority; ++i) {
            const uint8_t label = window[i];
            if (label == 0)
                continue;
            // The first label to reach a count wins ties.
            if (++counts[label] > leaderCount) {
                leaderCount = counts[label];
                leader = label;
            }
        }
    }
    const size_t c = level.index(x, y);
    const uint8_t own = direction[c];
    const int32_t ownCount = own != 0 ? counts[own] : 0;
    if (leader != 0 && ownCount < leaderCount)
        level.smoothedDirection[c] = leader;
}

// Every vote sees the labels of the search: only smoothedDirection changes.
template <typename Sample>
void voteDirections(PyramidLevel<Sample>& level)
{
    const int32_t r = level.level == 0 ? 1 : 2;
    const int32_t end = level.width - r;
    const VectorKernels* kernels = vectorKernels();
    for (int32_t y = r; y < level.height - r; ++y) {
        const uint8_t* classes = level.yClass.data() + level.index(0, y);
        int32_t x = r;
        if (kernels != nullptr && end > r) {
            const VoteRow row { level.direction.data(), classes,
                level.smoothedDirection.data() + level.index(0, y), level.width, y, r, r, end };
            x = kernels->voteRow(row);
        }
        for (x = nextMarked(classes, x, end); x < end; x = nextMarked(classes, x + 1, end))
            voteAt(level, x, y, r);
    }
}

struct Walk {
    int32_t maxDistance;
    bool allDirections; // the coarsest level walks directions 0..3
};

template <typename Sample>
Walk walkFor(const PyramidLevel<Sample>& level, bool hasChild)
{
    if (!hasChild)
        return { 2, true };
    switch (level.levelClass) {
    case 0:
        return { 4, false };
    case 1:
        return { level.level == 0 ? 2 : 3, false };
    default:
        return { level.level == 0 ? 0 : 1, false };
    }
}

// The walk of one sample.
template <typename Sample>
void averageAt(PyramidLevel<Sample>& level, bool hasChild, const Walk& walk, int32_t x, int32_t y)
{
    const LevelParams& params = *level.params;
    const bool coarsest = level.level == params.lastLevel;
    const int32_t strength = params.suppression[level.level][kY];
    const size_t c = level.index(x, y);
    int directions[4];
    int directionCount = 0;
    if (walk.allDirections) {
        for (int k = 0; k < kAxisDirections; ++k)
            directions[directionCount++] = k;
    } else {
        if (level.yClass[c] == kNoEdge)
            return;
        if (level.smoothedDirection[c] != 0)
            directions[directionCount++] = level.smoothedDirection[c] - 1;
    }
    const int32_t y0 = level.yIn[c];
    const int32_t tY
        = noiseThreshold(params, level.level, kY, thresholdBin(level, level.yIn, hasChild, x, y));
    const int32_t base = asr(tY, 6);
    // A sample this different closes the walk after it; one more
    // different is rejected.
    const int32_t soft = level.level == 0 ? asr(base, 3) : asr(base, 2);
    const int32_t hard = asr(soft, 1);
    int32_t sum = mulWrap(y0, base);
    int32_t weight = base;
    bool open = true;
    for (int32_t s = 1; s <= walk.maxDistance; ++s) {
        bool lastRejected = false;
        for (int sense = -s; sense <= s; sense += 2 * s) {
            for (int d = 0; d < directionCount; ++d) {
                const int k = directions[d];
                int32_t dx = kDirections[k].dx * sense;
                int32_t dy = kDirections[k].dy * sense;
                // Half steps of the knight's moves: the two senses are
                // not always mirror images.
                if (k >= kAxisDirections) {
                    dx = asr(dx, 1);
                    dy = asr(dy, 1);
                }
                const int32_t yn = clampedAt(level, level.yIn, x + dx, y + dy);
                const int32_t w = subWrap(base, asr(absWrap(subWrap(yn, y0)), 6));
                lastRejected = !open || w < hard;
                if (lastRejected)
                    continue;
                if (w < soft)
                    open = false;
                if (w > 0) {
                    sum = addWrap(sum, mulWrap(w, yn));
                    weight = addWrap(weight, w);
                }
            }
        }
        if (lastRejected)
            break;
    }
    if (weight == 0)
        return;
    int32_t v = divTrunc(sum, weight);
    if (coarsest)
        v = addWrap(y0, blend(subWrap(v, y0), strength));
    level.yOut[c] = toSample<Sample>(v);
}

// The brightness row that picks the thresholds of row y (thresholdBin).
template <typename Sample>
BrightnessRow<Sample> brightnessRow(
    const PyramidLevel<Sample>& level, const std::vector<Sample>& plane, bool hasChild, int32_t y)
{
    if (hasChild)
        return { level.child->yIn.data() + level.child->index(0, y >> 1), true };
    return { plane.data() + level.index(0, y), false };
}

template <typename Sample>
void averageAlongEdges(PyramidLevel<Sample>& level, bool hasChild)
{
    const LevelParams& params = *level.params;
    const Walk walk = walkFor(level, hasChild);
    const VectorKernels* kernels = vectorKernels();
    int32_t (*walkRow)(const WalkRow<Sample>&) = kernels != nullptr && level.level < kMaxLevels
        ? forSample<Sample>(kernels->walkRow8, kernels->walkRow16)
        : nullptr;
    // The kernel takes the samples whose walks stay inside the plane.
    const int32_t reach = walk.maxDistance;
    for (int32_t y = 0; y < level.height; ++y) {
        int32_t x = 0;
        if (walkRow != nullptr && y >= reach && y + reach < level.height
            && level.width - reach > reach) {
            for (; x < reach; ++x)
                averageAt(level, hasChild, walk, x, y);
            const size_t row = level.index(0, y);
            const WalkRow<Sample> walkRowArgs { level.yIn.data(), level.yOut.data() + row,
                level.yClass.data() + row, level.smoothedDirection.data() + row,
                brightnessRow(level, level.yIn, hasChild, y), params.scaledNoise[level.level][kY],
                level.width, y, x, level.width - reach, walk.maxDistance, walk.allDirections,
                level.level == 0 ? 3 : 2, level.level == params.lastLevel,
                params.suppression[level.level][kY] };
            x = walkRow(walkRowArgs);
        }
        for (; x < level.width; ++x)
            averageAt(level, hasChild, walk, x, y);
    }
}

// Level 1 hands its directions to the edge samples of level 0, whose own
// search runs later and skips them.
template <typename Sample>
void handOverDirections(PyramidLevel<Sample>& level)
{
    PyramidLevel<Sample>& parent = *level.parent;
    for (int32_t py = 0; py < parent.height; ++py) {
        const uint8_t* classes = parent.yClass.data() + parent.index(0, py);
        for (int32_t px = nextMarked(classes, 0, parent.width); px < parent.width;
             px = nextMarked(classes, px + 1, parent.width)) {
            const size_t p = parent.index(px, py);
            const size_t c = level.index(px >> 1, py >> 1);
            if (level.yClass[c] == kNoEdge)
                continue;
            parent.direction[p] = level.direction[c];
            parent.smoothedDirection[p] = level.smoothedDirection[c];
        }
    }
}

struct ColourChannel {
    bool takesPart;
    bool open;
    int32_t centre;
    int32_t threshold;
    int32_t sum;
    int32_t count;
};

// Colour weights are formed in 32 bits: a 16-bit weight would make a strong
// colour setting (threshold 32768 or more) close every walk at once.
void takeColourSample(ColourChannel& channel, int32_t value)
{
    if (!channel.takesPart || !channel.open)
        return;
    const int32_t w = subWrap(channel.threshold, asr(absWrap(subWrap(value, channel.centre)), 6));
    if (w < asr(channel.threshold, 3))
        channel.open = false;
    if (w < 1) {
        channel.open = false;
        return;
    }
    channel.sum = addWrap(channel.sum, value);
    ++channel.count;
}

} // namespace

template <typename Sample>
void smoothLuminance(PyramidLevel<Sample>& level, bool hasChild)
{
    if (hasChild) {
        searchDirections(level);
        if (level.levelClass == 0)
            voteDirections(level);
    }
    averageAlongEdges(level, hasChild);
    if (level.level == 1 && level.parent != nullptr)
        handOverDirections(level);
}

// The colour walks of one sample.
template <typename Sample>
void smoothColourAt(PyramidLevel<Sample>& level, bool hasChild, int32_t x, int32_t y)
{
    const LevelParams& params = *level.params;
    const bool coarsest = level.level == params.lastLevel;
    const int32_t maxDistance = level.level == 0 ? 2 : 1;
    const size_t c = level.index(x, y);
    const bool crEdge = level.crClass[c] != kNoEdge;
    const bool cbEdge = level.cbClass[c] != kNoEdge;
    if (hasChild && !crEdge && !cbEdge)
        return;
    // Runs after the luminance smoothing and so sees its result.
    const int32_t bin = thresholdBin(level, level.yOut, hasChild, x, y);
    ColourChannel cr { !hasChild || crEdge, true, level.crIn[c],
        noiseThreshold(params, level.level, kCr, bin), level.crIn[c], 1 };
    ColourChannel cb { !hasChild || cbEdge, true, level.cbIn[c],
        noiseThreshold(params, level.level, kCb, bin), level.cbIn[c], 1 };
    for (int32_t s = 1; s <= maxDistance; ++s) {
        for (int sense = -s; sense <= s; sense += 2 * s) {
            for (int k = 0; k < kAxisDirections && (cr.open || cb.open); ++k) {
                const int32_t nx = x + sense * kDirections[k].dx;
                const int32_t ny = y + sense * kDirections[k].dy;
                takeColourSample(cr, clampedAt(level, level.crIn, nx, ny));
                takeColourSample(cb, clampedAt(level, level.cbIn, nx, ny));
            }
        }
    }
    // The average is unweighted; a channel that used no neighbour keeps its
    // output value.
    auto finish = [&](const ColourChannel& channel, int channelIndex, std::vector<Sample>& out) {
        if (channel.count <= 1)
            return;
        int32_t v = divTrunc(channel.sum, channel.count);
        if (coarsest) {
            const int32_t strength = params.suppression[level.level][channelIndex];
            v = addWrap(channel.centre, blend(subWrap(v, channel.centre), strength));
        }
        out[c] = toSample<Sample>(v);
    };
    finish(cr, kCr, level.crOut);
    finish(cb, kCb, level.cbOut);
}

template <typename Sample>
void smoothColour(PyramidLevel<Sample>& level, bool hasChild)
{
    if (level.grey)
        return;
    const LevelParams& params = *level.params;
    const int32_t maxDistance = level.level == 0 ? 2 : 1;
    const VectorKernels* kernels = vectorKernels();
    int32_t (*colourRow)(const ColourRow<Sample>&) = kernels != nullptr && level.level < kMaxLevels
        ? forSample<Sample>(kernels->colourRow8, kernels->colourRow16)
        : nullptr;
    for (int32_t y = 0; y < level.height; ++y) {
        int32_t x = 0;
        if (colourRow != nullptr && y >= maxDistance && y + maxDistance < level.height
            && level.width - maxDistance > maxDistance) {
            for (; x < maxDistance; ++x)
                smoothColourAt(level, hasChild, x, y);
            const size_t row = level.index(0, y);
            const ColourRow<Sample> colourRowArgs { { level.crIn.data(), level.cbIn.data() },
                { level.crOut.data() + row, level.cbOut.data() + row },
                { level.crClass.data() + row, level.cbClass.data() + row },
                brightnessRow(level, level.yOut, hasChild, y),
                { params.scaledNoise[level.level][kCr], params.scaledNoise[level.level][kCb] },
                level.width, y, x, level.width - maxDistance, maxDistance, hasChild,
                level.level == params.lastLevel,
                { params.suppression[level.level][kCr], params.suppression[level.level][kCb] } };
            x = colourRow(colourRowArgs);
        }
        for (; x < level.width; ++x)
            smoothColourAt(level, hasChild, x, y);
    }
}

template <typename Sample>
void sharpen(PyramidLevel<Sample>& level)
{
    if (level.level > 2 || level.sharpenAmount == 0)
        return;
    if (level.height <= 4 || level.width <= 4)
        return;
    const int32_t spread = level.level == 0 ? 1 : 2 * level.level;
    const int32_t t
        = divTrunc(mulWrap(mulWrap(10 - level.levelClass, level.sharpenAmount), 5), 10 * spread);
    int32_t b = divTrunc(mulWrap(t, kStrengthOne), 100);
    // 128 would divide by zero below.
    if (b == kStrengthOne)
        b = kStrengthOne - 1;
    // In place: later samples see earlier results.
    for (int32_t y = 2; y < level.height - 2; ++y) {
        const uint8_t* classes = level.yClass.data() + level.index(0, y);
        for (int32_t x = nextMarked(classes, 2, level.width - 2); x < level.width - 2;
             x = nextMarked(classes, x + 1, level.width - 2)) {
            const int32_t edgeClass = level.yClass[level.index(x, y)] & 7;
            if (edgeClass != kStrongEdge && edgeClass != kWeakEdge)
                continue;
            const int32_t centre = level.yOut[level.index(x, y)];
            // Nine samples two apart, with the centre counted twice.
            int32_t sum = centre;
            for (int32_t j = -2; j <= 2; j += 2)
                for (int32_t i = -2; i <= 2; i += 2)
                    sum = addWrap(sum, level.yOut[level.index(x + i, y + j)]);
            const int32_t mean = divTrunc(sum, 10);
            int32_t v = subWrap(mulWrap(kStrengthOne, centre), mulWrap(b, mean));
            v = std::max(v, 0);
            v = divTrunc(v, kStrengthOne - b);
            if constexpr (PathTraits<Sample>::kSharpenCap)
                v = std::min(v, kMaxLuma8);
            level.yOut[level.index(x, y)] = toSample<Sample>(v);
        }
    }
}

template void smoothLuminance<int16_t>(PyramidLevel<int16_t>&, bool);
template void smoothLuminance<int32_t>(PyramidLevel<int32_t>&, bool);
template void smoothColour<int16_t>(PyramidLevel<int16_t>&, bool);
template void smoothColour<int32_t>(PyramidLevel<int32_t>&, bool);
template void sharpen<int16_t>(PyramidLevel<int16_t>&);
template void sharpen<int32_t>(PyramidLevel<int32_t>&);

} // namespace calmora
