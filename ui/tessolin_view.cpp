#include "ui/tessolin_view.h"

#include "document/tessolin_doc.h"
#include "settings/options.h"

#include <QBitmap>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>

#include <algorithm>
#include <array>

namespace calmora {

namespace {

constexpr std::array kZoomSteps = { 25, 50, 100, 200, 400 };
// Best Fit accepts a scaled image up to four thirds of the client.
constexpr int kFitNumerator = 100;
constexpr int kFitDenominator = 75;
// Drawings and previews take this much beyond the client's right and bottom.
constexpr int kOverscanPx = 5;
// A line scroll moves 20 image pixels.
constexpr int kLineImagePx = 20;

// Both hands are 32 x 32 with the hot spot on the tip of the index finger.
constexpr int kCursorPx = 32;
constexpr QPoint kCursorHotSpot(5, 2);

QPainterPath handOutline(bool closed)
{
    QPainterPath hand;
    hand.setFillRule(Qt::WindingFill);
    hand.addRoundedRect(QRectF(4, 13, 18, 15), 5, 5); // palm
    // Four fingers, tips at the top; curled ones reach only just above the palm.
    const std::array<qreal, 4> tips = { 1, 3, 4, 7 };
    for (int finger = 0; finger < 4; ++finger) {
        const qreal top = closed ? 10 : tips[static_cast<size_t>(finger)];
        hand.addRoundedRect(QRectF(3 + finger * 4.5, top, 4.5, 16 - top), 2.2, 2.2);
    }
    // The thumb, out to the side when open, folded onto the palm when closed.
    if (closed)
        hand.addRoundedRect(QRectF(18, 14, 8, 5), 2.5, 2.5);
    else
        hand.addRoundedRect(QRectF(21, 11, 5, 11), 2.5, 2.5);
    return hand.simplified();
}

// A two-colour cursor: white hand, black outline, transparent around it.
QCursor handCursor(bool closed)
{
    const QPainterPath outline = handOutline(closed);
    QBitmap shape(kCursorPx, kCursorPx);
    QBitmap mask(kCursorPx, kCursorPx);
    shape.fill(Qt::color0);
    mask.fill(Qt::color0);
    {
        QPainter painter(&mask);
        painter.setPen(QPen(Qt::color1, 1));
        painter.setBrush(Qt::color1);
        painter.drawPath(outline);
    }
    {
        // In a bitmap cursor, 1 in the shape is black; 0 with the mask set is
        // white.
        QPainter painter(&shape);
        painter.setPen(QPen(Qt::color1, 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(outline);
    }
    return QCursor(shape, mask, kCursorHotSpot.x(), kCursorHotSpot.y());
}

const QCursor& openHandCursor()
{
    static const QCursor cursor = handCursor(false);
    return cursor;
}

const QCursor& closedHandCursor()
{
    static const QCursor cursor = handCursor(true);
    return cursor;
}

int clampScroll(int position, int scaled, int client)
{
    return std::max(0, std::min(position, scaled - client));
}

QRect toQRect(const Rect& rect)
{
    return QRect(rect.left, rect.top, rect.width(), rect.height());
}

} // namespace

int bestFitZoom(QSize image, QSize client)
{
    int zoom = 100;
    while (zoom >= kMinZoom) {
        const bool fitsWide
            = zoom * image.width() / 100 < client.width() * kFitNumerator / kFitDenominator;
        const bool fitsHigh
            = zoom * image.height() / 100 < client.height() * kFitNumerator / kFitDenominator;
        if (fitsWide && fitsHigh)
            break;
        zoom /= 2;
    }
    return std::max(zoom, kMinZoom);
}

QPoint centredScroll(QPoint scroll, QSize client, QSize oldScaled, QSize newScaled, int newZoom)
{
    const auto keep = [](int position, int half, int oldSize, int newSize, int clientSize) {
        // The client's centre may lie beyond the scaled image, so the product
        // is taken wide; truncation toward zero as the integer cast does it.
        const long double centre = static_cast<long double>(position + half);
        const int moved = oldSize > 0 ? static_cast<int>(centre * newSize / oldSize) - half : 0;
        return clampScroll(moved, newSize, clientSize);
    };
    QPoint result(
        keep(scroll.x(), client.width() / 2, oldScaled.width(), newScaled.width(), client.width()),
        keep(scroll.y(), client.height() / 2, oldScaled.height(), newScaled.height(),
            client.height()));
    if (newZoom > 100) {
        const int pixel = newZoom / 100;
        result -= QPoint(result.x() % pixel, result.y() % pixel);
    }
    return result;
}

ViewRects viewRects(QPoint scroll, QSize client, int zoom, QSize image)
{
    int x = scroll.x();
    int y = scroll.y();
    if (zoom > 100) {
        // Start on a whole image pixel; its left part may lie off the client.
        x -= x % (zoom / 100);
        y -= y % (zoom / 100);
    }
    const int width = client.width() + kOverscanPx;
    const int height = client.height() + kOverscanPx;
    QRect screen(x, y, width, height);
    QRect picture(x * 100 / zoom, y * 100 / zoom, width * 100 / zoom, height * 100 / zoom);

    const int scaledWidth = image.width() * zoom / 100;
    const int scaledHeight = image.height() * zoom / 100;
    if (scaledWidth < screen.width()) {
        screen.moveLeft((screen.width() - scaledWidth) / 2);
        screen.setWidth(scaledWidth);
    }
    if (scaledHeight < screen.height()) {
        screen.moveTop((screen.height() - scaledHeight) / 2);
        screen.setHeight(scaledHeight);
    }

    if (picture.left() < 0)
        picture.moveLeft(0);
    if (picture.top() < 0)
        picture.moveTop(0);
    if (picture.left() + picture.width() > image.width())
        picture.setWidth(image.width() - picture.left());
    if (picture.top() + picture.height() > image.height())
        picture.setHeight(image.height() - picture.top());

    screen.setWidth(picture.width() * zoom / 100);
    screen.setHeight(picture.height() * zoom / 100);
    return ViewRects { screen, picture };
}

CTessolinView::CTessolinView(CTessolinDoc* document, const Options* options, QWidget* parent)
    : QAbstractScrollArea(parent)
    , m_document(document)
    , m_options(options)
{
    // The margins are erased by paintEvent alone, so that the image is not
    // cleared and drawn again on every repaint.
    viewport()->setAutoFillBackground(false);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setMouseTracking(false);
    setFocusPolicy(Qt::StrongFocus);

    connect(horizontalScrollBar(), &QScrollBar::valueChanged, this,
        &CTessolinView::onScrollValueChanged);
    connect(
        verticalScrollBar(), &QScrollBar::valueChanged, this, &CTessolinView::onScrollValueChanged);
    // Releasing a dragged thumb ends a scroll: only now is a preview wanted.
    for (QScrollBar* bar : { horizontalScrollBar(), verticalScrollBar() }) {
        connect(bar, &QScrollBar::sliderReleased, this, [this] {
            if (hasImage())
                m_document->requestPreview(false);
            viewport()->update();
        });
    }

    connect(document, &CTessolinDoc::tileWritten, this, &CTessolinView::onTileWritten);
    connect(document, &CTessolinDoc::opened, this, &CTessolinView::initialUpdate);
    connect(document, &CTessolinDoc::contentsDeleted, this, [this] {
        m_writtenTiles.clear();
        m_visibleRect = Rect {};
        m_showOriginal = false;
        updateScrollBars();
        viewport()->update();
        updateCursor();
    });
    connect(document, &CTessolinDoc::runStatusChanged, this, &CTessolinView::updateCursor);
    connect(document, &CTessolinDoc::runEnded, this, [this] {
        noticeIdleWorker();
        updateCursor();
    });
    connect(document, &CTessolinDoc::undone, this, [this] { viewport()->update(); });

    m_previewTimer.setInterval(kPreviewTickMs);
    connect(&m_previewTimer, &QTimer::timeout, this, &CTessolinView::previewTick);
    m_previewTimer.start();
    updateScrollBars();
}

CTessolinView::~CTessolinView() = default;

bool CTessolinView::hasImage() const
{
    return m_document != nullptr && m_document->image() != nullptr
        && !m_document->image()->isNull();
}

QSize CTessolinView::imageSize() const
{
    return hasImage() ? QSize(m_document->image()->width(), m_document->image()->height())
                      : QSize(0, 0);
}

QSize CTessolinView::scaledSize() const
{
    const QSize image = imageSize();
    return QSize(m_zoom * image.width() / 100, m_zoom * image.height() / 100);
}

QPoint CTessolinView::scrollPosition() const
{
    return QPoint(horizontalScrollBar()->value(), verticalScrollBar()->value());
}

ViewRects CTessolinView::currentRects() const
{
    return viewRects(scrollPosition(), viewport()->size(), m_zoom, imageSize());
}

ViewCommandState CTessolinView::commandState() const
{
    const bool image = hasImage();
    ViewCommandState state;
    state.zoomIn = image && m_zoom < kMaxZoom;
    state.zoomOut = image && m_zoom > kMinZoom;
    state.undo = image && m_document->canUndo();
    state.fileCommands = image;
    return state;
}

void CTessolinView::updateScrollBars()
{
    const QSize scaled = scaledSize();
    const QSize client = viewport()->size();
    const int lineStep = std::max(1, m_zoom * kLineImagePx / 100);
    QScrollBar* horizontal = horizontalScrollBar();
    QScrollBar* vertical = verticalScrollBar();
    horizontal->setRange(0, std::max(0, scaled.width() - client.width()));
    horizontal->setPageStep(client.width());
    horizontal->setSingleStep(lineStep);
    vertical->setRange(0, std::max(0, scaled.height() - client.height()));
    vertical->setPageStep(client.height());
    vertical->setSingleStep(lineStep);
}

void CTessolinView::setZoom(int percent, bool keepCentre)
{
    if (percent == kBestFit)
        percent = bestFitZoom(imageSize(), viewport()->size());
    else if (percent < kMinZoom || percent > kMaxZoom)
        return;

    const QSize oldScaled = scaledSize();
    const QPoint oldScroll = scrollPosition();
    const QSize client = viewport()->size();
    m_showOriginal = false;
    m_zoom = percent;
    const QPoint position = keepCentre
        ? centredScroll(oldScroll, client, oldScaled, scaledSize(), percent)
        : QPoint(0, 0);

    // The scroll bars' own moves would ask for previews one by one; one is
    // asked for below. Their signals must flow all the same: the scroll
    // area shows and hides them on their range changes.
    m_settingZoom = true;
    updateScrollBars();
    horizontalScrollBar()->setValue(position.x());
    verticalScrollBar()->setValue(position.y());
    m_settingZoom = false;
    if (hasImage())
        m_document->requestPreview(false);
    viewport()->update();
    updateCursor();
    emit zoomChanged(m_zoom);
}

void CTessolinView::zoomIn()
{
    if (hasImage() && m_zoom < kMaxZoom)
        setZoom(m_zoom * 2, true);
    setFocus();
}

void CTessolinView::zoomOut()
{
    if (hasImage() && m_zoom > kMinZoom)
        setZoom(m_zoom / 2, true);
    setFocus();
}

void CTessolinView::initialUpdate()
{
    int zoom = m_options != nullptr ? m_options->settings.defaultZoom : kBestFit;
    if (zoom != kBestFit
        && std::find(kZoomSteps.begin(), kZoomSteps.end(), zoom) == kZoomSteps.end())
        zoom = kBestFit;
    m_writtenTiles.clear();
    setZoom(zoom, false);
}

void CTessolinView::onScrollValueChanged()
{
    // Moving with the dragged image is one gesture; the preview follows the
    // button's release.
    if (!hasImage() || m_dragging || m_settingZoom)
        return;
    // While a thumb is dragged the scroll has not ended: stop what runs and
    // wait for the release.
    if (horizontalScrollBar()->isSliderDown() || verticalScrollBar()->isSliderDown())
        m_document->cancelPreview();
    else
        m_document->requestPreview(false);
}

void CTessolinView::scrollContentsBy(int, int)
{
    // Positions above 100 % are snapped to whole image pixels in the drawing,
    // so a pixel copy of the old contents would not match: draw afresh.
    viewport()->update();
}

void CTessolinView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
    if (hasImage())
        m_document->requestPreview(false);
}

void CTessolinView::wheelEvent(QWheelEvent* event)
{
    if (hasImage())
        m_document->requestPreview(false);
    QAbstractScrollArea::wheelEvent(event);
}

void CTessolinView::setShowOriginal(bool show)
{
    m_showOriginal = show;
    // At once, unless a run is writing: then the tiles' own repaints follow.
    if (!m_document->isRunning())
        viewport()->repaint();
}

void CTessolinView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        if (hasImage() && !m_document->isRunning()) {
            setShowOriginal(true);
            m_dragging = true;
            m_dragAnchor = event->position().toPoint();
            updateCursor();
        }
        return;
    }
    if (event->button() == Qt::RightButton) {
        m_dragging = false;
        if (hasImage())
            setShowOriginal(false);
        updateCursor();
        if (m_contextMenu != nullptr) {
            emit contextMenuAboutToShow();
            m_contextMenu->exec(event->globalPosition().toPoint());
        }
        return;
    }
    QAbstractScrollArea::mousePressEvent(event);
}

