#include "cli/profile_json.h"

#include "engine/engine.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <cmath>

namespace calmora {

namespace {

QJsonArray pointArray(const int16_t (*values)[kChannels], int32_t points)
{
    QJsonArray array;
    for (int32_t p = 0; p < points; ++p)
        array.append(QJsonArray { values[p][kY], values[p][kCr], values[p][kCb] });
    return array;
}

// Reads `points` triples of whole numbers in 0..32767 into `values`.
bool readPoints(const QJsonValue& value, int32_t points, int16_t (*values)[kChannels],
    const QString& where, QString* error)
{
    const QJsonArray array = value.toArray();
    if (!value.isArray() || array.size() != points) {
        *error = QStringLiteral("%1: expected a list of %2 points").arg(where).arg(points);
        return false;
    }
    for (int32_t p = 0; p < points; ++p) {
        const QJsonArray triple = array[p].toArray();
        if (!array[p].isArray() || triple.size() != kChannels) {
            *error = QStringLiteral("%1[%2]: expected three numbers (Y, Cr, Cb)").arg(where).arg(p);
            return false;
        }
        for (int c = 0; c < kChannels; ++c) {
            const double number = triple[c].toDouble(-1);
            if (!triple[c].isDouble() || number != std::floor(number) || number < 0
                || number > 32767) {
                *error = QStringLiteral("%1[%2][%3]: expected a whole number from 0 to 32767")
                             .arg(where)
                             .arg(p)
                             .arg(c);
                return false;
            }
            values[p][c] = static_cast<int16_t>(number);
        }
    }
    return true;
}

bool readCount(const QJsonObject& object, const char* key, int32_t maximum, const QString& where,
    int32_t* count, QString* error)
{
    const QJsonValue value = object.value(QLatin1String(key));
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number != std::floor(number) || number < 1 || number > maximum) {
        *error = QStringLiteral("%1%2: expected a whole number from 1 to %3")
                     .arg(where, QLatin1String(key))
                     .arg(maximum);
        return false;
    }
    *count = static_cast<int32_t>(number);
    return true;
}

} // namespace

QJsonObject profileToJson(const NoiseProfile& profile)
{
    QJsonArray bands;
    const int32_t bandCount = std::clamp(profile.bandCount, 0, kProfileBands);
    for (int32_t b = 0; b < bandCount; ++b) {
        const NoiseBand& band = profile.bands[b];
        const int32_t points = std::clamp(band.pointCount, 0, kMaxPoints);
        bands.append(QJsonObject {
            { QStringLiteral("pointCount"), points },
            { QStringLiteral("noise"), pointArray(band.noise, points) },
            { QStringLiteral("weight"), pointArray(band.weight, points) },
        });
    }
    return QJsonObject { { QStringLiteral("bandCount"), bandCount },
        { QStringLiteral("bands"), bands } };
}

QByteArray profileToJsonText(const NoiseProfile& profile)
{
    return QJsonDocument(profileToJson(profile)).toJson(QJsonDocument::Indented);
}

std::optional<NoiseProfile> profileFromJsonText(const QByteArray& text, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not valid JSON at offset %1: %2")
                     .arg(parseError.offset)
                     .arg(parseError.errorString());
        return std::nullopt;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("expected an object with \"bandCount\" and \"bands\"");
        return std::nullopt;
    }
    const QJsonObject root = document.object();
    NoiseProfile profile;
    resetProfile(profile, false);
    if (!readCount(root, "bandCount", kProfileBands, QString(), &profile.bandCount, error))
        return std::nullopt;
    const QJsonArray bands = root.value(QStringLiteral("bands")).toArray();
    if (bands.size() != profile.bandCount) {
        *error = QStringLiteral("bands: expected %1 bands").arg(profile.bandCount);
        return std::nullopt;
    }
    for (int32_t b = 0; b < profile.bandCount; ++b) {
        const QString where = QStringLiteral("bands[%1].").arg(b);
        const QJsonObject band = bands[b].toObject();
        NoiseBand& entry = profile.bands[b];
        if (!readCount(band, "pointCount", kMaxPoints, where, &entry.pointCount, error))
            return std::nullopt;
        if (!readPoints(band.value(QStringLiteral("noise")), entry.pointCount, entry.noise,
                where + QStringLiteral("noise"), error)
            || !readPoints(band.value(QStringLiteral("weight")), entry.pointCount, entry.weight,
                where + QStringLiteral("weight"), error))
            return std::nullopt;
    }
    return profile;
}

} // namespace calmora
