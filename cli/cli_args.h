// The command line of calmora-cli, parsed into one record. Parsing checks
// the form of every option; what needs the settings (preset names, stored
// defaults) is checked by the command that runs.
#pragma once

#include "document/processing_job.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace calmora {

enum class CliCommand { Help, Version, Denoise, Profile, Presets, Info, Profiles, Formats };

// What `profiles` does with the learned profiles.
enum class ProfilesAction { List, Show, Export, Import, Delete };

struct CliArguments {
    CliCommand command = CliCommand::Help;
    QStringList files;

    QString output; // -o, one input only
    QString destDir; // --dest-dir: one folder for every result
    QString destSubdir; // --dest-subdir: a folder below each source's folder
    QString suffix = QStringLiteral("_filtered");
    QString format = QStringLiteral("jpg"); // a formatOptions() value or auto
    bool formatGiven = false; // --format was given, not defaulted
    std::optional<int> quality; // else the stored JPEG quality
    // Bits per channel of PNG and TIFF results: 0 keeps the source's, 8, or
    // 16 (8-bit sources widened and filtered at 16 bits).
    int depth = 0;
    // PNG and TIFF: 0 (none) .. 9 (smallest); -1 the fast default.
    int compression = -1;
    std::optional<QString> preset; // name or index; else the stored default
    std::optional<QString> settings; // sixteen comma-separated values
    QStringList assignments; // NAME=VALUE, in order
    QString profileIn;
    QString profileOut;
    int threads = 0; // 0 = one per core
    bool inPlace = false;
    bool quiet = false;
    bool json = false;
    bool noLearn = false; // --no-learn: this run adds nothing to the learned profiles
    bool dryRun = false; // --dry-run: say what would be written, write nothing

    // profiles ACTION [KEY] [FILE]: the action, and KEY and FILE in `files`.
    ProfilesAction profilesAction = ProfilesAction::List;
    bool allProfiles = false; // delete --all
};

// On a usage error returns false and `error` says what was wrong.
bool parseArguments(const QStringList& arguments, CliArguments& parsed, QString* error);

QString usageText();

// The batch format of a --format value.
BatchFormat batchFormat(const QString& format);

// The --format value that writes files with this extension (any case): jpg,
// png or tif; empty for an extension no result is written with.
QString formatOfExtension(const QString& extension);
// The --format values of the formats this build writes: jpg, png, tif, ...
QStringList formatOptions();

} // namespace calmora
