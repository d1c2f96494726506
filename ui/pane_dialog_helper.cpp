#include "ui/pane_dialog_helper.h"

#include "ui/pane_button.h"

#include <QAbstractEventDispatcher>
#include <QCursor>
#include <QFile>
#include <QLinearGradient>
#include <QPainter>
#include <QPalette>
#include <QStyleOptionFocusRect>
#include <QWidget>

#include <algorithm>

namespace calmora {

namespace {

// On a light desktop the base is white and the tints are the integer
// formulas exactly; on a dark one they lead toward the window colour.
int toward(int base, int c, int numerator, int denominator)
{
    return std::clamp(base - numerator * (base - c) / denominator, 0, 255);
}

QColor tint(const QColor& base, const QColor& c, int numerator, int denominator)
{
    return QColor(toward(base.red(), c.red(), numerator, denominator),
        toward(base.green(), c.green(), numerator, denominator),
        toward(base.blue(), c.blue(), numerator, denominator));
}

QColor mapChannels(const QColor& c, int (*f)(int))
{
    return QColor(f(c.red()), f(c.green()), f(c.blue()));
}

constexpr int kDropArrowRightPx = 10;
constexpr int kIconLeftPx = 4;
constexpr int kCaptionGapPx = 8;

} // namespace

PaneColours paneColoursFrom(const QPalette& palette)
{
    PaneColours colours;
    const QColor c = palette.color(QPalette::Active, QPalette::Highlight);
    const QColor window = palette.color(QPalette::Active, QPalette::Window);
    colours.dark = window.lightness() < 128;
    const QColor base = colours.dark ? window : QColor(255, 255, 255);
    colours.caption = c;
    colours.pane = tint(base, c, 1, 20);
    colours.background = tint(base, c, 3, 4);
    colours.sectionBand = tint(base, c, 1, 3);
    if (colours.dark) {
        colours.sectionText = mapChannels(c, [](int v) { return 255 - (255 - v) / 3; });
        colours.toolTint = tint(base, c, 1, 4);
        colours.toolShade = colours.toolTint.darker(140);
    } else {
        colours.sectionText = mapChannels(c, [](int v) { return v / 3; });
        colours.toolTint = mapChannels(c, [](int v) { return 192 + v / 4; });
        colours.toolShade = mapChannels(c, [](int v) {
            const int q = v / 20 * 20;
            return static_cast<int>(255 - (255 - q) / 2.5);
        });
    }
    colours.buttonText = colours.sectionText;
    colours.info = palette.color(QPalette::Active, QPalette::ToolTipBase);
    colours.border = palette.color(QPalette::Active, QPalette::Mid);
    colours.hot = colours.dark ? c.darker(150) : c.lighter(170);
    colours.grayText = palette.color(QPalette::Disabled, QPalette::WindowText);
    if (colours.grayText == colours.buttonText)
        colours.grayText = QColor(128, 128, 128);
    return colours;
}

CommandTexts splitCommandText(const QString& text)
{
    const qsizetype lineBreak = text.indexOf(QLatin1Char('\n'));
    if (lineBreak < 0)
        return { text, text };
    return { text.left(lineBreak), text.mid(lineBreak + 1) };
}

CPaneDialogHelper::CPaneDialogHelper(QWidget* owner)
    : QObject(owner)
    , m_owner(owner)
{
    m_items.reserve(kMaxItems);
    refreshColours();
    // The event loop's idle moment: a pointer that left the bar faster than
    // the leave events tell must not leave a button lit.
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread()))
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
            &CPaneDialogHelper::resetHoverIfOutside);
}

void CPaneDialogHelper::refreshColours()
{
    m_colours = paneColoursFrom(m_owner->palette());
}

bool CPaneDialogHelper::addItem(QWidget* widget, int id, unsigned flags, int section)
{
    if (static_cast<int>(m_items.size()) >= kMaxItems)
        return false;
    m_items.push_back(PaneItem { flags, id, section, widget });
    return true;
}

const PaneItem* CPaneDialogHelper::findItem(int id) const
{
    for (const PaneItem& item : m_items) {
        if (item.id == id)
            return &item;
    }
    return nullptr;
}

void CPaneDialogHelper::resetHoverIfOutside()
{
    bool anyLit = false;
    for (const PaneItem& item : m_items) {
        const auto* button = qobject_cast<const CPaneButton*>(item.widget.data());
        if (button != nullptr && button->state() == PaneButtonState::Hover)
            anyLit = true;
    }
    if (!anyLit)
        return;
    if (m_owner->isVisible() && m_owner->rect().contains(m_owner->mapFromGlobal(QCursor::pos())))
        return;
    resetStates();
}

void CPaneDialogHelper::resetStates()
{
    for (const PaneItem& item : m_items) {
        if (auto* button = qobject_cast<CPaneButton*>(item.widget.data()))
            button->resetState();
    }
}

