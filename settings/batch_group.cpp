#include "settings/batch_group.h"

#include "settings/little_endian.h"
#include "settings/presets.h"
#include "settings/settings_store.h"

#include <QStringDecoder>

#include <limits>

namespace calmora {

namespace {

const QString kBatchName = QStringLiteral("Batch");

struct NumberField {
    const char* name;
    int offset;
    int32_t BatchGroup::*member;
    int32_t minimum;
    int32_t maximum;
};

constexpr NumberField kNumberFields[] = {
    { "destinationMode", 4, &BatchGroup::destinationMode, 0, 2 },
    { "format", 8, &BatchGroup::format, 0, 7 },
    { "jpegQuality", 12, &BatchGroup::jpegQuality, 0, 100 },
    { "presetIndex", 16, &BatchGroup::presetIndex, kAutoStrengthPreset,
        PresetTable::kMaxCount - 1 },
    { "includeSubfolders", 20, &BatchGroup::includeSubfolders, 0, 1 },
    { "reserved24", 24, &BatchGroup::reserved24, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max() },
};

// What a text must not hold to be usable in its place.
enum class TextUse { NamePart, FolderName, FolderPath };

struct TextField {
    const char* name;
    int offset;
    int maxBytes;
    QString BatchGroup::*member;
    TextUse use;
};

constexpr TextField kTextFields[] = {
    { "suffix", 28, kMaxBatchSuffixBytes, &BatchGroup::suffix, TextUse::NamePart },
    { "subfolder", 60, kMaxBatchSubfolderBytes, &BatchGroup::subfolder, TextUse::FolderName },
    { "folder", 124, kMaxBatchFolderBytes, &BatchGroup::folder, TextUse::FolderPath },
};

static_assert(124 + kMaxBatchFolderBytes + 1 == kBatchGroupSize, "the folder ends the group");
static_assert(28 + kMaxBatchSuffixBytes + 1 == 60 && 60 + kMaxBatchSubfolderBytes + 1 == 124,
    "the text fields follow each other");

uint32_t byteSum(const QByteArray& bytes)
{
    uint32_t sum = 0;
    for (int i = 4; i < kBatchGroupSize; ++i)
        sum += static_cast<uint8_t>(bytes[i]);
    return sum;
}

// A suffix and a folder name become parts of paths, so a separator or a
// control character would put results somewhere else than the user chose;
// ".." as a folder name would leave the source's folder.
bool isUsable(const QString& text, TextUse use)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20)
            return false;
        if (use != TextUse::FolderPath && (c == u'/' || c == u'\\'))
            return false;
    }
    if (use == TextUse::FolderName)
        return text != QStringLiteral(".") && text != QStringLiteral("..");
    return true;
}

} // namespace

QByteArray encodeBatchGroup(const BatchGroup& group)
{
    QByteArray bytes(kBatchGroupSize, '\0');
    for (const NumberField& field : kNumberFields)
        writeInt32Le(bytes, field.offset, group.*field.member);
    for (const TextField& field : kTextFields) {
        // A text too long for its field is left empty rather than cut: a cut
        // folder path names another folder.
        const QByteArray utf8 = (group.*field.member).toUtf8();
        if (utf8.size() <= field.maxBytes)
            bytes.replace(field.offset, utf8.size(), utf8);
    }
    writeInt32Le(bytes, 0, static_cast<int32_t>(byteSum(bytes)));
    return bytes;
}

std::optional<BatchGroup> decodeBatchGroup(const QByteArray& stored, QStringList* notes)
{
    if (stored.size() != kBatchGroupSize
        || static_cast<uint32_t>(readInt32Le(stored, 0)) != byteSum(stored)) {
        if (notes)
            *notes << QStringLiteral("Option group \"%1\" is damaged; the batch options are back "
                                     "to their defaults.")
                          .arg(kBatchName);
        return std::nullopt;
    }
    const BatchGroup defaults;
    BatchGroup group;
    for (const NumberField& field : kNumberFields) {
        const int32_t value = readInt32Le(stored, field.offset);
        if (value >= field.minimum && value <= field.maximum) {
            group.*field.member = value;
        } else if (notes) {
            *notes << QStringLiteral("Option %1 of \"%2\" was %3, outside %4..%5; it is back to "
                                     "its default %6.")
                          .arg(QLatin1String(field.name), kBatchName)
                          .arg(value)
                          .arg(field.minimum)
                          .arg(field.maximum)
                          .arg(defaults.*field.member);
        }
    }
    for (const TextField& field : kTextFields) {
        const QByteArray bytes = stored.mid(field.offset, field.maxBytes + 1);
        const qsizetype end = bytes.indexOf('\0');
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = end < 0 ? QString() : QString(utf8(bytes.left(end)));
        if (end >= 0 && !utf8.hasError() && isUsable(text, field.use)) {
            group.*field.member = text;
        } else if (notes) {
            *notes << QStringLiteral("Option %1 of \"%2\" is not usable; it is back to \"%3\".")
                          .arg(QLatin1String(field.name), kBatchName, defaults.*field.member);
        }
    }
    return group;
}

BatchGroup loadBatchGroup(const SettingsStore& store, QStringList* notes)
{
    const std::optional<QByteArray> stored = store.readBinary(kOptionsSection, kBatchName);
    if (stored)
        return decodeBatchGroup(*stored, notes).value_or(BatchGroup {});
    if (notes && store.valueNames(kOptionsSection).value_or(QStringList()).contains(kBatchName))
        *notes << QStringLiteral("Option group \"%1\" does not hold binary data; the batch "
                                 "options are back to their defaults.")
                      .arg(kBatchName);
    return {};
}

bool saveBatchGroup(SettingsStore& store, const BatchGroup& group)
{
    store.writeBinary(kOptionsSection, kBatchName, encodeBatchGroup(group));
    return store.flush();
}

} // namespace calmora
