#include "ui/pane_section.h"

#include "ui/pane_button.h"
#include "ui/pane_dialog_helper.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace calmora {

namespace {

// The content lies this far inside the section on the left, right and
// bottom.
constexpr int kContentInsetPx = 3;

} // namespace

CPaneSection::CPaneSection(
    CPaneDialogHelper& helper, int id, const QString& caption, QWidget* parent)
    : QWidget(parent)
    , m_helper(helper)
    , m_id(id)
{
    setObjectName(QStringLiteral("section%1").arg(id));
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(kContentInsetPx, 0, kContentInsetPx, kContentInsetPx);
    m_layout->setSpacing(0);
    m_band = new QHBoxLayout;
    m_band->setContentsMargins(1, 2, 1, 2);
    m_band->setSpacing(2);
    m_captionButton = new CPaneButton(helper, kSection, this);
    m_captionButton->setObjectName(QStringLiteral("sectionCaption%1").arg(id));
    m_captionButton->setCommandText(tr("Show or hide %1\n%1").arg(caption));
    m_band->addWidget(m_captionButton, 1);
    m_layout->addLayout(m_band);
    helper.addItem(this, id, kSection, id);
    connect(m_captionButton, &QAbstractButton::clicked, this, &CPaneSection::captionClicked);
    showState();
}

QString CPaneSection::caption() const
{
    return m_captionButton->caption();
}

int CPaneSection::bandHeight() const
{
    return m_captionButton->sizeHint().height() + 4;
}

void CPaneSection::setOpen(bool open)
{
    if (m_open == open)
        return;
    m_open = open;
    showState();
    emit toggled(open);
}

void CPaneSection::setContent(QWidget* content)
{
    m_content = content;
    content->setParent(this);
    m_layout->addWidget(content, 1);
    showState();
}

void CPaneSection::addCaptionButton(CPaneButton* button)
{
    button->setParent(this);
    m_band->addWidget(button);
}

void CPaneSection::showState()
{
    m_captionButton->setIconName(
        m_open ? QStringLiteral("section-open") : QStringLiteral("section-closed"));
    m_captionButton->setAccessibleDescription(
        m_open ? tr("%1, open").arg(caption()) : tr("%1, closed").arg(caption()));
    if (m_content != nullptr)
        m_content->setVisible(m_open);
    // A closed section takes its band's height alone.
    setSizePolicy(QSizePolicy::Preferred, m_open ? QSizePolicy::Preferred : QSizePolicy::Fixed);
    update();
}

void CPaneSection::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    m_helper.drawSection(painter, rect(), bandHeight(), m_open);
}

} // namespace calmora
