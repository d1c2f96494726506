#include "ui/pane_button.h"

#include <QAction>
#include <QEnterEvent>
#include <QFile>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

namespace calmora {

namespace {

constexpr int kIconPx = 20;
constexpr int kSmallIconPx = 14;
// The caption starts this far right of the picture, the picture this far
// from the left edge.
constexpr int kCaptionGapPx = 8;
constexpr int kIconLeftPx = 4;
// Room for the drop-down arrow, 10 pixels from the right edge.
constexpr int kArrowRoomPx = 18;

} // namespace

CPaneButton::CPaneButton(CPaneDialogHelper& helper, unsigned flags, QWidget* parent)
    : QAbstractButton(parent)
    , m_helper(helper)
    , m_flags(flags)
{
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_Hover);
    const int iconPx = (flags & kSectionCaption) != 0 ? kSmallIconPx : kIconPx;
    setIconSize(QSize(iconPx, iconPx));
    connect(this, &QAbstractButton::clicked, this, &CPaneButton::onClicked);
}

void CPaneButton::setCommandText(const QString& commandText)
{
    const CommandTexts texts = splitCommandText(commandText);
    setText(texts.caption);
    setToolTip(texts.tooltip);
    setAccessibleName(texts.caption.isEmpty() ? texts.tooltip : texts.caption);
    setAccessibleDescription(texts.tooltip);
    updateGeometry();
    update();
}

void CPaneButton::setIconName(const QString& name)
{
    const QString path = QStringLiteral(":/icons/%1.svg").arg(name);
    setIcon(QFile::exists(path) ? QIcon(path) : QIcon());
    updateGeometry();
    update();
}

void CPaneButton::setAction(QAction* action)
{
    if (m_action != nullptr)
        disconnect(m_action, nullptr, this, nullptr);
    m_action = action;
    if (action == nullptr)
        return;
    connect(action, &QAction::changed, this, &CPaneButton::followAction);
    followAction();
}

void CPaneButton::followAction()
{
    if (m_action == nullptr)
        return;
    const QString caption = m_action->iconText();
    const QString tip = m_action->toolTip();
    const bool compact = m_compact && (m_flags & kIconOnly) == 0 && !icon().isNull();
    const bool iconOnly = (m_flags & kIconOnly) != 0 || compact;
    setCommandText(tip + QLatin1Char('\n') + (iconOnly ? QString() : caption));
    if (iconOnly)
        setAccessibleName(caption);
    // A caption given up for room still names the button: it heads the
    // tooltip.
    if (compact && !caption.isEmpty() && caption != tip)
        setToolTip(caption + QLatin1Char('\n') + tip);
    setEnabled(m_action->isEnabled());
    setCheckedLook(m_action->isCheckable() && m_action->isChecked());
}

void CPaneButton::setCompact(bool compact)
{
    if (m_compact == compact)
        return;
    m_compact = compact;
    followAction();
}

int CPaneButton::captionRoomPx() const
{
    if ((m_flags & kIconOnly) != 0 || icon().isNull() || m_action == nullptr)
        return 0;
    return sizeFor(m_action->iconText()).width() - sizeFor(QString()).width();
}

QFont CPaneButton::captionFont() const
{
    QFont captionFont = font();
    if ((m_flags & kEmphasised) != 0)
        captionFont.setBold(true);
    return captionFont;
}

void CPaneButton::setCheckedLook(bool checked)
{
    if (m_checkedLook == checked)
        return;
    m_checkedLook = checked;
    update();
}

PaneButtonState CPaneButton::state() const
{
    if (!isEnabled())
        return PaneButtonState::Disabled;
    if (isDown() || m_checkedLook)
        return PaneButtonState::Pressed;
    if (m_hover && !m_released)
        return PaneButtonState::Hover;
    return PaneButtonState::Normal;
}

void CPaneButton::resetState()
{
    if (!m_hover && !isDown())
        return;
    m_hover = false;
    setDown(false);
    update();
}

QSize CPaneButton::sizeHint() const
{
    return sizeFor(text());
}

QSize CPaneButton::sizeFor(const QString& caption) const
{
    const QFontMetrics metrics(captionFont());
    const bool hasIcon = !icon().isNull() || (m_flags & kIconOnly) != 0;
    int width = kIconLeftPx * 2;
    if (hasIcon)
        width += iconSize().width();
    if (!caption.isEmpty())
        width += metrics.horizontalAdvance(caption) + (hasIcon ? kCaptionGapPx : 8);
    if ((m_flags & kDropDown) != 0)
        width += kArrowRoomPx;
    const int height = std::max(iconSize().height(), metrics.height()) + 10;
    return { std::max(width, height), height };
}

void CPaneButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    m_helper.drawButton(painter, *this);
}

void CPaneButton::enterEvent(QEnterEvent* event)
{
    m_hover = true;
    update();
    QAbstractButton::enterEvent(event);
}

void CPaneButton::leaveEvent(QEvent* event)
{
    m_hover = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void CPaneButton::mouseMoveEvent(QMouseEvent* event)
{
    const bool wasLit = state() == PaneButtonState::Hover;
    m_released = false;
    m_hover = rect().contains(event->position().toPoint());
    if (wasLit != (state() == PaneButtonState::Hover))
        update();
    QAbstractButton::mouseMoveEvent(event);
}

void CPaneButton::mouseReleaseEvent(QMouseEvent* event)
{
    // The click (when the release is on the button) is sent first; the
    // looks of every button of the bar are reset after it.
    QAbstractButton::mouseReleaseEvent(event);
    m_released = true;
    m_helper.resetStates();
    update();
}

void CPaneButton::onClicked()
{
    if ((m_flags & kDropDown) != 0 && m_menu != nullptr) {
        m_menu->popup(mapToGlobal(rect().bottomLeft()));
        return;
    }
    if (m_action != nullptr)
        m_action->trigger();
}

} // namespace calmora
