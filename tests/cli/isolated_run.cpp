#include "isolated_run.h"

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

namespace calmora::test {

std::string ProgramRun::text() const
{
    return "exit " + std::to_string(exitCode) + "\nstdout: " + out.toStdString()
        + "\nstderr: " + err.toStdString();
}

ProgramRun runIsolated(const QString& program, const QStringList& arguments, const QString& home,
    const QString& workingFolder, int timeoutMs)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", home);
    environment.insert("XDG_CONFIG_HOME", QDir(home).filePath(QStringLiteral("config")));
    environment.insert("XDG_DATA_HOME", QDir(home).filePath(QStringLiteral("data")));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingFolder);
    process.start(program, arguments);
    ProgramRun result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        ADD_FAILURE() << program.toStdString() << " " << arguments.join(' ').toStdString()
                      << " did not finish";
        return result;
    }
    if (process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

} // namespace calmora::test