void CPaneDialogHelper::drawButton(QPainter& painter, const CPaneButton& button) const
{
    const PaneButtonState state = button.state();
    const unsigned flags = button.flags();
    const QRect r = button.rect();
    painter.setRenderHint(QPainter::Antialiasing, false);
    if ((flags & kSection) != 0) {
        // The caption band behind it is the section's.
    } else if ((flags & kEmphasised) != 0) {
        drawEmphasised(painter, r, state);
    } else if ((flags & kFramed) != 0) {
        if ((flags & kSectionCaption) != 0)
            drawFramed(painter, r, state);
        else
            painter.fillRect(
                r, (flags & kOnInfoColour) != 0 ? m_colours.info : m_colours.pane);
    } else if ((flags & kPushButton) != 0) {
        drawToolStyle(painter, r, state, flags);
    }
    drawContent(painter, button, state);
    if (button.hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(&button);
        option.rect = r.adjusted(2, 2, -2, -2);
        button.style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, &button);
    }
}

void CPaneDialogHelper::drawEmphasised(
    QPainter& painter, const QRect& r, PaneButtonState state) const
{
    const QColor& c = m_colours.caption;
    if (state == PaneButtonState::Disabled) {
        painter.fillRect(r, m_colours.pane);
        painter.setPen(m_colours.grayText);
        painter.drawRect(r.adjusted(0, 0, -1, -1));
        return;
    }
    // Darker pressed than hovered, both darker than at rest.
    const int shade = state == PaneButtonState::Pressed ? 150 : state == PaneButtonState::Hover ? 118 : 100;
    const QColor fill = m_colours.toolTint.darker(shade);
    painter.fillRect(r, fill);
    painter.setPen(m_colours.dark ? c.lighter(130) : c.darker(130));
    painter.drawRect(r.adjusted(0, 0, -1, -1));
    if (state != PaneButtonState::Pressed) {
        const QRect inner = r.adjusted(2, 2, -2, -2);
        QLinearGradient gradient(inner.topLeft(), inner.bottomLeft());
        gradient.setColorAt(0, fill.lighter(125));
        gradient.setColorAt(1, fill);
        painter.fillRect(inner, gradient);
    }
}

void CPaneDialogHelper::drawFramed(QPainter& painter, const QRect& r, PaneButtonState state) const
{
    const bool disabled = state == PaneButtonState::Disabled;
    const QColor fill = state == PaneButtonState::Hover ? m_colours.hot : m_colours.pane;
    painter.fillRect(r, fill);
    QColor top = fill.lighter(115);
    QColor bottom = m_colours.dark ? fill.lighter(105) : fill.darker(110);
    if (state == PaneButtonState::Pressed)
        std::swap(top, bottom);
    QLinearGradient gradient(r.topLeft(), r.bottomLeft());
    gradient.setColorAt(0, top);
    gradient.setColorAt(1, bottom);
    painter.fillRect(r.adjusted(2, 2, -2, -2), gradient);
    painter.setPen(disabled ? m_colours.border : m_colours.border.darker(140));
    painter.drawRect(r.adjusted(0, 0, -1, -1));
    painter.setPen(m_colours.dark ? fill.lighter(140) : fill.lighter(120));
    painter.drawLine(r.left() + 1, r.top() + 1, r.right() - 1, r.top() + 1);
    painter.drawLine(r.left() + 1, r.top() + 1, r.left() + 1, r.bottom() - 1);
    painter.setPen(m_colours.dark ? fill.darker(140) : QColor(255, 255, 255));
    painter.drawLine(r.left() + 1, r.bottom() - 1, r.right() - 1, r.bottom() - 1);
    painter.drawLine(r.right() - 1, r.top() + 1, r.right() - 1, r.bottom() - 1);
}

