// `calmora-cli profiles`: the noise profiles learned per camera and ISO
// speed, listed, shown, exported, imported and deleted; and the line that
// `info` and `denoise --dry-run` print about a photo's learned profile.
#pragma once

#include "cli/cli_args.h"
#include "settings/exif_record.h"

#include <QString>

namespace calmora {

class LearnedProfileFolder;

// Runs a parsed `profiles` command line on `store`'s folder and returns the
// exit status.
int runProfilesCommand(const CliArguments& args, LearnedProfileFolder& store);

// What the folder holds for a photo of `exif`.
struct LearnedStanding {
    bool takesPart = false; // eligible and naming a camera
    bool usable = false; // a look-up would find a profile
    QString text; // "learned from 7 photos (Canon PowerShot G7 X, ISO 3200; key ...)"
};
LearnedStanding learnedStanding(const LearnedProfileFolder& store, const ExifRecord& exif);

} // namespace calmora
