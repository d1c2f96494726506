#include "cli/profiles_command.h"

#include "cli/display_text.h"
#include "cli/profile_json.h"
#include "document/safe_file.h"
#include "settings/learned_profile_folder.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cstdio>

namespace calmora {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
// An export of a full key is about 40 KiB of JSON.
constexpr qint64 kMaxImportBytes = 1 << 20;

void print(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

int failed(const QString& message)
{
    print(stderr, QStringLiteral("calmora-cli: error: %1\n").arg(printableText(message)));
    return kExitFailed;
}

QString timeText(int64_t ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

// The merge without an image of its own: points that too few photos speak
// for stay 0, which the table shows as "-".
std::optional<NoiseProfile> mergedAlone(const LearnedRecord& record, const MergeRule& rule)
{
    NoiseProfile empty;
    empty.bandCount = kBandCount;
    for (int b = 0; b < kBandCount; ++b) {
        empty.bands[b].pointCount = kPointCount;
        empty.bands[b].bandIndex = b;
    }
    NoiseProfile merged;
    if (!mergeLearned(record, empty, merged, rule))
        return std::nullopt;
    return merged;
}

QJsonObject entryJson(const QString& stem, const LearnedRecord& record, const MergeRule& rule)
{
    QJsonObject json = learnedRecordToJson(record);
    json.insert(QStringLiteral("key"), stem);
    json.insert(QStringLiteral("camera"), record.key.camera());
    json.insert(QStringLiteral("longSide"), record.key.sizeText());
    json.insert(QStringLiteral("usable"), static_cast<int>(record.photos.size()) >= rule.minPhotos);
    return json;
}

int list(const CliArguments& args, const LearnedProfileFolder& store)
{
    QStringList notes;
    const std::vector<LearnedProfileEntry> entries = store.list(&notes);
    for (const QString& note : notes)
        print(stderr, QStringLiteral("calmora-cli: note: %1\n").arg(printableText(note)));
    const int minPhotos = store.rule().minPhotos;
    if (args.json) {
        QJsonArray array;
        for (const LearnedProfileEntry& entry : entries)
            array.append(QJsonObject { { QStringLiteral("key"), entry.stem },
                { QStringLiteral("make"), entry.key.make },
                { QStringLiteral("model"), entry.key.model },
                { QStringLiteral("camera"), entry.key.camera() },
                { QStringLiteral("isoSpeed"), entry.key.isoSpeed },
                { QStringLiteral("sizeClass"), entry.key.sizeClass },
                { QStringLiteral("longSide"), entry.key.sizeText() },
                { QStringLiteral("photos"), entry.photos },
                { QStringLiteral("usable"), entry.photos >= minPhotos },
                { QStringLiteral("lastLearned"),
                    QDateTime::fromMSecsSinceEpoch(entry.newestMs, Qt::UTC)
                        .toString(Qt::ISODateWithMs) } });
        print(stdout, QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented)));
        return kExitOk;
    }
    if (entries.empty()) {
        print(
            stdout, QStringLiteral("No learned profiles in %1\n").arg(displayPath(store.folder())));
        return kExitOk;
    }
    print(stdout,
        QStringLiteral("Learned profiles in %1 (used from %2 photos on)\n\n")
            .arg(displayPath(store.folder()))
            .arg(minPhotos));
    for (const LearnedProfileEntry& entry : entries)
        print(stdout,
            QStringLiteral("%1\n    %2, long side %3: %4 photo%5, last learned %6\n")
                .arg(printableText(entry.stem), printableText(entry.key.text()),
                    entry.key.sizeText())
                .arg(entry.photos)
                .arg(entry.photos == 1 ? "" : "s")
                .arg(timeText(entry.newestMs)));
    return kExitOk;
}

void printMerged(const NoiseProfile& merged)
{
    static const char* const bandNames[] = { "High", "Mid", "Low", "Very Low" };
    for (int b = 0; b < kBandCount; ++b) {
        const NoiseBand& band = merged.bands[b];
        print(stdout,
            QStringLiteral("\nBand %1 (%2 frequencies)\n  point      Y     Cr     Cb   "
                           "evidence Y/Cr/Cb\n")
                .arg(b)
                .arg(QLatin1String(bandNames[b])));
        for (int p = 0; p < kPointCount; ++p) {
            QString line = QStringLiteral("  %1").arg(p, 5);
            for (int c = 0; c < kChannels; ++c)
                line += band.noise[p][c] > 0 ? QStringLiteral(" %1").arg(band.noise[p][c], 6)
                                             : QStringLiteral("      -");
            line += QStringLiteral("   %1/%2/%3\n")
                        .arg(band.weight[p][kY])
                        .arg(band.weight[p][kCr])
                        .arg(band.weight[p][kCb]);
            print(stdout, line);
        }
    }
}

int show(const CliArguments& args, const LearnedProfileFolder& store)
{
    const QString& stem = args.files.first();
    QString reason;
    const std::optional<LearnedRecord> record = store.read(stem, &reason);
    if (!record)
        return failed(reason);
    const MergeRule& rule = store.rule();
    const std::optional<NoiseProfile> merged = mergedAlone(*record, rule);
    if (args.json) {
        QJsonObject json = entryJson(stem, *record, rule);
        if (merged)
            json.insert(QStringLiteral("merged"), profileToJson(*merged));
        print(stdout, QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Indented)));
        return kExitOk;
    }
    const LearnedKey& key = record->key;
    print(stdout,
        QStringLiteral("Key: %1\nMake: %2\nModel: %3\nISO speed: %4\nLong side: %5\n"
                       "Photos: %6 (at most %7 are kept; used from %8 on)\n")
            .arg(printableText(stem), printableText(key.make), printableText(key.model))
            .arg(key.isoSpeed)
            .arg(key.sizeText())
            .arg(record->photos.size())
            .arg(kMaxLearnedPhotos)
            .arg(rule.minPhotos));
    for (const LearnedPhoto& photo : record->photos)
        print(stdout,
            QStringLiteral("  photo %1, learned %2\n")
                .arg(photo.id, 16, 16, QLatin1Char('0'))
                .arg(timeText(photo.learnedAtMs)));
    if (!merged) {
        print(stdout, QStringLiteral("\nToo few photos for a learned profile yet.\n"));
        return kExitOk;
    }
    print(stdout,
        QStringLiteral("\nLearned profile (noise per brightness point; \"-\" where too few "
                       "photos speak for a point, so an image keeps its own value)\n"));
    printMerged(*merged);
    return kExitOk;
}

