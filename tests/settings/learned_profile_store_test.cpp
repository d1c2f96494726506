#include "settings/learned_profile_store.h"
#include "settings/options.h"

#include <gtest/gtest.h>

#include <cstring>

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

} // namespace
} // namespace calmora
