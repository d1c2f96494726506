#include <gtest/gtest.h>

#include "cli/cli_args.h"

namespace calmora {
namespace {

QStringList words(const char* line)
{
    return QString::fromUtf8(line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

TEST(ParseArguments, UsageErrorsSayWhatWasWrong)
{
    struct Row {
        const char* name;
        const char* line;
        const char* said; // a part of the message that locates the fault
    };
    const Row rows[] = {
        { "no command", "", "no command" },
        { "unknown command", "denoize a.jpg", "denoize" },
        { "unknown option", "denoise --strength 3 a.jpg", "--strength" },
        { "an option of another command", "profile --suffix x a.jpg", "--suffix" },
        { "--json is not for denoise", "denoise --json a.jpg", "--json" },
        { "no file", "denoise --quality 80", "no image file" },
        { "-o with two inputs", "denoise -o out.jpg a.jpg b.jpg", "-o" },
        { "-o with --dest-dir", "denoise -o out.jpg --dest-dir d a.jpg", "--dest-dir" },
        { "--dest-dir with --dest-subdir", "denoise --dest-dir d --dest-subdir s a.jpg",
            "--dest-subdir" },
        { "--dest-subdir is one folder name", "denoise --dest-subdir a/b a.jpg", "a/b" },
        { "quality above 100", "denoise --quality 101 a.jpg", "101" },
        { "quality not a number", "denoise --quality=high a.jpg", "high" },
        { "negative thread count", "denoise --threads -1 a.jpg", "-1" },
        { "format gif", "denoise --format gif a.jpg", "gif" },
        { "--profile-out with two inputs", "denoise --profile-out p.json a.jpg b.jpg",
            "--profile-out" },
        { "--profile-in with --profile-out",
            "denoise --profile-in p.json --profile-out q.json a.jpg", "--profile-in" },
        { "option missing its value", "denoise a.jpg --suffix", "--suffix needs a value" },
        { "profile of two files", "profile a.jpg b.jpg", "one image file" },
        { "depth not 8 or 16", "denoise --depth 12 a.tif", "--depth takes auto, 8 or 16" },
        { "compression above 9", "denoise --compression 10 a.tif", "from 0 to 9" },
        { "16 bits into the default JPEG", "denoise --depth 16 a.tif", "JPEG holds 8 bits" },
        { "16 bits into a named JPEG", "denoise --depth 16 -o r.jpg a.tif", "JPEG holds 8 bits" },
        { "16 bits into WebP", "denoise --depth 16 --format webp a.tif", "WebP holds 8 bits" },
        { "16 bits into AVIF", "denoise --depth 16 --format avif a.tif", "AVIF holds 8 bits" },
        { "formats takes no file", "formats a.jpg", "formats takes no file" },
        { "--no-learn is for denoise", "profile --no-learn a.jpg", "--no-learn" },
        { "profiles without an action", "profiles", "needs an action" },
        { "unknown profiles action", "profiles forget k", "forget" },
        { "show without a key", "profiles show", "profiles show KEY" },
        { "--all is for delete", "profiles list --all", "profiles list" },
        { "a key beside --all", "profiles delete k --all", "profiles delete KEY|--all" },
        { "--json is for list and show", "profiles import --json k.json", "--json" },
        { "no shards", "denoise --shard 0/0 a.jpg", "--shard 0/0" },
        { "shard beyond the count", "denoise --shard 4/4 a.jpg", "counts from 0 to N-1" },
        { "shard without a count", "denoise --shard 2 a.jpg", "takes I/N" },
        { "--null without a list", "denoise --null a.jpg", "--files-from" },
        { "-o with a list", "denoise -o r.jpg --files-from l.txt", "--files-from list" },
        { "--report with --dry-run", "denoise --dry-run --report r.jsonl a.jpg", "--report" },
        { "--report is for denoise", "profile --report r.jsonl a.jpg", "--report" },
        { "a flag given a value", "denoise --skip-existing=yes a.jpg", "takes no value" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CliArguments parsed;
        QString error;
        EXPECT_FALSE(parseArguments(words(row.line), parsed, &error));
        EXPECT_TRUE(error.contains(QLatin1String(row.said))) << error.toStdString();
    }
}

TEST(ParseArguments, TheOutputsExtensionAgreesWithAnExplicitFormat)
{
    const char* const lines[] = {
        "denoise -o x.JPEG --format jpg a.png",
        "denoise -o x.jpe a.png",
        "denoise -o x.tiff --format tif a.png",
        "denoise -o x.png --format auto a.jpg",
        "denoise -o x.png a.jpg",
        "denoise -o x.webp --format webp a.png",
        "denoise -o x.HEIF --format heic --depth 16 a.png",
        "denoise -o x.jxl --format jxl --depth 16 a.png",
    };
    for (const char* line : lines) {
        SCOPED_TRACE(line);
        CliArguments parsed;
        QString error;
        EXPECT_TRUE(parseArguments(words(line), parsed, &error)) << error.toStdString();
    }
    CliArguments parsed;
    QString error;
    ASSERT_TRUE(parseArguments(words("denoise a.jpg"), parsed, &error));
    EXPECT_FALSE(parsed.formatGiven) << "a format not given is told apart from --format jpg";
}

TEST(ParseArguments, GoodForms)
{
    CliArguments parsed;
    QString error;
    ASSERT_TRUE(parseArguments(
        words("denoise --quality=80 --set sharpening=2 -q --format PNG --set lumaLevel=-3 "
              "--suffix= a.jpg -- -odd.jpg --in-place"),
        parsed, &error))
        << error.toStdString();
    EXPECT_EQ(parsed.command, CliCommand::Denoise);
    EXPECT_EQ(parsed.quality, 80);
    EXPECT_EQ(parsed.assignments, (QStringList { "sharpening=2", "lumaLevel=-3" }))
        << "kept in order";
    EXPECT_EQ(parsed.format, QStringLiteral("png"));
    EXPECT_TRUE(parsed.suffix.isEmpty()) << "--suffix= gives an empty suffix";
    EXPECT_TRUE(parsed.quiet);
    EXPECT_FALSE(parsed.inPlace) << "after -- everything is a file";
    EXPECT_EQ(parsed.files, (QStringList { "a.jpg", "-odd.jpg", "--in-place" }));

    ASSERT_TRUE(parseArguments(
        words("denoise --dest-subdir clean --threads 4 a.jpg b.jpg"), parsed, &error));
    EXPECT_EQ(parsed.destSubdir, QStringLiteral("clean"));
    EXPECT_EQ(parsed.threads, 4);
    EXPECT_EQ(parsed.suffix, QStringLiteral("_filtered"))
        << "an earlier parse leaves nothing behind";
    EXPECT_FALSE(parsed.quality.has_value());

    ASSERT_TRUE(parseArguments(words("presets --json"), parsed, &error));
    EXPECT_EQ(parsed.command, CliCommand::Presets);
    EXPECT_TRUE(parsed.json);
    ASSERT_TRUE(parseArguments(words("denoise --no-learn --dry-run a.jpg"), parsed, &error));
    EXPECT_TRUE(parsed.noLearn && parsed.dryRun);
    ASSERT_TRUE(parseArguments(words("profiles delete --all"), parsed, &error));
    EXPECT_EQ(parsed.command, CliCommand::Profiles);
    EXPECT_EQ(parsed.profilesAction, ProfilesAction::Delete);
    EXPECT_TRUE(parsed.allProfiles && parsed.files.isEmpty());
    ASSERT_TRUE(parseArguments(words("profiles export k out.json"), parsed, &error));
    EXPECT_EQ(parsed.files, (QStringList { "k", "out.json" }));
    ASSERT_TRUE(parseArguments(
        words("denoise --files-from - --null --shard 3/8 --skip-existing --report=r.jsonl"), parsed,
        &error))
        << error.toStdString();
    EXPECT_TRUE(parsed.files.isEmpty() && parsed.nullSeparated && parsed.skipExisting);
    EXPECT_EQ(parsed.filesFrom, QStringLiteral("-")) << "standard input, not a file";
    EXPECT_EQ(parsed.shardIndex * 10 + parsed.shardCount, 38);
    EXPECT_EQ(parsed.reportPath, QStringLiteral("r.jsonl"));
    ASSERT_TRUE(parseArguments(words("denoise a.jpg --help"), parsed, &error));
    EXPECT_EQ(parsed.command, CliCommand::Help);
}

} // namespace
} // namespace calmora
