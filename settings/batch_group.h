// The batch window's options: one checksummed binary group, "Batch", in the
// "Options" section beside the program's other groups, so that a damaged
// value sends these options alone back to their defaults. The recently used
// destination folders are the options' own list ("Recent1".."Recent10").
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace calmora {

class SettingsStore;

// A 32-bit little-endian byte sum of bytes 4..end, then 32-bit little-endian
// fields, then three zero-terminated UTF-8 text fields of fixed size.
constexpr int kBatchGroupSize = 1148;
constexpr int kBatchChecksumBytes = kBatchGroupSize - 4;
// Longest texts in bytes of UTF-8; each stored field has room for a
// terminating zero after it.
constexpr int kMaxBatchSuffixBytes = 31;
constexpr int kMaxBatchSubfolderBytes = 63;
// Long enough for any folder a person picks; PATH_MAX would be 4095, and a
// path that does not fit is not stored rather than stored cut.
constexpr int kMaxBatchFolderBytes = 1023;

// The settings a batch filters with: a preset index, or this for the filter
// pane's current settings.
constexpr int32_t kCurrentSettingsPreset = -1;
// Or each file's settings chosen from its own measured noise.
constexpr int32_t kAutoStrengthPreset = -2;

struct BatchGroup {
    int32_t destinationMode = 0; // 4: a DestinationMode number, 0..2
    int32_t format = 0; // 8: a BatchFormat number, 0..7; 0 keeps the source's
    int32_t jpegQuality = 90; // 12: 0..100
    int32_t presetIndex = kCurrentSettingsPreset; // 16: -2, -1, or a preset index
    int32_t includeSubfolders = 0; // 20: Add Folder also takes its subfolders
    int32_t reserved24 = 0;
    QString suffix = QStringLiteral("_filtered"); // 28: 32 bytes
    QString subfolder = QStringLiteral("Filtered"); // 60: 64 bytes, mode 1
    QString folder; // 124: 1024 bytes, mode 2

    bool operator==(const BatchGroup&) const = default;
};

QByteArray encodeBatchGroup(const BatchGroup& group);
// Empty when the value is damaged (wrong size or checksum). A field outside
// its range or a text that is not a usable name takes its default alone,
// with a line in `notes`.
std::optional<BatchGroup> decodeBatchGroup(const QByteArray& stored, QStringList* notes = nullptr);

// The stored group, or the defaults when it is missing or damaged (with a
// line in `notes` for damage; a missing value is a first start).
BatchGroup loadBatchGroup(const SettingsStore& store, QStringList* notes = nullptr);
// Writes the group; false when the store could not save it (its
// errorString() says why).
bool saveBatchGroup(SettingsStore& store, const BatchGroup& group);

} // namespace calmora