void CPaneDialogHelper::drawToolStyle(
    QPainter& painter, const QRect& r, PaneButtonState state, unsigned flags) const
{
    const QColor tintColour = m_colours.toolTint;
    painter.fillRect(r, tintColour);
    if ((flags & kOnPaneColour) == 0) {
        const int sixth = std::max(1, r.height() / 6);
        const QRect top(r.left(), r.top(), r.width(), sixth);
        QLinearGradient upper(top.topLeft(), top.bottomLeft());
        upper.setColorAt(0, m_colours.dark ? tintColour.lighter(130) : QColor(250, 250, 250));
        upper.setColorAt(1, tintColour);
        painter.fillRect(top, upper);
        const QRect bottom(r.left(), r.bottom() - sixth + 1, r.width(), sixth);
        QLinearGradient lower(bottom.topLeft(), bottom.bottomLeft());
        lower.setColorAt(0, tintColour);
        lower.setColorAt(1, m_colours.toolShade);
        painter.fillRect(bottom, lower);
    }
    if ((flags & kSectionCaption) != 0) {
        painter.setPen(m_colours.border);
        painter.drawRect(r.adjusted(0, 0, -1, -1));
    }
    const QColor& c = m_colours.caption;
    switch (state) {
    case PaneButtonState::Hover: {
        QColor glow = c;
        glow.setAlpha(50);
        painter.fillRect(r.adjusted(1, 1, -1, -1), glow);
        painter.setPen(c);
        painter.drawRect(r.adjusted(0, 0, -1, -1));
        break;
    }
    case PaneButtonState::Pressed: {
        QColor sunk = c;
        sunk.setAlpha(110);
        painter.fillRect(r.adjusted(1, 1, -1, -1), sunk);
        painter.setPen(c.darker(150));
        painter.drawRect(r.adjusted(0, 0, -1, -1));
        // A shadow along the top and left: the button is pushed in.
        painter.setPen(QColor(0, 0, 0, 70));
        painter.drawLine(r.left() + 1, r.top() + 1, r.right() - 1, r.top() + 1);
        painter.drawLine(r.left() + 1, r.top() + 1, r.left() + 1, r.bottom() - 1);
        break;
    }
    case PaneButtonState::Normal:
    case PaneButtonState::Disabled:
        break;
    }
}

void CPaneDialogHelper::drawContent(
    QPainter& painter, const CPaneButton& button, PaneButtonState state) const
{
    const unsigned flags = button.flags();
    const QRect r = button.rect();
    const bool disabled = state == PaneButtonState::Disabled;
    const QSize iconSize = button.iconSize();
    const QString caption = button.caption();
    const bool hasIcon = !button.icon().isNull();
    // The caption centres when there is no picture; the picture centres when
    // the button is an icon button or has no caption.
    int textLeft = r.left();
    if (hasIcon) {
        const QPixmap pixmap = button.icon().pixmap(
            iconSize, button.devicePixelRatioF(), disabled ? QIcon::Disabled : QIcon::Normal);
        int left = kIconLeftPx;
        if ((flags & kIconOnly) != 0 || caption.isEmpty()) {
            const int room = r.width() - ((flags & kDropDown) != 0 ? 18 : 0);
            left = (room - iconSize.width()) / 2;
        }
        const int top = (r.height() - iconSize.height()) / 2;
        painter.drawPixmap(QRect(QPoint(left, top), iconSize), pixmap);
        textLeft = left + iconSize.width() + kCaptionGapPx;
    }
    if (!caption.isEmpty() && (flags & kIconOnly) == 0) {
        QFont font = button.font();
        if ((flags & (kEmphasised | kSection)) != 0)
            font.setBold(true);
        painter.setFont(font);
        QColor colour = disabled ? m_colours.grayText
            : (flags & kSection) != 0 ? m_colours.sectionText
                                      : m_colours.buttonText;
        if ((flags & kEmphasised) != 0 && !disabled && !m_colours.dark
            && state == PaneButtonState::Pressed)
            colour = QColor(255, 255, 255);
        painter.setPen(colour);
        const int right = r.right() - ((flags & kDropDown) != 0 ? 18 : 2);
        if (hasIcon) {
            painter.drawText(QRect(textLeft, r.top(), right - textLeft, r.height()),
                Qt::AlignLeft | Qt::AlignVCenter, caption);
        } else {
            painter.drawText(QRect(r.left(), r.top(), right - r.left(), r.height()),
                Qt::AlignCenter, caption);
        }
    }
    if ((flags & kDropDown) != 0) {
        const int x = r.right() - kDropArrowRightPx;
        const int y = r.center().y();
        const QString arrow = QStringLiteral(":/icons/drop-down.svg");
        if (QFile::exists(arrow)) {
            const QPixmap pixmap = QIcon(arrow).pixmap(QSize(8, 8), button.devicePixelRatioF(),
                disabled ? QIcon::Disabled : QIcon::Normal);
            painter.drawPixmap(QRect(x - 4, y - 4, 8, 8), pixmap);
        } else {
            painter.setRenderHint(QPainter::Antialiasing, true);
            painter.setPen(Qt::NoPen);
            painter.setBrush(disabled ? m_colours.grayText : m_colours.buttonText);
            const QPointF points[3] = { { x - 3.5, y - 1.5 }, { x + 3.5, y - 1.5 }, { x + 0.0, y + 2.5 } };
            painter.drawPolygon(points, 3);
        }
    }
}

void CPaneDialogHelper::drawSection(
    QPainter& painter, const QRect& rect, int bandHeight, bool open) const
{
    painter.fillRect(rect, m_colours.sectionBand);
    if (!open)
        return;
    // The content lies 3 pixels inside the section on the left, right and
    // bottom, below the caption band.
    const QRect content(rect.left() + 3, rect.top() + bandHeight, rect.width() - 6,
        rect.height() - bandHeight - 3);
    painter.fillRect(content, m_colours.pane);
}

} // namespace calmora
