// Everything the user can set about the noise filter: the positions of the
// filter pane's sliders and of its processing-degree list. A preset is such a
// record with a name; user presets are stored as these sixteen values in this
// order, so neither the order nor the 64-byte size may change.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <array>
#include <cstdint>
#include <optional>

namespace calmora {

struct FilterSettings {
    int32_t degree = 0; // 0 "Auto", 1 "High", 2 "Normal", 3 "Low"
    int32_t lumaLevel = 0; // steps of 5 %
    int32_t colorLevel = 0; // steps of 5 %
    int32_t freqLevel[4] = {}; // High, Mid, Low, Very Low; steps of 5 %
    int32_t sharpening = 0;
    int32_t crFactor = 20; // no control sets these two; presets carry 20
    int32_t cbFactor = 20;
    int32_t lumaSuppression = 20; // steps of 5 %: 20 is 100 %
    int32_t colorSuppression = 20;
    int32_t freqSuppression[4] = { 20, 20, 20, 20 };

    bool operator==(const FilterSettings&) const = default;
};
static_assert(sizeof(FilterSettings) == 64, "FilterSettings is stored as a fixed 64-byte block");

constexpr int kFilterFieldCount = 16;

// A field as the command line names it, with the values it accepts. The
// neutral value is also what a stored value outside the range falls back to.
struct FilterField {
    const char* name;
    int32_t minimum;
    int32_t maximum;
    int32_t neutral;
};

// In the stored order. crFactor and cbFactor have no control, so their range
// is ours: 0..40 keeps the colour level factor between -100 and 1700, well
// inside its 16-bit field, with the presets' 20 in the middle.
extern const std::array<FilterField, kFilterFieldCount> kFilterFields;

// Field `index` (0..15, in the stored order); other indexes are a caller's bug.
int32_t& fieldAt(FilterSettings& settings, int index);
int32_t fieldAt(const FilterSettings& settings, int index);

// Index of the field with exactly this name, or -1.
int findFilterField(QStringView name);

// Applies one "NAME=VALUE" assignment, as given on the command line. On
// failure `settings` is unchanged and `error` says what was wrong.
bool assignFilterField(FilterSettings& settings, QStringView assignment, QString* error);

// Replaces every value outside its field's range by the field's neutral
// value; returns the names of the fields it replaced.
QStringList sanitiseFilterSettings(FilterSettings& settings);

// Sixteen little-endian 32-bit values in the stored order.
QByteArray encodeFilterSettings(const FilterSettings& settings);
// Reads the first 64 bytes; empty when there are fewer.
std::optional<FilterSettings> decodeFilterSettings(const QByteArray& bytes);

} // namespace calmora
