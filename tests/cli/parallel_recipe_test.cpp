// The "Large batches" recipes of the README, run for real: GNU parallel with
// two job slots, one calmora-cli process per file, writes what one
// `calmora-cli denoise` batch writes, and a damaged file fails alone (skipped
// where GNU parallel is not installed); and one list split into shards, one
// of them cut short and finished by a rerun, writes what one run writes.

#include <QDir>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "isolated_run.h"
#include "noisy_picture.h"
#include "test_files.h"

namespace calmora {
namespace {

using Ran = test::ProgramRun;

class ParallelRecipe : public ::testing::Test {
protected:
    void SetUp() override
    {
        QProcess probe;
        probe.start(QStringLiteral("parallel"), { QStringLiteral("--version") });
        if (!probe.waitForFinished(30000) || probe.exitCode() != 0
            || !probe.readAllStandardOutput().contains("GNU parallel"))
            GTEST_SKIP() << "GNU parallel is not installed (Debian package \"parallel\")";
        for (const char* folder : { "config", "data", "in" })
            ASSERT_TRUE(QDir(home.path()).mkpath(QLatin1String(folder)));
        for (unsigned i = 0; i < 5; ++i) {
            const QString path
                = home.filePath(QStringLiteral("in/shot%1.%2").arg(i).arg(i % 2 ? "jpg" : "png"));
            ASSERT_TRUE(noisyPicture(360, 250, i + 1).save(path));
            sources << path;
        }
        // Cut short in its image data: refused with a reason, nothing written.
        const QByteArray whole = test::readBytes(sources[1]);
        damaged = home.filePath(QStringLiteral("in/damaged.jpg"));
        ASSERT_TRUE(test::writeBytes(damaged, whole.left(whole.size() / 3)));
        sources.insert(2, damaged);
    }

    Ran run(const QString& program, const QStringList& arguments)
    {
        return test::runIsolated(program, arguments, home.path(), home.path(), 300000);
    }

    QTemporaryDir home;
    QStringList sources;
    QString damaged;
};

TEST_F(ParallelRecipe, TwoSlotsWriteWhatOneBatchWritesAndAFailureStopsNoOther)
{
    const QString cli = QStringLiteral(CALMORA_CLI_PATH);
    const QString profile = home.filePath(QStringLiteral("series.json"));
    struct Row {
        const char* name;
        QStringList options;
    };
    const Row rows[] = {
        { "each file its own profile", {} },
        { "one profile for the series", { QStringLiteral("--profile-in"), profile } },
    };
    // The series' profile, measured once on its first shot.
    const Ran measured = run(cli,
        { "denoise", "--quiet", "--profile-out", profile, "-o", home.filePath("reference.png"),
            sources[0] });
    ASSERT_EQ(measured.exitCode, 0) << measured.err.toStdString();

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString tag = QString::fromLatin1(row.name).section(' ', 0, 0);
        const QString single = home.filePath("single-" + tag);
        // Not made beforehand: both job slots may create it at once.
        const QString spread = home.filePath("parallel-" + tag);
        const QStringList common = QStringList { "--quiet", "--format", "png" } + row.options;

        const Ran batch
            = run(cli, QStringList { "denoise", "--dest-dir", single } + common + sources);
        EXPECT_EQ(batch.exitCode, 1) << "one file failed: " << batch.err.toStdString();

        const QString log = home.filePath("jobs-" + tag + ".log");
        const Ran parallel = run(QStringLiteral("parallel"),
            QStringList {
                "--will-cite", "-j2", "--joblog", log, cli, "denoise", "--dest-dir", spread }
                + common + QStringList { "{}", ":::" } + sources);
        // GNU parallel's exit status counts the failed jobs.
        EXPECT_EQ(parallel.exitCode, 1) << parallel.err.toStdString();
        EXPECT_TRUE(parallel.err.contains(QStringLiteral("damaged.jpg")))
            << "the failure is named: " << parallel.err.toStdString();
        const QStringList jobs
            = QString::fromLocal8Bit(test::readBytes(log)).split('\n', Qt::SkipEmptyParts).mid(1);
        EXPECT_EQ(jobs.size(), sources.size()) << "every file had its job";

        const QStringList written = test::listing(single);
        ASSERT_EQ(written.size(), sources.size() - 1);
        EXPECT_EQ(test::listing(spread), written);
        for (const QString& name : written) {
            SCOPED_TRACE(name.toStdString());
            const QImage one(single + '/' + name);
            const QImage two(spread + '/' + name);
            ASSERT_FALSE(one.isNull());
            ASSERT_EQ(one.size(), two.size());
            EXPECT_TRUE(one.convertToFormat(QImage::Format_ARGB32)
                == two.convertToFormat(QImage::Format_ARGB32));
        }
    }
}

// What the written lines of JSON Lines reports say, by source: a source
// written twice shows up twice.
QStringList writtenSources(const QStringList& reports)
{
    QStringList sources;
    for (const QString& report : reports) {
        for (const QByteArray& line : test::readBytes(report).split('\n')) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            if (record.value("status").toString() == "written")
                sources << record.value("source").toString();
        }
    }
    sources.sort();
    return sources;
}

