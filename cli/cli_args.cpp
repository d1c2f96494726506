#include "cli/cli_args.h"

#include "document/file_formats.h"

#include <QFileInfo>
#include <QHash>

namespace calmora {

namespace {

constexpr int kMaxThreads = 256;

// Options that take a value, by every name they answer to.
enum class Valued {
    Output,
    DestDir,
    DestSubdir,
    Suffix,
    Format,
    Quality,
    Depth,
    Compression,
    Preset,
    Settings,
    Set,
    ProfileIn,
    ProfileOut,
    Threads
};

const QHash<QString, Valued>& valuedOptions()
{
    static const QHash<QString, Valued> options {
        { QStringLiteral("-o"), Valued::Output },
        { QStringLiteral("--output"), Valued::Output },
        { QStringLiteral("--dest-dir"), Valued::DestDir },
        { QStringLiteral("--dest-subdir"), Valued::DestSubdir },
        { QStringLiteral("--suffix"), Valued::Suffix },
        { QStringLiteral("--format"), Valued::Format },
        { QStringLiteral("--quality"), Valued::Quality },
        { QStringLiteral("--depth"), Valued::Depth },
        { QStringLiteral("--compression"), Valued::Compression },
        { QStringLiteral("--preset"), Valued::Preset },
        { QStringLiteral("--settings"), Valued::Settings },
        { QStringLiteral("--set"), Valued::Set },
        { QStringLiteral("--profile-in"), Valued::ProfileIn },
        { QStringLiteral("--profile-out"), Valued::ProfileOut },
        { QStringLiteral("--threads"), Valued::Threads },
    };
    return options;
}

bool parseInt(const QString& text, int minimum, int maximum, const QString& option, int* value,
    QString* error)
{
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number < minimum || number > maximum) {
        *error = QStringLiteral("%1 takes a whole number from %2 to %3, not \"%4\"")
                     .arg(option)
                     .arg(minimum)
                     .arg(maximum)
                     .arg(text);
        return false;
    }
    *value = number;
    return true;
}

bool applyValue(
    Valued which, const QString& option, const QString& value, CliArguments& parsed, QString* error)
{
    switch (which) {
    case Valued::Output:
        parsed.output = value;
        break;
    case Valued::DestDir:
        parsed.destDir = value;
        break;
    case Valued::DestSubdir:
        if (value.trimmed().isEmpty() || value.contains(QLatin1Char('/'))
            || value == QLatin1String("..") || value == QLatin1String(".")) {
            *error = QStringLiteral("--dest-subdir takes the name of one folder, not \"%1\"")
                         .arg(value);
            return false;
        }
        parsed.destSubdir = value;
        break;
    case Valued::Suffix:
        if (value.contains(QLatin1Char('/'))) {
            *error = QStringLiteral("--suffix cannot contain \"/\"");
            return false;
        }
        parsed.suffix = value;
        break;
    case Valued::Format: {
        const QString format = value.toLower();
        if (format != QLatin1String("auto") && formatOfExtension(format) != format) {
            *error = QStringLiteral("--format takes %1 or auto, not \"%2\"")
                         .arg(formatOptions().join(QStringLiteral(", ")), value);
            return false;
        }
        parsed.format = format;
        parsed.formatGiven = true;
        break;
    }
    case Valued::Quality: {
        int quality = 0;
        if (!parseInt(value, 0, 100, option, &quality, error))
            return false;
        parsed.quality = quality;
        break;
    }
    case Valued::Depth:
        if (value == QLatin1String("auto")) {
            parsed.depth = 0;
        } else if (value == QLatin1String("8") || value == QLatin1String("16")) {
            parsed.depth = value.toInt();
        } else {
            *error = QStringLiteral("--depth takes auto, 8 or 16, not \"%1\"").arg(value);
            return false;
        }
        break;
    case Valued::Compression:
        return parseInt(value, 0, 9, option, &parsed.compression, error);
    case Valued::Preset:
        parsed.preset = value;
        break;
    case Valued::Settings:
        parsed.settings = value;
        break;
    case Valued::Set:
        parsed.assignments.append(value);
        break;
    case Valued::ProfileIn:
        parsed.profileIn = value;
        break;
    case Valued::ProfileOut:
        parsed.profileOut = value;
        break;
    case Valued::Threads:
        return parseInt(value, 0, kMaxThreads, option, &parsed.threads, error);
    }
    return true;
}

// The result's extension decides its format, as the save does; a --format
// that says otherwise would be silently overruled.
bool checkOutputFormat(const CliArguments& parsed, QString* error)
{
    const QString extension = QFileInfo(parsed.output).suffix();
    const QString format = formatOfExtension(extension);
    if (format.isEmpty()) {
        *error = (extension.isEmpty()
                         ? QStringLiteral("-o/--output \"%1\" has no extension").arg(parsed.output)
                         : QStringLiteral("-o/--output \"%1\": no result is written as \".%2\"")
                               .arg(parsed.output, extension))
            + QStringLiteral("; use one of %1").arg(writableExtensionList());
        return false;
    }
    if (parsed.formatGiven && parsed.format != QLatin1String("auto") && parsed.format != format) {
        *error = QStringLiteral("--format %1 contradicts -o/--output \"%2\", which writes %3")
                     .arg(parsed.format, parsed.output, format);
        return false;
    }
    return true;
}

// A JPEG holds 8 bits per channel whatever is asked.
bool checkDepth(const CliArguments& parsed, QString* error)
{
    const QString format = parsed.output.isEmpty()
        ? parsed.format
        : formatOfExtension(QFileInfo(parsed.output).suffix());
    const FileFormat* written = fileFormatOfExtension(format);
    if (parsed.depth == 16 && written != nullptr && !written->depths.contains(16)) {
        *error = QStringLiteral("--depth 16 needs PNG or TIFF results (--format png, tif or auto, "
                                "or -o with .png or .tif); a %1 holds 8 bits per channel")
                     .arg(written->name);
        return false;
    }
    return true;
}

// profiles ACTION [ARGUMENT...]: the action leaves `files` with its
// arguments, whose number it checks.
bool checkProfiles(CliArguments& parsed, QString* error)
{
    struct Action {
        const char* name;
        ProfilesAction action;
        int arguments;
        const char* form;
    };
    static const Action actions[] = {
        { "list", ProfilesAction::List, 0, "profiles list [--json]" },
        { "show", ProfilesAction::Show, 1, "profiles show KEY [--json]" },
        { "export", ProfilesAction::Export, 2, "profiles export KEY FILE" },
        { "import", ProfilesAction::Import, 1, "profiles import FILE" },
        { "delete", ProfilesAction::Delete, 1, "profiles delete KEY|--all" },
    };
    if (parsed.files.isEmpty()) {
        *error = QStringLiteral("profiles needs an action: list, show, export, import or delete");
        return false;
    }
    const QString name = parsed.files.takeFirst();
    for (const Action& action : actions) {
        if (name != QLatin1String(action.name))
            continue;
        parsed.profilesAction = action.action;
        const int wanted
            = action.action == ProfilesAction::Delete && parsed.allProfiles ? 0 : action.arguments;
        if (parsed.files.size() != wanted
            || (parsed.allProfiles && action.action != ProfilesAction::Delete)) {
            *error = QStringLiteral("usage: calmora-cli %1").arg(QLatin1String(action.form));
            return false;
        }
        if (parsed.json && action.action != ProfilesAction::List
            && action.action != ProfilesAction::Show) {
            *error = QStringLiteral("--json goes with profiles list and profiles show");
            return false;
        }
        return true;
    }
    *error = QStringLiteral("unknown profiles action \"%1\"; use list, show, export, import or "
                            "delete")
                 .arg(name);
    return false;
}

bool checkCombinations(CliArguments& parsed, QString* error)
{
    if (parsed.command == CliCommand::Help || parsed.command == CliCommand::Version)
        return true;
    if (parsed.command == CliCommand::Profiles)
        return checkProfiles(parsed, error);
    if (parsed.command == CliCommand::Presets || parsed.command == CliCommand::Formats) {
        if (parsed.files.isEmpty())
            return true;
        *error = QStringLiteral("%1 takes no file, not \"%2\"")
                     .arg(parsed.command == CliCommand::Presets ? "presets" : "formats",
                         parsed.files.first());
        return false;
    }
    if (parsed.files.isEmpty()) {
        *error = QStringLiteral("no image file given");
        return false;
    }
    if (parsed.command != CliCommand::Denoise) {
        if (parsed.files.size() > 1) {
            *error = QStringLiteral("this command takes one image file");
            return false;
        }
        return true;
    }
    if (!parsed.output.isEmpty() && parsed.files.size() > 1) {
        *error = QStringLiteral(
            "-o/--output takes one input file; use --dest-dir or --dest-subdir for several");
        return false;
    }
    if (!parsed.output.isEmpty() && (!parsed.destDir.isEmpty() || !parsed.destSubdir.isEmpty())) {
        *error = QStringLiteral("-o/--output cannot be combined with --dest-dir or --dest-subdir");
        return false;
    }
    if (!parsed.output.isEmpty() && !checkOutputFormat(parsed, error))
        return false;
    if (!parsed.destDir.isEmpty() && !parsed.destSubdir.isEmpty()) {
        *error = QStringLiteral("--dest-dir and --dest-subdir cannot be combined");
        return false;
    }
    if (!parsed.profileOut.isEmpty() && parsed.files.size() > 1) {
        *error = QStringLiteral("--profile-out takes one input file");
        return false;
    }
    if (!parsed.profileIn.isEmpty() && !parsed.profileOut.isEmpty()) {
        *error = QStringLiteral("--profile-in and --profile-out cannot be combined");
        return false;
    }
    return checkDepth(parsed, error);
}

} // namespace

