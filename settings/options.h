// The application's options: three checksummed binary groups ("Settings",
// "Settings2", "Settings3"), the profile folder and the recently used
// folders, all in the "Options" section of the settings store. They are read
// once at start-up and saved the moment one of them changes, never at exit.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace calmora {

class SettingsStore;

// Each group is stored as a fixed block: a 32-bit little-endian byte sum
// (bytes taken unsigned, starting at offset 4) followed by the fields, 32-bit
// little-endian signed integers at the offsets given below. A value of the
// wrong size or sum is damaged and its whole group takes its defaults.
constexpr int kSettingsGroupSize = 96;
// Offsets 4..92: three bytes of the last field lie outside the sum.
constexpr int kSettingsChecksumBytes = 89;
constexpr int kSettings2GroupSize = 48;
constexpr int kSettings2ChecksumBytes = 44;
constexpr int kSettings3GroupSize = 44;
constexpr int kSettings3ChecksumBytes = 40;

// Longest default suffix in bytes of UTF-8; its stored field has room for a
// terminating zero after it.
constexpr int kMaxSuffixBytes = 20;
constexpr int kRecentFolderSlots = 10;

// "Settings". Fields called reserved are not read but stay in the layout with
// the values they were stored with.
struct SettingsGroup {
    int32_t showOpenDialogOnStartup = 0; // offset 4
    int32_t reserved8 = 1; // set to 1 whenever the General page is applied
    int32_t defaultZoom = 0; // 12: 25, 50, 100, 200 or 400 %; 0 = best fit
    int32_t reserved16 = 1;
    int32_t appendSuffix = 1; // 20
    // 24: 21 bytes of zero-terminated UTF-8; saved cut to kMaxSuffixBytes at
    // a character boundary.
    QString defaultSuffix = QStringLiteral("_filtered");
    int32_t jpegQuality = 90; // 48: 0..100
    int32_t autoPreview = 0; // 52
    int32_t reserved56 = 1; // set to 1 whenever the Noise Filter page is applied
    int32_t previewDelay = 1; // 60: seconds, 1..10
    int32_t defaultPreset = 0; // 64: preset index; stored as index + 100
    int32_t resetPresetOnOpen = 1; // 68
    int32_t showSummary = 1; // 72
    int32_t reserved76 = 0;
    int32_t reserved80 = 2;
    int32_t reserved84 = 2;
    int32_t reserved88 = 2;
    int32_t reserved92 = 0;

    bool operator==(const SettingsGroup&) const = default;
};

// "Settings2".
struct Settings2Group {
    int32_t reserved4 = 0;
    int32_t tiffDepth = 0; // 8: 0 "24(8) bpp", 1 the 48-bit choice
    int32_t filterPaneVisible = 0; // 12
    int32_t reserved16 = 0;
    int32_t paneSection = 0; // 20: 0 none, 1 "EXIF", 2 "Noise Profile"
    int32_t selfLearning = 1; // 24
    int32_t alwaysBuildProfile = 0; // 28
    int32_t batchSelfLearning = 1; // 32
    int32_t skipBuildWhenLearned = 1; // 36
    int32_t batchNotify = 1; // 40
    int32_t iccHandling = 0; // 44: 0 "Ask what to do", 1 "Always apply", 2 "Do not apply"

    bool operator==(const Settings2Group&) const = default;
};

// "Settings3".
struct Settings3Group {
    int32_t recentCount = 5; // 4: recently used folders kept, 1..10
    int32_t reserved8 = 1;
    int32_t reserved12 = 1;
    int32_t hidePreviewInfo = 0; // 16
    int32_t batchPriority = 0; // 20: 0 "Normal", 1 "Low"
    int32_t reserved24 = 0;
    int32_t reserved28 = 0;
    int32_t reserved32 = 0;
    int32_t reserved36 = 0;
    int32_t reserved40 = 0;

    bool operator==(const Settings3Group&) const = default;
};

struct Options {
    SettingsGroup settings;
    Settings2Group settings2;
    Settings3Group settings3;
    QString profileFolder; // "Profile"
    QStringList recentFolders; // "Recent1".."Recent10", empty entries included
};

// The stored form of each group, checksum and preset encoding included.
QByteArray encodeSettingsGroup(const SettingsGroup& group);
QByteArray encodeSettings2Group(const Settings2Group& group);
QByteArray encodeSettings3Group(const Settings3Group& group);

// Empty when the value is damaged (wrong size or checksum). A field outside
// its range takes its default alone, with a line in `notes`.
std::optional<SettingsGroup> decodeSettingsGroup(
    const QByteArray& stored, QStringList* notes = nullptr);
std::optional<Settings2Group> decodeSettings2Group(
    const QByteArray& stored, QStringList* notes = nullptr);
std::optional<Settings3Group> decodeSettings3Group(
    const QByteArray& stored, QStringList* notes = nullptr);

// Start-up: "Settings", then "Settings2" and the profile folder, then
// "Settings3", then the recent folders. A missing or damaged group takes its
// defaults, except tiffDepth, which keeps the value `options` held. An empty
// profile folder becomes defaultProfileFolder() and is saved at once.
// Returns a line for every stored value that was damaged or out of range;
// missing values (a first start) are not damage.
QStringList loadOptions(SettingsStore& store, Options& options);

// After every change of an option: writes the three groups and "Profile".
// False when the store could not save them; the store's errorString() says why.
bool saveOptions(SettingsStore& store, const Options& options);

// Writes all ten "Recent" values: the first recentCount entries of the list,
// the rest empty.
bool saveRecentFolders(SettingsStore& store, const Options& options);

// `base` followed by a separator (unless it ends with one) and "Profiles".
QString profilesFolderIn(const QString& base);

// Profiles under the per-user data folder of this application: the generic
// data location followed by the organisation and application names (what
// AppDataLocation gives an application with those names), or under the
// current directory when the system has no such location.
QString defaultProfileFolder();

} // namespace calmora