void CTessolinView::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_dragging)
        return;
    const QPoint point = event->position().toPoint();
    QPoint delta = m_dragAnchor - point;
    const QSize scaled = scaledSize();
    const QSize client = viewport()->size();
    if (scaled.width() < client.width())
        delta.setX(0);
    if (scaled.height() < client.height())
        delta.setY(0);
    horizontalScrollBar()->setValue(horizontalScrollBar()->value() + delta.x());
    verticalScrollBar()->setValue(verticalScrollBar()->value() + delta.y());
    viewport()->update();
    m_dragAnchor = point;
}

void CTessolinView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::MiddleButton && hasImage()) {
        m_document->requestPreview(false);
        return;
    }
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseReleaseEvent(event);
        return;
    }
    const bool wasDragging = m_dragging;
    m_dragging = false;
    if (!wasDragging || !hasImage())
        return;
    setShowOriginal(false);
    updateCursor();
    m_document->requestPreview(false);
}

bool CTessolinView::filterMayBeWriting() const
{
    // A profile pass only reads the image, and it runs exactly while the
    // profile is missing; the request's own flags are the worker's to write
    // while it runs, so they are not read here.
    const ProcessingJob& job = m_document->job();
    return job.running.load(std::memory_order_acquire)
        && job.profileReady.load(std::memory_order_acquire);
}