bool parseArguments(const QStringList& arguments, CliArguments& parsed, QString* error)
{
    parsed = CliArguments();
    if (arguments.isEmpty()) {
        *error = QStringLiteral("no command given");
        return false;
    }
    const QString& command = arguments.first();
    if (command == QLatin1String("--help") || command == QLatin1String("-h")
        || command == QLatin1String("help")) {
        parsed.command = CliCommand::Help;
        return true;
    }
    if (command == QLatin1String("--version")) {
        if (arguments.size() > 1) {
            *error = QStringLiteral("--version takes nothing more, not \"%1\"").arg(arguments[1]);
            return false;
        }
        parsed.command = CliCommand::Version;
        return true;
    }
    if (command == QLatin1String("denoise"))
        parsed.command = CliCommand::Denoise;
    else if (command == QLatin1String("profile"))
        parsed.command = CliCommand::Profile;
    else if (command == QLatin1String("presets"))
        parsed.command = CliCommand::Presets;
    else if (command == QLatin1String("info"))
        parsed.command = CliCommand::Info;
    else if (command == QLatin1String("profiles"))
        parsed.command = CliCommand::Profiles;
    else if (command == QLatin1String("formats"))
        parsed.command = CliCommand::Formats;
    else {
        *error = QStringLiteral("unknown command \"%1\"").arg(command);
        return false;
    }

    bool optionsEnded = false;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (optionsEnded || !argument.startsWith(QLatin1Char('-'))
            || argument == QLatin1String("-")) {
            parsed.files.append(argument);
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            parsed.command = CliCommand::Help;
            return true;
        }
        const bool denoise = parsed.command == CliCommand::Denoise;
        if (argument == QLatin1String("--json") && !denoise && parsed.command != CliCommand::Info) {
            parsed.json = true;
            continue;
        }
        if (denoise && argument == QLatin1String("--in-place")) {
            parsed.inPlace = true;
            continue;
        }
        if (denoise && argument == QLatin1String("--no-learn")) {
            parsed.noLearn = true;
            continue;
        }
        if (denoise && argument == QLatin1String("--dry-run")) {
            parsed.dryRun = true;
            continue;
        }
        if (parsed.command == CliCommand::Profiles && argument == QLatin1String("--all")) {
            parsed.allProfiles = true;
            continue;
        }
        if (denoise && (argument == QLatin1String("-q") || argument == QLatin1String("--quiet"))) {
            parsed.quiet = true;
            continue;
        }
        QString name = argument;
        std::optional<QString> value;
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        if (argument.startsWith(QLatin1String("--")) && equals > 0) {
            name = argument.left(equals);
            value = argument.mid(equals + 1);
        }
        const auto found = valuedOptions().find(name);
        if (found == valuedOptions().end() || !denoise) {
            *error = QStringLiteral("unknown option \"%1\" for %2").arg(name, command);
            return false;
        }
        if (!value) {
            if (i + 1 >= arguments.size()) {
                *error = QStringLiteral("%1 needs a value").arg(name);
                return false;
            }
            value = arguments[++i];
        }
        if (!applyValue(found.value(), name, *value, parsed, error))
            return false;
    }
    return checkCombinations(parsed, error);
}

