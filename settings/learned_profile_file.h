// What the learned-profile store keeps for one camera at one ISO speed: the
// key, the photos' own noise profiles, the merge of those into the profile a
// look-up hands out, and the file that holds them (docs/learned-profiles.md
// describes its bytes).
#pragma once

#include "engine/records.h"
#include "settings/exif_record.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace calmora {

// The camera and ISO speed a profile belongs to. Make and model are kept as
// the camera wrote them, trimmed. The picture's longer side, in octaves,
// keeps a camera's full-size pictures apart from its reduced or binned ones,
// whose noise per pixel is lower by about the scale factor; within an octave
// crops and aspect ratios share a key.
struct LearnedKey {
    QString make;
    QString model;
    int32_t isoSpeed = 0;
    // k where the longer side lies in 2^k .. 2^(k+1) - 1 pixels; 0 unknown.
    int32_t sizeClass = 0;

    bool operator==(const LearnedKey&) const = default;

    // "Canon PowerShot G7 X": the model alone when it already names the make.
    QString camera() const;
    // "Canon PowerShot G7 X, ISO 3200".
    QString text() const;
    // "2048-4095 px", or "any size" for an unknown one.
    QString sizeText() const;
    // The file's name without extension: the camera in letters, digits and
    // hyphens, the ISO speed, the size class and a hash of the exact key, so
    // that keys that read alike never share a file.
    QString stem() const;
};

// Make and model longer than this (bytes of UTF-8) are not a camera's.
constexpr int kMaxKeyTextBytes = 255;

// The key of an image that takes part in self-learning: eligible (see
// eligible()), with a make or a model. Empty otherwise.
std::optional<LearnedKey> learnedKeyOf(const ExifRecord& exif);

// Identifies a photo across runs and processes, so that opening one photo
// twice adds it once: its file name and what EXIF says of the moment it was
// taken.
uint64_t photoIdOf(const QString& fileName, const ExifRecord& exif);

// One photo's own profile, as measured (before smoothing), with its finest
// band as the photo teaches it (settings/learned_reading.h).
struct LearnedPhoto {
    uint64_t id = 0;
    // Wall-clock time of learning, ms since 1970 UTC; shown only. Age is the
    // photo's place in the list, so a clock that jumps changes nothing.
    int64_t learnedAtMs = 0;
    int16_t noise[kBandCount][kPointCount][kChannels] = {};
    int16_t weight[kBandCount][kPointCount][kChannels] = {};

    bool operator==(const LearnedPhoto&) const = default;
};

LearnedPhoto learnedPhotoOf(uint64_t id, int64_t learnedAtMs, const NoiseProfile& profile);

// The photos of one key, oldest first.
struct LearnedRecord {
    LearnedKey key;
    std::vector<LearnedPhoto> photos;
};

// Photos kept per key: the newest ones. Beyond a dozen photos the merge
// changes little, and the file stays small enough for a thousand keys to be
// read in a few tens of milliseconds.
constexpr int kMaxLearnedPhotos = 16;

// Adds `photo` as the newest; a photo with the same id is replaced, and the
// oldest go beyond kMaxLearnedPhotos.
void addLearnedPhoto(LearnedRecord& record, const LearnedPhoto& photo);

// How the photos of a key become one profile. Texture only ever adds to
// what a photo measures, and it differs from photo to photo while the
// camera's noise does not: so each point takes a trimmed minimum over the
// photos that speak for it, the lowest value, or with many photos the
// (1 + n / photosPerTrim)-th lowest, so that one photo that reads too low
// (a flat area the camera smoothed, a clipped sky) does not lead.
struct MergeRule {
    // A look-up succeeds only with this many photos behind the key: one
    // photo's texture is then outvoted at most points.
    int minPhotos = 3;
    // A photo speaks for a point only with at least this evidence (the
    // measurement's weight; 1 marks a point it filled from neighbours).
    int minEvidence = 8;
    // A point needs this many photos speaking for it, else the image's own
    // value stays.
    int minPointPhotos = 2;
    int photosPerTrim = 8;
};

// The profile for an image of `record`'s key: `own` (the image's measured
// profile) with every point that enough photos speak for replaced by their
// merged value. False, `merged` untouched, when the key has too few photos.
// `photos` receives the number of photos behind the key.
bool mergeLearned(const LearnedRecord& record, const NoiseProfile& own, NoiseProfile& merged,
    const MergeRule& rule = {}, int* photos = nullptr);

// The stored form.
QByteArray encodeLearnedRecord(const LearnedRecord& record);

enum class LearnedFileFault {
    None,
    Foreign, // not a learned-profile file
    NewerVersion, // written by a later version of the format
    Damaged, // truncated, wrong checksum or values out of range
};

// Empty on a fault, with `fault` and `reason` saying which.
std::optional<LearnedRecord> decodeLearnedRecord(
    const QByteArray& bytes, LearnedFileFault* fault = nullptr, QString* reason = nullptr);

// The text form for export and import, and the dump a person reads:
//   {"format": "calmora-learned-profile", "version": 1, "make": ..., "model": ...,
//    "isoSpeed": ..., "sizeClass": ..., "photos": [{"id": "hex", "learnedAt": ISO time,
//    "bands": [{"noise": [[Y, Cr, Cb] x 11], "weight": [...]} x 4]}, ...]}
QJsonObject learnedRecordToJson(const LearnedRecord& record);
std::optional<LearnedRecord> learnedRecordFromJson(const QJsonObject& json, QString* reason);

} // namespace calmora
