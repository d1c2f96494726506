// Noise measurement of one level of an 8-bit tile. Looks for 8x8 blocks that
// are flat apart from noise and takes, per block and channel, a robust noise
// value (the lower median over nine sample points of the largest difference to
// a neighbour) with a weight that grows with the block's flatness. Thresholds
// are relaxed pass by pass until every channel has found a block. At the end
// the block values are filed per brightness point and channel into the level's
// histogram lists (plane units, >= 0) and the band's sample weights are raised
// (at most 32767). Evaluating the blocks reads the level alone and may run
// beside other tiles; filing them depends on earlier tiles' weights and runs
// in tile order.
#include "engine/pyramid.h"
#include "engine/vector_kernels.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <utility>
#include <vector>

namespace calmora {
namespace {

constexpr int kBlockShift = 3; // blocks of 8 by 8 samples
constexpr int kBlockSize = 1 << kBlockShift;
// Sample points of a block, in each axis; their 3x3 windows tile the block.
constexpr int32_t kPointOffsets[3] = { 0, 3, 6 };
constexpr int kPointsPerBlock = 9;
constexpr int kNeighbours = 8;

// Luminance thresholds shrink at deeper levels, whose samples are averages and
// so carry less noise. Levels beyond the table use its last entry.
constexpr int kLevelShift[] = { 0, 1, 2, 4, 4, 4 };
constexpr int kLevelShiftEntries = static_cast<int>(sizeof(kLevelShift) / sizeof(kLevelShift[0]));

// A brightness point with more evidence than this in all three channels is
// not measured again, across tiles and across builds that keep the weights.
constexpr int32_t kEnoughEvidence = 1024;
constexpr int32_t kColourDevLimit = 512;
constexpr int32_t kColourFlatLimit = 1024;
constexpr int32_t kMaxBlockWeightY = 2048;
constexpr int32_t kMaxBandWeight = 32767;
// Mean accepted colour noise (scaled by level + 1) above which a level may run
// the two extended passes.
constexpr int32_t kExtendedColourNoise = 2190;
constexpr int kRegularPasses = 4;
constexpr int kExtendedLastPass = 6;
// Each list entry of the summary stands for 256 units of block weight.
constexpr int kSummaryWeightShift = 8;
// Blocks whose correction factor is at most 1.0 (in 1/1024) keep their value.
constexpr int kCorrectionShift = 10;
constexpr int32_t kCorrectionOne = 1 << kCorrectionShift;

using Block = NoiseBlock;

bool hasEnoughEvidence(const int16_t* evidence)
{
    return evidence[kY] > kEnoughEvidence && evidence[kCr] > kEnoughEvidence
        && evidence[kCb] > kEnoughEvidence;
}

// Mean absolute deviation from the mean, both truncated; count > 0. The values
// are small (at most nine plane differences), so 32 bits hold the sums.
int32_t meanAbsDeviation(const int32_t* values, int32_t count)
{
    int32_t sum = 0;
    for (int32_t i = 0; i < count; ++i)
        sum += values[i];
    const int32_t mean = sum / count;
    int32_t deviation = 0;
    for (int32_t i = 0; i < count; ++i)
        deviation += std::abs(values[i] - mean);
    return deviation / count;
}

// The median of nine values by a fixed network of 19 exchanges, without
// branches: most blocks have all nine sample points.
int32_t medianOfNine(const int32_t* values)
{
    int32_t p[9];
    std::copy(values, values + 9, p);
    auto order = [&](int a, int b) {
        const int32_t low = std::min(p[a], p[b]);
        p[b] = std::max(p[a], p[b]);
        p[a] = low;
    };
    order(1, 2), order(4, 5), order(7, 8), order(0, 1), order(3, 4), order(6, 7);
    order(1, 2), order(4, 5), order(7, 8), order(0, 3), order(5, 8), order(4, 7);
    order(3, 6), order(1, 4), order(2, 5), order(4, 7), order(4, 2), order(6, 4);
    order(4, 2);
    return p[4];
}

int32_t lowerMedian(int32_t* values, int32_t count)
{
    if (count == 9)
        return medianOfNine(values);
    int32_t* middle = values + (count - 1) / 2;
    std::nth_element(values, middle, values + count);
    return *middle;
}

// Pooled mean of yIn over the nine 3x3 windows (samples outside the plane left
// out), as a brightness bin; -1 if no sample lies inside.
int32_t blockBin(const PyramidLevel<int16_t>& level, int32_t x0, int32_t y0)
{
    // One sum and one count over all nine windows together, not a mean of the
    // nine window means.
    int32_t sum = 0;
    int32_t count = 0;
    for (int32_t oy : kPointOffsets) {
        for (int32_t ox : kPointOffsets) {
            for (int32_t y = y0 + oy - 1; y <= y0 + oy + 1; ++y) {
                for (int32_t x = x0 + ox - 1; x <= x0 + ox + 1; ++x) {
                    if (!level.contains(x, y))
                        continue;
                    sum += level.yIn[level.index(x, y)];
                    ++count;
                }
            }
        }
    }
    if (count == 0)
        return -1;
    return brightnessBin<int16_t>(sum / count);
}

// Statistics of the block at (x0, y0) from its nine sample points and their
// neighbours at distance r. They do not depend on the pass, so each block is
// evaluated once and the passes only apply their limits.
void evaluateBlock(
    const PyramidLevel<int16_t>& level, int32_t x0, int32_t y0, int32_t r, Block& block)
{
    const int32_t neighbourOffsets[kNeighbours][2] = {
        { -r, -r },
        { r, r },
        { -r, r },
        { r, -r },
        { 0, r },
        { 0, -r },
        { r, 0 },
        { -r, 0 },
    };
    const std::vector<int16_t>* planes[kChannels] = { &level.yIn, &level.crIn, &level.cbIn };

    int32_t brightness[kPointsPerBlock];
    int32_t largest[kChannels][kPointsPerBlock];
    int32_t pointDev[kChannels][kPointsPerBlock];
    int32_t points = 0;
    for (int32_t oy : kPointOffsets) {
        for (int32_t ox : kPointOffsets) {
            const int32_t px = x0 + ox;
            const int32_t py = y0 + oy;
            if (!level.contains(px, py))
                continue;
            const size_t centre = level.index(px, py);
            int32_t neighbourSum = 0;
            int32_t diffs[kChannels][kNeighbours];
            int32_t m = 0;
            for (const auto& offset : neighbourOffsets) {
                const int32_t nx = px + offset[0];
                const int32_t ny = py + offset[1];
                if (!level.contains(nx, ny))
                    continue;
                const size_t at = level.index(nx, ny);
                neighbourSum += level.yIn[at];
                for (int c = 0; c < kChannels; ++c)
                    diffs[c][m] = std::abs((*planes[c])[at] - (*planes[c])[centre]);
                ++m;
            }
            if (m == 0)
                continue;
            brightness[points] = neighbourSum / m;
            for (int c = 0; c < kChannels; ++c) {
                largest[c][points] = *std::max_element(diffs[c], diffs[c] + m);
                pointDev[c][points] = meanAbsDeviation(diffs[c], m);
            }
            ++points;
        }
    }
    if (points == 0)
        return;

    block.measurable = true;
    block.flatY = meanAbsDeviation(brightness, points);
    for (int c = 0; c < kChannels; ++c) {
        // The block's deviation is the spread of the points' own deviations
        // (their mean absolute deviations), not of their largest differences.
        block.dev[c] = meanAbsDeviation(pointDev[c], points);
        block.median[c] = lowerMedian(largest[c], points);
    }
}

struct PassLimits {
    int32_t thrY;
    int32_t limY;
};

PassLimits passLimits(int pass, int32_t levelNumber)
{
    const int strictness = pass == 5 ? 1 : pass;
    PassLimits limits;
    limits.limY = 1 << (strictness + 6);
    if (pass <= kRegularPasses) {
        const int32_t base = strictness == 1 ? 192 : (strictness == 2 ? 220 : 256);
        limits.thrY = base >> kLevelShift[std::min(levelNumber, kLevelShiftEntries - 1)];
    } else {
        // The extended passes take no level shift on the luminance threshold;
        // their flatness limit uses strictness 1 (pass 5) or 6 (pass 6) and is
        // doubled on every level deeper than 0.
        limits.thrY = (pass - kRegularPasses) * 256;
        if (levelNumber > 0)
            limits.limY <<= 1;
    }
    return limits;
}

// Lowers a luminance value by the block's colour evidence at levels above 0,
// where coarse colour noise leaks into the luminance.
int32_t colourCorrectedY(int32_t value, const Block& block, int32_t levelNumber, int32_t pointCount)
{
    const int32_t k = ((pointCount - (block.bin >> (levelNumber + 2))) << (levelNumber - 1))
        << kCorrectionShift;
    const int32_t a = block.dev[kCr] == 0 ? INT32_MAX : divTrunc(k, block.dev[kCr]);
    const int32_t b = block.dev[kCb] == 0 ? INT32_MAX : divTrunc(k, block.dev[kCb]);
    const int32_t x = std::min(a, b);
    if (x <= kCorrectionOne)
        return value;
    const int32_t scaled = (value << kCorrectionShift) / x;
    const int32_t candidate = levelNumber <= 6 ? value - ((value - scaled) >> 1) : scaled;
    return std::min(candidate, value);
}

// The sample point statistics of the three point rows of a block row, one
// row of each statistic per point row, by position.
struct PointRows {
    int32_t* brightness[3];
    int32_t* largest[3][kChannels];
    int32_t* deviation[3][kChannels];
};

// The block at x0 from point statistics gathered beforehand: what
// evaluateBlock gives when all nine points and their neighbours lie inside.
void blockFromPoints(const PointRows& rows, int32_t x0, Block& block)
{
    int32_t brightness[kPointsPerBlock];
    int32_t largest[kChannels][kPointsPerBlock];
    int32_t pointDev[kChannels][kPointsPerBlock];
    int32_t points = 0;
    for (int row = 0; row < 3; ++row) {
        for (int32_t ox : kPointOffsets) {
            const int32_t x = x0 + ox;
            brightness[points] = rows.brightness[row][x];
            for (int c = 0; c < kChannels; ++c) {
                largest[c][points] = rows.largest[row][c][x];
                pointDev[c][points] = rows.deviation[row][c][x];
            }
            ++points;
        }
    }
    block.measurable = true;
    block.flatY = meanAbsDeviation(brightness, points);
    for (int c = 0; c < kChannels; ++c) {
        block.dev[c] = meanAbsDeviation(pointDev[c], points);
        block.median[c] = lowerMedian(largest[c], points);
    }
}

// evaluateLevel's loop with the vector kernels. A block whose 9 by 9
// brightness window lies inside the plane (its nine 3x3 windows tile it)
// takes its bin from column sums over the window's rows; a block whose
// points and their neighbours all lie inside takes its statistics from the
// point kernel, run along the point rows of the blocks that need them.
// Blocks at the borders are evaluated as before.
void evaluateBlockRows(const PyramidLevel<int16_t>& level, const int16_t (*evidence)[kChannels],
    int32_t r, int32_t step, int32_t visitedColumns, int32_t visitedRows,
    const VectorKernels& kernels, LevelBlocks& result)
{
    const size_t width = static_cast<size_t>(level.width);
    std::vector<int32_t>& scratch = result.scratch;
    scratch.resize(width * (2 + 3 * (1 + 2 * kChannels)));
    int32_t* columnSums = scratch.data();
    int32_t* needed = columnSums + width; // by block column, 1 where evaluated
    PointRows rows {};
    int32_t* next = needed + width;
    for (int row = 0; row < 3; ++row) {
        rows.brightness[row] = next;
        next += width;
        for (int c = 0; c < kChannels; ++c) {
            rows.largest[row][c] = next;
            rows.deviation[row][c] = next + width;
            next += 2 * width;
        }
    }
    const int32_t span = step * kBlockSize;
    // Blocks whose points and neighbours lie inside, along the row.
    const int32_t firstInside = (r + span - 1) / span;
    const int32_t lastInsideX = level.width - 7 - r;
    const int32_t endInside
        = lastInsideX < 0 ? 0 : std::min(visitedColumns, lastInsideX / span + 1);

    for (int32_t row = 0; row < visitedRows; ++row) {
        Block* blocks = result.blocks.data() + static_cast<size_t>(row) * visitedColumns;
        const int32_t y0 = row * span;
        const bool windowRows = y0 >= 1;
        if (windowRows) {
            for (size_t x = 0; x < width; ++x)
                columnSums[x] = 0;
            for (int32_t y = y0 - 1; y <= y0 + 7; ++y) {
                const int16_t* samples = level.yIn.data() + level.index(0, y);
                for (size_t x = 0; x < width; ++x)
                    columnSums[x] += samples[x];
            }
        }
        for (int32_t column = 0; column < visitedColumns; ++column) {
            Block& block = blocks[column];
            const int32_t x0 = column * span;
            if (windowRows && x0 >= 1) {
                int32_t sum = 0;
                for (int32_t x = x0 - 1; x <= x0 + 7; ++x)
                    sum += columnSums[x];
                block.bin = brightnessBin<int16_t>(sum / 81);
            } else {
                block.bin = blockBin(level, x0, y0);
            }
            // A negative bin only comes from a wrapped plane; it has no
            // brightness point to be filed under.
            needed[column] = block.bin >= 0 && !hasEnoughEvidence(evidence[block.bin]) ? 1 : 0;
        }

        const bool insideRows = y0 >= r && y0 + 6 + r < level.height;
        // Runs of needed blocks inside; each point row of a run through the
        // kernel, or its blocks evaluated one by one if it is too short.
        for (int32_t column = firstInside; insideRows && column < endInside;) {
            if (needed[column] == 0) {
                ++column;
                continue;
            }
            int32_t last = column;
            while (step == 1 && last + 1 < endInside && needed[last + 1] != 0)
                ++last;
            const int32_t first = column * span;
            const int32_t end
                = std::min(std::max(last * span + 7, first + kernels.lanes), level.width - r);
            bool done = true;
            for (int pointRow = 0; pointRow < 3 && done; ++pointRow) {
                const PointRow points { { level.yIn.data(), level.crIn.data(), level.cbIn.data() },
                    level.width, y0 + kPointOffsets[pointRow], r, first, end,
                    rows.brightness[pointRow],
                    { rows.largest[pointRow][0], rows.largest[pointRow][1],
                        rows.largest[pointRow][2] },
                    { rows.deviation[pointRow][0], rows.deviation[pointRow][1],
                        rows.deviation[pointRow][2] } };
                done = kernels.pointRow(points) == end;
            }
            for (int32_t c = column; c <= last; ++c) {
                if (needed[c] == 0)
                    continue;
                if (done)
                    blockFromPoints(rows, c * span, blocks[c]);
                else
                    evaluateBlock(level, c * span, y0, r, blocks[c]);
                needed[c] = 0;
            }
            column = last + 1;
        }
        for (int32_t column = 0; column < visitedColumns; ++column) {
            if (needed[column] != 0)
                evaluateBlock(level, column * span, y0, r, blocks[column]);
        }
    }
}

} // namespace

void evaluateLevel(
    const PyramidLevel<int16_t>& level, const int16_t (*evidence)[kChannels], LevelBlocks& result)
{
    result.level = -1;
    result.blocks.clear();
    const int32_t levelNumber = level.level;
    // Guards against records no run produces: a level outside the histogram
    // array (the shifts below depend on it) and planes shorter than their size.
    if (levelNumber < 0 || levelNumber >= kHistogramLevels || level.width <= 0 || level.height <= 0)
        return;
    const size_t samples = level.sampleCount();
    if (level.yIn.size() < samples || level.crIn.size() < samples || level.cbIn.size() < samples)
        return;
    result.level = levelNumber;
    result.grey = level.grey;

    const int32_t r = levelNumber == 0 ? 2 : 1;
    // Counts every tile of the list, including those a callback refuses.
    const int32_t tileCount = level.params != nullptr && level.params->runTiles != nullptr
        ? level.params->runTiles->count()
        : 0;
    const int32_t step = std::max(tileCount / 20 - 4 * levelNumber + 2, 1);

    const int32_t blockColumns = level.width >> kBlockShift;
    const int32_t blockRows = level.height >> kBlockShift;
    const int32_t visitedColumns = (blockColumns + step - 1) / step;
    const int32_t visitedRows = (blockRows + step - 1) / step;
    std::vector<Block>& blocks = result.blocks;
    blocks.resize(static_cast<size_t>(visitedColumns) * static_cast<size_t>(visitedRows));

    const VectorKernels* kernels = vectorKernels();
    if (kernels != nullptr) {
        evaluateBlockRows(level, evidence, r, step, visitedColumns, visitedRows, *kernels, result);
        return;
    }
    // Block order (row by row) is kept: the summary takes its first entries.
    for (int32_t row = 0; row < visitedRows; ++row) {
        for (int32_t column = 0; column < visitedColumns; ++column) {
            Block& block = blocks[static_cast<size_t>(row) * static_cast<size_t>(visitedColumns)
                + static_cast<size_t>(column)];
            const int32_t x0 = column * step * kBlockSize;
            const int32_t y0 = row * step * kBlockSize;
            block.bin = blockBin(level, x0, y0);
            // A negative bin only comes from a wrapped plane; it has no
            // brightness point to be filed under.
            if (block.bin < 0 || hasEnoughEvidence(evidence[block.bin]))
                continue;
            evaluateBlock(level, x0, y0, r, block);
        }
    }
}

namespace {

// What the passes over one level's blocks have accepted so far.
struct Accepted {
    int64_t weightSum[kMaxPoints][kChannels] = {};
    bool found[kChannels] = {};
    int64_t colourSum[kChannels] = {};
    int32_t colourNumber[kChannels] = {};
    bool extended = false;
};

// Weights only grow, so a block evaluated against older weights may since have
// reached enough evidence, never the other way round.
void retireSettledBlocks(std::vector<Block>& blocks, const NoiseBand& band)
{
    for (Block& block : blocks) {
        if (block.measurable && hasEnoughEvidence(band.weight[block.bin]))
            block.measurable = false;
    }
}

void acceptColour(Block& block, int pass, Accepted& accepted)
{
    for (int c : { kCr, kCb }) {
        if ((pass > 1 && accepted.found[c]) || block.flatY >= kColourFlatLimit
            || block.dev[c] >= kColourDevLimit)
            continue;
        accepted.found[c] = true;
        int32_t weight = (kColourDevLimit - block.dev[c]) >> 4;
        weight = std::max(weight, 1) >> (pass - 1);
        block.value[c] = block.median[c];
        block.weight[c] = weight;
        accepted.weightSum[block.bin][c] += weight;
        accepted.colourSum[c] += block.median[c];
        ++accepted.colourNumber[c];
    }
}

// Runs after acceptColour on the same block: the colour values it corrects by
// are those stored for the block so far in this call, by this pass or an
// earlier one.
void acceptLuminance(Block& block, int pass, const PassLimits& limits, const LevelBlocks& measured,
    int32_t pointCount, Accepted& accepted)
{
    if ((pass > 1 && accepted.found[kY]) || block.flatY >= limits.limY
        || block.dev[kY] >= limits.thrY)
        return;
    accepted.found[kY] = true;
    int32_t weight = limits.thrY - block.dev[kY];
    if (pass <= kRegularPasses)
        weight <<= 2;
    weight = std::max(weight >> (pass - 1), 1);
    int32_t value = block.median[kY];
    if (measured.level > 0 && !measured.grey && block.value[kCr] != 0 && block.value[kCb] != 0)
        value = colourCorrectedY(value, block, measured.level, pointCount);
    weight = std::min(weight, kMaxBlockWeightY);
    block.value[kY] = value;
    block.weight[kY] = weight;
    accepted.weightSum[block.bin][kY] += weight;
}

// Whether the passes end after this one. After the regular passes, strong
// colour noise earns extended passes where the histogram still allows them.
bool lastPass(int pass, int32_t levelNumber, Accepted& accepted, LevelHistogram& histogram)
{
    if (accepted.found[kY] && accepted.found[kCr] && accepted.found[kCb]) {
        if (!accepted.extended)
            histogram.allowExtended = false;
        return true;
    }
    if (accepted.extended && pass == kExtendedLastPass)
        return true;
    if (levelNumber > 3 && pass >= 3)
        return true;
    if (accepted.extended || pass != kRegularPasses)
        return false;
    const auto mean = [&](int c) {
        return accepted.colourNumber[c] > 0 ? accepted.colourSum[c] / accepted.colourNumber[c]
                                            : int64_t { 0 };
    };
    const int64_t scale = levelNumber + 1;
    if (scale * mean(kCr) > kExtendedColourNoise || scale * mean(kCb) > kExtendedColourNoise) {
        if (!histogram.allowExtended)
            return true;
        accepted.extended = true;
        return false;
    }
    histogram.allowExtended = false;
    return true;
}

// Per point and channel, the W entries of the weighted list stand for each
// accepted block's value repeated weight times; only the first k entries are
// used, so they are kept as runs of (value, repeats).
void fileSummary(const std::vector<Block>& blocks, int32_t pointCount, const Accepted& accepted,
    NoiseBand& band, LevelHistogram& histogram)
{
    std::vector<std::pair<int32_t, int64_t>> runs;
    for (int32_t p = 0; p < pointCount; ++p) {
        for (int c = 0; c < kChannels; ++c) {
            const int64_t total = accepted.weightSum[p][c];
            if (total <= 0)
                continue;
            const int64_t k = std::max<int64_t>(total >> kSummaryWeightShift, 1);
            band.weight[p][c]
                = static_cast<int16_t>(std::min<int64_t>(band.weight[p][c] + k, kMaxBandWeight));

            runs.clear();
            int64_t remaining = k;
            for (const Block& block : blocks) {
                if (remaining == 0)
                    break;
                if (block.bin != p || block.weight[c] <= 0)
                    continue;
                const int64_t take = std::min<int64_t>(block.weight[c], remaining);
                runs.emplace_back(block.value[c], take);
                remaining -= take;
            }
            std::sort(runs.begin(), runs.end());
            int64_t rank = (k - 1) / 2;
            int32_t median = 0;
            for (const auto& [value, repeats] : runs) {
                median = value;
                if (rank < repeats)
                    break;
                rank -= repeats;
            }
            IntList& list = histogram.bins[4 * p + c];
            for (int64_t i = 0; i < k; ++i)
                list.append(median);
        }
    }
}

} // namespace

void fileLevel(LevelBlocks& measured, NoiseBand& band, LevelHistogram& histogram)
{
    const int32_t levelNumber = measured.level;
    if (levelNumber < 0)
        return;
    const int32_t pointCount = std::clamp(band.pointCount, 0, kMaxPoints);
    retireSettledBlocks(measured.blocks, band);

    // Per brightness bin (at most 15 for 16-bit samples) and channel.
    Accepted accepted;
    for (int pass = 1;; ++pass) {
        const PassLimits limits = passLimits(pass, levelNumber);
        for (Block& block : measured.blocks) {
            if (!block.measurable)
                continue;
            acceptColour(block, pass, accepted);
            acceptLuminance(block, pass, limits, measured, pointCount, accepted);
        }
        if (lastPass(pass, levelNumber, accepted, histogram))
            break;
    }
    fileSummary(measured.blocks, pointCount, accepted, band, histogram);
}

void measureLevel(PyramidLevel<int16_t>& level, NoiseBand& band, LevelHistogram& histogram)
{
    LevelBlocks measured;
    evaluateLevel(level, band.weight, measured);
    fileLevel(measured, band, histogram);
}

void fileTile(TileMeasurement& measurement, NoiseBand* bands, LevelHistogram* histograms)
{
    for (int32_t l = 0; l < measurement.levelCount; ++l) {
        LevelHistogram& histogram = histograms[l];
        // A deeper level may only run the extended passes if every level
        // above it entered them.
        histogram.allowExtended = l == 0 ? true : histograms[l - 1].allowExtended;
        fileLevel(measurement.levels[l], bands[l], histogram);
    }
}

} // namespace calmora
