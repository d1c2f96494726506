// calmora-cli under hostile or unlucky conditions, run as a user would run it:
// full disks, pipes for files, signals, colliding names, settings it must not
// rewrite. Each case fails, rather than hangs, if the fault comes back.

#include <chrono>
#include <functional>
#include <thread>

#include <QDir>
#include <QImageWriter>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "noisy_picture.h"
#include "test_files.h"

namespace calmora {
namespace {

using test::listing;
using test::readBytes;

struct Outcome {
    int exitCode = -1; // when it exited
    int signal = 0; // when a signal ended it
    bool hung = false;
    QString out;
    QString err;

    std::string text() const
    {
        return "exit " + std::to_string(exitCode) + ", signal " + std::to_string(signal)
            + (hung ? ", killed after the time limit" : "") + "\nstdout: " + out.toStdString()
            + "\nstderr: " + err.toStdString();
    }
};

// Unmounts what the test mounted, whatever the test's outcome.
struct Mount {
    QString path;
    bool mounted = false;
    Mount(const QString& where, unsigned long flags, const char* options)
        : path(where)
    {
        mounted = ::geteuid() == 0 && QDir().mkpath(where)
            && ::mount("tmpfs", QFile::encodeName(where).constData(), "tmpfs", flags, options) == 0;
    }
    ~Mount()
    {
        if (mounted)
            ::umount2(QFile::encodeName(path).constData(), MNT_DETACH);
    }
};

// Writes until the filesystem holding `folder` refuses another byte.
void fill(const QString& folder)
{
    const int fd = ::open(
        QFile::encodeName(folder + "/filler").constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const char block[512] = {};
    while (::write(fd, block, sizeof block) > 0) { }
    while (::write(fd, block, 1) > 0) { }
    ::close(fd);
}

class Reliability : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDir(home.path()).mkpath("config/Brantovia"));
        ASSERT_TRUE(QDir(home.path()).mkpath("work"));
        work = home.filePath("work");
        jpeg = file("photo.jpg");
        ASSERT_TRUE(QImageWriter(jpeg, "jpeg").write(noisyPicture(64, 48)));
    }

    QString file(const QString& name) const { return work + QLatin1Char('/') + name; }

    // Runs the program in the work folder with a home of its own; `during`
    // is called with its process id while it runs. Killed after `limitMs`.
    Outcome run(const QStringList& arguments, const std::function<void(pid_t)>& during = {},
        int limitMs = 120000)
    {
        std::vector<std::string> words { CALMORA_CLI_PATH };
        for (const QString& argument : arguments)
            words.push_back(argument.toStdString());
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        const QByteArray outPath = QFile::encodeName(home.filePath("stdout"));
        const QByteArray errPath = QFile::encodeName(home.filePath("stderr"));
        // Built before the fork: the child of a threaded process should do
        // no more than open, duplicate and exec.
        std::vector<std::string> variables {
            "HOME=" + home.path().toStdString(),
            "XDG_CONFIG_HOME=" + home.filePath("config").toStdString(),
            "XDG_DATA_HOME=" + home.path().toStdString(),
        };
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string variable = *entry;
            if (!variable.starts_with("HOME=") && !variable.starts_with("XDG_"))
                variables.push_back(variable);
        }
        std::vector<char*> envp;
        for (std::string& variable : variables)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        const QByteArray workPath = QFile::encodeName(work);
        // Nothing of an earlier run may be read as this run's output.
        QFile::remove(home.filePath("stdout"));
        QFile::remove(home.filePath("stderr"));

