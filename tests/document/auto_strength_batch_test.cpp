// A batch with automatic strength: each file chooses by what the settings
// do to its own pixels, with the profile it is filtered with, and a file too
// clean to gain is saved as it was loaded.
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <ostream>

#include <gtest/gtest.h>

#include "document/processing_worker.h"
#include "engine/engine.h"
#include "document/batch_run.h"
#include "settings/learned_profile_store.h"
#include "settings/presets.h"
#include "test_files.h"

namespace calmora {
namespace {

// A gradient, with noise from a fixed sequence when `amplitude` is not 0.
QImage gradient(int amplitude, uint32_t seed)
{
    QImage picture(320, 240, QImage::Format_RGB32);
    uint32_t state = seed;
    auto next = [&state, amplitude] {
        state = state * 1664525u + 1013904223u;
        return amplitude == 0 ? 0 : static_cast<int>((state >> 16) % (2 * amplitude + 1)) - amplitude;
    };
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const int base = 60 + x / 3;
            picture.setPixel(x, y,
                qRgb(std::clamp(base + next(), 0, 255), std::clamp(base + next(), 0, 255),
                    std::clamp(base + next(), 0, 255)));
        }
    return picture;
}

struct NoteHost final : test::QuietHost {
    void reportError(const QString&, const QString& reason) override { errors.append(reason); }
    void reportNote(const QString& file, const QString& note) override
    {
        notes.append(QFileInfo(file).fileName() + QStringLiteral(": ") + note);
    }

    QStringList notes;
    QStringList errors;
};

struct Case {
    const char* name;
    BatchFlow flow;
    // One near-silent profile for every file: the files are still judged by
    // their pixels, and filtered with it.
    bool givenCleanProfile;
};

void PrintTo(const Case& row, std::ostream* os)
{
    *os << row.name;
}

class AutoStrengthBatch : public ::testing::TestWithParam<Case> { };

TEST_P(AutoStrengthBatch, NoisyFilesAreFilteredAndCleanOnesKept)
{
    const Case& row = GetParam();
    QTemporaryDir dir;
    struct File {
        const char* name;
        int amplitude;
    };
    const File files[] = { { "noisy1.png", 24 }, { "clean.png", 0 }, { "noisy2.png", 30 } };
    QStringList paths;
    for (const File& file : files) {
        paths.append(dir.filePath(QLatin1String(file.name)));
        ASSERT_TRUE(test::writePicture(paths.last(), gradient(file.amplitude, 7), "png"));
    }

    ProcessingJob job;
    NoteHost host;
    PresetTable presets;
    EmptyProfileStore store;
    BatchOptions options;
    options.autoStrength = true;
    // A preset that the batch must not fall back on.
    options.presetIndex = 9;
    options.useGivenProfile = row.givenCleanProfile;
    options.format = BatchFormat::Png;
    options.destinationMode = DestinationMode::Subfolder;
    options.destinationFolder = QStringLiteral("out");
    options.suffix = QStringLiteral("_auto");
    BatchJob batch;
    if (row.givenCleanProfile) {
        resetProfile(batch.givenProfile, false);
        for (NoiseBand& band : batch.givenProfile.bands)
            for (int p = 0; p < kPointCount; ++p)
                for (int c = 0; c < kChannels; ++c) {
                    band.noise[p][c] = 1;
                    band.weight[p][c] = 1;
                }
    }
    batch.options = &options;
    batch.files = paths;
    batch.fileCount = static_cast<int32_t>(paths.size());
    job.request.batch = &batch;
    job.request.host = &host;
    job.request.presets = &presets;
    job.request.profileStore = &store;
    job.running = true;
    JobSnapshot snapshot = takeSnapshot(job);
    runBatch(job, snapshot, row.flow);
    job.running = false;

    EXPECT_TRUE(host.errors.isEmpty()) << host.errors.join('\n').toStdString();
    ASSERT_EQ(batch.doneFiles, paths) << batch.failureReasons.join('\n').toStdString();
    QStringList expectedNotes;
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(files[i].name);
        const QImage source = QImage(paths[i]).convertToFormat(QImage::Format_RGB32);
        const QImage result = QImage(batch.writtenFiles.value(i)).convertToFormat(QImage::Format_RGB32);
        const bool kept = files[i].amplitude == 0;
        EXPECT_EQ(result == source, kept);
        if (kept)
            expectedNotes.append(QLatin1String(files[i].name)
                + QStringLiteral(": the noise is too weak to gain from filtering; the picture "
                                 "was saved unfiltered."));
    }
    EXPECT_EQ(host.notes, expectedNotes);
}

const Case kCases[] = {
    { "pipelined", BatchFlow::Pipelined, false },
    { "sequential", BatchFlow::Sequential, false },
    { "given clean profile", BatchFlow::Pipelined, true },
};

INSTANTIATE_TEST_SUITE_P(Flows, AutoStrengthBatch, ::testing::ValuesIn(kCases),
    [](const ::testing::TestParamInfo<Case>& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

} // namespace
} // namespace calmora
