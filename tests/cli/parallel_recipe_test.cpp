// The "Large batches" recipe of the README, run for real: GNU parallel with
// two job slots, one calmora-cli process per file, writes what one
// `calmora-cli denoise` batch writes, and a damaged file fails alone. Skipped
// where GNU parallel is not installed.


#include <QDir>
#include <QImage>
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

        const Ran batch = run(cli, QStringList { "denoise", "--dest-dir", single } + common + sources);
        EXPECT_EQ(batch.exitCode, 1) << "one file failed: " << batch.err.toStdString();

        const QString log = home.filePath("jobs-" + tag + ".log");
        const Ran parallel = run(QStringLiteral("parallel"),
            QStringList { "--will-cite", "-j2", "--joblog", log, cli, "denoise", "--dest-dir",
                spread }
                + common + QStringList { "{}", ":::" } + sources);
        // GNU parallel's exit status counts the failed jobs.
        EXPECT_EQ(parallel.exitCode, 1) << parallel.err.toStdString();
        EXPECT_TRUE(parallel.err.contains(QStringLiteral("damaged.jpg")))
            << "the failure is named: " << parallel.err.toStdString();
        const QStringList jobs = QString::fromLocal8Bit(test::readBytes(log))
                                     .split('\n', Qt::SkipEmptyParts)
                                     .mid(1);
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

} // namespace
} // namespace calmora