void CTessolinView::noticeIdleWorker()
{
    if (m_document == nullptr || m_document->isRunning())
        return;
    m_writtenTiles.clear();
    if (m_drewAroundRun) {
        m_drewAroundRun = false;
        viewport()->update();
    }
}

void CTessolinView::previewTick()
{
    updateCursor();
    if (!hasImage() || !m_document->isLoaded() || !m_document->tickPreviewCountdown())
        return;
    const ProcessingJob& job = m_document->job();
    if (m_visibleRect.isEmpty() || !job.profileReady.load() || !job.processedByGo
        || m_options == nullptr || m_options->settings.autoPreview == 0)
        return;
    m_writtenTiles.clear();
    if (m_startPreview)
        m_startPreview(m_visibleRect);
    updateCursor();
}

QRect CTessolinView::imageToViewport(const ViewRects& rects, const QRect& part) const
{
    // Whole screen pixels that show any of `part`; at zooms below 100 % a
    // screen pixel spans several image pixels.
    const QPoint origin = rects.screen.topLeft() - scrollPosition();
    const int left = (part.left() - rects.image.left()) * m_zoom / 100;
    const int top = (part.top() - rects.image.top()) * m_zoom / 100;
    const int right = ((part.right() + 1 - rects.image.left()) * m_zoom + 99) / 100;
    const int bottom = ((part.bottom() + 1 - rects.image.top()) * m_zoom + 99) / 100;
    return QRect(origin.x() + left, origin.y() + top, right - left, bottom - top);
}