TEST(ShardedList, FourShardsAndARerunWriteWhatOneRunWrites)
{
    QTemporaryDir home;
    for (const char* folder : { "config", "data", "in" })
        ASSERT_TRUE(QDir(home.path()).mkpath(QLatin1String(folder)));
    QStringList sources;
    QByteArray lines; // as a Windows editor leaves them, with a blank line
    QByteArray nulEnded; // as find -print0 writes them
    for (unsigned i = 0; i < 40; ++i) {
        const QString name = QStringLiteral("in/p%1.%2")
                                 .arg(i, 2, 10, QLatin1Char('0'))
                                 .arg(i % 3 ? "jpg" : "png");
        ASSERT_TRUE(noisyPicture(40, 28, i + 1).save(home.filePath(name)));
        sources << name;
        lines += name.toUtf8() + (i == 20 ? "\r\n\n" : "\r\n");
        nulEnded += name.toUtf8() + '\0';
    }
    ASSERT_TRUE(test::writeBytes(home.filePath("list.txt"), lines));
    ASSERT_TRUE(test::writeBytes(home.filePath("list0"), nulEnded));
    const auto run = [&](const QStringList& arguments) {
        return test::runIsolated(QStringLiteral(CALMORA_CLI_PATH),
            QStringList { "denoise", "--quiet", "--format", "png" } + arguments, home.path(),
            home.path());
    };

    const Ran whole = run({ "--dest-dir", "whole", "--files-from", "list0", "--null" });
    ASSERT_EQ(whole.exitCode, 0) << whole.text();
    for (int shard = 0; shard < 4; ++shard) {
        const Ran part = run({ "--dest-dir", "sharded", "--files-from", "list.txt", "--shard",
            QStringLiteral("%1/4").arg(shard), "--report",
            QStringLiteral("shard%1.jsonl").arg(shard) });
        ASSERT_EQ(part.exitCode, 0) << part.text();
    }
    // Shard 2 as a killed run leaves it: its last results never reached
    // their names, and its report stops after the files it finished.
    const QList<QByteArray> reported = test::readBytes(home.filePath("shard2.jsonl")).split('\n');
    ASSERT_EQ(reported.size(), 11) << "ten lines and the empty rest";
    for (int i = 6; i < 10; ++i) {
        const QJsonObject record = QJsonDocument::fromJson(reported[i]).object();
        ASSERT_TRUE(QFile::remove(home.filePath(record.value("output").toString())));
    }
    ASSERT_TRUE(
        test::writeBytes(home.filePath("shard2.jsonl"), reported.mid(0, 6).join('\n') + '\n'));
    const Ran rerun = run({ "--dest-dir", "sharded", "--files-from", "list.txt", "--shard", "2/4",
        "--skip-existing", "--report", "rerun.jsonl" });
    ASSERT_EQ(rerun.exitCode, 0) << rerun.text();
    const QByteArray rerunReport = test::readBytes(home.filePath("rerun.jsonl"));
    EXPECT_EQ(rerunReport.count("\"status\":\"skipped\""), 6) << rerunReport.toStdString();
    EXPECT_EQ(rerunReport.count("\"status\":\"written\""), 4) << rerunReport.toStdString();

    const QStringList written = test::listing(home.filePath("whole"));
    ASSERT_EQ(written.size(), 40);
    EXPECT_EQ(test::listing(home.filePath("sharded")), written);
    for (const QString& name : written)
        EXPECT_EQ(test::readBytes(home.filePath("sharded/" + name)),
            test::readBytes(home.filePath("whole/" + name)))
            << name.toStdString();
    QStringList reports { home.filePath("rerun.jsonl") };
    for (int shard = 0; shard < 4; ++shard)
        reports << home.filePath(QStringLiteral("shard%1.jsonl").arg(shard));
    sources.sort();
    EXPECT_EQ(writtenSources(reports), sources) << "each file written once, by one shard";
}

} // namespace
} // namespace calmora
