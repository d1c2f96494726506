// calmora-cli: measures the noise of photographs and filters it away from a
// terminal, through the same worker and batch code as the desktop program.

#include "cli/commands.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Brantovia"));
    QCoreApplication::setApplicationName(QStringLiteral("Calmora Community Edition"));
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return calmora::runCommandLine(arguments);
}