BatchFormat batchFormat(const QString& format)
{
    if (format == QLatin1String("auto"))
        return BatchFormat::AsSource;
    const FileFormat* written = fileFormatOfExtension(format);
    return written != nullptr && written->writable ? batchFormatOf(*written) : BatchFormat::Jpeg;
}

QString formatOfExtension(const QString& extension)
{
    const FileFormat* format = fileFormatOfExtension(extension);
    return format != nullptr && format->writable ? formatOption(*format) : QString();
}

QStringList formatOptions()
{
    QStringList options;
    for (const FileFormat& format : fileFormats()) {
        if (format.writable)
            options << formatOption(format);
    }
    return options;
}

QString usageText()
{
    return QStringLiteral(R"(Usage: calmora-cli COMMAND [OPTIONS] [FILE...]

Measures the noise an image carries and filters it away.

Commands:
  denoise FILE...     profile, filter and save each file
  profile FILE        print the noise profile the filter would use
  presets             list the filter presets
  info FILE           size, depth, EXIF tags, self-learning eligibility and the
                      learned profile of the photo's camera and ISO speed
  formats             the image formats read and written, and what each keeps
  profiles ACTION     the noise profiles learned per camera and ISO speed:
                      list, show KEY, export KEY FILE, import FILE,
                      delete KEY, delete --all

Options of denoise:
  -o, --output PATH       where to write the result (one input only); its
                          extension decides the format (see formats)
  --dest-dir DIR          write every result into DIR (created if missing)
  --dest-subdir NAME      write each result into NAME below its source's folder
  --suffix S              appended to each result's name (default "_filtered")
  --format F              jpg, png, tif, webp, heic, avif (those this build
                          writes, see formats), or auto (the source's type
                          if it is written, else JPEG); default jpg
  --quality Q             JPEG, WebP, HEIC and AVIF quality 0..100 (default:
                          the stored option, 90); WebP at 100 is lossless
  --depth auto|8|16       bits per channel of PNG and TIFF results: auto keeps
                          the source's (default), 16 also widens 8-bit sources
                          and filters them at 16 bits; JPEG is always 8
  --compression 0..9      PNG and TIFF compression: 0 none, 9 smallest
                          (default: a fast level close to the smallest)
  --preset NAME|INDEX     filter preset (default: the stored default preset);
                          auto chooses each file's settings from its own
                          noise (the profile command shows the choice), or
                          saves a file whose noise is too weak unfiltered
  --settings v0,...,v15   all sixteen filter settings in their stored order
  --set NAME=VALUE        one filter setting, applied after the preset or
                          --settings: degree, lumaLevel, colorLevel,
                          freqLevel0..3, sharpening, crFactor, cbFactor,
                          lumaSuppression, colorSuppression, freqSuppression0..3
  --profile-in FILE.json  filter with this noise profile as it stands
  --profile-out FILE.json save the profile that was used
  --threads N             filter threads (default 0: one per core)
  --in-place              allow a result to replace its own source file
  --no-learn              add nothing to the learned profiles in this run
                          (self-learning is on unless the options turn it off)
  --dry-run               print each file's result path and profile; write
                          nothing
  -q, --quiet             no progress output

Options of profile, presets and profiles list|show:
  --json                  print JSON instead of a table

Other:
  -h, --help              this text
  --version               the program's version

Exit status: 0 when every file was written, 1 when any failed, 2 for a
usage error.
)");
}

} // namespace calmora
