#include <cstring>

#include <QJsonDocument>

#include <gtest/gtest.h>

#include "cli/profile_json.h"
#include "engine/engine.h"

namespace calmora {
namespace {

// Every value distinct, so a swapped band, point or channel shows, and every
// value's text is unique in the JSON.
NoiseProfile sampleProfile()
{
    NoiseProfile profile;
    resetProfile(profile, false);
    for (int b = 0; b < profile.bandCount; ++b)
        for (int p = 0; p < profile.bands[b].pointCount; ++p)
            for (int c = 0; c < kChannels; ++c) {
                profile.bands[b].noise[p][c] = static_cast<int16_t>(b * 1000 + p * 10 + c);
                profile.bands[b].weight[p][c] = static_cast<int16_t>(32767 - b * 100 - p * 3 - c);
            }
    return profile;
}

TEST(ProfileJson, RoundTripKeepsEveryValue)
{
    const NoiseProfile profile = sampleProfile();
    QString error;
    const std::optional<NoiseProfile> back
        = profileFromJsonText(profileToJsonText(profile), &error);
    ASSERT_TRUE(back) << error.toStdString();
    EXPECT_EQ(std::memcmp(&*back, &profile, sizeof profile), 0);
}

TEST(ProfileJson, RejectionsNameWhereTheTextWentWrong)
{
    struct Row {
        const char* name;
        const char* from; // replaced in the sample's compact text; empty: `to` is the whole text
        const char* to;
        const char* said;
    };
    const Row rows[] = {
        { "not JSON", "", "bandCount: 4", "not valid JSON at offset" },
        { "cut short", "]}]}", "]}", "not valid JSON" },
        { "not an object", "", "[1, 2]", "expected an object" },
        { "bandCount too large", "\"bandCount\":4", "\"bandCount\":9",
            "bandCount: expected a whole number from 1 to 5" },
        { "bandCount not the bands' number", "\"bandCount\":4", "\"bandCount\":3",
            "bands: expected 3 bands" },
        { "pointCount too large", "\"pointCount\":11", "\"pointCount\":17", "bands[0].pointCount" },
        { "points missing", "\"pointCount\":11", "\"pointCount\":12",
            "bands[0].noise: expected a list of 12 points" },
        { "a point of two numbers", "[1040,1041,1042]", "[1040,1041]",
            "bands[1].noise[4]: expected three numbers" },
        { "a value of 40000", ",32660,", ",40000,",
            "bands[1].weight[2][1]: expected a whole number from 0 to 32767" },
        { "a fraction", "[1000,1001,1002]", "[1000,1001,1.5]", "bands[1].noise[0][2]" },
        { "a negative value", "[1100,", "[-1,", "bands[1].noise[10][0]" },
        { "a number as text", "[1030,1031,", "[1030,\"1031\",", "bands[1].noise[3][1]" },
    };
    const QByteArray sample
        = QJsonDocument(profileToJson(sampleProfile())).toJson(QJsonDocument::Compact);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QByteArray text = row.to;
        if (*row.from != '\0') {
            const qsizetype at = sample.indexOf(row.from);
            ASSERT_GE(at, 0);
            text = QByteArray(sample).replace(at, qstrlen(row.from), row.to);
        }
        QString error;
        EXPECT_FALSE(profileFromJsonText(text, &error));
        EXPECT_TRUE(error.contains(QLatin1String(row.said))) << error.toStdString();
    }
}

} // namespace
} // namespace calmora
