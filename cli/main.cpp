// calmora-cli: measures the noise of photographs and filters it away from a
// terminal, through the same worker and batch code as the desktop program.

#include "cli/commands.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QStringList>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    // The image plugins' own warnings would come before, and say less than,
    // the message that names the file and the reason.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.gui.imageio*=false"));
    QCoreApplication::setOrganizationName(QStringLiteral("Brantovia"));
    QCoreApplication::setApplicationName(QStringLiteral("Calmora Community Edition"));
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return calmora::runCommandLine(arguments);
}
