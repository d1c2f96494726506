#include "settings/learned_profile_store.h"

#include "settings/learned_reading.h"
#include "settings/options.h"

#include <string_view>

namespace calmora {

namespace {

// Case-sensitive, over the length of the word only: "Brantovia 2.1" is the
// maker's own software, "brantovia" is not.
constexpr std::string_view kOwnSoftware = "Brantovia";

} // namespace

QString LearnedSource::caption() const
{
    // One pass: the camera's name comes from the file and may hold a "%2".
    return QStringLiteral("Learned from %1 photo%2 (%3, ISO %4)")
        .arg(QString::number(photos), photos == 1 ? QString() : QStringLiteral("s"), camera,
            QString::number(isoSpeed));
}

bool eligible(const ExifRecord& exif)
{
    return exif.isoSpeed > 0 && !std::string_view(exif.software).starts_with(kOwnSoftware);
}

QString selfLearningRefusal(const QString& isoText, const QString& softwareText)
{
    QString text = QStringLiteral("The Self-Learning Noise Profiling cannot be enabled for this "
                                  "image because of one of the following parameters\r\n"
                                  " - ISO Speed: %1")
                       .arg(isoText.isEmpty() ? QStringLiteral("Unknown") : isoText);
    if (!softwareText.isEmpty())
        text += QStringLiteral("\r\n - Software: %1").arg(softwareText);
    return text;
}

bool deleteLearnedProfiles(LearnedProfileStore& store, bool runGoing)
{
    store.requestDeleteAll();
    return runGoing || store.settleDeleteRequest();
}

bool deleteLearnedProfiles(LearnedProfileStore& store, bool runGoing, const QString& folder)
{
    store.requestDeleteAll(folder);
    return runGoing || store.settleDeleteRequest();
}

bool consultLearnedProfiles(LearnedProfileStore& store, const Options& options, bool inBatch,
    const QString& fileName, const ExifRecord& exif, const NoiseProfile& own, NoiseProfile& working,
    LearnedSource* source, const ImageDesc* picture, std::optional<PixelNoise>* pixelNoise)
{
    working = own;
    if (source != nullptr)
        *source = {};
    if (pixelNoise != nullptr)
        pixelNoise->reset();
    if (!options.profileFolder.isEmpty())
        store.useFolder(options.profileFolder);
    // Before anything is learned: a deletion asked for before this profile
    // was built must not take this profile with it, nor leave older ones.
    store.settleDeleteRequest();
    if (!options.settings2.selfLearning || (inBatch && !options.settings2.batchSelfLearning))
        return false;
    // Only an eligible image is learned from: the others need no reading.
    if (picture != nullptr && eligible(exif) && store.keepsWhatItLearns()) {
        const PixelNoise noise = estimatePixelNoise(*picture);
        store.learn(fileName, exif, learnedReading(own, noise));
        if (pixelNoise != nullptr)
            *pixelNoise = noise;
    } else {
        store.learn(fileName, exif, own);
    }
    if (eligible(exif) && store.lookUp(exif, working)) {
        if (source != nullptr)
            *source = store.lastFound();
        return true;
    }
    working = own;
    return false;
}

} // namespace calmora
