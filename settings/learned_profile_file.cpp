#include "settings/learned_profile_file.h"

#include "settings/learned_profile_store.h"

#include <QDateTime>
#include <QJsonArray>

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace calmora {

namespace {

constexpr char kMagic[8] = { 'C', 'L', 'M', 'L', 'E', 'A', 'R', 'N' };
constexpr uint32_t kFormatVersion = 1;
constexpr int kHeaderBytes = 24;
// Far above a full record (about 9 KiB); anything larger is not one.
constexpr uint32_t kMaxPayloadBytes = 1 << 20;
constexpr int kMaxStoredWeight = 32767;
const QString kJsonFormat = QStringLiteral("calmora-learned-profile");

uint64_t fnv1a(const QByteArray& bytes, uint64_t hash = 0xcbf29ce484222325ULL)
{
    for (const char byte : bytes) {
        hash ^= static_cast<uint8_t>(byte);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

QByteArray doubleBytes(double value)
{
    const auto bits = std::bit_cast<uint64_t>(value);
    QByteArray bytes(8, '\0');
    for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
    return bytes;
}

// Letters, digits and hyphens: safe in a file name on every system.
QString fileNamePart(const QString& text)
{
    QString part;
    for (const QChar c : text) {
        const bool plain
            = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
        if (plain)
            part += c;
        else if (!part.isEmpty() && !part.endsWith(u'-'))
            part += u'-';
    }
    while (part.endsWith(u'-'))
        part.chop(1);
    return part.left(60);
}

// Little-endian writing and bounds-checked reading of the stored form.
class Writer {
public:
    void u16(uint32_t value) { bytes(value, 2); }
    void u32(uint32_t value) { bytes(value, 4); }
    void u64(uint64_t value) { bytes(value, 8); }
    void text(const QByteArray& utf8)
    {
        u16(static_cast<uint32_t>(utf8.size()));
        m_out += utf8;
    }
    QByteArray& out() { return m_out; }

private:
    void bytes(uint64_t value, int count)
    {
        for (int i = 0; i < count; ++i)
            m_out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    QByteArray m_out;
};

class Reader {
public:
    explicit Reader(const QByteArray& bytes)
        : m_bytes(bytes)
    { }
    bool ok() const { return m_ok; }
    bool atEnd() const { return m_at == m_bytes.size(); }
    uint64_t bytes(int count)
    {
        if (!m_ok || m_bytes.size() - m_at < count) {
            m_ok = false;
            return 0;
        }
        uint64_t value = 0;
        for (int i = count - 1; i >= 0; --i)
            value = (value << 8) | static_cast<uint8_t>(m_bytes[m_at + i]);
        m_at += count;
        return value;
    }
    // `count` 16-bit values at once: the bulk of a record.
    void int16s(int16_t* values, int count)
    {
        if (!m_ok || m_bytes.size() - m_at < 2 * count) {
            m_ok = false;
            return;
        }
        const auto* in = reinterpret_cast<const uint8_t*>(m_bytes.constData() + m_at);
        for (int i = 0; i < count; ++i)
            values[i] = static_cast<int16_t>(in[2 * i] | (in[2 * i + 1] << 8));
        m_at += 2 * count;
    }
    QString text()
    {
        const auto size = static_cast<int>(bytes(2));
        if (!m_ok || size > kMaxKeyTextBytes || m_bytes.size() - m_at < size) {
            m_ok = false;
            return {};
        }
        const QByteArray utf8 = m_bytes.mid(m_at, size);
        m_at += size;
        return QString::fromUtf8(utf8);
    }

private:
    const QByteArray& m_bytes;
    qsizetype m_at = 0;
    bool m_ok = true;
};

bool validKey(const LearnedKey& key)
{
    return key.isoSpeed > 0 && (!key.make.isEmpty() || !key.model.isEmpty())
        && key.make.toUtf8().size() <= kMaxKeyTextBytes
        && key.model.toUtf8().size() <= kMaxKeyTextBytes && key.sizeClass >= 0
        && key.sizeClass < 31;
}

bool validPhoto(const LearnedPhoto& photo)
{
    for (int b = 0; b < kBandCount; ++b)
        for (int p = 0; p < kPointCount; ++p)
            for (int c = 0; c < kChannels; ++c)
                if (photo.noise[b][p][c] < 0 || photo.weight[b][p][c] < 0)
                    return false;
    return true;
}

std::optional<LearnedRecord> fail(
    LearnedFileFault which, const QString& why, LearnedFileFault* fault, QString* reason)
{
    if (fault != nullptr)
        *fault = which;
    if (reason != nullptr)
        *reason = why;
    return std::nullopt;
}

// Values of one band as [[Y, Cr, Cb], ...], and back.
QJsonArray pointsToJson(const int16_t (*values)[kChannels])
{
    QJsonArray points;
    for (int p = 0; p < kPointCount; ++p)
        points.append(QJsonArray { values[p][kY], values[p][kCr], values[p][kCb] });
    return points;
}

bool pointsFromJson(const QJsonValue& json, int16_t (*values)[kChannels])
{
    const QJsonArray points = json.toArray();
    if (!json.isArray() || points.size() != kPointCount)
        return false;
    for (int p = 0; p < kPointCount; ++p) {
        const QJsonArray triple = points[p].toArray();
        if (!points[p].isArray() || triple.size() != kChannels)
            return false;
        for (int c = 0; c < kChannels; ++c) {
            const double number = triple[c].toDouble(-1);
            if (!triple[c].isDouble() || number != std::floor(number) || number < 0
                || number > kMaxStoredWeight)
                return false;
            values[p][c] = static_cast<int16_t>(number);
        }
    }
    return true;
}

} // namespace

QString LearnedKey::camera() const
{
    if (make.isEmpty() || model.startsWith(make, Qt::CaseInsensitive))
        return model;
    if (model.isEmpty())
        return make;
    return make + u' ' + model;
}

QString LearnedKey::text() const
{
    return QStringLiteral("%1, ISO %2").arg(camera()).arg(isoSpeed);
}

QString LearnedKey::sizeText() const
{
    if (sizeClass <= 0)
        return QStringLiteral("any size");
    return QStringLiteral("%1-%2 px").arg(1LL << sizeClass).arg((2LL << sizeClass) - 1);
}

QString LearnedKey::stem() const
{
    QByteArray exact = make.toUtf8();
    exact += '\0';
    exact += model.toUtf8();
    exact += '\0';
    exact += QByteArray::number(isoSpeed) + '\0' + QByteArray::number(sizeClass);
    const uint64_t hash = fnv1a(exact);
    QString camera = fileNamePart(this->camera());
    if (camera.isEmpty())
        camera = QStringLiteral("camera");
    return QStringLiteral("%1_ISO%2_%3px_%4")
        .arg(camera)
        .arg(isoSpeed)
        .arg(sizeClass > 0 ? 1LL << sizeClass : 0)
        .arg(static_cast<uint32_t>(hash ^ (hash >> 32)), 8, 16, QLatin1Char('0'));
}

std::optional<LearnedKey> learnedKeyOf(const ExifRecord& exif)
{
    if (!eligible(exif))
        return std::nullopt;
    LearnedKey key;
    key.make = QString::fromUtf8(exif.make).trimmed();
    key.model = QString::fromUtf8(exif.model).trimmed();
    // A raw file's development and the camera's own pictures carry different
    // noise: photographers who keep both must not teach one profile with
    // the two. The mark reads plainly in the list of learned profiles.
    if (exif.developedFromRaw)
        key.model = key.model.isEmpty() ? QStringLiteral("(raw)") : key.model + QStringLiteral(" (raw)");
    key.isoSpeed = exif.isoSpeed;
    const int32_t longSide = std::max(exif.pictureWidth, exif.pictureHeight);
    key.sizeClass = longSide > 1 ? std::bit_width(static_cast<uint32_t>(longSide)) - 1 : 0;
    if (!validKey(key))
        return std::nullopt;
    return key;
}

uint64_t photoIdOf(const QString& fileName, const ExifRecord& exif)
{
    QByteArray identity = fileName.toUtf8();
    identity += '\0';
    identity += QByteArray::fromStdString(exif.dateTimeOriginal);
    identity += doubleBytes(exif.exposureTime) + doubleBytes(exif.fNumber)
        + doubleBytes(exif.focalLength);
    identity
        += QByteArray::number(exif.pictureWidth) + 'x' + QByteArray::number(exif.pictureHeight);
    return fnv1a(identity);
}

LearnedPhoto learnedPhotoOf(uint64_t id, int64_t learnedAtMs, const NoiseProfile& profile)
{
    LearnedPhoto photo;
    photo.id = id;
    photo.learnedAtMs = learnedAtMs;
    const int bands = std::clamp(profile.bandCount, 0, kBandCount);
    for (int b = 0; b < bands; ++b) {
        const NoiseBand& band = profile.bands[b];
        const int points = std::clamp(band.pointCount, 0, kPointCount);
        for (int p = 0; p < points; ++p) {
            for (int c = 0; c < kChannels; ++c) {
                photo.noise[b][p][c] = std::max<int16_t>(band.noise[p][c], 0);
                photo.weight[b][p][c] = std::max<int16_t>(band.weight[p][c], 0);
            }
        }
    }
    return photo;
}

void addLearnedPhoto(LearnedRecord& record, const LearnedPhoto& photo)
{
    std::erase_if(record.photos, [&](const LearnedPhoto& kept) { return kept.id == photo.id; });
    record.photos.push_back(photo);
    if (record.photos.size() > static_cast<size_t>(kMaxLearnedPhotos))
        record.photos.erase(record.photos.begin(),
            record.photos.end() - static_cast<std::ptrdiff_t>(kMaxLearnedPhotos));
}

bool mergeLearned(const LearnedRecord& record, const NoiseProfile& own, NoiseProfile& merged,
    const MergeRule& rule, int* photos)
{
    const int count = static_cast<int>(record.photos.size());
    if (photos != nullptr)
        *photos = count;
    if (count < rule.minPhotos)
        return false;
    NoiseProfile result = own;
    result.bandCount = std::clamp(result.bandCount, 0, kProfileBands);
    std::vector<int> values;
    values.reserve(static_cast<size_t>(count));
    for (int b = 0; b < std::min(result.bandCount, kBandCount); ++b) {
        NoiseBand& band = result.bands[b];
        const int points = std::clamp(band.pointCount, 0, kPointCount);
        for (int p = 0; p < points; ++p) {
            for (int c = 0; c < kChannels; ++c) {
                values.clear();
                int64_t evidence = 0;
                for (const LearnedPhoto& photo : record.photos) {
                    if (photo.weight[b][p][c] < rule.minEvidence)
                        continue;
                    values.push_back(photo.noise[b][p][c]);
                    evidence += photo.weight[b][p][c];
                }
                const int speaking = static_cast<int>(values.size());
                if (speaking < std::max(rule.minPointPhotos, 1))
                    continue;
                const int rank = std::min(speaking - 1, speaking / std::max(rule.photosPerTrim, 1));
                std::nth_element(values.begin(), values.begin() + rank, values.end());
                band.noise[p][c]
                    = static_cast<int16_t>(std::max(values[static_cast<size_t>(rank)], 1));
                band.weight[p][c]
                    = static_cast<int16_t>(std::min<int64_t>(evidence, kMaxStoredWeight));
            }
        }
    }
    merged = result;
    return true;
}

QByteArray encodeLearnedRecord(const LearnedRecord& record)
{
    Writer payload;
    payload.text(record.key.make.toUtf8());
    payload.text(record.key.model.toUtf8());
    payload.u32(static_cast<uint32_t>(record.key.isoSpeed));
    payload.u32(static_cast<uint32_t>(record.key.sizeClass));
    payload.u32(static_cast<uint32_t>(record.photos.size()));
    for (const LearnedPhoto& photo : record.photos) {
        payload.u64(photo.id);
        payload.u64(static_cast<uint64_t>(photo.learnedAtMs));
        for (int b = 0; b < kBandCount; ++b) {
            for (int p = 0; p < kPointCount; ++p)
                for (int c = 0; c < kChannels; ++c)
                    payload.u16(static_cast<uint16_t>(photo.noise[b][p][c]));
            for (int p = 0; p < kPointCount; ++p)
                for (int c = 0; c < kChannels; ++c)
                    payload.u16(static_cast<uint16_t>(photo.weight[b][p][c]));
        }
    }
    const QByteArray& body = payload.out();
    Writer file;
    file.out().append(kMagic, sizeof kMagic);
    file.u32(kFormatVersion);
    file.u32(static_cast<uint32_t>(body.size()));
    file.u32(static_cast<uint32_t>(crc32(
        0, reinterpret_cast<const Bytef*>(body.constData()), static_cast<uInt>(body.size()))));
    file.u32(0);
    file.out() += body;
    return file.out();
}

std::optional<LearnedRecord> decodeLearnedRecord(
    const QByteArray& bytes, LearnedFileFault* fault, QString* reason)
{
    if (fault != nullptr)
        *fault = LearnedFileFault::None;
    if (bytes.size() < static_cast<qsizetype>(sizeof kMagic)
        || std::memcmp(bytes.constData(), kMagic, sizeof kMagic) != 0)
        return fail(LearnedFileFault::Foreign, QStringLiteral("it is not a learned profile"), fault,
            reason);
    Reader header(bytes);
    header.bytes(sizeof kMagic);
    const auto version = static_cast<uint32_t>(header.bytes(4));
    const auto size = static_cast<uint32_t>(header.bytes(4));
    const auto sum = static_cast<uint32_t>(header.bytes(4));
    header.bytes(4);
    if (!header.ok())
        return fail(LearnedFileFault::Damaged, QStringLiteral("it is truncated"), fault, reason);
    if (version > kFormatVersion)
        return fail(LearnedFileFault::NewerVersion,
            QStringLiteral("it was written in format %1 by a newer version; this one reads "
                           "format %2")
                .arg(version)
                .arg(kFormatVersion),
            fault, reason);
    if (version == 0 || size > kMaxPayloadBytes)
        return fail(
            LearnedFileFault::Damaged, QStringLiteral("its header is damaged"), fault, reason);
    if (bytes.size() - kHeaderBytes != static_cast<qsizetype>(size))
        return fail(LearnedFileFault::Damaged,
            bytes.size() - kHeaderBytes < static_cast<qsizetype>(size)
                ? QStringLiteral("it is truncated")
                : QStringLiteral("it has bytes beyond its end"),
            fault, reason);
    const QByteArray body = QByteArray::fromRawData(bytes.constData() + kHeaderBytes, size);
    if (crc32(0, reinterpret_cast<const Bytef*>(body.constData()), static_cast<uInt>(body.size()))
        != sum)
        return fail(LearnedFileFault::Damaged, QStringLiteral("its checksum does not match"), fault,
            reason);

    Reader in(body);
    LearnedRecord record;
    record.key.make = in.text();
    record.key.model = in.text();
    record.key.isoSpeed = static_cast<int32_t>(in.bytes(4));
    record.key.sizeClass = static_cast<int32_t>(in.bytes(4));
    const auto count = static_cast<uint32_t>(in.bytes(4));
    if (!in.ok() || !validKey(record.key) || count > static_cast<uint32_t>(kMaxLearnedPhotos))
        return fail(LearnedFileFault::Damaged, QStringLiteral("its key is damaged"), fault, reason);
    record.photos.reserve(count);
    for (uint32_t i = 0; i < count && in.ok(); ++i) {
        LearnedPhoto photo;
        photo.id = in.bytes(8);
        photo.learnedAtMs = static_cast<int64_t>(in.bytes(8));
        for (int b = 0; b < kBandCount; ++b) {
            in.int16s(&photo.noise[b][0][0], kPointCount * kChannels);
            in.int16s(&photo.weight[b][0][0], kPointCount * kChannels);
        }
        if (!validPhoto(photo))
            return fail(LearnedFileFault::Damaged, QStringLiteral("a value is out of range"), fault,
                reason);
        record.photos.push_back(photo);
    }
    if (!in.ok() || !in.atEnd())
        return fail(
            LearnedFileFault::Damaged, QStringLiteral("its length does not match"), fault, reason);
    return record;
}

QJsonObject learnedRecordToJson(const LearnedRecord& record)
{
    QJsonArray photos;
    for (const LearnedPhoto& photo : record.photos) {
        QJsonArray bands;
        for (int b = 0; b < kBandCount; ++b)
            bands.append(QJsonObject { { QStringLiteral("noise"), pointsToJson(photo.noise[b]) },
                { QStringLiteral("weight"), pointsToJson(photo.weight[b]) } });
        photos.append(QJsonObject {
            { QStringLiteral("id"), QStringLiteral("%1").arg(photo.id, 16, 16, QLatin1Char('0')) },
            { QStringLiteral("learnedAt"),
                QDateTime::fromMSecsSinceEpoch(photo.learnedAtMs, Qt::UTC)
                    .toString(Qt::ISODateWithMs) },
            { QStringLiteral("bands"), bands } });
    }
    return QJsonObject { { QStringLiteral("format"), kJsonFormat },
        { QStringLiteral("version"), static_cast<int>(kFormatVersion) },
        { QStringLiteral("make"), record.key.make }, { QStringLiteral("model"), record.key.model },
        { QStringLiteral("isoSpeed"), record.key.isoSpeed },
        { QStringLiteral("sizeClass"), record.key.sizeClass },
        { QStringLiteral("photos"), photos } };
}

std::optional<LearnedRecord> learnedRecordFromJson(const QJsonObject& json, QString* reason)
{
    const auto refuse = [reason](const QString& why) {
        *reason = why;
        return std::nullopt;
    };
    if (json.value(QStringLiteral("format")).toString() != kJsonFormat)
        return refuse(QStringLiteral("it is not an exported learned profile"));
    const int version = json.value(QStringLiteral("version")).toInt(0);
    if (version > static_cast<int>(kFormatVersion))
        return refuse(
            QStringLiteral("it was exported in format %1 by a newer version").arg(version));
    if (version < 1)
        return refuse(QStringLiteral("its version is missing"));
    LearnedRecord record;
    record.key.make = json.value(QStringLiteral("make")).toString();
    record.key.model = json.value(QStringLiteral("model")).toString();
    const double iso = json.value(QStringLiteral("isoSpeed")).toDouble(0);
    const double sizeClass = json.value(QStringLiteral("sizeClass")).toDouble(-1);
    record.key.isoSpeed = iso >= 1 && iso <= INT32_MAX ? static_cast<int32_t>(iso) : 0;
    record.key.sizeClass = sizeClass >= 0 && sizeClass < 31 ? static_cast<int32_t>(sizeClass) : -1;
    if (!validKey(record.key) || record.key.make != record.key.make.trimmed()
        || record.key.model != record.key.model.trimmed())
        return refuse(QStringLiteral("its camera, ISO speed or size class is not valid"));
    const QJsonArray photos = json.value(QStringLiteral("photos")).toArray();
    if (photos.size() > kMaxLearnedPhotos)
        return refuse(QStringLiteral("it holds more than %1 photos").arg(kMaxLearnedPhotos));
    for (qsizetype i = 0; i < photos.size(); ++i) {
        const QJsonObject entry = photos[i].toObject();
        LearnedPhoto photo;
        bool ok = false;
        photo.id = entry.value(QStringLiteral("id")).toString().toULongLong(&ok, 16);
        const QDateTime at = QDateTime::fromString(
            entry.value(QStringLiteral("learnedAt")).toString(), Qt::ISODateWithMs);
        const QJsonArray bands = entry.value(QStringLiteral("bands")).toArray();
        ok = ok && at.isValid() && bands.size() == kBandCount;
        for (int b = 0; ok && b < kBandCount; ++b) {
            const QJsonObject band = bands[b].toObject();
            ok = pointsFromJson(band.value(QStringLiteral("noise")), photo.noise[b])
                && pointsFromJson(band.value(QStringLiteral("weight")), photo.weight[b]);
        }
        if (!ok)
            return refuse(QStringLiteral("photo %1 is not valid").arg(i + 1));
        photo.learnedAtMs = at.toMSecsSinceEpoch();
        record.photos.push_back(photo);
    }
    return record;
}

} // namespace calmora
