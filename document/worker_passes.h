// What the single-image run and the batch run share: the state the tile
// callback works with, and the profile and filter passes over one image.
#pragma once

#include "document/processing_worker.h"
#include "settings/learned_profile_store.h"

#include <vector>

namespace calmora {

class CBitmapEx;

struct TileRun {
    TileRun(ProcessingJob& runJob, JobSnapshot& runSnapshot)
        : job(runJob)
        , snapshot(runSnapshot)
    { }

    ProcessingJob& job;
    JobSnapshot& snapshot;
    bool filtering = true; // a profile pass is stopped by `stop` alone
    bool wholeImage = true; // else only tiles meeting visibleRows
    Rect visibleRows; // the tiles' rows
    // A high-depth image is tiled in its high-depth buffer, whose rows run
    // top-down like the picture's; an 8-bit one in its bottom-up display.
    bool tilesTopDown = false;
    ProgressKind progressWindow = ProgressKind::None;
    // Filtered tiles go to the host's tileWritten: the displayed image's
    // tiles, not a batch file's. A high-depth image gets its display only
    // when the pass ends, and tiles that engine threads finish after a stop
    // get no callback; filterPass tells those at its end.
    bool reportTiles = false;
    bool reportAtEnd = false;
    int32_t imageHeight = 0;
    std::vector<bool> tileReported; // by slot
    int32_t tilesPending = 0;
    int32_t tilesFinished = 0;

    // Set `stop`, or (in a filter pass) a generation newer than the run's.
    bool stopped() const;
};

// Tiles the run will process, walking the list from its last slot.
int32_t countPendingTiles(const TileList& tiles, const TileRun& run);

// Resets `profile` and builds it from the image's display; true when the
// measurement completed.
bool measureProfile(TileRun& run, CBitmapEx& image, TileList& tiles, NoiseProfile& profile);

// After a completed profile pass: keeps the measured profile in the job (a
// batch's in its batch job) and lets the learned-profile store replace the
// snapshot's working profile; says where a learned one came from.
// `pixelNoise` receives the pixels' noise estimate when learning made one.
LearnedSource keepMeasuredProfile(ProcessingJob& job, JobSnapshot& snapshot, bool inBatch,
    const QString& fileName, const CBitmapEx& image, std::optional<PixelNoise>& pixelNoise);

// Filters the image from its original into its display with the snapshot's
// profile and settings. False when the engine refused the profile or the
// image; the display is then unfiltered.
bool filterPass(TileRun& run, CBitmapEx& image, TileList& tiles);

// Why a refused filter pass left no result.
inline const QString kFilterRefused
    = QStringLiteral("The filter refused the picture or its noise profile; no result was written.");

} // namespace calmora
