// Runs a program the way a user would, but with a home, configuration and
// data folder of the test's own, so that no test reads or touches the
// user's settings.
#pragma once

#include <QString>
#include <QStringList>

#include <string>

namespace calmora::test {

struct ProgramRun {
    int exitCode = -1; // -1 when the program crashed or did not finish
    QString out;
    QString err;

    std::string text() const;
};

// Runs `program` in `workingFolder` with HOME, XDG_CONFIG_HOME and
// XDG_DATA_HOME under `home` ("config" and "data" there, which the caller
// makes), waiting at most `timeoutMs`; a run that does not end in time is
// killed and reported as a test failure.
ProgramRun runIsolated(const QString& program, const QStringList& arguments, const QString& home,
    const QString& workingFolder, int timeoutMs = 180000);

} // namespace calmora::test