        const uid_t user = runAs;
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int out = ::open(outPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open(errPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int in = ::open("/dev/null", O_RDONLY);
            if (out < 0 || err < 0 || in < 0 || ::chdir(workPath.constData()) != 0)
                ::_exit(127);
            if (user != 0
                && (::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 || ::setuid(user) != 0))
                ::_exit(126);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        Outcome outcome;
        if (pid < 0) {
            ADD_FAILURE() << "fork failed";
            return outcome;
        }
        if (during)
            during(pid);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                outcome.hung = true;
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (WIFEXITED(status))
            outcome.exitCode = WEXITSTATUS(status);
        else if (WIFSIGNALED(status) && !outcome.hung)
            outcome.signal = WTERMSIG(status);
        outcome.out = QString::fromLocal8Bit(readBytes(home.filePath("stdout")));
        outcome.err = QString::fromLocal8Bit(readBytes(home.filePath("stderr")));
        return outcome;
    }

    QTemporaryDir home;
    QString work;
    QString jpeg;
    uid_t runAs = 0; // another user to run the program as, when root
};

TEST_F(Reliability, AFullDiskLeavesEveryFileAsItWas)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a full filesystem is made with a tmpfs mount, which needs root";
    Mount full(home.filePath("full"), 0, "size=64k");
    if (!full.mounted)
        GTEST_SKIP() << "could not mount a tmpfs: " << std::strerror(errno);
    const QString source = full.path + "/small.jpg";
    ASSERT_TRUE(QFile::copy(jpeg, source));
    const QByteArray before = readBytes(source);
    ASSERT_TRUE(noisyPicture(200, 150).save(file("large.jpg")));

    struct Row {
        const char* name;
        QStringList arguments;
        int64_t freeBytes = 0; // left free: the result is cut short, not refused at once
    };
    const Row rows[] = {
        { "in place", { "--in-place", "--suffix", "", source } },
        { "-o", { "-o", full.path + "/result.jpg", source } },
        { "--profile-out",
            { "-o", file("result.jpg"), "--profile-out", full.path + "/p.json", source } },
        { "nearly full", { "-o", full.path + "/result.png", file("large.jpg") }, 4096 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fill(full.path);
        const QString filler = full.path + "/filler";
        ASSERT_EQ(::truncate(QFile::encodeName(filler).constData(),
                      QFileInfo(filler).size() - row.freeBytes),
            0);
        const Outcome outcome = run(QStringList { "denoise" } + row.arguments);
        EXPECT_EQ(outcome.exitCode, 1) << outcome.text();
        EXPECT_TRUE(outcome.err.contains("No space left on device")) << outcome.text();
        EXPECT_EQ(readBytes(source), before);
        EXPECT_EQ(listing(full.path), (QStringList { "filler", "small.jpg" }))
            << "no empty result and no temporary file";
    }
}

TEST_F(Reliability, APipeOrDeviceIsRefusedNotWaitedFor)
{
    ASSERT_EQ(::mkfifo(QFile::encodeName(file("pipe.jpg")).constData(), 0644), 0);
    const std::pair<QStringList, const char*> rows[] = {
        { { "denoise", "pipe.jpg" }, "pipe.jpg\": it is a pipe" },
        { { "info", "pipe.jpg" }, "pipe.jpg\": it is a pipe" },
        { { "profile", "pipe.jpg" }, "pipe.jpg\": it is a pipe" },
        { { "denoise", "--profile-in", "pipe.jpg", "photo.jpg" }, "pipe.jpg\": it is a pipe" },
        { { "info", "/dev/zero" }, "/dev/zero\": it is a device" },
    };
    for (const auto& [arguments, said] : rows) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        const Outcome outcome = run(arguments, {}, 20000);
        EXPECT_EQ(outcome.exitCode, 1) << outcome.text();
        EXPECT_TRUE(outcome.err.contains(QLatin1String(said))) << outcome.text();
    }
}

// A damaged photo is refused by every command, in the program's own words
// and with nothing written: the decoders would have filled the missing part
// with grey.
TEST_F(Reliability, ADamagedFileIsRefusedNotFilled)
{
    const QByteArray whole = readBytes(jpeg);
    ASSERT_TRUE(test::writeBytes(file("cut.jpg"), whole.left(whole.size() / 2)));
    QByteArray bomb = whole;
    const qsizetype frame = bomb.indexOf(QByteArray("\xff\xc0", 2));
    ASSERT_GT(frame, 0);
    bomb.replace(frame + 5, 4, QByteArray("\x3e\x80\x3e\x80", 4)); // 16000 x 16000
    ASSERT_TRUE(test::writeBytes(file("bomb.jpg"), bomb.left(631)));
    for (const char* name : { "cut.jpg", "bomb.jpg" }) {
        for (const char* command : { "denoise", "profile", "info" }) {
            if (QByteArray(name) == "cut.jpg" && QByteArray(command) == "info")
                continue; // its header is whole; only decoding finds the cut
            SCOPED_TRACE(std::string(command) + " " + name);
            const Outcome outcome = run({ command, name });
            EXPECT_EQ(outcome.exitCode, 1) << outcome.text();
            EXPECT_TRUE(outcome.err.contains("damaged file: ")) << outcome.text();
            EXPECT_FALSE(outcome.err.contains("Corrupt JPEG data")
                && outcome.err.indexOf("Corrupt JPEG data") < outcome.err.indexOf("calmora-cli"))
                << "no raw decoder line before the message: " << outcome.text();
            EXPECT_TRUE(listing(work).filter("_filtered").isEmpty()) << outcome.text();
        }
    }
}

