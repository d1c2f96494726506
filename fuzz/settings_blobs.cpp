// Stored settings as a damaged or foreign settings file may hold them: the
// user presets' 64-byte blocks, the three checksummed option groups, and a
// whole store of such values read at start-up. Nothing stored may crash the
// program, every value loaded is within its range, and what is loaded is
// saved and loaded again unchanged.
//
// The input is a list of records: kind (bit 0: 0 the presets' section, 1 the
// options' section; (kind >> 1) % 3: 0 bytes, 1 UTF-8 text, 2 a number),
// name length, name, value length, value. fuzz/make_seeds.cpp writes them.

#include "fuzz/fuzz_check.h"
#include "settings/filter_settings.h"
#include "settings/memory_settings_store.h"
#include "settings/options.h"
#include "settings/presets.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace {

using namespace calmora;
using calmora::fuzz::check;

struct Record {
    bool options = false;
    int type = 0; // 0 bytes, 1 text, 2 number
    QByteArray name;
    QByteArray value;
};

std::vector<Record> splitRecords(std::span<const uint8_t> input)
{
    std::vector<Record> records;
    size_t at = 0;
    const auto take = [&input, &at](size_t count) {
        count = std::min(count, input.size() - at);
        QByteArray bytes(
            reinterpret_cast<const char*>(input.data() + at), static_cast<qsizetype>(count));
        at += count;
        return bytes;
    };
    while (input.size() - at >= 2) {
        Record record;
        record.options = (input[at] & 1) != 0;
        record.type = (input[at] >> 1) % 3;
        ++at;
        record.name = take(input[at++]);
        if (at >= input.size())
            break;
        record.value = take(input[at++]);
        records.push_back(std::move(record));
    }
    return records;
}

// Reads 32-bit values from the bytes in turn, zero after their end, to build
// records with any field value, out-of-range ones included.
class ValueSource {
public:
    explicit ValueSource(const QByteArray& bytes)
        : m_bytes(bytes)
    { }
    int32_t next()
    {
        int32_t value = 0;
        if (m_at + 4 <= m_bytes.size())
            std::memcpy(&value, m_bytes.constData() + m_at, 4);
        m_at += 4;
        return value;
    }
    QString text() const { return QString::fromUtf8(m_bytes.mid(m_at)); }

private:
    QByteArray m_bytes;
    qsizetype m_at = 0;
};

// The bytes as a group of `size` bytes with the checksum options.h describes,
// so that random bytes get past it to the field checks.
QByteArray sealed(QByteArray bytes, int size, int checksumBytes)
{
    bytes = bytes.leftJustified(size, '\0', true);
    uint32_t sum = 0;
    for (int i = 4; i < 4 + checksumBytes; ++i)
        sum += static_cast<uint8_t>(bytes[i]);
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>(sum >> (8 * i));
    return bytes;
}

// A group that one load gave must survive saving and loading untouched, and
// the second load has nothing to repair.
template <typename Group>
void checkStable(const Group& loaded, QByteArray (*encode)(const Group&),
    std::optional<Group> (*decode)(const QByteArray&, QStringList*), const char* name)
{
    QStringList notes;
    const std::optional<Group> again = decode(encode(loaded), &notes);
    check(again.has_value(), QStringLiteral("%1: own encoding refused").arg(QLatin1String(name)));
    check(*again == loaded,
        QStringLiteral("%1: changed by saving and loading again").arg(QLatin1String(name)));
    check(notes.isEmpty(),
        QStringLiteral("%1: loaded values repaired again: ").arg(QLatin1String(name))
            + notes.join(u' '));
}

// As stored: whatever the decoder accepts must be stable.
template <typename Group>
void decodeStored(const QByteArray& stored, QByteArray (*encode)(const Group&),
    std::optional<Group> (*decode)(const QByteArray&, QStringList*), const char* name)
{
    QStringList notes;
    if (const std::optional<Group> group = decode(stored, &notes))
        checkStable(*group, encode, decode, name);
    else
        check(!notes.isEmpty(), QStringLiteral("%1: refused without a note").arg(name));
}

// Any field values, encoded by us, so the checksum holds and the range checks
// are what is tried.
template <typename Group>
void decodeBuilt(Group group, ValueSource& source, QByteArray (*encode)(const Group&),
    std::optional<Group> (*decode)(const QByteArray&, QStringList*), const char* name)
{
    static_assert(sizeof(int32_t) == 4);
    for (int32_t* field = reinterpret_cast<int32_t*>(&group);
         field < reinterpret_cast<int32_t*>(&group) + sizeof(Group) / 4; ++field)
        *field = source.next();
    const std::optional<Group> loaded = decode(encode(group), nullptr);
    check(loaded.has_value(), QStringLiteral("%1: own encoding refused").arg(name));
    checkStable(*loaded, encode, decode, name);
}

