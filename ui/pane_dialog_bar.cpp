#include "ui/pane_dialog_bar.h"

#include "ui/pane_button.h"

#include <QEvent>
#include <QPainter>

namespace calmora {

CPaneDialogBar::CPaneDialogBar(QWidget* parent)
    : QWidget(parent)
    , m_helper(new CPaneDialogHelper(this))
{
    setMouseTracking(true);
}

CPaneButton* CPaneDialogBar::makeButton(
    int id, unsigned flags, const QString& iconName, const QString& commandText, int section)
{
    auto* button = new CPaneButton(*m_helper, flags, this);
    if (!iconName.isEmpty())
        button->setIconName(iconName);
    if (!commandText.isEmpty())
        button->setCommandText(commandText);
    m_helper->addItem(button, id, flags, section);
    return button;
}

void CPaneDialogBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), m_helper->colours().background);
}

void CPaneDialogBar::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) {
        m_helper->refreshColours();
        update();
        for (QWidget* child : findChildren<QWidget*>())
            child->update();
    }
    QWidget::changeEvent(event);
}

void CPaneDialogBar::paintControlsOnPane(QWidget* container)
{
    QPalette palette = container->palette();
    palette.setColor(QPalette::Window, m_helper->colours().pane);
    palette.setColor(QPalette::WindowText, m_helper->colours().buttonText);
    container->setPalette(palette);
}

} // namespace calmora