void CTessolinView::drawImagePart(QPainter& painter, const ViewRects& rects,
    const QRect& viewportRect, const QRect& part, bool original) const
{
    const QRect source = part.intersected(rects.image);
    if (source.isEmpty())
        return;
    const QPointF origin = rects.screen.topLeft() - scrollPosition();
    if (m_zoom < 100) {
        // Zoomed out, the picture is sampled while it is copied, so a paint
        // costs what the client shows rather than what the image holds.
        // The zoom factors below 100 % divide 100, and the visible part
        // starts on a sampled pixel, so the samples land on whole pixels.
        const int32_t step = 100 / m_zoom;
        const QImage sampled = m_document->image()->region(source, original, step);
        if (sampled.isNull())
            return;
        const int32_t firstX = (source.left() + step - 1) / step * step;
        const int32_t firstY = (source.top() + step - 1) / step * step;
        painter.save();
        painter.setClipRect(viewportRect);
        painter.drawImage(QPointF(origin.x() + (firstX - rects.image.left()) / step,
                              origin.y() + (firstY - rects.image.top()) / step),
            sampled);
        painter.restore();
        return;
    }
    const QImage pixels = m_document->image()->region(source, original);
    if (pixels.isNull())
        return;
    const qreal scale = m_zoom / 100.0;
    const QRectF target(origin.x() + (source.left() - rects.image.left()) * scale,
        origin.y() + (source.top() - rects.image.top()) * scale, source.width() * scale,
        source.height() * scale);
    painter.save();
    painter.setClipRect(viewportRect);
    painter.drawImage(target, pixels);
    painter.restore();
}

