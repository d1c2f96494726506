#include "settings/filter_settings.h"

#include "settings/little_endian.h"

namespace calmora {

const std::array<FilterField, kFilterFieldCount> kFilterFields = { {
    { "degree", 0, 3, 0 },
    { "lumaLevel", -20, 40, 0 },
    { "colorLevel", -20, 40, 0 },
    { "freqLevel0", -20, 40, 0 },
    { "freqLevel1", -20, 40, 0 },
    { "freqLevel2", -20, 40, 0 },
    { "freqLevel3", -20, 40, 0 },
    { "sharpening", -5, 5, 0 },
    { "crFactor", 0, 40, 20 },
    { "cbFactor", 0, 40, 20 },
    { "lumaSuppression", 0, 20, 20 },
    { "colorSuppression", 0, 20, 20 },
    { "freqSuppression0", 0, 20, 20 },
    { "freqSuppression1", 0, 20, 20 },
    { "freqSuppression2", 0, 20, 20 },
    { "freqSuppression3", 0, 20, 20 },
} };

int32_t& fieldAt(FilterSettings& settings, int index)
{
    switch (index) {
    case 0:
        return settings.degree;
    case 1:
        return settings.lumaLevel;
    case 2:
        return settings.colorLevel;
    case 3:
    case 4:
    case 5:
    case 6:
        return settings.freqLevel[index - 3];
    case 7:
        return settings.sharpening;
    case 8:
        return settings.crFactor;
    case 9:
        return settings.cbFactor;
    case 10:
        return settings.lumaSuppression;
    case 11:
        return settings.colorSuppression;
    default:
        Q_ASSERT(index >= 12 && index < kFilterFieldCount);
        return settings.freqSuppression[index - 12];
    }
}

int32_t fieldAt(const FilterSettings& settings, int index)
{
    return fieldAt(const_cast<FilterSettings&>(settings), index);
}

int findFilterField(QStringView name)
{
    for (int i = 0; i < kFilterFieldCount; ++i) {
        if (name == QLatin1String(kFilterFields[static_cast<size_t>(i)].name))
            return i;
    }
    return -1;
}

namespace {

QString fieldNameList()
{
    QStringList names;
    for (const FilterField& field : kFilterFields)
        names << QString::fromLatin1(field.name);
    return names.join(QStringLiteral(", "));
}

} // namespace

bool assignFilterField(FilterSettings& settings, QStringView assignment, QString* error)
{
    const qsizetype equals = assignment.indexOf(u'=');
    if (equals < 0) {
        if (error)
            *error = QStringLiteral("\"%1\" is not a filter setting of the form NAME=VALUE.")
                         .arg(assignment.toString());
        return false;
    }
    const QStringView name = assignment.left(equals).trimmed();
    const QStringView text = assignment.mid(equals + 1).trimmed();
    const int index = findFilterField(name);
    if (index < 0) {
        if (error)
            *error = QStringLiteral("\"%1\" is not a filter setting; the settings are %2.")
                         .arg(name.toString(), fieldNameList());
        return false;
    }
    const FilterField& field = kFilterFields[static_cast<size_t>(index)];
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < field.minimum || value > field.maximum) {
        if (error)
            *error = QStringLiteral("%1 takes a whole number from %2 to %3, not \"%4\".")
                         .arg(QString::fromLatin1(field.name))
                         .arg(field.minimum)
                         .arg(field.maximum)
                         .arg(text.toString());
        return false;
    }
    fieldAt(settings, index) = value;
    return true;
}

QStringList sanitiseFilterSettings(FilterSettings& settings)
{
    QStringList replaced;
    for (int i = 0; i < kFilterFieldCount; ++i) {
        const FilterField& field = kFilterFields[static_cast<size_t>(i)];
        int32_t& value = fieldAt(settings, i);
        if (value < field.minimum || value > field.maximum) {
            value = field.neutral;
            replaced << QString::fromLatin1(field.name);
        }
    }
    return replaced;
}

QByteArray encodeFilterSettings(const FilterSettings& settings)
{
    QByteArray bytes(sizeof(FilterSettings), '\0');
    for (int i = 0; i < kFilterFieldCount; ++i)
        writeInt32Le(bytes, 4 * i, fieldAt(settings, i));
    return bytes;
}

std::optional<FilterSettings> decodeFilterSettings(const QByteArray& bytes)
{
    if (bytes.size() < static_cast<qsizetype>(sizeof(FilterSettings)))
        return std::nullopt;
    FilterSettings settings;
    for (int i = 0; i < kFilterFieldCount; ++i)
        fieldAt(settings, i) = readInt32Le(bytes, 4 * i);
    return settings;
}

} // namespace calmora
