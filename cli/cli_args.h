// The command line of calmora-cli, parsed into one record. Parsing checks
// the form of every option; what needs the settings (preset names, stored
// defaults) is checked by the command that runs.
#pragma once

#include "document/processing_job.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

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

    // Archives: a list of files, a share of it, and a record per file.
    QString filesFrom; // --files-from: one path per line, "-" for standard input
    bool nullSeparated = false; // --null: the list's paths end with NUL bytes
    bool skipExisting = false; // --skip-existing: a result already in place is kept
    int shardIndex = 0; // --shard I/N: the files whose index modulo N is I
    int shardCount = 1;
    QString reportPath; // --report: one JSON object per file

    // profiles ACTION [KEY] [FILE]: the action, and KEY and FILE in `files`.
    ProfilesAction profilesAction = ProfilesAction::List;
    bool allProfiles = false; // delete --all
};

// One option of the command line, as the parser, the help text and the
// fuzz target know it.
struct CliOption {
    const char* name; // "--output"
    const char* shortName; // "-o", or null
    const char* valueName; // "PATH"; null for an option that takes no value
    unsigned commands; // a mask of cliCommandBit()
    const char* help; // lines broken by "\n"
    // Checks and stores a value (or, for an option without one, an empty
    // string); false on a usage error.
    bool (*apply)(CliArguments& parsed, const QString& value, QString* error);
    // The option's values in `parsed` as they would be given again, in
    // order; none when it is at its default. "" stands for an option
    // without a value that is set.
    QStringList (*given)(const CliArguments& parsed);
};

constexpr unsigned cliCommandBit(CliCommand command)
{
    return 1u << static_cast<unsigned>(command);
}

const std::vector<CliOption>& cliOptions();

// The options of `parsed` written back in one form: "--name=value" for a
// value, "--name" for an option without one, in the table's order.
QStringList optionArguments(const CliArguments& parsed);

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