void CTessolinView::paintEvent(QPaintEvent* event)
{
    QPainter painter(viewport());
    const QColor background = palette().color(QPalette::Dark);
    if (!hasImage()) {
        painter.fillRect(event->rect(), background);
        return;
    }
    const ViewRects rects = currentRects();
    const QRect shown = rects.screen.translated(-scrollPosition()).intersected(viewport()->rect());
    // Only the margins are erased: the image covers the rest.
    const QRegion margins = event->region().subtracted(QRegion(shown));
    for (const QRect& margin : margins)
        painter.fillRect(margin, background);
    if (!m_showOriginal)
        m_visibleRect = Rect { rects.image.left(), rects.image.top(), rects.image.right() + 1,
            rects.image.bottom() + 1 };

    // The image pixels the damaged part shows, and no more: a tile's repaint
    // reads that tile alone.
    const QRect dirty = event->rect().intersected(shown);
    if (dirty.isEmpty())
        return;
    const QPoint origin = rects.screen.topLeft() - scrollPosition();
    const int left = rects.image.left() + (dirty.left() - origin.x()) * 100 / m_zoom;
    const int top = rects.image.top() + (dirty.top() - origin.y()) * 100 / m_zoom;
    const int right
        = rects.image.left() + ((dirty.right() + 1 - origin.x()) * 100 + m_zoom - 1) / m_zoom;
    const int bottom
        = rects.image.top() + ((dirty.bottom() + 1 - origin.y()) * 100 + m_zoom - 1) / m_zoom;
    const QRect part = QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));

    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    if (m_showOriginal || !filterMayBeWriting()) {
        drawImagePart(painter, rects, dirty, part, m_showOriginal);
        return;
    }
    // A filter pass is writing the working copy: its tiles are read only
    // once reported written, and the rest shows the original, which no pass
    // writes, until the run has ended.
    drawImagePart(painter, rects, dirty, part, true);
    for (const QRect& tile : m_writtenTiles)
        drawImagePart(painter, rects, dirty, part.intersected(tile), false);
    m_drewAroundRun = true;
}

void CTessolinView::onTileWritten(const Rect& rect)
{
    if (!hasImage())
        return;
    const QRect tile = toQRect(rect);
    if (m_document->isRunning())
        m_writtenTiles.append(tile);
    const ViewRects rects = currentRects();
    const QRect visible = tile.intersected(rects.image);
    if (!visible.isEmpty())
        viewport()->update(imageToViewport(rects, visible).intersected(viewport()->rect()));
}

void CTessolinView::updateCursor()
{
    CursorShape shape = CursorShape::Arrow;
    if (m_document != nullptr && m_document->isRunning()) {
        // Building the profile leaves the user free to look around.
        if (m_document->job().profileReady.load())
            shape = CursorShape::Busy;
    } else if (hasImage()) {
        shape = m_showOriginal ? CursorShape::ClosedHand : CursorShape::OpenHand;
    }
    if (shape == m_cursorShape)
        return;
    m_cursorShape = shape;
    switch (shape) {
    case CursorShape::Arrow:
        viewport()->setCursor(Qt::ArrowCursor);
        break;
    case CursorShape::Busy:
        viewport()->setCursor(Qt::WaitCursor);
        break;
    case CursorShape::OpenHand:
        viewport()->setCursor(openHandCursor());
        break;
    case CursorShape::ClosedHand:
        viewport()->setCursor(closedHandCursor());
        break;
    }
}

} // namespace calmora
