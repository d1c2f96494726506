// The help that F1 shows: the README, installed with the program, rendered
// by Qt in a window of the program's own, so that it needs no browser.
#pragma once

#include <QString>

class QWidget;

namespace calmora {

// Where an installed program finds the page: the documentation folder that
// the install puts beside its bin folder `programFolder`.
QString installedHelpPath(const QString& programFolder);
// The page to show: the installed one, else the README of the source tree
// the program was built from (a build that was never installed); empty
// when neither exists.
QString helpFilePath(const QString& programFolder);

// A window showing the page at `path`, its pictures and links working,
// deleted when it is closed.
QWidget* showHelpWindow(const QString& path, QWidget* parent);

} // namespace calmora
