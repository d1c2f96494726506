// Self-learning: noise profiles built for earlier images may serve later
// images that share their EXIF properties. Callers see only the three
// operations below, so a store with content can replace the empty one
// without touching them.
#pragma once

#include "engine/records.h"
#include "settings/exif_record.h"
#include "settings/noise_estimate.h"

#include <QString>

#include <atomic>
#include <optional>

namespace calmora {

struct Options;

// Where a learned profile came from, for the profile graph's caption and the
// command line: the photos behind it and their camera.
struct LearnedSource {
    int photos = 0; // 0: no learned profile
    QString camera; // "Canon PowerShot G7 X"
    int32_t isoSpeed = 0;

    // "Learned from 7 photos (Canon PowerShot G7 X, ISO 3200)".
    QString caption() const;
};

// Threads. learn() and lookUp() belong to the worker: they are called only
// inside a run. deleteAll() is the store's own clearing and must never run
// while they may, so nothing calls it but settleDeleteRequest(). The window
// asks for a deletion with requestDeleteAll(), from its thread at any time:
// that only raises an atomic request and never waits for the worker. The
// request is carried out by settleDeleteRequest(), which the worker calls
// before it learns from a new profile (consultLearnedProfiles()), and which
// the window's thread calls itself while no run goes (a clear `running`,
// read with acquire, says the worker has let go of the store; only that
// thread starts runs). Either way no look-up made after the request finds a
// profile learned before it.
class LearnedProfileStore {
public:
    virtual ~LearnedProfileStore() = default;

    // Offered every freshly built profile while self-learning is on;
    // `fileName` is the image's name and extension, without folder. Callers
    // rely on no result. Worker thread.
    virtual void learn(const QString& fileName, const ExifRecord& exif, const NoiseProfile& profile)
        = 0;
    // Asked only for eligible images, and only after learn(). On true,
    // `profile` holds the learned profile for the key; on false it may have
    // been changed, and the caller restores its own. Worker thread.
    virtual bool lookUp(const ExifRecord& exif, NoiseProfile& profile) = 0;
    // Forgets every learned profile (of the folder a request named, if it
    // named one). Only through settleDeleteRequest().
    virtual bool deleteAll() = 0;
    // What the last look-up that answered true used. Worker thread, after
    // lookUp().
    virtual LearnedSource lastFound() const { return {}; }
    // The profile folder option: where learned profiles are kept from now
    // on. Any thread.
    virtual void useFolder(const QString&) { }
    // False when learn() keeps nothing, so that a caller can spare the work
    // of preparing what it would be offered. Any thread.
    virtual bool keepsWhatItLearns() const { return true; }

    // Any thread, at any time.
    void requestDeleteAll() { m_deleteRequested.store(true, std::memory_order_release); }
    // The same for the profiles of `folder`, whichever folder the store
    // follows when the request is carried out: a run keeps the folder it
    // started with, while the window asks for the one the options now name.
    void requestDeleteAll(const QString& folder)
    {
        aimDeletion(folder);
        requestDeleteAll();
    }
    bool deleteRequested() const { return m_deleteRequested.load(std::memory_order_acquire); }
    // Carries out a pending request: false when deleteAll() failed. The
    // worker inside a run, or the starting thread while no run goes.
    bool settleDeleteRequest()
    {
        return !m_deleteRequested.exchange(false, std::memory_order_acq_rel) || deleteAll();
    }

protected:
    // A folder the next deleteAll() is to empty (each request may name
    // another); a store with one place only needs no aim.
    virtual void aimDeletion(const QString&) { }

private:
    std::atomic<bool> m_deleteRequested { false };
};

// The store of this system: it keeps nothing.
class EmptyProfileStore final : public LearnedProfileStore {
public:
    void learn(const QString&, const ExifRecord&, const NoiseProfile&) override { }
    bool lookUp(const ExifRecord&, NoiseProfile&) override { return false; }
    bool deleteAll() override { return true; }
    bool keepsWhatItLearns() const override { return false; }
};

// An image takes part in self-learning when its ISO speed is known and its
// file was not written by this maker's own software.
bool eligible(const ExifRecord& exif);

// What the filter pane shows when self-learning cannot be enabled for an
// image: `isoText` as shown in its EXIF list ("Unknown" when empty), and the
// software line only when `softwareText` is not empty.
QString selfLearningRefusal(const QString& isoText, const QString& softwareText);

// "Delete Learned Profiles", from the thread that starts runs: the deletion
// is requested, and carried out at once when `runGoing` is false; else the
// run carries it out before it learns again. False only when it was carried
// out and failed. With `folder`, the profiles of that folder are deleted,
// whichever the run follows.
bool deleteLearnedProfiles(LearnedProfileStore& store, bool runGoing);
bool deleteLearnedProfiles(LearnedProfileStore& store, bool runGoing, const QString& folder);

// The worker's use of the store after a profile build: the store follows
// the run's profile folder, a pending deletion is carried out first; then, with self-learning on
// (and, in a batch, batch self-learning too), the own profile is learned from, and for an eligible
// image a learned profile may replace `working`.
// Whenever no learned profile is used, `working` ends equal to `own`.
// Returns true when `working` holds a learned profile; `source` then says
// where it came from, and is cleared otherwise. With `picture` (the untouched
// photo, 8-bit), an eligible image teaches the store its own profile lowered
// where the pixels show the engine read texture as noise (learnedReading());
// `own` stays what the image falls back to. `pixelNoise`, when given, holds
// the pixels' noise estimate afterwards if one was made, so that automatic
// strength need not make it again, and is empty otherwise.
bool consultLearnedProfiles(LearnedProfileStore& store, const Options& options, bool inBatch,
    const QString& fileName, const ExifRecord& exif, const NoiseProfile& own, NoiseProfile& working,
    LearnedSource* source = nullptr, const ImageDesc* picture = nullptr,
    std::optional<PixelNoise>* pixelNoise = nullptr);

} // namespace calmora
