// The scrolling view of the document's image: five zoom factors and Best
// Fit, the working copy or (while the left button is held) the original,
// drag-scrolling, the hand cursors, and the live preview's countdown, which
// hands the visible part of the image to the document once the user has
// stopped changing what is shown.
#pragma once

#include "engine/records.h"

#include <QAbstractScrollArea>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QTimer>

#include <functional>

class QMenu;

namespace calmora {

class CTessolinDoc;
struct Options;

constexpr int kMinZoom = 25;
constexpr int kMaxZoom = 400;
constexpr int kBestFit = 0;
// The preview countdown counts in ticks of this period.
constexpr int kPreviewTickMs = 200;

// The largest of 100, 50 and 25 % at which the scaled image stays under four
// thirds of the client in both directions; 25 when none does.
int bestFitZoom(QSize image, QSize client);

// Where a zoom change puts the scroll position: the image point under the
// client's centre stays there, clamped to the new scroll range, and above
// 100 % on whole image pixels. `oldScaled` and `newScaled` are the image's
// sizes at the old and the new zoom.
QPoint centredScroll(QPoint scroll, QSize client, QSize oldScaled, QSize newScaled, int newZoom);

// What a drawing covers: `image` in image pixels and `screen`, the same
// pixels scaled, in scrolled coordinates (subtract the scroll position for
// the viewport's). The image is centred where it is narrower or lower than
// the client, and 5 pixels more than the client is taken each way so that a
// preview also covers the partly visible last row and column.
struct ViewRects {
    QRect screen;
    QRect image;
};
ViewRects viewRects(QPoint scroll, QSize client, int zoom, QSize image);

// Which of the view's commands may run now, for the frame's actions.
struct ViewCommandState {
    bool zoomIn = false;
    bool zoomOut = false;
    bool undo = false;
    bool fileCommands = false; // Save As, Close File
};

class CTessolinView final : public QAbstractScrollArea {
    Q_OBJECT

public:
    // The document and the options belong to the application object and
    // outlive the view.
    CTessolinView(CTessolinDoc* document, const Options* options, QWidget* parent = nullptr);
    ~CTessolinView() override;

    int currentZoom() const { return m_zoom; }
    // The part of the image (image pixels, rows from the top) that the last
    // ordinary drawing covered: what a live preview filters.
    Rect visibleRect() const { return m_visibleRect; }
    ViewCommandState commandState() const;

    // Starts the live preview's run over `visible`; the document's operation,
    // given by the frame. Returns whether a run was started.
    using PreviewStarter = std::function<bool(const Rect& visible)>;
    void setPreviewStarter(PreviewStarter starter) { m_startPreview = std::move(starter); }
    // The frame's menu (its actions shared with the main menu), shown on a
    // right click; the frame refreshes the actions' state from
    // commandState() when contextMenuAboutToShow arrives.
    void setContextMenu(QMenu* menu) { m_contextMenu = menu; }
    QMenu* contextMenu() const { return m_contextMenu; }

    // One tick of the preview countdown; the view's own timer calls it every
    // kPreviewTickMs.
    void previewTick();
    // Stops that timer, for a caller that ticks by hand: a tick of the clock
    // in between would count as one of its own.
    void stopPreviewClock() { m_previewTimer.stop(); }

public slots:
    // 25..400 %, or kBestFit; anything else is ignored. Keeping the centre is
    // what the zoom commands do; otherwise the image starts at its top-left.
    void setZoom(int percent, bool keepCentre = false);
    void zoomIn();
    void zoomOut();
    // After an image was opened: the options' default zoom from the top-left.
    void initialUpdate();

signals:
    void zoomChanged(int percent);
    void contextMenuAboutToShow();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    enum class CursorShape { Arrow, Busy, OpenHand, ClosedHand };

    bool hasImage() const;
    QSize imageSize() const;
    QSize scaledSize() const;
    QPoint scrollPosition() const;
    ViewRects currentRects() const;
    void updateScrollBars();
    void onScrollValueChanged();
    void onTileWritten(const Rect& rect);
    void noticeIdleWorker();
    bool filterMayBeWriting() const;
    void drawImagePart(QPainter& painter, const ViewRects& rects, const QRect& viewportRect,
        const QRect& part, bool original) const;
    QRect imageToViewport(const ViewRects& rects, const QRect& part) const;
    void setShowOriginal(bool show);
    void updateCursor();

    CTessolinDoc* m_document;
    const Options* m_options;
    int m_zoom = 100;
    bool m_showOriginal = false;
    bool m_dragging = false;
    bool m_settingZoom = false;
    QPoint m_dragAnchor;
    QTimer m_previewTimer;
    Rect m_visibleRect;
    PreviewStarter m_startPreview;
    QMenu* m_contextMenu = nullptr;
    CursorShape m_cursorShape = CursorShape::Arrow;
    // Tiles the running filter pass has reported written (image pixels): the
    // only parts of the working copy a drawing may read while it runs.
    QList<QRect> m_writtenTiles;
    // A drawing showed the original in place of parts still being filtered;
    // the whole client is drawn again once the run has ended.
    bool m_drewAroundRun = false;
};

} // namespace calmora
