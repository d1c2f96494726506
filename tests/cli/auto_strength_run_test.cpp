// `--preset auto` and the presets' own results, through the built program.
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "isolated_run.h"

namespace calmora {
namespace {

const QString kSamplePhoto
    = QStringLiteral(CALMORA_SAMPLE_PHOTO);

using Outcome = test::ProgramRun;

// A picture whose pixels any platform makes alike: a gradient with noise
// from a fixed linear congruential sequence (amplitude 0 for none).
QImage gradient(int amplitude)
{
    QImage picture(256, 192, QImage::Format_RGB32);
    uint32_t state = 12345;
    auto next = [&state, amplitude] {
        state = state * 1664525u + 1013904223u;
        return amplitude == 0 ? 0 : static_cast<int>((state >> 16) % (2 * amplitude + 1)) - amplitude;
    };
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const int base = 40 + (x + 2 * y) / 4;
            picture.setPixel(x, y,
                qRgb(std::clamp(base + next(), 0, 255), std::clamp(base + 12 + next(), 0, 255),
                    std::clamp(base - 12 + next(), 0, 255)));
        }
    return picture;
}

std::string pixelDigest(const QString& path)
{
    const QImage image = QImage(path).convertToFormat(QImage::Format_RGB888);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    for (int y = 0; y < image.height(); ++y)
        hash.addData(QByteArrayView(
            reinterpret_cast<const char*>(image.constScanLine(y)), 3 * image.width()));
    return hash.result().toHex().left(16).toStdString();
}

class AutoStrengthRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* folder : { "config", "data", "work" })
            ASSERT_TRUE(QDir(home.path()).mkpath(QLatin1String(folder)));
        work = home.filePath("work");
    }

    QString file(const QString& name) const { return work + QLatin1Char('/') + name; }

    Outcome run(const QStringList& arguments)
    {
        return test::runIsolated(QStringLiteral(CALMORA_CLI_PATH), arguments, home.path(), work);
    }

    // The sixteen values `profile` says auto would choose; empty when it
    // says the picture would be left unfiltered.
    QString chosenSettings(const QString& path)
    {
        const Outcome profile = run({ "profile", path });
        EXPECT_EQ(profile.exitCode, 0) << profile.text();
        const QRegularExpressionMatch match
            = QRegularExpression(QStringLiteral("\\(--preset auto\\): noise about [0-9.]+ levels; "
                                                "settings ([-0-9,]+)\\n$"))
                  .match(profile.out);
        return match.hasMatch() ? match.captured(1) : QString();
    }

    QTemporaryDir home;
    QString work;
};

// On the sample photo (strong noise) auto filters, with exactly the values
// the profile command shows.
TEST_F(AutoStrengthRun, SamplePhotoIsFilteredWithTheValuesProfileShows)
{
    const Outcome automatic = run({ "denoise", "-q", "--preset", "auto", "-o", "auto.png", kSamplePhoto });
    ASSERT_EQ(automatic.exitCode, 0) << automatic.text();
    EXPECT_FALSE(automatic.err.contains(QLatin1String("too weak"))) << automatic.text();

    const QString settings = chosenSettings(kSamplePhoto);
    ASSERT_EQ(settings.split(QLatin1Char(',')).size(), 16) << settings.toStdString();
    const Outcome manual = run({ "denoise", "-q", "--settings", settings, "-o", "manual.png", kSamplePhoto });
    ASSERT_EQ(manual.exitCode, 0) << manual.text();
    EXPECT_EQ(pixelDigest(file("auto.png")), pixelDigest(file("manual.png")));

    ASSERT_TRUE(QImage(kSamplePhoto).save(file("input.png")));
    EXPECT_NE(pixelDigest(file("auto.png")), pixelDigest(file("input.png")));
}

// A picture without noise is written as it is, re-encoded as asked, and the
// program says so once.
TEST_F(AutoStrengthRun, CleanPictureIsSavedUnfiltered)
{
    ASSERT_TRUE(QImageWriter(file("clean.png"), "png").write(gradient(0)));
    struct Row {
        const char* output;
        const char* magic;
    };
    for (const Row& row : { Row { "out.png", "\x89PNG" }, Row { "out.jpg", "\xff\xd8\xff" } }) {
        SCOPED_TRACE(row.output);
        const Outcome result = run({ "denoise", "-q", "--preset", "Auto", "-o", row.output, "clean.png" });
        ASSERT_EQ(result.exitCode, 0) << result.text();
        EXPECT_EQ(result.err.count(QLatin1String("too weak")), 1) << result.text();
        QFile written(file(QLatin1String(row.output)));
        ASSERT_TRUE(written.open(QIODevice::ReadOnly));
        EXPECT_TRUE(written.read(4).startsWith(row.magic));
    }
    EXPECT_EQ(pixelDigest(file("out.png")), pixelDigest(file("clean.png")));
    EXPECT_TRUE(chosenSettings(file("clean.png")).isEmpty());
    EXPECT_TRUE(run({ "profile", "clean.png" }).out.endsWith(
        QLatin1String("the picture would be saved unfiltered\n")));
}

TEST_F(AutoStrengthRun, AutoTakesNoSettingsOfItsOwn)
{
    ASSERT_TRUE(QImageWriter(file("noisy.png"), "png").write(gradient(12)));
    const QStringList extras[] = { { "--set", "lumaLevel=2" },
        { "--settings", "0,0,0,0,0,0,0,0,20,20,14,16,20,20,20,20" } };
    for (const QStringList& extra : extras) {
        const Outcome result = run(QStringList { "denoise", "--preset", "auto", "-o", "x.png" } + extra
            + QStringList { "noisy.png" });
        EXPECT_EQ(result.exitCode, 2) << result.text();
        EXPECT_FALSE(QFileInfo::exists(file("x.png")));
    }
}

// The built-in presets filter exactly as they did before automatic strength:
// digests of their results on a fixed noisy picture.
TEST_F(AutoStrengthRun, PresetResultsAreUnchanged)
{
    ASSERT_TRUE(QImageWriter(file("noisy.png"), "png").write(gradient(12)));
    const char* const expected[15] = {
        "7ed9eeaa3a1cc602", // 0
        "8e63307fc23351ff", // 1
        "7433131b2b05bb6e", // 2
        "baf5be71f054311c", // 3
        "80e6fc808f09a5cb", // 4
        "82ffbe9382b799c9", // 5
        "83a83baa1327666c", // 6
        "9d2df9bafd6209a3", // 7
        "bbe4df540524241c", // 8
        "3b7fbc9f16055a3e", // 9
        "d9f47f3f48e8b59d", // 10
        "6d46238ae64ce4eb", // 11
        "6d3525404dd56403", // 12
        "3adee392717e0f33", // 13
        "73392cdf3da8369f", // 14
    };
    for (int preset = 0; preset < 15; ++preset) {
        SCOPED_TRACE(preset);
        const QString output = QStringLiteral("p%1.png").arg(preset);
        const Outcome result = run({ "denoise", "-q", "--preset", QString::number(preset), "-o", output,
            "noisy.png" });
        ASSERT_EQ(result.exitCode, 0) << result.text();
        EXPECT_EQ(pixelDigest(file(output)), expected[preset]);
    }
}

} // namespace
} // namespace calmora
