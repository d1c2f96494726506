#include "ui/level_box.h"

#include <QFocusEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>

#include <algorithm>
#include <array>

namespace calmora {

namespace {

const QColor kGridColour(230, 230, 230);
const QColor kSelectedFrame(95, 95, 95);
// Room kept under the plot, and between the labels and the plot.
constexpr int kBottomMarginPx = 30;
constexpr int kLabelGapPx = 5;
constexpr int kLabelToPlotPx = 3;
constexpr int kMarkerPx = 5;
// Tried in this order: the first that leaves each line spacing taller than
// a label gives labels 100 % apart in whole tens, fifths, quarters, halves.
constexpr std::array kLineCounts { 11, 6, 5, 3, 2 };

// The bottom of the gradient: the caption colour washed out toward white.
QColor captionTint(const QColor& caption)
{
    return QColor(192 + caption.red() / 4, 192 + caption.green() / 4, 192 + caption.blue() / 4);
}

} // namespace

LevelBoxGeometry levelBoxGeometry(const QSize& size, const QFontMetrics& metrics, int columns)
{
    const QString widest = QStringLiteral("100%");
    const int textWidth = metrics.horizontalAdvance(widest);
    const int textHeight = metrics.height();

    LevelBoxGeometry g;
    g.right = size.width();
    g.bottom = size.height() - kBottomMarginPx;
    const int height = g.bottom; // the client area starts at 0
    g.lineCount = 2;
    g.lineSpacing = height;
    for (const int n : kLineCounts) {
        if (height / n > textHeight) {
            g.lineCount = n;
            g.lineSpacing = height / n;
            break;
        }
    }
    g.top = g.lineSpacing; // the first line, one spacing below the client top
    g.left = textWidth + kLabelGapPx;
    g.columnStep = (g.right - g.left) / (std::max(columns, 0) + 1);
    return g;
}

CLevelBox::CLevelBox(QWidget* parent)
    : QWidget(parent)
{
    setAutoFillBackground(false);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(tr("Noise level graph"));
}

void CLevelBox::setSize(int rows, int columns)
{
    m_rows = std::max(rows, 0);
    m_columns = std::max(columns, 0);
    m_values.assign(size_t(m_rows) * size_t(m_columns), 0);
    m_colours.assign(size_t(m_rows), QColor(Qt::black));
    m_currentRow = 0;
    m_currentColumn = 0;
    update();
}

bool CLevelBox::inMatrix(int row, int column) const
{
    return row >= 0 && row < m_rows && column >= 0 && column < m_columns;
}

void CLevelBox::setValue(int row, int column, int value)
{
    if (!inMatrix(row, column))
        return;
    m_values[size_t(row) * size_t(m_columns) + size_t(column)] = value;
    update();
}

int CLevelBox::value(int row, int column) const
{
    return inMatrix(row, column) ? m_values[size_t(row) * size_t(m_columns) + size_t(column)] : 0;
}

void CLevelBox::setColour(int row, const QColor& colour)
{
    if (row < 0 || row >= m_rows)
        return;
    m_colours[size_t(row)] = colour;
    update();
}

QColor CLevelBox::colour(int row) const
{
    return row >= 0 && row < m_rows ? m_colours[size_t(row)] : QColor();
}

void CLevelBox::setDisplayOnly(bool displayOnly)
{
    m_displayOnly = displayOnly;
    setFocusPolicy(displayOnly ? Qt::NoFocus : Qt::StrongFocus);
    update();
}

void CLevelBox::setSelected(bool selected)
{
    m_selected = selected;
    update();
}

void CLevelBox::copyTo(CLevelBox& other) const
{
    other.m_values = m_values;
    other.m_colours = m_colours;
    other.m_rows = m_rows;
    other.m_columns = m_columns;
    other.m_currentRow = std::min(other.m_currentRow, std::max(m_rows - 1, 0));
    other.m_currentColumn = std::min(other.m_currentColumn, std::max(m_columns - 1, 0));
    other.update();
}

void CLevelBox::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    drawBackground(painter);
    const LevelBoxGeometry g = levelBoxGeometry(size(), fontMetrics(), m_columns);
    drawGrid(painter, g);
    drawCurves(painter, g);
    if (m_displayOnly && m_selected) {
        painter.setPen(QPen(kSelectedFrame, 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(rect().adjusted(1, 1, -1, -1));
    }
}

void CLevelBox::drawBackground(QPainter& painter) const
{
    const QRect r = rect();
    const QPalette& pal = palette();
    // A frame in the border colour over white, then a white inner frame.
    painter.setPen(pal.color(QPalette::Active, QPalette::Mid));
    painter.setBrush(Qt::white);
    painter.drawRect(r.adjusted(0, 0, -1, -1));
    painter.setPen(Qt::white);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(r.adjusted(1, 1, -2, -2));

    const QRect inner = r.adjusted(2, 2, -2, -2);
    QLinearGradient gradient(inner.topLeft(), inner.bottomLeft());
    gradient.setColorAt(0, Qt::white);
    gradient.setColorAt(1, captionTint(pal.color(QPalette::Active, QPalette::Highlight)));
    painter.fillRect(inner, gradient);
}

// The percentage lines with their labels, and a line down each column.
void CLevelBox::drawGrid(QPainter& painter, const LevelBoxGeometry& g) const
{
    const QPalette& pal = palette();
    painter.setPen(QPen(kGridColour, 1));
    painter.setFont(font());
    const int textHeight = fontMetrics().height();
    for (int line = 0; line < g.lineCount; ++line) {
        const int y = g.lineY(line);
        painter.setPen(QPen(kGridColour, 1));
        painter.drawLine(g.left, y, g.right - 1, y);
        painter.setPen(pal.color(QPalette::Active, QPalette::Text));
        const QRect label(0, y - textHeight / 2, g.left - kLabelToPlotPx, textHeight);
        painter.drawText(label, Qt::AlignRight | Qt::AlignVCenter,
            QStringLiteral("%1%").arg(g.linePercent(line)));
    }
    painter.setPen(QPen(kGridColour, 1));
    for (int column = 0; column < m_columns; ++column) {
        const int x = g.pointX(column);
        painter.drawLine(x, g.top, x, g.bottom);
    }
}

void CLevelBox::drawCurves(QPainter& painter, const LevelBoxGeometry& g) const
{
    // Points on whole pixels, without smoothing, so that every curve keeps
    // its exact colour.
    painter.setRenderHint(QPainter::Antialiasing, false);
    std::vector<QPoint> points(static_cast<size_t>(m_columns));
    for (int row = 0; row < m_rows; ++row) {
        for (int column = 0; column < m_columns; ++column)
            points[size_t(column)] = QPoint(g.pointX(column), g.pointY(value(row, column)));
        painter.setPen(QPen(m_colours[size_t(row)], 1));
        painter.setBrush(Qt::NoBrush);
        if (!points.empty())
            painter.drawPolyline(points.data(), int(points.size()));
        if (!m_displayOnly) {
            for (int column = 0; column < m_columns; ++column) {
                const QPoint& p = points[size_t(column)];
                const bool current = row == m_currentRow && column == m_currentColumn;
                painter.setBrush(current && hasFocus() ? m_colours[size_t(row)] : Qt::white);
                painter.drawRect(p.x() - kMarkerPx / 2, p.y() - kMarkerPx / 2, kMarkerPx - 1,
                    kMarkerPx - 1);
            }
        }
    }
}

void CLevelBox::focusInEvent(QFocusEvent* event)
{
    if (m_linked != nullptr && m_linked != this)
        copyTo(*m_linked);
    QWidget::focusInEvent(event);
    update();
}

// Editing, for a box that is not display-only: the arrows choose the point
// (left, right) and the curve (with Ctrl), Up and Down change the value by
// one, Page Up and Page Down by ten.
void CLevelBox::keyPressEvent(QKeyEvent* event)
{
    if (m_displayOnly || m_rows == 0 || m_columns == 0) {
        QWidget::keyPressEvent(event);
        return;
    }
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    int step = 0;
    switch (event->key()) {
    case Qt::Key_Left:
        m_currentColumn = std::max(m_currentColumn - 1, 0);
        break;
    case Qt::Key_Right:
        m_currentColumn = std::min(m_currentColumn + 1, m_columns - 1);
        break;
    case Qt::Key_Up:
        if (ctrl)
            m_currentRow = std::max(m_currentRow - 1, 0);
        else
            step = 1;
        break;
    case Qt::Key_Down:
        if (ctrl)
            m_currentRow = std::min(m_currentRow + 1, m_rows - 1);
        else
            step = -1;
        break;
    case Qt::Key_PageUp:
        step = 10;
        break;
    case Qt::Key_PageDown:
        step = -10;
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    if (step != 0) {
        const int v = value(m_currentRow, m_currentColumn) + step;
        setValue(m_currentRow, m_currentColumn, std::clamp(v, 0, LevelBoxGeometry::kFullScale));
    }
    if (m_linked != nullptr && m_linked != this)
        copyTo(*m_linked);
    update();
}

// A click picks the nearest point of the current curve and moves it to the
// height clicked.
void CLevelBox::mousePressEvent(QMouseEvent* event)
{
    if (m_displayOnly || m_rows == 0 || m_columns == 0) {
        QWidget::mousePressEvent(event);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    const LevelBoxGeometry g = levelBoxGeometry(size(), fontMetrics(), m_columns);
    if (g.columnStep <= 0 || g.bottom <= g.top)
        return;
    const QPoint p = event->position().toPoint();
    const int column = std::clamp((p.x() - g.left + g.columnStep / 2) / g.columnStep - 1, 0,
        m_columns - 1);
    m_currentColumn = column;
    const int v = (g.bottom - p.y()) * LevelBoxGeometry::kFullScale / (g.bottom - g.top);
    setValue(m_currentRow, column, std::clamp(v, 0, LevelBoxGeometry::kFullScale));
    if (m_linked != nullptr && m_linked != this)
        copyTo(*m_linked);
}

} // namespace calmora
