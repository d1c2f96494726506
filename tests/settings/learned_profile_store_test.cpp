#include "settings/learned_profile_file.h"
#include "settings/learned_profile_store.h"
#include "settings/options.h"

#include <QJsonArray>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <set>

namespace calmora {
namespace {

NoiseProfile profileMarked(int16_t mark)
{
    NoiseProfile profile;
    profile.bandCount = 4;
    profile.bands[0].noise[0][kY] = mark;
    return profile;
}

bool sameProfile(const NoiseProfile& a, const NoiseProfile& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(LearnedProfileStoreTest, Eligibility)
{
    struct Row {
        const char* name;
        int32_t iso;
        const char* software;
        bool eligible;
    };
    const Row rows[] = {
        { "camera image", 400, "Camera firmware 1.0", true },
        { "no software", 100, "", true },
        { "maker's own software", 400, "Brantovia 2.1", false },
        { "maker's name alone", 400, "Brantovia", false },
        { "word is case-sensitive", 400, "brantovia 2.1", true },
        { "name not at the start", 400, "Made by Brantovia", true },
        { "shorter than the name", 400, "Brant", true },
        { "unknown ISO", 0, "", false },
        { "negative ISO", -1, "Camera", false },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ExifRecord exif;
        exif.isoSpeed = row.iso;
        exif.software = row.software;
        EXPECT_EQ(eligible(exif), row.eligible);
    }
}

TEST(LearnedProfileStoreTest, RefusalText)
{
    const QString head
        = "The Self-Learning Noise Profiling cannot be enabled for this image because "
          "of one of the following parameters\r\n - ISO Speed: ";
    EXPECT_EQ(selfLearningRefusal("", ""), head + "Unknown");
    EXPECT_EQ(selfLearningRefusal("400", ""), head + "400");
    EXPECT_EQ(
        selfLearningRefusal("", "Brantovia 2.1"), head + "Unknown\r\n - Software: Brantovia 2.1");
    EXPECT_EQ(selfLearningRefusal("%2", "%1"), head + "%2\r\n - Software: %1")
        << "texts from a file are not format strings";
}

TEST(LearnedProfileStoreTest, EmptyStoreKeepsNothing)
{
    EmptyProfileStore store;
    ExifRecord exif;
    exif.isoSpeed = 200;
    const NoiseProfile own = profileMarked(9);
    store.learn("a.jpg", exif, own);
    NoiseProfile profile = profileMarked(3);
    EXPECT_FALSE(store.lookUp(exif, profile));
    EXPECT_TRUE(sameProfile(profile, profileMarked(3))) << "a failed look-up leaves it untouched";
    EXPECT_TRUE(store.deleteAll());
}

// Records how the store is used and answers look-ups with a marked profile.
class RecordingStore final : public LearnedProfileStore {
public:
    void learn(const QString& fileName, const ExifRecord&, const NoiseProfile& profile) override
    {
        learnedFrom = fileName;
        learnedMark = profile.bands[0].noise[0][kY];
    }
    bool lookUp(const ExifRecord&, NoiseProfile& profile) override
    {
        ++lookUps;
        profile = profileMarked(77); // changed even when reporting failure
        return answer;
    }
    bool deleteAll() override { return true; }

    bool answer = false;
    QString learnedFrom;
    int learnedMark = 0;
    int lookUps = 0;
};

TEST(LearnedProfileStoreTest, ConsultingAfterAProfileBuild)
{
    struct Row {
        const char* name;
        int32_t selfLearning;
        int32_t batchSelfLearning;
        bool inBatch;
        int32_t iso;
        bool storeAnswer;
        bool learns;
        int lookUps;
        int16_t workingMark;
    };
    const Row rows[] = {
        { "learned profile used", 1, 1, false, 400, true, true, 1, 77 },
        { "store finds nothing", 1, 1, false, 400, false, true, 1, 5 },
        { "ineligible image is only learned from", 1, 1, false, 0, true, true, 0, 5 },
        { "self-learning off", 0, 1, false, 400, true, false, 0, 5 },
        { "batch self-learning off in a batch", 1, 0, true, 400, true, false, 0, 5 },
        { "batch self-learning off outside a batch", 1, 0, false, 400, true, true, 1, 77 },
        { "batch with both on", 1, 1, true, 400, true, true, 1, 77 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Options options;
        options.settings2.selfLearning = row.selfLearning;
        options.settings2.batchSelfLearning = row.batchSelfLearning;
        ExifRecord exif;
        exif.isoSpeed = row.iso;
        RecordingStore store;
        store.answer = row.storeAnswer;
        const NoiseProfile own = profileMarked(5);
        NoiseProfile working = profileMarked(1);
        const bool used
            = consultLearnedProfiles(store, options, row.inBatch, "img.jpg", exif, own, working);
        EXPECT_EQ(used, row.workingMark == 77);
        EXPECT_EQ(store.learnedFrom, row.learns ? "img.jpg" : "");
        if (row.learns) {
            EXPECT_EQ(store.learnedMark, 5) << "the own profile is learned from";
        }
        EXPECT_EQ(store.lookUps, row.lookUps);
        EXPECT_TRUE(sameProfile(working, profileMarked(row.workingMark)));
    }
}

TEST(LearnedProfileStoreTest, WithTheEmptyStoreTheOwnProfileIsUsed)
{
    EmptyProfileStore store;
    Options options;
    ExifRecord exif;
    exif.isoSpeed = 800;
    const NoiseProfile own = profileMarked(5);
    NoiseProfile working;
    EXPECT_FALSE(consultLearnedProfiles(store, options, false, "img.jpg", exif, own, working));
    EXPECT_TRUE(sameProfile(working, own));
}

ExifRecord camera(
    const char* make, const char* model, int32_t iso, int32_t width = 640, int32_t height = 400)
{
    ExifRecord exif;
    exif.make = make;
    exif.model = model;
    exif.isoSpeed = iso;
    exif.pictureWidth = width;
    exif.pictureHeight = height;
    return exif;
}

TEST(LearnedProfileStoreTest, KeyOfAnImage)
{
    struct Row {
        const char* name;
        ExifRecord exif;
        bool takesPart;
        const char* make;
        const char* model;
        int32_t sizeClass;
    };
    ExifRecord ownSoftware = camera("Canon", "Canon PowerShot G7 X", 3200);
    ownSoftware.software = "Brantovia Calmora 1.0";
    ExifRecord developed = camera("Canon", "Canon PowerShot G7 X", 3200);
    developed.developedFromRaw = true;
    ExifRecord cameraSoftware = camera("Canon", "Canon PowerShot G7 X", 3200);
    cameraSoftware.software = "Canon PowerShot G7 X Firmware 1.0";
    const Row rows[] = {
        { "camera photo", camera("Canon", "Canon PowerShot G7 X", 3200), true, "Canon",
            "Canon PowerShot G7 X", 9 },
        { "padding trimmed, case kept", camera("  SONY ", "ILCE-7M3  ", 800), true, "SONY",
            "ILCE-7M3", 9 },
        { "portrait shares the landscape key", camera("SONY", "ILCE-7M3", 800, 400, 640), true,
            "SONY", "ILCE-7M3", 9 },
        { "a size in the next octave", camera("SONY", "ILCE-7M3", 800, 1024, 683), true, "SONY",
            "ILCE-7M3", 10 },
        { "size unknown", camera("SONY", "ILCE-7M3", 800, 0, 0), true, "SONY", "ILCE-7M3", 0 },
        { "model alone", camera("", "Scanner 9", 100), true, "", "Scanner 9", 9 },
        { "software of the camera", cameraSoftware, true, "Canon", "Canon PowerShot G7 X", 9 },
        { "developed from the camera's raw data: a key apart from its own pictures", developed,
            true, "Canon", "Canon PowerShot G7 X (raw)", 9 },
        { "ISO 0", camera("Canon", "G7 X", 0), false, "", "", 0 },
        { "ISO missing", camera("Canon", "G7 X", -1), false, "", "", 0 },
        { "maker's own software", ownSoftware, false, "", "", 0 },
        { "no camera named", camera(" ", "", 400), false, "", "", 0 },
        { "garbage make", camera(std::string(300, 'x').c_str(), "G7 X", 400), false, "", "", 0 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::optional<LearnedKey> key = learnedKeyOf(row.exif);
        ASSERT_EQ(key.has_value(), row.takesPart);
        if (!key)
            continue;
        EXPECT_EQ(key->make, QString::fromUtf8(row.make));
        EXPECT_EQ(key->model, QString::fromUtf8(row.model));
        EXPECT_EQ(key->sizeClass, row.sizeClass);
        for (const QChar c : key->stem())
            EXPECT_TRUE(c.isLetterOrNumber() || c == u'-' || c == u'_')
                << key->stem().toStdString();
    }
    // Keys that differ in anything have files of their own, however alike
    // their names read.
    const ExifRecord different[] = { camera("Canon", "EOS R", 800), camera("Nikon", "EOS R", 800),
        camera("Canon", "EOS-R", 800), camera("Canon", "EOS R", 1600),
        camera("Canon", "EOS R", 800, 1600, 1000), camera("canon", "EOS R", 800) };
    std::set<QString> stems;
    for (const ExifRecord& exif : different)
        stems.insert(learnedKeyOf(exif)->stem());
    EXPECT_EQ(stems.size(), std::size(different));
    EXPECT_EQ(learnedKeyOf(camera("Canon", "Canon PowerShot G7 X", 3200))->text(),
        QStringLiteral("Canon PowerShot G7 X, ISO 3200"));
    EXPECT_EQ(learnedKeyOf(camera("SONY", "ILCE-7M3", 800))->text(),
        QStringLiteral("SONY ILCE-7M3, ISO 800"));
}

// A photo whose every point reads `value` with `evidence`.
LearnedPhoto flatPhoto(uint64_t id, int16_t value, int16_t evidence = 100)
{
    LearnedPhoto photo;
    photo.id = id;
    photo.learnedAtMs = 1'700'000'000'000 + static_cast<int64_t>(id);
    for (int b = 0; b < kBandCount; ++b)
        for (int p = 0; p < kPointCount; ++p)
            for (int c = 0; c < kChannels; ++c) {
                photo.noise[b][p][c] = value;
                photo.weight[b][p][c] = evidence;
            }
    return photo;
}

LearnedRecord recordOf(std::initializer_list<LearnedPhoto> photos)
{
    LearnedRecord record;
    record.key = *learnedKeyOf(camera("Canon", "Canon PowerShot G7 X", 3200));
    record.photos = photos;
    return record;
}

TEST(LearnedProfileStoreTest, StoredFormRoundTripsAndItsFaultsAreToldApart)
{
    const LearnedRecord record = recordOf({ flatPhoto(1, 30), flatPhoto(2, 45, 3) });
    const QByteArray intact = encodeLearnedRecord(record);
    const std::optional<LearnedRecord> back = decodeLearnedRecord(intact);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->key, record.key);
    EXPECT_EQ(back->photos, record.photos);

    LearnedRecord tooMany = record;
    tooMany.photos.assign(kMaxLearnedPhotos + 1, flatPhoto(3, 10));
    LearnedRecord negative = record;
    negative.photos[1].noise[2][5][kCr] = -4;
    QByteArray newer = intact;
    newer[8] = 2;
    QByteArray flipped = intact;
    flipped[flipped.size() - 1] = static_cast<char>(flipped.back() ^ 0x10);
    QByteArray foreign = intact;
    foreign[0] = 'X';
    struct Row {
        const char* name;
        QByteArray bytes;
        LearnedFileFault fault;
    };
    const Row rows[] = {
        { "empty", QByteArray(), LearnedFileFault::Foreign },
        { "another program's file", foreign, LearnedFileFault::Foreign },
        { "JSON text", QByteArray(R"({"format": "x"})"), LearnedFileFault::Foreign },
        { "header only", intact.left(20), LearnedFileFault::Damaged },
        { "truncated", intact.chopped(1), LearnedFileFault::Damaged },
        { "bytes beyond its end", intact + "x", LearnedFileFault::Damaged },
        { "a bit flipped", flipped, LearnedFileFault::Damaged },
        { "newer version", newer, LearnedFileFault::NewerVersion },
        { "more photos than kept", encodeLearnedRecord(tooMany), LearnedFileFault::Damaged },
        { "negative noise", encodeLearnedRecord(negative), LearnedFileFault::Damaged },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LearnedFileFault fault = LearnedFileFault::None;
        QString reason;
        EXPECT_FALSE(decodeLearnedRecord(row.bytes, &fault, &reason));
        EXPECT_EQ(fault, row.fault);
        EXPECT_FALSE(reason.isEmpty());
    }

    // The text form carries the same, and is checked as strictly.
    QString reason;
    const std::optional<LearnedRecord> fromText
        = learnedRecordFromJson(learnedRecordToJson(record), &reason);
    ASSERT_TRUE(fromText) << reason.toStdString();
    EXPECT_EQ(fromText->key, record.key);
    EXPECT_EQ(fromText->photos, record.photos);
    const auto edited = [&](const char* field, const QJsonValue& value) {
        QJsonObject json = learnedRecordToJson(record);
        json.insert(QLatin1String(field), value);
        return json;
    };
    for (const QJsonObject& bad : { edited("format", "calmora-profile"), edited("version", 2),
             edited("isoSpeed", 0), edited("make", " Canon"),
             edited("photos", QJsonArray { QJsonObject { { "id", "zz" } } }) }) {
        EXPECT_FALSE(learnedRecordFromJson(bad, &reason));
    }
}

TEST(LearnedProfileStoreTest, MergedProfileTakesWhatThePhotosShare)
{
    NoiseProfile own;
    own.bandCount = kBandCount;
    for (NoiseBand& band : own.bands) {
        band.pointCount = kPointCount;
        for (auto& point : band.noise)
            for (int16_t& value : point)
                value = 99;
    }
    struct Row {
        const char* name;
        LearnedRecord record;
        bool found;
        int16_t value; // every point's, when found
    };
    const Row rows[] = {
        { "too few photos", recordOf({ flatPhoto(1, 20), flatPhoto(2, 20) }), false, 0 },
        { "texture inflates some photos only",
            recordOf({ flatPhoto(1, 40), flatPhoto(2, 12), flatPhoto(3, 30), flatPhoto(4, 13) }),
            true, 12 },
        { "photos without evidence keep the image's own value",
            recordOf({ flatPhoto(1, 5, 1), flatPhoto(2, 6, 1), flatPhoto(3, 7, 7) }), true, 99 },
        { "one photo alone does not speak for a point",
            recordOf({ flatPhoto(1, 5), flatPhoto(2, 6, 1), flatPhoto(3, 7, 1) }), true, 99 },
        { "a photo with little evidence is left out",
            recordOf({ flatPhoto(1, 2, 4), flatPhoto(2, 20), flatPhoto(3, 25) }), true, 20 },
        { "with eight photos the lowest is trimmed",
            recordOf({ flatPhoto(1, 3), flatPhoto(2, 10), flatPhoto(3, 11), flatPhoto(4, 12),
                flatPhoto(5, 13), flatPhoto(6, 14), flatPhoto(7, 15), flatPhoto(8, 16) }),
            true, 10 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        NoiseProfile merged = profileMarked(3);
        int photos = 0;
        EXPECT_EQ(mergeLearned(row.record, own, merged, {}, &photos), row.found);
        EXPECT_EQ(photos, static_cast<int>(row.record.photos.size()));
        if (!row.found) {
            EXPECT_TRUE(sameProfile(merged, profileMarked(3)));
            continue;
        }
        for (int b = 0; b < kBandCount; ++b)
            for (int p = 0; p < kPointCount; ++p)
                for (int c = 0; c < kChannels; ++c)
                    ASSERT_EQ(merged.bands[b].noise[p][c], row.value) << b << ' ' << p << ' ' << c;
    }
}

TEST(LearnedProfileStoreTest, PhotosAreKeptOnceAndTheNewestStay)
{
    LearnedRecord record = recordOf({});
    for (uint64_t id = 1; id <= kMaxLearnedPhotos + 3; ++id)
        addLearnedPhoto(record, flatPhoto(id, 10));
    ASSERT_EQ(record.photos.size(), size_t(kMaxLearnedPhotos));
    EXPECT_EQ(record.photos.front().id, 4u) << "the oldest go";
    // The same photo again (opened twice) replaces itself and becomes the
    // newest, even when the clock was set back since.
    LearnedPhoto again = flatPhoto(5, 11);
    again.learnedAtMs = 0;
    addLearnedPhoto(record, again);
    EXPECT_EQ(record.photos.size(), size_t(kMaxLearnedPhotos));
    EXPECT_EQ(record.photos.back(), again);
    addLearnedPhoto(record, flatPhoto(100, 10));
    EXPECT_EQ(record.photos.front().id, 6u) << "age is the place in the list, not the clock";
    EXPECT_EQ(std::count_if(record.photos.begin(), record.photos.end(),
                  [](const LearnedPhoto& photo) { return photo.id == 5; }),
        1);

    // A photo is told by its name and the moment it was taken.
    ExifRecord exif = camera("Canon", "G7 X", 800);
    exif.dateTimeOriginal = "2024:05:01 10:00:00";
    ExifRecord later = exif;
    later.dateTimeOriginal = "2024:05:01 10:00:01";
    EXPECT_EQ(photoIdOf("IMG_1.JPG", exif), photoIdOf("IMG_1.JPG", exif));
    EXPECT_NE(photoIdOf("IMG_1.JPG", exif), photoIdOf("IMG_2.JPG", exif));
    EXPECT_NE(photoIdOf("IMG_1.JPG", exif), photoIdOf("IMG_1.JPG", later));
}

} // namespace
} // namespace calmora