void decodeBlobs(const QByteArray& bytes)
{
    if (const std::optional<FilterSettings> settings = decodeFilterSettings(bytes)) {
        FilterSettings repaired = *settings;
        sanitiseFilterSettings(repaired);
        check(sanitiseFilterSettings(repaired).isEmpty(),
            QStringLiteral("filter settings: repaired twice"));
        check(decodeFilterSettings(encodeFilterSettings(*settings)) == *settings,
            QStringLiteral("filter settings: changed by saving and loading again"));
    }
    decodeStored<SettingsGroup>(bytes, encodeSettingsGroup, decodeSettingsGroup, "Settings");
    decodeStored<Settings2Group>(bytes, encodeSettings2Group, decodeSettings2Group, "Settings2");
    decodeStored<Settings3Group>(bytes, encodeSettings3Group, decodeSettings3Group, "Settings3");
    decodeStored<SettingsGroup>(sealed(bytes, kSettingsGroupSize, kSettingsChecksumBytes),
        encodeSettingsGroup, decodeSettingsGroup, "Settings");
    decodeStored<Settings2Group>(sealed(bytes, kSettings2GroupSize, kSettings2ChecksumBytes),
        encodeSettings2Group, decodeSettings2Group, "Settings2");
    decodeStored<Settings3Group>(sealed(bytes, kSettings3GroupSize, kSettings3ChecksumBytes),
        encodeSettings3Group, decodeSettings3Group, "Settings3");

    // SettingsGroup holds a QString, so its fields are set one by one.
    ValueSource source(bytes);
    SettingsGroup settings;
    for (int32_t* field : { &settings.showOpenDialogOnStartup, &settings.reserved8,
             &settings.defaultZoom, &settings.reserved16, &settings.appendSuffix,
             &settings.jpegQuality, &settings.autoPreview, &settings.reserved56,
             &settings.previewDelay, &settings.defaultPreset, &settings.resetPresetOnOpen,
             &settings.showSummary, &settings.reserved76, &settings.reserved80,
             &settings.reserved84, &settings.reserved88, &settings.reserved92 })
        *field = source.next();
    settings.defaultSuffix = source.text();
    const std::optional<SettingsGroup> loaded
        = decodeSettingsGroup(encodeSettingsGroup(settings), nullptr);
    check(loaded.has_value(), QStringLiteral("Settings: own encoding refused"));
    checkStable(*loaded, encodeSettingsGroup, decodeSettingsGroup, "Settings");

    ValueSource source2(bytes);
    decodeBuilt<Settings2Group>(
        Settings2Group {}, source2, encodeSettings2Group, decodeSettings2Group, "Settings2");
    ValueSource source3(bytes);
    decodeBuilt<Settings3Group>(
        Settings3Group {}, source3, encodeSettings3Group, decodeSettings3Group, "Settings3");
}

void loadPresets(const MemorySettingsStore& store)
{
    PresetTable table;
    QStringList notes;
    check(table.initialise(store, &notes), QStringLiteral("presets: a readable store refused"));
    check(table.count() >= PresetTable::kBuiltInCount && table.count() <= PresetTable::kMaxCount,
        QStringLiteral("presets: %1 entries").arg(table.count()));
    for (int i = PresetTable::kBuiltInCount; i < table.count(); ++i) {
        FilterSettings values = table.at(i).values;
        check(sanitiseFilterSettings(values).isEmpty(),
            QStringLiteral("preset %1: a value outside its range was loaded").arg(i));
        // The first entry of a name is what a command line naming it gets.
        QString error;
        const int found = table.lookUp(table.at(i).name, &error);
        check(found >= 0 && table.at(found).name == table.at(i).name,
            QStringLiteral("preset %1: not found by its own name: ").arg(i) + error);
        FilterParams params;
        table.deriveParams(i, params);
    }
}

void loadAndSaveOptions(MemorySettingsStore& store)
{
    Options options;
    loadOptions(store, options);
    check(options.recentFolders.size() == std::clamp(options.settings3.recentCount, 0, 10),
        QStringLiteral("options: %1 recent folders for a count of %2")
            .arg(options.recentFolders.size())
            .arg(options.settings3.recentCount));
    check(!options.profileFolder.isEmpty(), QStringLiteral("options: no profile folder"));
    check(saveOptions(store, options), QStringLiteral("options: saving to memory failed"));
    Options reloaded;
    reloaded.settings2.tiffDepth = options.settings2.tiffDepth;
    const QStringList notes = loadOptions(store, reloaded);
    check(notes.isEmpty(), QStringLiteral("options: saved values repaired: ") + notes.join(u' '));
    check(reloaded.settings == options.settings && reloaded.settings2 == options.settings2
            && reloaded.settings3 == options.settings3
            && reloaded.profileFolder == options.profileFolder
            && reloaded.recentFolders == options.recentFolders,
        QStringLiteral("options: changed by saving and loading again"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<Record> records = splitRecords({ data, size });
    MemorySettingsStore store;
    for (const Record& record : records) {
        const QString section = record.options ? kOptionsSection : kFilterSettingsSection;
        const QString name = QString::fromUtf8(record.name);
        if (record.type == 0) {
            store.writeRaw(section, name, record.value);
            decodeBlobs(record.value);
        } else if (record.type == 1) {
            store.writeRaw(section, name, QString::fromUtf8(record.value));
        } else {
            store.writeRaw(section, name, static_cast<int>(record.value.size()));
        }
    }
    loadPresets(store);
    loadAndSaveOptions(store);
    return 0;
}
