// Noise profiles as JSON, for the command line's --profile-in/--profile-out
// and `profile --json`:
//   {"bandCount": 4, "bands": [{"pointCount": 11,
//     "noise": [[Y, Cr, Cb], ...], "weight": [[Y, Cr, Cb], ...]}, ...]}
#pragma once

#include "engine/records.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace calmora {

QJsonObject profileToJson(const NoiseProfile& profile);
QByteArray profileToJsonText(const NoiseProfile& profile);

// Reads a profile written by profileToJson(). Every count, list length and
// value is checked against the record's limits; on failure the result is
// empty and `error` says where the text went wrong.
std::optional<NoiseProfile> profileFromJsonText(const QByteArray& text, QString* error);

} // namespace calmora