TEST_F(Reliability, AnInterruptedRunEndsAsTheSignalDoes)
{
    const QImage large = noisyPicture(1600, 1200);
    const QStringList sources { "a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg" };
    for (const QString& name : sources)
        ASSERT_TRUE(QImageWriter(file(name), "jpeg").write(large));
    for (const int signal : { SIGINT, SIGTERM }) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        for (const QString& result : listing(work).filter("_filtered"))
            QFile::remove(file(result));
        // Signalled once the first result is reported. The batch overlaps
        // files, so one or two may be complete by then; the file being
        // filtered is not written, and later ones are not started.
        const auto interrupt = [&](pid_t pid) {
            for (int i = 0; i < 6000 && readBytes(home.filePath("stdout")).isEmpty(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ::kill(pid, signal);
        };
        const Outcome outcome
            = run(QStringList { "denoise", "--threads", "1" } + sources, interrupt);
        EXPECT_EQ(outcome.signal, signal) << outcome.text();
        const QStringList written = listing(work).filter("_filtered");
        EXPECT_TRUE(outcome.err.contains(
            QStringLiteral("interrupted; %1 of 5 files written").arg(written.size())))
            << outcome.text();
        EXPECT_GE(written.size(), 1);
        EXPECT_LE(written.size(), 3) << outcome.text();
        for (const QString& result : written) {
            SCOPED_TRACE(result.toStdString());
            EXPECT_EQ(QImage(file(result)).size(), large.size()) << "a whole picture";
            EXPECT_TRUE(result.endsWith(QLatin1String("_filtered.jpg"))) << "no temporary file";
        }
    }
}

TEST_F(Reliability, UsageErrorsWriteNothing)
{
    QFile::link(jpeg, file("link.jpg"));
    struct Row {
        const char* name;
        QStringList arguments;
        const char* said;
    };
    const Row rows[] = {
        { "-o .bmp", { "denoise", "-o", "x.bmp", "photo.jpg" }, ".jpg, .jpeg" },
        { "-o .gif", { "denoise", "-o", "x.gif", "photo.jpg" }, ".gif" },
        { "-o without extension", { "denoise", "-o", "xnoext", "photo.jpg" }, "no extension" },
        { "--format against -o", { "denoise", "-o", "x.png", "--format", "jpg", "photo.jpg" },
            "contradicts" },
        { "profile over the source", { "denoise", "--profile-out", "photo.jpg", "photo.jpg" },
            "source" },
        { "profile over the source through a link",
            { "denoise", "--profile-out", "link.jpg", "photo.jpg" }, "source" },
        { "profile over the result",
            { "denoise", "-o", "r.jpg", "--profile-out", "r.jpg", "photo.jpg" }, "result" },
        { "profile over the result, spelt otherwise",
            { "denoise", "-o", "r.jpg", "--profile-out", file("r.jpg"), "photo.jpg" }, "result" },
        { "profile over the default result",
            { "denoise", "--profile-out", "photo_filtered.jpg", "photo.jpg" }, "result" },
        { "profile over the in-place result",
            { "denoise", "--in-place", "--suffix", "", "--profile-out", "photo.jpg", "photo.jpg" },
            "result" },
        { "blank subfolder", { "denoise", "--dest-subdir", " ", "photo.jpg" }, "--dest-subdir" },
        { "presets with a file", { "presets", "photo.jpg" }, "photo.jpg" },
        { "--version with more", { "--version", "x" }, "\"x\"" },
        { "--summary with --json", { "profile", "--summary", "--json", "photo.jpg" }, "--json" },
        { "report over the source", { "denoise", "--report", "photo.jpg", "photo.jpg" },
            "--report" },
        { "report over the source through a link",
            { "denoise", "--report", "link.jpg", "photo.jpg" }, "--report" },
    };
    const QStringList before = listing(work);
    const QByteArray source = readBytes(jpeg);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome outcome = run(row.arguments);
        EXPECT_EQ(outcome.exitCode, 2) << outcome.text();
        EXPECT_TRUE(outcome.err.contains(QLatin1String(row.said))) << outcome.text();
        EXPECT_EQ(listing(work), before);
        EXPECT_EQ(readBytes(jpeg), source);
    }
}

