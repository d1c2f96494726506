#include "settings/options.h"

#include "settings/little_endian.h"
#include "settings/presets.h"
#include "settings/settings_store.h"

#include <QDir>
#include <QStandardPaths>
#include <QStringDecoder>

#include <limits>
#include <span>

namespace calmora {

namespace {

constexpr int32_t kAny = std::numeric_limits<int32_t>::min();
constexpr int32_t kAnyMax = std::numeric_limits<int32_t>::max();

template <typename Group>
struct Field {
    const char* name;
    int offset;
    int32_t Group::*member;
    int32_t minimum;
    int32_t maximum;
};

constexpr Field<SettingsGroup> kSettingsFields[] = {
    { "showOpenDialogOnStartup", 4, &SettingsGroup::showOpenDialogOnStartup, 0, 1 },
    { "reserved8", 8, &SettingsGroup::reserved8, kAny, kAnyMax },
    { "defaultZoom", 12, &SettingsGroup::defaultZoom, 0, 400 },
    { "reserved16", 16, &SettingsGroup::reserved16, kAny, kAnyMax },
    { "appendSuffix", 20, &SettingsGroup::appendSuffix, 0, 1 },
    { "jpegQuality", 48, &SettingsGroup::jpegQuality, 0, 100 },
    { "autoPreview", 52, &SettingsGroup::autoPreview, 0, 1 },
    { "reserved56", 56, &SettingsGroup::reserved56, kAny, kAnyMax },
    { "previewDelay", 60, &SettingsGroup::previewDelay, 1, 10 },
    { "defaultPreset", 64, &SettingsGroup::defaultPreset, 0, PresetTable::kMaxCount - 1 },
    { "resetPresetOnOpen", 68, &SettingsGroup::resetPresetOnOpen, 0, 1 },
    { "showSummary", 72, &SettingsGroup::showSummary, 0, 1 },
    { "reserved76", 76, &SettingsGroup::reserved76, kAny, kAnyMax },
    { "reserved80", 80, &SettingsGroup::reserved80, kAny, kAnyMax },
    { "reserved84", 84, &SettingsGroup::reserved84, kAny, kAnyMax },
    { "reserved88", 88, &SettingsGroup::reserved88, kAny, kAnyMax },
    { "reserved92", 92, &SettingsGroup::reserved92, kAny, kAnyMax },
};

constexpr Field<Settings2Group> kSettings2Fields[] = {
    { "reserved4", 4, &Settings2Group::reserved4, kAny, kAnyMax },
    { "tiffDepth", 8, &Settings2Group::tiffDepth, 0, 1 },
    { "filterPaneVisible", 12, &Settings2Group::filterPaneVisible, 0, 1 },
    { "reserved16", 16, &Settings2Group::reserved16, kAny, kAnyMax },
    { "paneSection", 20, &Settings2Group::paneSection, 0, 2 },
    { "selfLearning", 24, &Settings2Group::selfLearning, 0, 1 },
    { "alwaysBuildProfile", 28, &Settings2Group::alwaysBuildProfile, 0, 1 },
    { "batchSelfLearning", 32, &Settings2Group::batchSelfLearning, 0, 1 },
    { "skipBuildWhenLearned", 36, &Settings2Group::skipBuildWhenLearned, 0, 1 },
    { "batchNotify", 40, &Settings2Group::batchNotify, 0, 1 },
    { "iccHandling", 44, &Settings2Group::iccHandling, 0, 2 },
};

constexpr Field<Settings3Group> kSettings3Fields[] = {
    { "recentCount", 4, &Settings3Group::recentCount, 1, kRecentFolderSlots },
    { "reserved8", 8, &Settings3Group::reserved8, kAny, kAnyMax },
    { "reserved12", 12, &Settings3Group::reserved12, kAny, kAnyMax },
    { "hidePreviewInfo", 16, &Settings3Group::hidePreviewInfo, 0, 1 },
    { "batchPriority", 20, &Settings3Group::batchPriority, 0, 1 },
    { "reserved24", 24, &Settings3Group::reserved24, kAny, kAnyMax },
    { "reserved28", 28, &Settings3Group::reserved28, kAny, kAnyMax },
    { "reserved32", 32, &Settings3Group::reserved32, kAny, kAnyMax },
    { "reserved36", 36, &Settings3Group::reserved36, kAny, kAnyMax },
    { "reserved40", 40, &Settings3Group::reserved40, kAny, kAnyMax },
};

constexpr int kSuffixOffset = 24;
constexpr int kSuffixFieldBytes = kMaxSuffixBytes + 1;
constexpr int kDefaultPresetOffset = 64;
// The stored default preset is the index + 100; a value below 100 comes from
// an older encoding and stands for the index after it.
constexpr int32_t kPresetBias = 100;

const QString kSettingsName = QStringLiteral("Settings");
const QString kSettings2Name = QStringLiteral("Settings2");
const QString kSettings3Name = QStringLiteral("Settings3");
const QString kProfileName = QStringLiteral("Profile");

QString recentName(int number)
{
    return QStringLiteral("Recent%1").arg(number);
}

uint32_t byteSum(const QByteArray& bytes, int count)
{
    uint32_t sum = 0;
    for (int i = 4; i < 4 + count; ++i)
        sum += static_cast<uint8_t>(bytes[i]);
    return sum;
}

template <typename Group>
QByteArray encodeFields(const Group& group, std::span<const Field<Group>> fields, int size)
{
    QByteArray bytes(size, '\0');
    for (const Field<Group>& field : fields)
        writeInt32Le(bytes, field.offset, group.*field.member);
    return bytes;
}

void sealChecksum(QByteArray& bytes, int count)
{
    writeInt32Le(bytes, 0, static_cast<int32_t>(byteSum(bytes, count)));
}

QString describeDamage(const QString& name, const QByteArray& stored, int size, int checksumBytes)
{
    if (stored.size() != size)
        return QStringLiteral("Option group \"%1\" holds %2 bytes instead of %3; its options are "
                              "back to their defaults.")
            .arg(name)
            .arg(stored.size())
            .arg(size);
    if (static_cast<uint32_t>(readInt32Le(stored, 0)) != byteSum(stored, checksumBytes))
        return QStringLiteral("Option group \"%1\" fails its checksum; its options are back to "
                              "their defaults.")
            .arg(name);
    return QString();
}

template <typename Group>
std::optional<Group> decodeFields(const QString& name, const QByteArray& stored,
    std::span<const Field<Group>> fields, int size, int checksumBytes, QStringList* notes,
    int32_t (*decodeValue)(const Field<Group>&, int32_t))
{
    const QString damage = describeDamage(name, stored, size, checksumBytes);
    if (!damage.isEmpty()) {
        if (notes)
            *notes << damage;
        return std::nullopt;
    }
    const Group defaults;
    Group group;
    for (const Field<Group>& field : fields) {
        const int32_t value = decodeValue(field, readInt32Le(stored, field.offset));
        if (value >= field.minimum && value <= field.maximum) {
            group.*field.member = value;
        } else if (notes) {
            *notes << QStringLiteral("Option %1 of \"%2\" was %3, outside %4..%5; it is back to "
                                     "its default %6.")
                          .arg(QString::fromLatin1(field.name), name)
                          .arg(value)
                          .arg(field.minimum)
                          .arg(field.maximum)
                          .arg(defaults.*field.member);
        }
    }
    return group;
}

template <typename Group>
int32_t storedAsIs(const Field<Group>&, int32_t value)
{
    return value;
}

int32_t decodeSettingsValue(const Field<SettingsGroup>& field, int32_t value)
{
    if (field.offset != kDefaultPresetOffset)
        return value;
    return value < kPresetBias ? value + 1 : value - kPresetBias;
}

bool isAllowedZoom(int32_t zoom)
{
    return zoom == 0 || zoom == 25 || zoom == 50 || zoom == 100 || zoom == 200 || zoom == 400;
}

// The suffix is appended to file names, so a character that cannot be part
// of a file name on any common system makes it as unusable as a damaged one.
bool isUsableSuffix(const QString& suffix)
{
    for (const QChar c : suffix) {
        if (c.unicode() < 0x20 || QStringLiteral("/\\:*?\"<>|").contains(c))
            return false;
    }
    return true;
}

// Cut at a character boundary so the stored text stays valid UTF-8.
QByteArray suffixBytes(const QString& suffix)
{
    QByteArray utf8 = suffix.toUtf8();
    if (utf8.size() <= kMaxSuffixBytes)
        return utf8;
    qsizetype end = kMaxSuffixBytes;
    while (end > 0 && (static_cast<uint8_t>(utf8[end]) & 0xC0) == 0x80)
        --end;
    utf8.truncate(end);
    return utf8;
}

} // namespace

QByteArray encodeSettingsGroup(const SettingsGroup& group)
{
    QByteArray bytes = encodeFields<SettingsGroup>(group, kSettingsFields, kSettingsGroupSize);
    // Wraps rather than overflows for an absurd index; loading rejects it.
    writeInt32Le(bytes, kDefaultPresetOffset,
        static_cast<int32_t>(static_cast<uint32_t>(group.defaultPreset) + kPresetBias));
    const QByteArray suffix = suffixBytes(group.defaultSuffix);
    bytes.replace(kSuffixOffset, suffix.size(), suffix);
    sealChecksum(bytes, kSettingsChecksumBytes);
    return bytes;
}

QByteArray encodeSettings2Group(const Settings2Group& group)
{
    QByteArray bytes = encodeFields<Settings2Group>(group, kSettings2Fields, kSettings2GroupSize);
    sealChecksum(bytes, kSettings2ChecksumBytes);
    return bytes;
}

QByteArray encodeSettings3Group(const Settings3Group& group)
{
    QByteArray bytes = encodeFields<Settings3Group>(group, kSettings3Fields, kSettings3GroupSize);
    sealChecksum(bytes, kSettings3ChecksumBytes);
    return bytes;
}

std::optional<SettingsGroup> decodeSettingsGroup(const QByteArray& stored, QStringList* notes)
{
    std::optional<SettingsGroup> group = decodeFields<SettingsGroup>(kSettingsName, stored,
        kSettingsFields, kSettingsGroupSize, kSettingsChecksumBytes, notes, decodeSettingsValue);
    if (!group)
        return group;
    const SettingsGroup defaults;
    if (!isAllowedZoom(group->defaultZoom)) {
        if (notes)
            *notes << QStringLiteral("Option defaultZoom of \"Settings\" was %1, not one of the "
                                     "zoom factors; it is back to best fit.")
                          .arg(group->defaultZoom);
        group->defaultZoom = defaults.defaultZoom;
    }
    const QByteArray field = stored.mid(kSuffixOffset, kSuffixFieldBytes);
    const qsizetype end = field.indexOf('\0');
    // Bytes that are no UTF-8 would be read as replacement characters, which
    // take more bytes than they replace: the suffix would change, and may be
    // cut, each time it is saved. Such a field is damaged.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString suffix = end < 0 ? QString() : QString(utf8(field.left(end)));
    if (end >= 0 && !utf8.hasError() && isUsableSuffix(suffix)) {
        group->defaultSuffix = suffix;
    } else if (notes) {
        *notes << QStringLiteral("Option defaultSuffix of \"Settings\" is not a usable suffix; it "
                                 "is back to \"%1\".")
                      .arg(defaults.defaultSuffix);
    }
    return group;
}

std::optional<Settings2Group> decodeSettings2Group(const QByteArray& stored, QStringList* notes)
{
    return decodeFields<Settings2Group>(kSettings2Name, stored, kSettings2Fields,
        kSettings2GroupSize, kSettings2ChecksumBytes, notes, storedAsIs<Settings2Group>);
}

std::optional<Settings3Group> decodeSettings3Group(const QByteArray& stored, QStringList* notes)
{
    return decodeFields<Settings3Group>(kSettings3Name, stored, kSettings3Fields,
        kSettings3GroupSize, kSettings3ChecksumBytes, notes, storedAsIs<Settings3Group>);
}

namespace {

// Empty when the group must take its defaults. A missing value is a first
// start, not damage: only a value that is there and unusable earns a note.
template <typename Group>
std::optional<Group> readGroup(const SettingsStore& store, const QString& name,
    std::optional<Group> (*decode)(const QByteArray&, QStringList*), QStringList& notes)
{
    const std::optional<QByteArray> stored = store.readBinary(kOptionsSection, name);
    if (stored)
        return decode(*stored, &notes);
    if (store.valueNames(kOptionsSection).value_or(QStringList()).contains(name))
        notes << QStringLiteral("Option group \"%1\" does not hold binary data; its options are "
                                "back to their defaults.")
                     .arg(name);
    return std::nullopt;
}

} // namespace

QStringList loadOptions(SettingsStore& store, Options& options)
{
    QStringList notes;
    options.settings = readGroup<SettingsGroup>(store, kSettingsName, decodeSettingsGroup, notes)
                           .value_or(SettingsGroup {});

    // tiffDepth has no default of its own: a defaulted group keeps the value
    // that was there before.
    const int32_t tiffDepth = options.settings2.tiffDepth;
    options.settings2
        = readGroup<Settings2Group>(store, kSettings2Name, decodeSettings2Group, notes)
              .value_or(Settings2Group { .tiffDepth = tiffDepth });

    options.profileFolder = store.readText(kOptionsSection, kProfileName).value_or(QString());
    if (options.profileFolder.isEmpty()) {
        options.profileFolder = defaultProfileFolder();
        store.writeText(kOptionsSection, kProfileName, options.profileFolder);
        if (!store.flush())
            notes << store.errorString();
    }

    options.settings3
        = readGroup<Settings3Group>(store, kSettings3Name, decodeSettings3Group, notes)
              .value_or(Settings3Group {});

    options.recentFolders.clear();
    for (int number = 1; number <= options.settings3.recentCount && number <= kRecentFolderSlots;
         ++number)
        options.recentFolders
            << store.readText(kOptionsSection, recentName(number)).value_or(QString());
    return notes;
}

bool saveOptions(SettingsStore& store, const Options& options)
{
    store.writeBinary(kOptionsSection, kSettingsName, encodeSettingsGroup(options.settings));
    store.writeBinary(kOptionsSection, kSettings2Name, encodeSettings2Group(options.settings2));
    store.writeBinary(kOptionsSection, kSettings3Name, encodeSettings3Group(options.settings3));
    store.writeText(kOptionsSection, kProfileName, options.profileFolder);
    return store.flush();
}

bool saveRecentFolders(SettingsStore& store, const Options& options)
{
    for (int number = 1; number <= kRecentFolderSlots; ++number) {
        const int j = number - 1;
        const bool kept = j < options.settings3.recentCount && j < options.recentFolders.size();
        store.writeText(
            kOptionsSection, recentName(number), kept ? options.recentFolders[j] : QString());
    }
    return store.flush();
}

QString profilesFolderIn(const QString& base)
{
    const bool endsWithSeparator = base.endsWith(u'/') || base.endsWith(u'\\');
    return base + (endsWithSeparator ? QString() : QStringLiteral("/"))
        + QStringLiteral("Profiles");
}

QString defaultProfileFolder()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty())
        return profilesFolderIn(QDir::currentPath());
    return profilesFolderIn(data + u'/' + kOrganisationName + u'/' + kApplicationName);
}

} // namespace calmora
