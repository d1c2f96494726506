// calmora: the desktop program. One image in a window; a file named on the
// command line is opened at start-up.

#include "settings/qsettings_store.h"
#include "ui/main_frame.h"
#include "ui/tessolin_app.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Brantovia"));
    QApplication::setApplicationName(QStringLiteral("Calmora Community Edition"));
    QApplication::setApplicationDisplayName(QStringLiteral("Calmora"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/calmora.svg")));
    // The window hides at once when closed and is closed for good only when
    // the worker has stopped; that is when the program ends.
    QApplication::setQuitOnLastWindowClosed(false);

    calmora::CTessolinApp app(std::make_unique<calmora::QSettingsStore>());
    QObject::connect(&app.frame(), &calmora::CMainFrame::closed, &application, &QApplication::quit);
    app.start(QApplication::arguments().mid(1));
    return QApplication::exec();
}