TEST_F(Reliability, MessagesNameTheRealCause)
{
    ASSERT_TRUE(test::writeBytes(file("huge.json"), QByteArray(2 << 20, ' ') + "{}"));
    // The list is read in blocks of 64 KiB; this name and its line end span two.
    ASSERT_TRUE(test::writeBytes(file("long.txt"), QByteArray(65530, '\n') + "absent.jpg\r\n"));
    // A read-only folder: root ignores permissions, so it gets a read-only
    // filesystem instead.
    QDir().mkpath(file("ro"));
    Mount readOnly(file("ro"), MS_RDONLY, "size=64k");
    ::chmod(QFile::encodeName(file("ro")).constData(), 0555);
    const bool rootWithoutMount = ::geteuid() == 0 && !readOnly.mounted;
    struct Row {
        const char* name;
        QStringList arguments;
        QString said;
    };
    const Row rows[] = {
        { "a profile over the size limit", { "--profile-in", "huge.json", "photo.jpg" },
            "too large" },
        { "a folder that cannot be made", { "--dest-dir", "ro/sub", "photo.jpg" },
            QString::fromLocal8Bit(std::strerror(readOnly.mounted ? EROFS : EACCES)) },
        { "a line break in a name", { "bad\nname.jpg" }, "bad\\nname.jpg" },
        { "an escape in a name", { "bad\033[2Jname.jpg" }, "bad\\x1b[2Jname.jpg" },
        { "a list that is not there", { "--files-from", "missing.txt" }, "\"missing.txt\"" },
        { "a name across the list's blocks", { "--files-from", "long.txt" }, "\"absent.jpg\"" },
        { "a report that cannot be made", { "--report", "ro/r.jsonl", "photo.jpg" },
            QString::fromLocal8Bit(std::strerror(readOnly.mounted ? EROFS : EACCES)) },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (rootWithoutMount && row.arguments.join(' ').contains("ro/"))
            continue;
        const Outcome outcome = run(QStringList { "denoise" } + row.arguments);
        EXPECT_EQ(outcome.exitCode, 1) << outcome.text();
        EXPECT_TRUE(outcome.err.contains(row.said)) << outcome.text();
        EXPECT_EQ(outcome.err.count('\n'), 1) << "one line, no forged ones\n" << outcome.text();
    }
}

TEST_F(Reliability, ANewExtensionIsNotAReplacement)
{
    const QByteArray source = readBytes(jpeg);
    const Outcome outcome = run({ "denoise", "--suffix", "", "--format", "png", "photo.jpg" });
    ASSERT_EQ(outcome.exitCode, 0) << outcome.text();
    EXPECT_TRUE(readBytes(file("photo.png")).startsWith("\x89PNG"));
    EXPECT_EQ(readBytes(jpeg), source);
}

