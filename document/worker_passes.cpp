// The profile and filter passes over one image that the single-image run and
// the batch run share, and the tile callback through which the engine
// reports progress and is stopped.

#include "document/worker_passes.h"

#include "document/bitmap_ex.h"
#include "engine/engine.h"

#include <algorithm>

namespace calmora {

bool TileRun::stopped() const
{
    if (job.stop.load())
        return true;
    return filtering && job.generation.load() != snapshot.generation;
}

namespace {

void reportTile(TileRun& run, const TileList& tiles, int32_t slot)
{
    run.tileReported[static_cast<size_t>(slot)] = true;
    const Rect& dest = tiles.tiles[static_cast<size_t>(slot)].dest;
    run.snapshot.request.host->tileWritten(
        run.tilesTopDown ? dest : bufferRowsToPicture(dest, run.imageHeight));
}

int tileCallback(TileCallbackInfo& info)
{
    TileRun& run = *static_cast<TileRun*>(info.user);
    // The tile's pixels are in the display whether or not the run goes on.
    if (info.processed != 0 && run.reportTiles && !run.reportAtEnd)
        reportTile(run, *info.tiles, info.tileIndex);
    if (run.stopped())
        return 0;
    const Tile& tile = info.tiles->tiles[static_cast<size_t>(info.tileIndex)];
    if (info.processed == 0) {
        if (info.tileIndex == 0)
            run.tilesFinished = 0;
        if (tile.filtered != 0)
            return 0;
        return run.wholeImage || tile.dest.intersects(run.visibleRows) ? 1 : 0;
    }
    ++run.tilesFinished;
    if (run.snapshot.request.host != nullptr && run.progressWindow != ProgressKind::None
        && run.tilesPending > 0)
        run.snapshot.request.host->setProgress(
            run.progressWindow, run.tilesFinished * 100 / run.tilesPending);
    return 1;
}

} // namespace

int32_t countPendingTiles(const TileList& tiles, const TileRun& run)
{
    int32_t pending = 0;
    for (int32_t slot = tiles.count() - 1; slot >= 0; --slot) {
        const Tile& tile = tiles.tiles[static_cast<size_t>(slot)];
        if (tile.filtered != 0 && run.filtering)
            continue;
        if (!run.wholeImage && !tile.dest.intersects(run.visibleRows))
            continue;
        ++pending;
    }
    return pending;
}

bool measureProfile(TileRun& run, CBitmapEx& image, TileList& tiles, NoiseProfile& profile)
{
    resetProfile(profile, false);
    return buildProfile(image.description(), tiles, profile, tileCallback, &run, nullptr,
        run.snapshot.request.threadCount);
}

bool filterPass(TileRun& run, CBitmapEx& image, TileList& tiles)
{
    std::vector<bool> filteredBefore;
    if (run.snapshot.request.host == nullptr)
        run.reportTiles = false;
    if (run.reportTiles) {
        run.imageHeight = image.height();
        run.reportAtEnd = image.highDepthPixels() != nullptr;
        run.tileReported.assign(tiles.tiles.size(), false);
        for (const Tile& tile : tiles.tiles)
            filteredBefore.push_back(tile.filtered != 0);
    }
    // A run that filters every tile writes every pixel: the loaded ones
    // need no copy then.
    const bool everyTile = run.wholeImage
        && std::none_of(tiles.tiles.begin(), tiles.tiles.end(),
            [](const Tile& tile) { return tile.filtered != 0; });
    if (!image.separateOriginal(everyTile))
        return false;
    CBitmapEx* original = image.original();
    const bool filtered = filterImage(image.originalDescription(), image.description(),
        original != nullptr ? original->highDepthPixels() : nullptr, image.highDepthPixels(),
        image.bitsPerPixel(), tiles, run.snapshot.activeProfile, run.snapshot.request.settings,
        tileCallback, &run, nullptr, run.snapshot.request.threadCount);
    for (size_t slot = 0; slot < filteredBefore.size(); ++slot) {
        if (tiles.tiles[slot].filtered != 0 && !filteredBefore[slot] && !run.tileReported[slot])
            reportTile(run, tiles, static_cast<int32_t>(slot));
    }
    return filtered;
}

LearnedSource keepMeasuredProfile(ProcessingJob& job, JobSnapshot& snapshot, bool inBatch,
    const QString& fileName, const CBitmapEx& image, std::optional<PixelNoise>& pixelNoise)
{
    pixelNoise.reset();
    // A batch's files are not the open image: its profiles stay the batch's.
    if (inBatch) {
        snapshot.request.batch->measuredProfile = snapshot.activeProfile;
        snapshot.request.batch->profileMeasured = true;
    } else {
        job.profileMeasured = true;
        job.measuredProfile = snapshot.activeProfile;
    }
    LearnedSource source;
    if (snapshot.request.profileStore != nullptr) {
        const NoiseProfile own = snapshot.activeProfile;
        const ImageDesc untouched = image.untouchedDescription();
        consultLearnedProfiles(*snapshot.request.profileStore, snapshot.request.options, inBatch,
            fileName, image.exif().record(), own, snapshot.activeProfile, &source, &untouched,
            &pixelNoise);
    }
    return source;
}

} // namespace calmora
