#include "ui/pane_tool_bar.h"

#include "ui/command_ids.h"
#include "ui/pane_button.h"

#include <QAction>
#include <QComboBox>
#include <QEvent>
#include <QHBoxLayout>

namespace calmora {

namespace {

// The presets list stands this far from the button before it.
constexpr int kPresetGapPx = 10;
constexpr int kPresetListWidthPx = 180;

} // namespace

CPaneToolBar::CPaneToolBar(QWidget* parent)
    : CPaneDialogBar(parent)
    , m_layout(new QHBoxLayout(this))
{
    setObjectName(QStringLiteral("paneToolBar"));
    setAccessibleName(tr("Toolbar"));
    m_layout->setContentsMargins(2, 1, 2, 1);
    m_layout->setSpacing(1);
    m_layout->addStretch(1);
}

CPaneButton* CPaneToolBar::addCommand(
    QAction* action, int id, const QString& iconName, unsigned flags)
{
    CPaneButton* button = makeButton(id, flags, iconName, QString());
    button->setObjectName(action->objectName() + QStringLiteral("Button"));
    button->setAction(action);
    // Toolbar buttons are for the mouse; the keyboard has the menus and
    // accelerators, and the tab order stays with the pane and the image.
    button->setFocusPolicy(Qt::NoFocus);
    m_layout->insertWidget(m_layout->count() - 1, button);
    m_commands.append(button);
    button->setCompact(m_compact);
    return button;
}

void CPaneToolBar::addPresetArea(QComboBox* presetList, QAction* go)
{
    m_spacer = new QWidget(this);
    m_spacer->setFixedWidth(kPresetGapPx);
    m_layout->insertWidget(m_layout->count() - 1, m_spacer);
    m_presetList = presetList;
    presetList->setParent(this);
    presetList->setMinimumWidth(kPresetListWidthPx);
    m_layout->insertWidget(m_layout->count() - 1, presetList, 0, Qt::AlignVCenter);
    m_goButton = makeButton(kGoCommand, kFramed | kEmphasised, QStringLiteral("go"), QString());
    m_goButton->setObjectName(QStringLiteral("toolBarGoButton"));
    m_goButton->setAction(go);
    m_layout->insertWidget(m_layout->count() - 1, m_goButton);
}

void CPaneToolBar::setPaneShown(bool shown)
{
    for (QWidget* widget : { static_cast<QWidget*>(m_spacer),
             static_cast<QWidget*>(m_presetList), static_cast<QWidget*>(m_goButton) }) {
        if (widget != nullptr)
            widget->setVisible(!shown);
    }
}

bool CPaneToolBar::presetAreaShown() const
{
    return m_presetList != nullptr && !m_presetList->isHidden();
}

int CPaneToolBar::captionsRoomPx() const
{
    int room = 0;
    for (const CPaneButton* button : m_commands) {
        if (!button->isHidden())
            room += button->captionRoomPx();
    }
    return room;
}

// Both hints stand whichever way the buttons are drawn now, so that going
// compact cannot make the bar fit again and flip it back.
QSize CPaneToolBar::sizeHint() const
{
    QSize hint = CPaneDialogBar::sizeHint();
    if (m_compact)
        hint.rwidth() += captionsRoomPx();
    return hint;
}

QSize CPaneToolBar::minimumSizeHint() const
{
    QSize least = CPaneDialogBar::minimumSizeHint();
    if (!m_compact)
        least.rwidth() -= captionsRoomPx();
    return least;
}

bool CPaneToolBar::event(QEvent* event)
{
    // A new width, or a caption that grew (Preview: ON to OFF) in the same
    // width.
    if (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest)
        setCompact(width() < sizeHint().width());
    return CPaneDialogBar::event(event);
}

void CPaneToolBar::setCompact(bool compact)
{
    if (m_compact == compact)
        return;
    m_compact = compact;
    for (CPaneButton* button : m_commands)
        button->setCompact(compact);
}

} // namespace calmora