// --in-place lets a source be replaced by its own result, never by another
// file's; what it replaces keeps its owner and mode.
TEST_F(Reliability, InPlaceReplacesItsOwnSourceAlone)
{
    struct Row {
        const char* name;
        QStringList arguments;
        const char* other; // a source another file's result would replace
    };
    const Row rows[] = {
        { "the default suffix names another source", { "--in-place", "b.jpg", "b_filtered.jpg" },
            "b_filtered.jpg" },
        { "a new extension names another source",
            { "--in-place", "--suffix", "", "--format", "png", "x.jpg", "x.png" }, "x.png" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // Sources of different sizes: a result tells whose it is.
        for (const QString& name : row.arguments.filter(QRegularExpression("\\.(jpg|png)$")))
            ASSERT_TRUE(noisyPicture(name == row.other ? 40 : 64, 48).save(file(name)));
        const QByteArray other = readBytes(file(row.other));
        const Outcome outcome = run(QStringList { "denoise" } + row.arguments);
        EXPECT_EQ(outcome.exitCode, 1) << outcome.text();
        EXPECT_TRUE(outcome.err.contains("would replace the source file")
            && outcome.err.contains(QStringLiteral("%1\".").arg(row.other)))
            << outcome.text();
        EXPECT_EQ(QImage(file(row.other)).width(), 40) << "its own result at most";
        if (QByteArray(row.name).contains("suffix")) {
            EXPECT_EQ(readBytes(file(row.other)), other);
        }
    }

    // Its own source: replaced, with the owner and mode it had.
    const QString own = file("own.jpg");
    ASSERT_TRUE(QFile::copy(jpeg, own));
    ASSERT_EQ(::chmod(QFile::encodeName(own).constData(), 0604), 0);
    const uid_t owner = ::geteuid() == 0 ? 65534 : ::geteuid();
    ASSERT_EQ(::chown(QFile::encodeName(own).constData(), owner, static_cast<gid_t>(-1)), 0);
    const QByteArray before = readBytes(own);
    const Outcome outcome = run({ "denoise", "--in-place", "--suffix", "", "own.jpg" });
    ASSERT_EQ(outcome.exitCode, 0) << outcome.text();
    struct stat status { };
    ASSERT_EQ(::stat(QFile::encodeName(own).constData(), &status), 0);
    EXPECT_NE(readBytes(own), before);
    EXPECT_EQ(status.st_mode & 07777, 0604u);
    EXPECT_EQ(status.st_uid, owner);
}

// A folder that may not be searched hides a file, but the file is not
// missing, and the message must not say so.
TEST_F(Reliability, AFileBehindALockedFolderIsNotCalledMissing)
{
    ASSERT_TRUE(QDir(work).mkpath("locked"));
    ASSERT_TRUE(QFile::copy(jpeg, file("locked/photo.jpg")));
    ASSERT_EQ(::chmod(QFile::encodeName(file("locked")).constData(), 0), 0);
    // Root passes through any permission; the program runs as nobody then.
    runAs = ::geteuid() == 0 ? 65534 : 0;
    for (const char* command : { "info", "profile" }) {
        SCOPED_TRACE(command);
        const Outcome outcome = run({ command, "locked/photo.jpg" });
        EXPECT_EQ(outcome.exitCode, 1) << outcome.text();
        EXPECT_TRUE(outcome.err.contains("Permission denied")) << outcome.text();
        EXPECT_FALSE(outcome.err.contains("does not exist")) << outcome.text();
    }
    runAs = 0;
    ::chmod(QFile::encodeName(file("locked")).constData(), 0755);
}

TEST_F(Reliability, ReadingCommandsLeaveTheSettingsFileAlone)
{
    // No "Profile" value, which loading fills in, and a preset too short to
    // be one, which loading skips with a note.
    const QString settings = home.filePath("config/Brantovia/Calmora Community Edition.conf");
    const QByteArray text = "[FilterSettings]\nbroken=@ByteArray(abc)\n\n[Options]\n";
    ASSERT_TRUE(test::writeBytes(settings, text));
    const QStringList rows[] = {
        { "presets" },
        { "info", "photo.jpg" },
        { "profile", "--summary", "photo.jpg" },
        { "denoise", "photo.jpg" },
    };
    for (const QStringList& arguments : rows) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        const Outcome outcome = run(arguments);
        EXPECT_EQ(outcome.exitCode, 0) << outcome.text();
        EXPECT_EQ(readBytes(settings), text);
        EXPECT_EQ(listing(home.filePath("config/Brantovia")),
            QStringList { "Calmora Community Edition.conf" });
        if (arguments.first() != "info") {
            EXPECT_EQ(outcome.err.count("\"broken\""), 1) << outcome.text();
        }
    }
}

} // namespace
} // namespace calmora
