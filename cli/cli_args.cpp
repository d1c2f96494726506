#include "cli/cli_args.h"

#include "document/file_formats.h"

#include <QFileInfo>
#include <QHash>

namespace calmora {

namespace {

constexpr int kMaxThreads = 256;

constexpr unsigned kDenoise = cliCommandBit(CliCommand::Denoise);
// Profile, presets and profiles print; their output can be JSON.
constexpr unsigned kPrinting = cliCommandBit(CliCommand::Profile)
    | cliCommandBit(CliCommand::Presets) | cliCommandBit(CliCommand::Profiles);

bool parseInt(
    const QString& text, int minimum, int maximum, const char* option, int* value, QString* error)
{
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number < minimum || number > maximum) {
        *error = QStringLiteral("%1 takes a whole number from %2 to %3, not \"%4\"")
                     .arg(QLatin1String(option))
                     .arg(minimum)
                     .arg(maximum)
                     .arg(text);
        return false;
    }
    *value = number;
    return true;
}

QStringList unlessEmpty(const QString& value)
{
    return value.isEmpty() ? QStringList() : QStringList { value };
}

QStringList ifSet(bool set)
{
    return set ? QStringList { QString() } : QStringList();
}

template <QString CliArguments::*member>
constexpr auto kText = +[](CliArguments& parsed, const QString& value, QString*) {
    parsed.*member = value;
    return true;
};
template <QString CliArguments::*member>
constexpr auto kGivenText = +[](const CliArguments& parsed) { return unlessEmpty(parsed.*member); };
template <bool CliArguments::*member>
constexpr auto kFlag = +[](CliArguments& parsed, const QString&, QString*) {
    parsed.*member = true;
    return true;
};
template <bool CliArguments::*member>
constexpr auto kGivenFlag = +[](const CliArguments& parsed) { return ifSet(parsed.*member); };

bool applyDestSubdir(CliArguments& parsed, const QString& value, QString* error)
{
    if (value.trimmed().isEmpty() || value.contains(QLatin1Char('/'))
        || value == QLatin1String("..") || value == QLatin1String(".")) {
        *error
            = QStringLiteral("--dest-subdir takes the name of one folder, not \"%1\"").arg(value);
        return false;
    }
    parsed.destSubdir = value;
    return true;
}

bool applySuffix(CliArguments& parsed, const QString& value, QString* error)
{
    if (value.contains(QLatin1Char('/'))) {
        *error = QStringLiteral("--suffix cannot contain \"/\"");
        return false;
    }
    parsed.suffix = value;
    return true;
}

bool applyFormat(CliArguments& parsed, const QString& value, QString* error)
{
    const QString format = value.toLower();
    // An empty value names no format, though no extension's format is empty
    // either.
    if (format != QLatin1String("auto") && (format.isEmpty() || formatOfExtension(format) != format)) {
        *error = QStringLiteral("--format takes %1 or auto, not \"%2\"")
                     .arg(formatOptions().join(QStringLiteral(", ")), value);
        return false;
    }
    parsed.format = format;
    parsed.formatGiven = true;
    return true;
}

bool applyQuality(CliArguments& parsed, const QString& value, QString* error)
{
    int quality = 0;
    if (!parseInt(value, 0, 100, "--quality", &quality, error))
        return false;
    parsed.quality = quality;
    return true;
}

bool applyDepth(CliArguments& parsed, const QString& value, QString* error)
{
    if (value == QLatin1String("auto")) {
        parsed.depth = 0;
    } else if (value == QLatin1String("8") || value == QLatin1String("16")) {
        parsed.depth = value.toInt();
    } else {
        *error = QStringLiteral("--depth takes auto, 8 or 16, not \"%1\"").arg(value);
        return false;
    }
    return true;
}

// I/N: the same list split the same way on every machine, so N processes
// share it with no coordinator.
bool applyShard(CliArguments& parsed, const QString& value, QString* error)
{
    const QStringList parts = value.split(QLatin1Char('/'));
    bool indexOk = false;
    bool countOk = false;
    const int index = parts.size() == 2 ? parts[0].toInt(&indexOk) : 0;
    const int count = parts.size() == 2 ? parts[1].toInt(&countOk) : 0;
    if (!indexOk || !countOk) {
        *error = QStringLiteral("--shard takes I/N, two whole numbers such as 0/4, not \"%1\"")
                     .arg(value);
        return false;
    }
    if (count < 1 || index < 0 || index >= count) {
        *error = QStringLiteral("--shard %1: the shard I counts from 0 to N-1 and N is at least "
                                "1")
                     .arg(value);
        return false;
    }
    parsed.shardIndex = index;
    parsed.shardCount = count;
    return true;
}

const std::vector<CliOption> kOptions = {
    { "--output", "-o", "PATH", kDenoise,
        "where to write the result (one input only); its\nextension decides the format (see "
        "formats)",
        kText<&CliArguments::output>, kGivenText<&CliArguments::output> },
    { "--dest-dir", nullptr, "DIR", kDenoise, "write every result into DIR (created if missing)",
        kText<&CliArguments::destDir>, kGivenText<&CliArguments::destDir> },
    { "--dest-subdir", nullptr, "NAME", kDenoise,
        "write each result into NAME below its source's folder", applyDestSubdir,
        kGivenText<&CliArguments::destSubdir> },
    { "--suffix", nullptr, "S", kDenoise, "appended to each result's name (default \"_filtered\")",
        applySuffix,
        [](const CliArguments& parsed) {
            return parsed.suffix == CliArguments().suffix ? QStringList()
                                                          : QStringList { parsed.suffix };
        } },
    { "--format", nullptr, "F", kDenoise,
        "jpg, png, tif, webp, heic, avif, jxl (those this\nbuild writes, see formats), or "
        "auto (the source's type\nif it is written, else JPEG); default jpg",
        applyFormat,
        [](const CliArguments& parsed) {
            return parsed.formatGiven ? QStringList { parsed.format } : QStringList();
        } },
    { "--quality", nullptr, "Q", kDenoise, 
        "JPEG, WebP, HEIC, AVIF and JPEG XL quality 0..100\n(default: the stored option, 90); WebP "
        "and JPEG XL\nat 100 are lossless",
        applyQuality,
        [](const CliArguments& parsed) {
            return parsed.quality ? QStringList { QString::number(*parsed.quality) }
                                  : QStringList();
        } },
    { "--depth", nullptr, "auto|8|16", kDenoise,
        "bits per channel of PNG, TIFF and JPEG XL results:\nauto keeps the source's (default), "
        "16 also widens\n8-bit sources and filters them at 16 bits; JPEG\nis always 8",
        applyDepth,
        [](const CliArguments& parsed) {
            return parsed.depth == 0 ? QStringList()
                                     : QStringList { QString::number(parsed.depth) };
        } },
    { "--compression", nullptr, "0..9", kDenoise,
        "PNG and TIFF compression: 0 none, 9 smallest\n(default: a fast level close to the "
        "smallest)",
        [](CliArguments& parsed, const QString& value, QString* error) {
            return parseInt(value, 0, 9, "--compression", &parsed.compression, error);
        },
        [](const CliArguments& parsed) {
            return parsed.compression < 0 ? QStringList()
                                          : QStringList { QString::number(parsed.compression) };
        } },
    { "--preset", nullptr, "NAME|INDEX", kDenoise,
        "filter preset (default: the stored default preset);\nauto chooses each file's settings "
        "from its own\nnoise (the profile command shows the choice), or\nsaves a file whose noise "
        "is too weak unfiltered",
        [](CliArguments& parsed, const QString& value, QString*) {
            parsed.preset = value;
            return true;
        },
        [](const CliArguments& parsed) {
            return parsed.preset ? QStringList { *parsed.preset } : QStringList();
        } },
    { "--settings", nullptr, "v0,...,v15", kDenoise,
        "all sixteen filter settings in their stored order",
        [](CliArguments& parsed, const QString& value, QString*) {
            parsed.settings = value;
            return true;
        },
        [](const CliArguments& parsed) {
            return parsed.settings ? QStringList { *parsed.settings } : QStringList();
        } },
    { "--set", nullptr, "NAME=VALUE", kDenoise,
        "one filter setting, applied after the preset or\n--settings: degree, lumaLevel, "
        "colorLevel,\nfreqLevel0..3, sharpening, crFactor, cbFactor,\nlumaSuppression, "
        "colorSuppression, freqSuppression0..3",
        [](CliArguments& parsed, const QString& value, QString*) {
            parsed.assignments.append(value);
            return true;
        },
        [](const CliArguments& parsed) { return parsed.assignments; } },
    { "--profile-in", nullptr, "FILE.json", kDenoise, "filter with this noise profile as it stands",
        kText<&CliArguments::profileIn>, kGivenText<&CliArguments::profileIn> },
    { "--profile-out", nullptr, "FILE.json", kDenoise, "save the profile that was used",
        kText<&CliArguments::profileOut>, kGivenText<&CliArguments::profileOut> },
    { "--threads", nullptr, "N", kDenoise, "filter threads (default 0: one per core)",
        [](CliArguments& parsed, const QString& value, QString* error) {
            return parseInt(value, 0, kMaxThreads, "--threads", &parsed.threads, error);
        },
        [](const CliArguments& parsed) {
            return parsed.threads == 0 ? QStringList()
                                       : QStringList { QString::number(parsed.threads) };
        } },
    { "--in-place", nullptr, nullptr, kDenoise, "allow a result to replace its own source file",
        kFlag<&CliArguments::inPlace>, kGivenFlag<&CliArguments::inPlace> },
    { "--no-learn", nullptr, nullptr, kDenoise,
        "add nothing to the learned profiles in this run\n(self-learning is on unless the "
        "options turn it off)",
        kFlag<&CliArguments::noLearn>, kGivenFlag<&CliArguments::noLearn> },
    { "--dry-run", nullptr, nullptr, kDenoise,
        "print each file's result path and profile; write\nnothing", kFlag<&CliArguments::dryRun>,
        kGivenFlag<&CliArguments::dryRun> },
    { "--files-from", nullptr, "FILE", kDenoise,
        "also denoise the files FILE names, one path per\nline (- reads standard input)",
        kText<&CliArguments::filesFrom>, kGivenText<&CliArguments::filesFrom> },
    { "--null", nullptr, nullptr, kDenoise,
        "the --files-from list ends each path with a NUL\nbyte, as find -print0 writes",
        kFlag<&CliArguments::nullSeparated>, kGivenFlag<&CliArguments::nullSeparated> },
    { "--skip-existing", nullptr, nullptr, kDenoise,
        "leave a file whose result exists, and count it:\nresults are renamed into place only "
        "once written\nwhole, so one that exists is complete",
        kFlag<&CliArguments::skipExisting>, kGivenFlag<&CliArguments::skipExisting> },
    { "--shard", nullptr, "I/N", kDenoise,
        "denoise only the files whose place in the list\n(counted from 0) modulo N is I; N "
        "processes with\nI = 0..N-1 share one list",
        applyShard,
        [](const CliArguments& parsed) {
            return parsed.shardCount == 1
                ? QStringList()
                : QStringList {
                      QStringLiteral("%1/%2").arg(parsed.shardIndex).arg(parsed.shardCount)
                  };
        } },
    { "--report", nullptr, "FILE.jsonl", kDenoise,
        "write one JSON object per file as it ends: source,\noutput, status, reason, bytes, "
        "megapixels,\nmilliseconds per stage, settings and noise",
        kText<&CliArguments::reportPath>, kGivenText<&CliArguments::reportPath> },
    { "--quiet", "-q", nullptr, kDenoise, "no progress output", kFlag<&CliArguments::quiet>,
        kGivenFlag<&CliArguments::quiet> },
    { "--json", nullptr, nullptr, kPrinting, "print JSON instead of a table",
        kFlag<&CliArguments::json>, kGivenFlag<&CliArguments::json> },
    { "--all", nullptr, nullptr, cliCommandBit(CliCommand::Profiles),
        "with profiles delete: every learned profile", kFlag<&CliArguments::allProfiles>,
        kGivenFlag<&CliArguments::allProfiles> },
};

const CliOption* findOption(const QString& name)
{
    for (const CliOption& option : kOptions) {
        if (name == QLatin1String(option.name)
            || (option.shortName != nullptr && name == QLatin1String(option.shortName)))
            return &option;
    }
    return nullptr;
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
    if (parsed.depth == 16 && written != nullptr && !writesHighDepth(*written)) {
        QStringList names;
        QStringList options;
        for (const FileFormat& deep : fileFormats()) {
            if (writesHighDepth(deep)) {
                names << deep.name;
                options << formatOption(deep);
            }
        }
        const QString last = names.takeLast();
        const QString kinds = names.isEmpty()
            ? last
            : names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
        *error = QStringLiteral("--depth 16 needs %1 results (--format %2 or auto, or -o with "
                                "such an extension); %3 holds 8 bits per channel")
                     .arg(kinds, options.join(QStringLiteral(", ")), written->name);
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

bool checkDenoise(const CliArguments& parsed, QString* error);

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
    if (parsed.files.isEmpty() && parsed.filesFrom.isEmpty()) {
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
    return checkDenoise(parsed, error);
}

bool checkDenoise(const CliArguments& parsed, QString* error)
{
    if (parsed.nullSeparated && parsed.filesFrom.isEmpty()) {
        *error = QStringLiteral("--null describes the --files-from list; give one");
        return false;
    }
    // A list's length is known only once it is read.
    if (!parsed.filesFrom.isEmpty() && (!parsed.output.isEmpty() || !parsed.profileOut.isEmpty())) {
        *error = QStringLiteral("-o/--output and --profile-out take one input file, not a "
                                "--files-from list");
        return false;
    }
    if (parsed.dryRun && !parsed.reportPath.isEmpty()) {
        *error = QStringLiteral("--dry-run writes nothing, --report neither");
        return false;
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

namespace {

// The command a first argument names; Help for the help's own spellings.
std::optional<CliCommand> commandNamed(const QString& word)
{
    static const QHash<QString, CliCommand> commands {
        { QStringLiteral("--help"), CliCommand::Help },
        { QStringLiteral("-h"), CliCommand::Help },
        { QStringLiteral("help"), CliCommand::Help },
        { QStringLiteral("--version"), CliCommand::Version },
        { QStringLiteral("denoise"), CliCommand::Denoise },
        { QStringLiteral("profile"), CliCommand::Profile },
        { QStringLiteral("presets"), CliCommand::Presets },
        { QStringLiteral("info"), CliCommand::Info },
        { QStringLiteral("profiles"), CliCommand::Profiles },
        { QStringLiteral("formats"), CliCommand::Formats },
    };
    const auto found = commands.find(word);
    return found == commands.end() ? std::nullopt : std::optional(found.value());
}

enum class Step { Next, Help, Failed };

// One option at arguments[i]; moves i past a value taken from the next
// argument.
Step applyOption(const QStringList& arguments, qsizetype& i, CliArguments& parsed, QString* error)
{
    const QString& argument = arguments[i];
    if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
        return Step::Help;
    QString name = argument;
    std::optional<QString> value;
    const qsizetype equals = argument.indexOf(QLatin1Char('='));
    if (argument.startsWith(QLatin1String("--")) && equals > 0) {
        name = argument.left(equals);
        value = argument.mid(equals + 1);
    }
    const CliOption* option = findOption(name);
    if (option == nullptr || (option->commands & cliCommandBit(parsed.command)) == 0) {
        *error = QStringLiteral("unknown option \"%1\" for %2").arg(name, arguments.first());
        return Step::Failed;
    }
    if (option->valueName == nullptr) {
        if (value) {
            *error = QStringLiteral("%1 takes no value").arg(name);
            return Step::Failed;
        }
        value = QString();
    } else if (!value) {
        if (i + 1 >= arguments.size()) {
            *error = QStringLiteral("%1 needs a value").arg(name);
            return Step::Failed;
        }
        value = arguments[++i];
    }
    return option->apply(parsed, *value, error) ? Step::Next : Step::Failed;
}

} // namespace

const std::vector<CliOption>& cliOptions()
{
    return kOptions;
}

QStringList optionArguments(const CliArguments& parsed)
{
    QStringList arguments;
    for (const CliOption& option : kOptions) {
        for (const QString& value : option.given(parsed))
            arguments << (option.valueName == nullptr
                    ? QLatin1String(option.name)
                    : QLatin1String(option.name) + QLatin1Char('=') + value);
    }
    return arguments;
}

bool parseArguments(const QStringList& arguments, CliArguments& parsed, QString* error)
{
    parsed = CliArguments();
    if (arguments.isEmpty()) {
        *error = QStringLiteral("no command given");
        return false;
    }
    const std::optional<CliCommand> command = commandNamed(arguments.first());
    if (!command) {
        *error = QStringLiteral("unknown command \"%1\"").arg(arguments.first());
        return false;
    }
    parsed.command = *command;
    if (parsed.command == CliCommand::Help)
        return true;
    if (parsed.command == CliCommand::Version) {
        if (arguments.size() == 1)
            return true;
        *error = QStringLiteral("--version takes nothing more, not \"%1\"").arg(arguments[1]);
        return false;
    }
    bool optionsEnded = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (optionsEnded || !argument.startsWith(QLatin1Char('-'))
            || argument == QLatin1String("-")) {
            parsed.files.append(argument);
        } else if (argument == QLatin1String("--")) {
            optionsEnded = true;
        } else {
            switch (applyOption(arguments, i, parsed, error)) {
            case Step::Next:
                break;
            case Step::Help:
                parsed.command = CliCommand::Help;
                return true;
            case Step::Failed:
                return false;
            }
        }
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

namespace {

// "  -o, --output PATH       where to write..." with the description's
// further lines under its first.
QString optionHelp(unsigned commands)
{
    constexpr int kColumn = 26;
    QString text;
    for (const CliOption& option : kOptions) {
        if ((option.commands & commands) == 0)
            continue;
        QString form = QStringLiteral("  ");
        if (option.shortName != nullptr)
            form += QLatin1String(option.shortName) + QStringLiteral(", ");
        form += QLatin1String(option.name);
        if (option.valueName != nullptr)
            form += QLatin1Char(' ') + QLatin1String(option.valueName);
        form = form.leftJustified(kColumn - 1) + QLatin1Char(' ');
        const QStringList lines = QString::fromUtf8(option.help).split(QLatin1Char('\n'));
        text += form + lines.join(QLatin1Char('\n') + QString(kColumn, QLatin1Char(' ')))
            + QLatin1Char('\n');
    }
    return text;
}

} // namespace

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
)") + optionHelp(kDenoise)
        + QStringLiteral(R"(
Options of profile, presets and profiles:
)") + optionHelp(~kDenoise)
        + QStringLiteral(R"(
Other:
  -h, --help              this text
  --version               the program's version

Exit status: 0 when every file was written or skipped, 1 when any failed, 2
for a usage error.
)");
}

} // namespace calmora
