// The command-line parser: any arguments (the input split at NUL bytes) are
// refused with a reason or parsed into a record that obeys the documented
// combinations, and that record, written back as arguments in one canonical
// form, parses to itself.

#include "cli/cli_args.h"
#include "fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>

namespace {

using namespace calmora;
using calmora::fuzz::check;

QStringList splitArguments(const uint8_t* data, size_t size)
{
    QStringList arguments;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    for (const QByteArray& part : bytes.split('\0'))
        arguments << QString::fromUtf8(part);
    return arguments;
}

QString commandName(CliCommand command)
{
    switch (command) {
    case CliCommand::Help:
        return QStringLiteral("--help");
    case CliCommand::Version:
        return QStringLiteral("--version");
    case CliCommand::Denoise:
        return QStringLiteral("denoise");
    case CliCommand::Profile:
        return QStringLiteral("profile");
    case CliCommand::Presets:
        return QStringLiteral("presets");
    case CliCommand::Info:
        return QStringLiteral("info");
    case CliCommand::Profiles:
        return QStringLiteral("profiles");
    case CliCommand::Formats:
        return QStringLiteral("formats");
    }
    return QString();
}

QString actionName(ProfilesAction action)
{
    switch (action) {
    case ProfilesAction::List:
        return QStringLiteral("list");
    case ProfilesAction::Show:
        return QStringLiteral("show");
    case ProfilesAction::Export:
        return QStringLiteral("export");
    case ProfilesAction::Import:
        return QStringLiteral("import");
    case ProfilesAction::Delete:
        return QStringLiteral("delete");
    }
    return QString();
}

// Every value as "--name=value", so no value is mistaken for an option, and
// the files after "--".
QStringList canonicalArguments(const CliArguments& parsed)
{
    QStringList arguments { commandName(parsed.command) };
    if (parsed.command == CliCommand::Help || parsed.command == CliCommand::Version)
        return arguments;
    arguments << optionArguments(parsed) << QStringLiteral("--");
    // The action is the first word after the command, and parsing takes it out of the files.
    if (parsed.command == CliCommand::Profiles)
        arguments << actionName(parsed.profilesAction);
    arguments << parsed.files;
    return arguments;
}

// Help given among other arguments ends the parsing; what was read before it
// does not matter. Everything else shows in the canonical form.
bool sameRecord(const CliArguments& a, const CliArguments& b)
{
    return canonicalArguments(a) == canonicalArguments(b);
}

void checkRecord(const CliArguments& parsed)
{
    const CliCommand command = parsed.command;
    if (command == CliCommand::Help || command == CliCommand::Version)
        return;
    check(!parsed.allProfiles
            || (command == CliCommand::Profiles && parsed.profilesAction == ProfilesAction::Delete
                && parsed.files.isEmpty()),
        QStringLiteral("--all outside profiles delete, or with a key"));
    check(command == CliCommand::Denoise || (!parsed.noLearn && !parsed.dryRun),
        QStringLiteral("--no-learn or --dry-run outside denoise"));
    if (command == CliCommand::Profiles)
        return;
    if (command == CliCommand::Denoise || command == CliCommand::Profile
        || command == CliCommand::Info)
        check(!parsed.files.isEmpty() || !parsed.filesFrom.isEmpty(),
            QStringLiteral("a command without a file accepted"));
    if (command == CliCommand::Profile || command == CliCommand::Info)
        check(parsed.files.size() == 1, QStringLiteral("several files for one-file command"));
    if (!parsed.output.isEmpty())
        check(parsed.files.size() == 1 && parsed.destDir.isEmpty() && parsed.destSubdir.isEmpty(),
            QStringLiteral("--output with several files or another destination"));
    check(parsed.destDir.isEmpty() || parsed.destSubdir.isEmpty(),
        QStringLiteral("--dest-dir and --dest-subdir together"));
    check(parsed.profileIn.isEmpty() || parsed.profileOut.isEmpty(),
        QStringLiteral("--profile-in and --profile-out together"));
    check(parsed.profileOut.isEmpty() || parsed.files.size() == 1,
        QStringLiteral("--profile-out with several files"));
    check(!parsed.destSubdir.contains(u'/') && parsed.destSubdir != QLatin1String("..")
            && parsed.destSubdir != QLatin1String("."),
        QStringLiteral("--dest-subdir names more than one folder: ") + parsed.destSubdir);
    check(!parsed.suffix.contains(u'/'), QStringLiteral("--suffix with a separator"));
    const QStringList formats { QStringLiteral("jpg"), QStringLiteral("png"), QStringLiteral("tif"),
        QStringLiteral("auto") };
    check(formats.contains(parsed.format), QStringLiteral("--format ") + parsed.format);
    const int number = static_cast<int>(batchFormat(parsed.format));
    check(number >= 0 && number <= 3, QStringLiteral("format number %1").arg(number));
    check(!parsed.quality || (*parsed.quality >= 0 && *parsed.quality <= 100),
        QStringLiteral("--quality %1").arg(parsed.quality.value_or(-1)));
    check(parsed.shardCount >= 1 && parsed.shardIndex >= 0 && parsed.shardIndex < parsed.shardCount,
        QStringLiteral("--shard %1/%2").arg(parsed.shardIndex).arg(parsed.shardCount));
    check(!parsed.nullSeparated || !parsed.filesFrom.isEmpty(),
        QStringLiteral("--null without --files-from"));
    check(parsed.threads >= 0 && parsed.threads <= 256,
        QStringLiteral("--threads %1").arg(parsed.threads));
    if (command == CliCommand::Profile || command == CliCommand::Presets
        || command == CliCommand::Info)
        check(parsed.output.isEmpty() && parsed.destDir.isEmpty() && parsed.assignments.isEmpty()
                && !parsed.inPlace && !parsed.quiet,
            QStringLiteral("a denoise option accepted by another command"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QStringList arguments = splitArguments(data, size);
    CliArguments parsed;
    QString error;
    if (!parseArguments(arguments, parsed, &error)) {
        check(!error.isEmpty(), QStringLiteral("a refusal without a reason"));
        return 0;
    }
    checkRecord(parsed);

    const QStringList canonical = canonicalArguments(parsed);
    CliArguments reparsed;
    QString reparseError;
    check(parseArguments(canonical, reparsed, &reparseError),
        QStringLiteral("canonical form refused: ") + reparseError + QStringLiteral(" in ")
            + canonical.join(u' '));
    check(sameRecord(parsed, reparsed),
        QStringLiteral("canonical form parsed differently: ") + canonical.join(u' '));
    return 0;
}
