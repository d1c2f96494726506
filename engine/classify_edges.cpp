// Edge classes of a level, per channel (EdgeClass). A sample is an edge where its
// difference to a nearby sample clearly exceeds the noise threshold of its
// brightness; edges are confirmed by their neighbourhood, isolated spots are
// erased, and rings are grown around what remains.

#include "pyramid.h"
#include "vector_kernels.h"

#include <algorithm>
#include <cstring>

namespace calmora {

namespace {

struct Offset {
    int32_t dx, dy;
};

// Diagonals at distance 2, then axes at distance 3. The first neighbour in
// this order that crosses a threshold decides the centre's class.
constexpr Offset kNeighbours[8]
    = { { -2, -2 }, { 2, 2 }, { -2, 2 }, { 2, -2 }, { 0, 3 }, { 0, -3 }, { 3, 0 }, { -3, 0 } };
constexpr int kFirstAxisNeighbour = 4;

struct Thresholds {
    int32_t y, cr, cb;
};

template <typename Sample>
Thresholds thresholdsAt(const PyramidLevel<Sample>& level, int32_t x, int32_t y)
{
    const int32_t brightness = level.child != nullptr
        ? level.child->yIn[level.child->index(x >> 1, y >> 1)]
        : level.yOut[level.index(x, y)];
    const int32_t bin = brightnessBin<Sample>(brightness);
    const LevelParams& params = *level.params;
    return { noiseThreshold(params, level.level, kY, bin),
        noiseThreshold(params, level.level, kCr, bin),
        noiseThreshold(params, level.level, kCb, bin) };
}

// A colour edge needs a difference above 1023/1024 (strong) or 255/256
// (weak) of its threshold; both samples are marked.
void detectColour(std::vector<uint8_t>& map, size_t centre, size_t neighbour, int32_t threshold,
    int32_t difference)
{
    if (map[centre] != kNoEdge)
        return;
    const int32_t e = subWrap(threshold, difference);
    if (e < asr(threshold, 10)) {
        map[centre] = kStrongCandidate;
        map[neighbour] = kStrongCandidate;
    } else if (e < asr(threshold, 8)) {
        map[centre] = kWeakCandidate;
        map[neighbour] = kWeakCandidate;
    }
}

// Visits one centre: its first neighbour in kNeighbours order that crosses a
// threshold marks it and that neighbour.
template <typename Sample>
void detectCentre(PyramidLevel<Sample>& level, int32_t x, int32_t y)
{
    const bool colour = !level.grey;
    const Thresholds t = thresholdsAt(level, x, y);
    const size_t c = level.index(x, y);
    for (int n = 0; n < 8; ++n) {
        const int32_t nx = x + kNeighbours[n].dx;
        const int32_t ny = y + kNeighbours[n].dy;
        if (!level.contains(nx, ny))
            continue;
        const size_t i = level.index(nx, ny);
        if (level.yClass[c] == kNoEdge) {
            const int32_t e = subWrap(t.y, absWrap(subWrap(level.yOut[c], level.yOut[i])));
            if (e < asr(t.y, 3)) {
                level.yClass[c] = kStrongCandidate;
                level.yClass[i] = kStrongCandidate;
            } else if (e < asr(t.y, 2)) {
                level.yClass[c] = kWeakCandidate;
                if (level.yClass[i] == kNoEdge)
                    level.yClass[i] = kWeakCandidate;
            }
        }
        // At level 0 colour looks only along the axes at distance 3.
        if (colour && (level.level > 0 || n >= kFirstAxisNeighbour)) {
            detectColour(
                level.crClass, c, i, t.cr, absWrap(subWrap(level.crOut[c], level.crOut[i])));
            detectColour(
                level.cbClass, c, i, t.cb, absWrap(subWrap(level.cbOut[c], level.cbOut[i])));
        }
    }
}

// The detection kernel decides each centre from the planes alone, since a
// centre is never another centre's neighbour, and packs per map the class
// it gives (0, 3 or 4; 3 bits) and the neighbour that crossed (3 bits), one
// map a byte. The marks go in here, in the centres' order, because a colour
// mark overwrites what an earlier centre left in that neighbour.
template <typename Sample>
void applyDecision(PyramidLevel<Sample>& level, int32_t x, int32_t y, uint32_t decision)
{
    std::vector<uint8_t>* const maps[3] = { &level.yClass, &level.crClass, &level.cbClass };
    const size_t c = level.index(x, y);
    for (int m = 0; m < 3; ++m, decision >>= 8) {
        const uint8_t value = static_cast<uint8_t>(decision & 7);
        if (value == kNoEdge)
            continue;
        const Offset o = kNeighbours[(decision >> 3) & 7];
        uint8_t& neighbour = (*maps[m])[level.index(x + o.dx, y + o.dy)];
        (*maps[m])[c] = value;
        // A weak luminance mark never overwrites another mark.
        if (m != 0 || value == kStrongCandidate || neighbour == kNoEdge)
            neighbour = value;
    }
}

template <typename Sample>
void detect(PyramidLevel<Sample>& level)
{
    const VectorKernels* kernels = vectorKernels();
    int32_t (*detectRow)(const DetectRow<Sample>&) = kernels != nullptr && level.level < kMaxLevels
        ? forSample<Sample>(kernels->detectRow8, kernels->detectRow16)
        : nullptr;
    // Centres whose neighbours all lie inside, with one sample to spare on
    // the right for the kernel's reads.
    constexpr int32_t kReach = 3;
    uint32_t* decisions = nullptr;
    if (detectRow != nullptr) {
        level.scratch.resize(static_cast<size_t>(level.width / 2 + 1));
        decisions = reinterpret_cast<uint32_t*>(level.scratch.data());
    }
    const LevelParams& params = *level.params;
    for (int32_t y = 0; y < level.height; y += 2) {
        int32_t x = ((y / 2) % 2 == 0) ? 0 : 1;
        if (detectRow != nullptr && y >= kReach && y + kReach < level.height
            && level.width > 2 * kReach + 1) {
            for (; x < kReach; x += 2)
                detectCentre(level, x, y);
            const BrightnessRow<Sample> brightness = level.child != nullptr
                ? BrightnessRow<Sample> { level.child->yIn.data() + level.child->index(0, y >> 1),
                      true }
                : BrightnessRow<Sample> { level.yOut.data() + level.index(0, y), false };
            const DetectRow<Sample> row {
                { level.yOut.data(), level.crOut.data(), level.cbOut.data() }, brightness,
                { params.scaledNoise[level.level][kY], params.scaledNoise[level.level][kCr],
                    params.scaledNoise[level.level][kCb] },
                level.width, y, x, level.width - kReach - 1, !level.grey, level.level > 0, decisions
            };
            const int32_t stop = detectRow(row);
            for (int32_t i = 0; x < stop; x += 2, ++i) {
                if (decisions[i] != 0)
                    applyDecision(level, x, y, decisions[i]);
            }
        }
        for (; x < level.width; x += 2)
            detectCentre(level, x, y);
    }
}

// Counts the samples of a window marked weaker than a strong edge (a weak
// edge, a ring or a candidate), stopping at `limit`.
template <typename Sample>
int32_t countMarked(const PyramidLevel<Sample>& level, const std::vector<uint8_t>& map, int32_t x,
    int32_t y, int32_t radius, int32_t limit)
{
    int32_t count = 0;
    for (int32_t j = -radius; j <= radius; ++j) {
        for (int32_t i = -radius; i <= radius; ++i) {
            if (map[level.index(x + i, y + j)] > kStrongEdge && ++count >= limit)
                return count;
        }
    }
    return count;
}

template <typename Sample>
void fillWindow(const PyramidLevel<Sample>& level, std::vector<uint8_t>& map, int32_t x, int32_t y,
    int32_t radius, uint8_t value)
{
    for (int32_t j = -radius; j <= radius; ++j)
        for (int32_t i = -radius; i <= radius; ++i)
            map[level.index(x + i, y + j)] = value;
}

// In place: windows written earlier in the pass count for later samples. The
// maps never read each other, so each is confirmed in a pass of its own.
template <typename Sample>
void confirmMap(PyramidLevel<Sample>& level, std::vector<uint8_t>& map, int32_t r,
    int32_t countRadius, int32_t limit, bool colour)
{
    for (int32_t y = r; y < level.height - r; ++y) {
        const uint8_t* row = map.data() + level.index(0, y);
        for (int32_t x = nextMarked(row, r, level.width - r); x < level.width - r;
             x = nextMarked(row, x + 1, level.width - r)) {
            const uint8_t value = row[x];
            if (value != kStrongCandidate && value != kWeakCandidate)
                continue;
            const int32_t count = countMarked(level, map, x, y, countRadius, limit);
            const bool confirmed = colour ? count == 2 : count > r;
            if (confirmed)
                fillWindow(
                    level, map, x, y, countRadius, static_cast<uint8_t>(value - kCandidateToClass));
            else
                map[level.index(x, y)] = kNoEdge;
        }
    }
}

template <typename Sample>
void confirm(PyramidLevel<Sample>& level)
{
    const int32_t r = level.level == 0 ? 1 : 2;
    confirmMap(level, level.yClass, r, r, 3, false);
    if (level.grey)
        return;
    confirmMap(level, level.crClass, r, 1, 2, true);
    confirmMap(level, level.cbClass, r, 1, 2, true);
}

template <typename Sample>
bool ringIsEmpty(const PyramidLevel<Sample>& level, const std::vector<uint8_t>& map, int32_t x,
    int32_t y, int32_t s)
{
    auto at = [&](int32_t i, int32_t j) { return map[level.index(x + i, y + j)]; };
    // An edge through the sample crosses the ring most often in line with it
    // or at a corner, so those are looked at first; the order changes only
    // how soon a marked ring is found.
    if ((at(-s, 0) | at(s, 0) | at(0, -s) | at(0, s) | at(-s, -s) | at(s, s) | at(-s, s)
            | at(s, -s))
        != 0)
        return false;
    for (int32_t j = 1; j < s; ++j) {
        if ((at(-s, -j) | at(-s, j) | at(s, -j) | at(s, j) | at(-j, -s) | at(j, -s) | at(-j, s)
                | at(j, s))
            != 0)
            return false;
    }
    return true;
}

// A marked sample enclosed by an empty ring is an isolated spot: the ring's
// inside is cleared.
template <typename Sample>
void eraseSpot(const PyramidLevel<Sample>& level, std::vector<uint8_t>& map, int32_t x, int32_t y,
    int32_t largestRadius)
{
    const uint8_t* row = map.data() + level.index(0, y);
    if (row[x] == 0)
        return;
    // Inside a marked stretch of its row, every ring is marked where it
    // crosses the row, and none can be empty.
    int32_t crossed = 2;
    while (crossed <= largestRadius && (row[x - crossed] | row[x + crossed]) != 0)
        ++crossed;
    if (crossed > largestRadius)
        return;
    for (int32_t s = 2; s <= largestRadius; ++s) {
        if (ringIsEmpty(level, map, x, y, s)) {
            fillWindow(level, map, x, y, s - 1, kNoEdge);
            return;
        }
    }
}

template <typename Sample>
void eraseSpots(
    PyramidLevel<Sample>& level, std::vector<uint8_t>& map, int32_t reach, int32_t largestRadius)
{
    for (int32_t y = reach; y < level.height - reach; ++y) {
        const uint8_t* row = map.data() + level.index(0, y);
        for (int32_t x = nextMarked(row, reach, level.width - reach); x < level.width - reach;
             x = nextMarked(row, x + 1, level.width - reach))
            eraseSpot(level, map, x, y, largestRadius);
    }
}

// Each map is cleaned on its own: none reads another.
template <typename Sample>
void eraseIsolatedSpots(PyramidLevel<Sample>& level)
{
    const int32_t reach = 8 - level.level;
    if (reach < 1)
        return;
    if (!level.grey) {
        eraseSpots(level, level.crClass, reach, reach - 1);
        eraseSpots(level, level.cbClass, reach, reach - 1);
    }
    if (level.level == 0)
        eraseSpots(level, level.yClass, reach, 5);
}

// Sets every empty neighbour of each sample holding `from` to `to`. Only
// empty samples change, and to `to`, never to `from`: the order in which the
// samples are visited does not matter.
template <typename Sample>
void growRing(
    const PyramidLevel<Sample>& level, std::vector<uint8_t>& map, uint8_t from, uint8_t to)
{
    const VectorKernels* kernels = vectorKernels();
    if (kernels != nullptr && level.width >= 3 && level.height >= 3) {
        // Each position takes `to` from a source among its neighbours; the
        // kernel does the inner columns and this loop the two outer ones.
        auto take = [&](int32_t x, int32_t y) {
            uint8_t& at = map[level.index(x, y)];
            if (at != kNoEdge)
                return;
            for (int32_t j = std::max(y - 1, 1); j <= std::min(y + 1, level.height - 2); ++j) {
                for (int32_t i = std::max(x - 1, 1); i <= std::min(x + 1, level.width - 2); ++i) {
                    if (map[level.index(i, j)] == from) {
                        at = to;
                        return;
                    }
                }
            }
        };
        for (int32_t y = 0; y < level.height; ++y) {
            const RingRow row { map.data(), level.width, level.height, y, 1, level.width - 1, from,
                to };
            for (int32_t x = kernels->ringRow(row); x < level.width - 1; ++x)
                take(x, y);
            take(0, y);
            take(level.width - 1, y);
        }
        return;
    }
    for (int32_t y = 1; y < level.height - 1; ++y) {
        const uint8_t* row = map.data() + level.index(0, y);
        const uint8_t* end = row + level.width - 1;
        for (const uint8_t* at = row + 1; at < end; ++at) {
            at = static_cast<const uint8_t*>(std::memchr(at, from, static_cast<size_t>(end - at)));
            if (at == nullptr)
                break;
            const int32_t x = static_cast<int32_t>(at - row);
            for (int32_t j = -1; j <= 1; ++j) {
                for (int32_t i = -1; i <= 1; ++i) {
                    uint8_t& n = map[level.index(x + i, y + j)];
                    if (n == kNoEdge)
                        n = to;
                }
            }
        }
    }
}

} // namespace

template <typename Sample>
void classifyEdges(PyramidLevel<Sample>& level)
{
    const size_t count = level.sampleCount();
    for (std::vector<uint8_t>* map : { &level.yClass, &level.direction, &level.smoothedDirection,
             &level.crClass, &level.cbClass })
        map->assign(count, kNoEdge);

    detect(level);
    confirm(level);
    eraseIsolatedSpots(level);

    std::vector<uint8_t>* const maps[] = { &level.yClass, &level.crClass, &level.cbClass };
    const int mapCount = level.grey ? 1 : 3;
    for (int m = 0; m < mapCount; ++m)
        growRing(level, *maps[m], kStrongEdge, kWeakEdge);
    if (level.levelClass == 0 || level.level >= 2) {
        for (int m = 0; m < mapCount; ++m)
            growRing(level, *maps[m], kWeakEdge, kSecondRing);
    }
    // Each colour map rings itself.
    if (level.levelClass == 0 && level.level >= 1 && !level.grey) {
        growRing(level, level.crClass, kSecondRing, kThirdRing);
        growRing(level, level.cbClass, kSecondRing, kThirdRing);
    }
}

template void classifyEdges<int16_t>(PyramidLevel<int16_t>&);
template void classifyEdges<int32_t>(PyramidLevel<int32_t>&);

} // namespace calmora
