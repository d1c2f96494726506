// What the window looked like when it was last closed: its geometry and the
// place and width of its docks. The zoom is not among them: each photo opens
// at the zoom the options give. Kept in its own "Window"
// section of the settings store, beside the option groups, whose stored
// layout stays as it is.
#pragma once

#include <QByteArray>
#include <QString>

namespace calmora {

class SettingsStore;

inline const QString kWindowSection = QStringLiteral("Window");

struct WindowState {
    QByteArray geometry; // QWidget::saveGeometry
    QByteArray docks; // QMainWindow::saveState: docks, their places and sizes
    int paneWidth = -1; // the filter pane's width given by its edge, -1 none
};

// What the store holds; a missing or unusable value is left at its default
// (a width below the pane's minimum).
WindowState readWindowState(const SettingsStore& store);
// False when the store could not save it; its errorString() says why.
bool writeWindowState(SettingsStore& store, const WindowState& state);

} // namespace calmora
