// Self-learning: noise profiles built for earlier images may serve later
// images that share their EXIF properties. Callers see only the three
// operations below, so a store with content can replace the empty one
// without touching them.
#pragma once

#include "engine/records.h"
#include "settings/exif_record.h"

#include <QString>

namespace calmora {

struct Options;

class LearnedProfileStore {
public:
    virtual ~LearnedProfileStore() = default;

    // Offered every freshly built profile while self-learning is on;
    // `fileName` is the image's name and extension, without folder. Callers
    // rely on no result.
    virtual void learn(const QString& fileName, const ExifRecord& exif, const NoiseProfile& profile)
        = 0;
    // Asked only for eligible images, and only after learn(). On true,
    // `profile` holds the learned profile for the key; on false it may have
    // been changed, and the caller restores its own.
    virtual bool lookUp(const ExifRecord& exif, NoiseProfile& profile) = 0;
    // Forgets every learned profile.
    virtual bool deleteAll() = 0;
};

// The store of this system: it keeps nothing.
class EmptyProfileStore final : public LearnedProfileStore {
public:
    void learn(const QString&, const ExifRecord&, const NoiseProfile&) override { }
    bool lookUp(const ExifRecord&, NoiseProfile&) override { return false; }
    bool deleteAll() override { return true; }
};

// An image takes part in self-learning when its ISO speed is known and its
// file was not written by this maker's own software.
bool eligible(const ExifRecord& exif);

// What the filter pane shows when self-learning cannot be enabled for an
// image: `isoText` as shown in its EXIF list ("Unknown" when empty), and the
// software line only when `softwareText` is not empty.
QString selfLearningRefusal(const QString& isoText, const QString& softwareText);

// The worker's use of the store after a profile build: with self-learning on
// (and, in a batch, batch self-learning too) the own profile is learned from,
// and for an eligible image a learned profile may replace `working`.
// Whenever no learned profile is used, `working` ends equal to `own`.
// Returns true when `working` holds a learned profile.
bool consultLearnedProfiles(LearnedProfileStore& store, const Options& options, bool inBatch,
    const QString& fileName, const ExifRecord& exif, const NoiseProfile& own,
    NoiseProfile& working);

} // namespace calmora