int exportKey(const CliArguments& args, const LearnedProfileFolder& store)
{
    QString reason;
    const std::optional<LearnedRecord> record = store.read(args.files[0], &reason);
    if (!record)
        return failed(reason);
    const QByteArray text = QJsonDocument(learnedRecordToJson(*record)).toJson();
    if (!writeFileAtomically(args.files[1], text, &reason))
        return failed(
            QStringLiteral("cannot write \"%1\": %2").arg(displayPath(args.files[1]), reason));
    print(stdout,
        QStringLiteral("Exported %1 (%2 photos) to %3\n")
            .arg(printableText(args.files[0]))
            .arg(record->photos.size())
            .arg(displayPath(args.files[1])));
    return kExitOk;
}

int importFile(const CliArguments& args, LearnedProfileFolder& store)
{
    const QString& path = args.files.first();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failed(
            QStringLiteral("cannot read \"%1\": %2").arg(displayPath(path), file.errorString()));
    const QByteArray text = file.read(kMaxImportBytes + 1);
    QString reason;
    std::optional<LearnedRecord> record;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (text.size() > kMaxImportBytes)
        reason = QStringLiteral("it is too large");
    else if (!document.isObject())
        reason = parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                              : QStringLiteral("no JSON object");
    else
        record = learnedRecordFromJson(document.object(), &reason);
    if (!record)
        return failed(
            QStringLiteral("\"%1\" cannot be imported: %2").arg(displayPath(path), reason));
    if (!store.importRecord(*record, &reason))
        return failed(reason);
    const QString stem = record->key.stem();
    QString ignored;
    const std::optional<LearnedRecord> now = store.read(stem, &ignored);
    print(stdout,
        QStringLiteral("Imported %1 photos of %2 into %3 (%4 photos now)\n")
            .arg(record->photos.size())
            .arg(printableText(record->key.text()), printableText(stem))
            .arg(now ? now->photos.size() : 0));
    return kExitOk;
}

int deleteProfiles(const CliArguments& args, LearnedProfileFolder& store)
{
    QString reason;
    if (!args.allProfiles) {
        if (!store.remove(args.files.first(), &reason))
            return failed(reason);
        print(stdout, QStringLiteral("Deleted %1\n").arg(printableText(args.files.first())));
        return kExitOk;
    }
    const size_t count = store.list().size();
    // No run goes in this process: the deletion is carried out at once.
    if (!deleteLearnedProfiles(store, false))
        return failed(QStringLiteral("not every learned profile in \"%1\" could be deleted")
                          .arg(displayPath(store.folder())));
    print(stdout,
        QStringLiteral("Deleted %1 learned profile%2 from %3\n")
            .arg(count)
            .arg(count == 1 ? "" : "s")
            .arg(displayPath(store.folder())));
    return kExitOk;
}

} // namespace

int runProfilesCommand(const CliArguments& args, LearnedProfileFolder& store)
{
    switch (args.profilesAction) {
    case ProfilesAction::List:
        return list(args, store);
    case ProfilesAction::Show:
        return show(args, store);
    case ProfilesAction::Export:
        return exportKey(args, store);
    case ProfilesAction::Import:
        return importFile(args, store);
    case ProfilesAction::Delete:
        return deleteProfiles(args, store);
    }
    return kExitFailed;
}

LearnedStanding learnedStanding(const LearnedProfileFolder& store, const ExifRecord& exif)
{
    LearnedStanding standing;
    const std::optional<LearnedKey> key = learnedKeyOf(exif);
    if (!key) {
        standing.text = QStringLiteral("none: the photo names no camera");
        return standing;
    }
    standing.takesPart = true;
    const QString stem = key->stem();
    QString reason;
    bool missing = false;
    const std::optional<LearnedRecord> record = store.read(stem, &reason, &missing);
    if (!record && !missing) {
        standing.text = printableText(QStringLiteral("none usable: %1").arg(reason));
        return standing;
    }
    const int photos = record ? static_cast<int>(record->photos.size()) : 0;
    const int needed = store.rule().minPhotos;
    standing.usable = photos >= needed;
    if (standing.usable)
        standing.text = QStringLiteral("learned from %1 photos (%2; key %3)")
                            .arg(photos)
                            .arg(key->text(), stem);
    else if (photos > 0)
        standing.text = QStringLiteral("%1 of the %2 photos it needs so far (%3; key %4)")
                            .arg(photos)
                            .arg(needed)
                            .arg(key->text(), stem);
    else
        standing.text = QStringLiteral("none yet (%1; key %2)").arg(key->text(), stem);
    standing.text = printableText(standing.text);
    return standing;
}

} // namespace calmora
