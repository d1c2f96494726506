// The commands of calmora-cli.
#pragma once

#include <QStringList>

namespace calmora {

// Runs the command line (without the program name) and returns the exit
// status: 0 when everything was done, 1 when anything failed, 2 for a usage
// error.
int runCommandLine(const QStringList& arguments);

} // namespace calmora
