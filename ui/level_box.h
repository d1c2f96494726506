// CLevelBox: a graph of a few curves over a grid, one curve per row of a
// value matrix and one point per column, the values on the noise profile's
// scale. The noise-profile section shows one in display-only mode.
#pragma once

#include <QColor>
#include <QRect>
#include <QWidget>

#include <vector>

class QFontMetrics;
class QPainter;

namespace calmora {

// Where the box draws, in widget pixels; computed apart from painting so
// that the figures can be checked.
struct LevelBoxGeometry {
    int left = 0; // the plot's left edge, right of the labels
    int right = 0; // exclusive
    int top = 0; // the first grid line, where a value of kLevelBoxFullScale lies
    int bottom = 0; // value 0
    int lineCount = 0; // horizontal grid lines
    int lineSpacing = 0;
    int columnStep = 0; // between vertical grid lines

    int lineY(int line) const { return top + line * lineSpacing; }
    // The label of grid line `line`, from 100 at the top down in equal steps.
    int linePercent(int line) const { return 100 - line * (100 / (lineCount - 1)); }
    int pointX(int column) const { return left + columnStep * (column + 1); }
    int pointY(int value) const { return bottom - value * (bottom - top) / kFullScale; }

    // The value that reaches the first grid line: a noise amplitude far above
    // what photographs carry, so the curves keep to the lower part.
    static constexpr int kFullScale = 342;
};

// The geometry of a box of `size` whose labels are measured with `metrics`.
LevelBoxGeometry levelBoxGeometry(const QSize& size, const QFontMetrics& metrics, int columns);

class CLevelBox final : public QWidget {
    Q_OBJECT

public:
    explicit CLevelBox(QWidget* parent = nullptr);

    // Resizes the matrix; every value becomes 0 and every colour black, and
    // the current point goes back to the first.
    void setSize(int rows, int columns);
    int rows() const { return m_rows; }
    int columns() const { return m_columns; }
    // Out-of-range rows and columns are ignored (and read as 0).
    void setValue(int row, int column, int value);
    int value(int row, int column) const;
    void setColour(int row, const QColor& colour);
    QColor colour(int row) const;

    // A display-only box draws no point markers and takes no focus, mouse or
    // keys; the profile graph is one.
    void setDisplayOnly(bool displayOnly);
    bool displayOnly() const { return m_displayOnly; }
    // Drawn with a dark frame when display-only.
    void setSelected(bool selected);
    bool isSelected() const { return m_selected; }

    // The point that the keys move and change when the box is editable.
    int currentRow() const { return m_currentRow; }
    int currentColumn() const { return m_currentColumn; }
    // Another box that takes this box's curves whenever this one gains focus.
    void setLinkedBox(CLevelBox* box) { m_linked = box; }

    QSize sizeHint() const override { return { 220, 160 }; }
    QSize minimumSizeHint() const override { return { 80, 60 }; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void drawBackground(QPainter& painter) const;
    void drawGrid(QPainter& painter, const LevelBoxGeometry& g) const;
    void drawCurves(QPainter& painter, const LevelBoxGeometry& g) const;
    bool inMatrix(int row, int column) const;
    void copyTo(CLevelBox& other) const;

    std::vector<int> m_values; // row-major, m_rows x m_columns
    std::vector<QColor> m_colours;
    int m_rows = 0;
    int m_columns = 0;
    int m_currentRow = 0;
    int m_currentColumn = 0;
    bool m_displayOnly = false;
    bool m_selected = false;
    CLevelBox* m_linked = nullptr;
};

} // namespace calmora
