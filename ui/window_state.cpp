#include "ui/window_state.h"

#include "settings/settings_store.h"
#include "ui/left_pane_dialog_bar.h"

namespace calmora {

namespace {

const QString kGeometryName = QStringLiteral("Geometry");
const QString kDocksName = QStringLiteral("Docks");
const QString kPaneWidthName = QStringLiteral("PaneWidth");

// No pane wider than this is taken from the store: a damaged number must
// not give a pane that hides the image.
constexpr int kMaxPaneWidth = 4000;

int readNumber(const SettingsStore& store, const QString& name)
{
    const std::optional<QString> text = store.readText(kWindowSection, name);
    bool ok = false;
    const int value = text ? text->toInt(&ok) : 0;
    return ok ? value : -1;
}

} // namespace

WindowState readWindowState(const SettingsStore& store)
{
    WindowState state;
    state.geometry = store.readBinary(kWindowSection, kGeometryName).value_or(QByteArray());
    state.docks = store.readBinary(kWindowSection, kDocksName).value_or(QByteArray());
    const int width = readNumber(store, kPaneWidthName);
    if (width >= CLeftPaneDialogBar::kMinimumWidth && width <= kMaxPaneWidth)
        state.paneWidth = width;
    return state;
}

bool writeWindowState(SettingsStore& store, const WindowState& state)
{
    store.writeBinary(kWindowSection, kGeometryName, state.geometry);
    store.writeBinary(kWindowSection, kDocksName, state.docks);
    store.writeText(kWindowSection, kPaneWidthName, QString::number(state.paneWidth));
    return store.flush();
}

} // namespace calmora
