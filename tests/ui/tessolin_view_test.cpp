// The image view on the offscreen platform: Best Fit, the zoom limits and
// the centre kept by a zoom, the visible rectangles, the preview countdown
// and its conditions (driven tick by tick, never by the clock), what a
// drawing shows, and what a written tile repaints.

#include <QApplication>
#include <QPaintEvent>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "document/tessolin_doc.h"
#include "settings/learned_profile_store.h"
#include "settings/presets.h"
#include "ui/tessolin_view.h"

using namespace calmora;

namespace {

// Diagonal ramps with a fine checker, so that a pixel out of place shows.
QImage patternPicture(int width, int height)
{
    QImage picture(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int checker = ((x ^ y) & 1) * 40;
            picture.setPixel(x, y, qRgb((x * 3 + checker) & 255, (y * 5) & 255, (x + y) & 255));
        }
    return picture;
}

struct SilentPrompter final : DocumentPrompter {
    PromptAnswer ask(const QString&, PromptIcon, PromptButtons) override
    {
        return PromptAnswer::No;
    }
    void tell(const QString&, PromptIcon) override { }
    QString askSavePath(const QString&) override { return {}; }
    bool runWholeImage(CTessolinDoc& document) override { return document.processWholeImageNow(); }
};

// Collects the regions the viewport is asked to paint.
struct PaintRecorder final : QObject {
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            painted += static_cast<QPaintEvent*>(event)->region();
        return false;
    }
    QRegion painted;
};

} // namespace

class TessolinViewTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void bestFit_data();
    void bestFit();
    void zoomLimits_data();
    void zoomLimits();
    void zoomKeepsCentre_data();
    void zoomKeepsCentre();
    void visibleRects_data();
    void visibleRects();
    void previewCountdown_data();
    void previewCountdown();
    void drawing_data();
    void drawing();
    void smallImageCentredMarginsErased();
    void writtenTileRepaintsItsRectangle_data();
    void writtenTileRepaintsItsRectangle();
    void runningFilterReadsOnlyWrittenTiles();

private:
    // Opens a generated picture in a fresh document and view whose viewport
    // is `client`; the profile pass of the opening has ended.
    void openView(QSize picture, QSize client = QSize(300, 200));
    void paintNow() { QCoreApplication::processEvents(); }
    QImage shown()
    {
        return m_view->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }

    std::unique_ptr<QTemporaryDir> m_folder;
    Options m_options;
    PresetTable m_presets;
    EmptyProfileStore m_store;
    SilentPrompter m_prompter;
    std::unique_ptr<CTessolinDoc> m_document;
    std::unique_ptr<CTessolinView> m_view;
    QList<Rect> m_started;
};

void TessolinViewTest::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
    m_options = Options {};
    m_options.settings.defaultZoom = 100;
    m_options.settings.autoPreview = 1;
    m_started.clear();
}

void TessolinViewTest::cleanup()
{
    m_view.reset();
    m_document.reset();
}

void TessolinViewTest::openView(QSize picture, QSize client)
{
    m_document = std::make_unique<CTessolinDoc>(m_options, m_presets, m_store, m_prompter);
    m_view = std::make_unique<CTessolinView>(m_document.get(), &m_options);
    m_view->stopPreviewClock();
    m_view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_view->setPreviewStarter([this](const Rect& visible) {
        m_started.append(visible);
        return true;
    });
    m_view->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
    m_view->resize(m_view->size() - m_view->viewport()->size() + client);
    paintNow();
    QCOMPARE(m_view->viewport()->size(), client);

    const QString path = m_folder->filePath(QStringLiteral("picture.png"));
    QVERIFY(patternPicture(picture.width(), picture.height()).save(path));
    QVERIFY(m_document->open(path));
    m_document->waitForWorker();
    paintNow();
}

void TessolinViewTest::bestFit_data()
{
    QTest::addColumn<QSize>("image");
    QTest::addColumn<QSize>("client");
    QTest::addColumn<int>("zoom");
    QTest::newRow("4000 x 3000 in 800 x 600") << QSize(4000, 3000) << QSize(800, 600) << 25;
    QTest::newRow("8000 x 6000 falls to the lowest") << QSize(8000, 6000) << QSize(800, 600) << 25;
    QTest::newRow("under four thirds of the client") << QSize(1000, 700) << QSize(800, 600) << 100;
    QTest::newRow("height at four thirds exactly") << QSize(1000, 800) << QSize(800, 600) << 50;
    QTest::newRow("too wide alone") << QSize(2200, 1000) << QSize(1600, 900) << 50;
    QTest::newRow("tiny image") << QSize(16, 16) << QSize(800, 600) << 100;
}

void TessolinViewTest::bestFit()
{
    QFETCH(QSize, image);
    QFETCH(QSize, client);
    QFETCH(int, zoom);
    QCOMPARE(bestFitZoom(image, client), zoom);
}

void TessolinViewTest::zoomLimits_data()
{
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("request"); // -1 zoom out, 1 zoom in, else setZoom
    QTest::addColumn<int>("zoom");
    QTest::newRow("in from 100") << 100 << 1 << 200;
    QTest::newRow("in at 400 stays") << 400 << 1 << 400;
    QTest::newRow("out from 50") << 50 << -1 << 25;
    QTest::newRow("out at 25 stays") << 25 << -1 << 25;
    QTest::newRow("below 25 ignored") << 200 << 12 << 200;
    QTest::newRow("above 400 ignored") << 200 << 800 << 200;
    QTest::newRow("best fit") << 400 << kBestFit << 50;
}

void TessolinViewTest::zoomLimits()
{
    QFETCH(int, start);
    QFETCH(int, request);
    QFETCH(int, zoom);
    openView(QSize(700, 500));
    // Scroll bars as the window has them: there while the image is larger
    // than the client.
    m_view->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_view->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_view->setZoom(start);
    QSignalSpy changes(m_view.get(), &CTessolinView::zoomChanged);
    if (request == 1)
        m_view->zoomIn();
    else if (request == -1)
        m_view->zoomOut();
    else
        m_view->setZoom(request);
    QCOMPARE(m_view->currentZoom(), zoom);
    QCOMPARE(changes.size(), zoom != start ? 1 : 0);
    if (changes.size() == 1)
        QCOMPARE(changes.at(0).at(0).toInt(), zoom);
    // The context menu greys what would change nothing.
    const ViewCommandState state = m_view->commandState();
    QCOMPARE(state.zoomIn, zoom < 400);
    QCOMPARE(state.zoomOut, zoom > 25);
    const QSize scaled(700 * zoom / 100, 500 * zoom / 100);
    QTRY_COMPARE(m_view->horizontalScrollBar()->isVisible(),
        scaled.width() > m_view->viewport()->width());
    QTRY_COMPARE(m_view->verticalScrollBar()->isVisible(),
        scaled.height() > m_view->viewport()->height());
}

void TessolinViewTest::zoomKeepsCentre_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<bool>("in");
    QTest::addColumn<QPoint>("scroll");
    QTest::newRow("100 to 200, scrolled") << 100 << true << QPoint(123, 77);
    QTest::newRow("200 to 400, odd position") << 200 << true << QPoint(301, 155);
    QTest::newRow("200 to 100") << 200 << false << QPoint(400, 300);
    QTest::newRow("100 to 50") << 100 << false << QPoint(400, 300);
}

void TessolinViewTest::zoomKeepsCentre()
{
    QFETCH(int, from);
    QFETCH(bool, in);
    QFETCH(QPoint, scroll);
    openView(QSize(1000, 800));
    m_view->setZoom(from);
    m_view->horizontalScrollBar()->setValue(scroll.x());
    m_view->verticalScrollBar()->setValue(scroll.y());
    const QSize client = m_view->viewport()->size();
    const auto centreInImage = [&] {
        const int zoom = m_view->currentZoom();
        return QPointF((m_view->horizontalScrollBar()->value() + client.width() / 2) * 100.0 / zoom,
            (m_view->verticalScrollBar()->value() + client.height() / 2) * 100.0 / zoom);
    };
    const QPointF before = centreInImage();
    in ? m_view->zoomIn() : m_view->zoomOut();
    const QPointF after = centreInImage();
    // Truncation and the snap to whole pixels move it by a pixel at most.
    QVERIFY2(qAbs(after.x() - before.x()) <= 1.0 && qAbs(after.y() - before.y()) <= 1.0,
        qPrintable(QStringLiteral("centre (%1, %2) moved to (%3, %4)")
                       .arg(before.x())
                       .arg(before.y())
                       .arg(after.x())
                       .arg(after.y())));
    const int pixel = std::max(1, m_view->currentZoom() / 100);
    QCOMPARE(m_view->horizontalScrollBar()->value() % pixel, 0);
    QCOMPARE(m_view->verticalScrollBar()->value() % pixel, 0);
}

void TessolinViewTest::visibleRects_data()
{
    QTest::addColumn<QPoint>("scroll");
    QTest::addColumn<int>("zoom");
    QTest::addColumn<QSize>("image");
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QRect>("picture");
    const QSize photo(1000, 800);
    QTest::newRow("100 %, scrolled")
        << QPoint(30, 40) << 100 << photo << QRect(30, 40, 305, 205) << QRect(30, 40, 305, 205);
    QTest::newRow("200 %, snapped to whole pixels")
        << QPoint(31, 41) << 200 << photo << QRect(30, 40, 304, 204) << QRect(15, 20, 152, 102);
    QTest::newRow("400 %, clamped at the bottom right")
        << QPoint(3700, 3000) << 400 << photo << QRect(3700, 3000, 300, 200)
        << QRect(925, 750, 75, 50);
    QTest::newRow("25 %, centred both ways")
        << QPoint(0, 0) << 25 << photo << QRect(27, 2, 250, 200) << QRect(0, 0, 1000, 800);
    QTest::newRow("small image centred at 100 %")
        << QPoint(0, 0) << 100 << QSize(100, 80) << QRect(102, 62, 100, 80) << QRect(0, 0, 100, 80);
}

void TessolinViewTest::visibleRects()
{
    QFETCH(QPoint, scroll);
    QFETCH(int, zoom);
    QFETCH(QSize, image);
    QFETCH(QRect, screen);
    QFETCH(QRect, picture);
    const ViewRects rects = viewRects(scroll, QSize(300, 200), zoom, image);
    QCOMPARE(rects.screen, screen);
    QCOMPARE(rects.image, picture);
}

void TessolinViewTest::previewCountdown_data()
{
    QTest::addColumn<int>("delaySeconds");
    QTest::addColumn<bool>("go");
    QTest::addColumn<bool>("autoPreview");
    QTest::addColumn<bool>("thumbHeld");
    QTest::addColumn<bool>("runGoing");
    QTest::addColumn<int>("startTick"); // 0: no preview
    QTest::newRow("2 s: ten ticks after the change") << 2 << true << true << false << false << 10;
    QTest::newRow("0 s: the first tick") << 0 << true << true << false << false << 1;
    QTest::newRow("before the first Go: none") << 1 << false << true << false << false << 0;
    QTest::newRow("automatic preview off: none") << 1 << true << false << false << false << 0;
    QTest::newRow("thumb held: after its release") << 1 << true << true << true << false << 5;
    QTest::newRow("a run going: after it ends") << 1 << true << true << false << true << 5;
}

void TessolinViewTest::previewCountdown()
{
    QFETCH(int, delaySeconds);
    QFETCH(bool, go);
    QFETCH(bool, autoPreview);
    QFETCH(bool, thumbHeld);
    QFETCH(bool, runGoing);
    QFETCH(int, startTick);
    openView(QSize(1000, 800));
    m_options.settings.previewDelay = delaySeconds;
    m_options.settings.autoPreview = autoPreview ? 1 : 0;
    m_document->writableJob().processedByGo = go;
    const auto ticksToStart = [&](int limit) {
        for (int tick = 1; tick <= limit; ++tick) {
            m_view->previewTick();
            if (!m_started.isEmpty())
                return tick;
        }
        return 0;
    };

    QScrollBar* bar = m_view->verticalScrollBar();
    bar->setSliderDown(thumbHeld);
    bar->setValue(bar->value() + 30);
    if (thumbHeld) {
        QCOMPARE(ticksToStart(60), 0);
        bar->setSliderDown(false); // the release ends the scroll
    }
    if (runGoing) {
        m_document->writableJob().running = true;
        QCOMPARE(ticksToStart(60), 0);
        m_document->writableJob().running = false;
    }
    paintNow();
    QCOMPARE(ticksToStart(60), startTick);
    if (startTick != 0) {
        const Rect visible = m_view->visibleRect();
        QCOMPARE(m_started.size(), 1);
        QCOMPARE(m_started.first().top, visible.top);
        QCOMPARE(m_started.first().bottom, visible.bottom);
        QCOMPARE(visible.top, 30);
        // Once per expiry: nothing more until the next change.
        QCOMPARE(ticksToStart(60), 1);
        QCOMPARE(m_started.size(), 1);
    }
}

void TessolinViewTest::drawing_data()
{
    QTest::addColumn<int>("zoom");
    QTest::addColumn<QPoint>("scroll");
    QTest::addColumn<bool>("original");
    QTest::newRow("100 %, working copy") << 100 << QPoint(37, 21) << false;
    QTest::newRow("100 %, original held") << 100 << QPoint(37, 21) << true;
    QTest::newRow("200 %, stretched without smoothing") << 200 << QPoint(64, 40) << false;
    QTest::newRow("50 %, every pixel one of its block") << 50 << QPoint(10, 20) << false;
}

void TessolinViewTest::drawing()
{
    QFETCH(int, zoom);
    QFETCH(QPoint, scroll);
    QFETCH(bool, original);
    openView(QSize(1300, 700));
    // Filtered, so that the working copy and the original differ.
    QVERIFY(m_document->processWholeImageNow());
    m_view->setZoom(zoom);
    m_view->horizontalScrollBar()->setValue(scroll.x());
    m_view->verticalScrollBar()->setValue(scroll.y());
    const QPoint centre = m_view->viewport()->rect().center();
    if (original)
        QTest::mousePress(m_view->viewport(), Qt::LeftButton, {}, centre);
    paintNow();
    const QImage screen = shown();
    if (original)
        QTest::mouseRelease(m_view->viewport(), Qt::LeftButton, {}, centre);

    const QImage picture
        = m_document->image()->toQImage(original).convertToFormat(QImage::Format_RGB32);
    QVERIFY(
        picture != m_document->image()->toQImage(!original).convertToFormat(QImage::Format_RGB32));
    // Each screen pixel shows one pixel of the block of image pixels under it.
    const int block = std::max(1, 100 / zoom);
    for (int y = 0; y < screen.height(); ++y)
        for (int x = 0; x < screen.width(); ++x) {
            const int imageX = (scroll.x() + x) * 100 / zoom;
            const int imageY = (scroll.y() + y) * 100 / zoom;
            bool found = false;
            for (int dy = 0; dy < block && !found; ++dy)
                for (int dx = 0; dx < block && !found; ++dx)
                    found = screen.pixel(x, y) == picture.pixel(imageX + dx, imageY + dy);
            if (!found)
                QFAIL(qPrintable(QStringLiteral("screen (%1,%2): %3, image (%4,%5): %6")
                                     .arg(x)
                                     .arg(y)
                                     .arg(screen.pixel(x, y), 8, 16)
                                     .arg(imageX)
                                     .arg(imageY)
                                     .arg(picture.pixel(imageX, imageY), 8, 16)));
        }
}

void TessolinViewTest::smallImageCentredMarginsErased()
{
    openView(QSize(120, 90));
    const ViewRects rects = viewRects(QPoint(0, 0), QSize(300, 200), 100, QSize(120, 90));
    const QImage screen = shown();
    const QImage picture = m_document->image()->toQImage().convertToFormat(QImage::Format_RGB32);
    const QRgb margin = m_view->palette().color(QPalette::Dark).rgb();
    for (int y = 0; y < screen.height(); ++y)
        for (int x = 0; x < screen.width(); ++x) {
            const QRgb expected = rects.screen.contains(x, y)
                ? picture.pixel(x - rects.screen.left(), y - rects.screen.top())
                : margin;
            if (screen.pixel(x, y) != expected)
                QFAIL(qPrintable(QStringLiteral("(%1,%2): expected %3, got %4")
                                     .arg(x)
                                     .arg(y)
                                     .arg(expected, 8, 16)
                                     .arg(screen.pixel(x, y), 8, 16)));
        }
}

void TessolinViewTest::writtenTileRepaintsItsRectangle_data()
{
    QTest::addColumn<int>("zoom");
    QTest::addColumn<QPoint>("scroll");
    QTest::addColumn<QRect>("tile");
    QTest::addColumn<QRect>("repainted"); // viewport pixels
    QTest::newRow("100 %") << 100 << QPoint(0, 0) << QRect(100, 50, 200, 200)
                           << QRect(100, 50, 200, 150);
    QTest::newRow("100 %, scrolled")
        << 100 << QPoint(50, 20) << QRect(100, 50, 100, 100) << QRect(50, 30, 100, 100);
    QTest::newRow("200 %") << 200 << QPoint(0, 0) << QRect(40, 30, 60, 40)
                           << QRect(80, 60, 120, 80);
    QTest::newRow("50 %, odd edges rounded outward")
        << 50 << QPoint(0, 0) << QRect(11, 21, 41, 61) << QRect(5, 10, 21, 31);
    QTest::newRow("out of sight") << 100 << QPoint(0, 0) << QRect(600, 600, 100, 100) << QRect();
}

void TessolinViewTest::writtenTileRepaintsItsRectangle()
{
    QFETCH(int, zoom);
    QFETCH(QPoint, scroll);
    QFETCH(QRect, tile);
    QFETCH(QRect, repainted);
    openView(QSize(1300, 900));
    m_view->setZoom(zoom);
    m_view->horizontalScrollBar()->setValue(scroll.x());
    m_view->verticalScrollBar()->setValue(scroll.y());
    paintNow();
    PaintRecorder recorder;
    m_view->viewport()->installEventFilter(&recorder);
    emit m_document->tileWritten(
        Rect { tile.left(), tile.top(), tile.right() + 1, tile.bottom() + 1 });
    paintNow();
    m_view->viewport()->removeEventFilter(&recorder);
    QCOMPARE(recorder.painted, QRegion(repainted));
}

void TessolinViewTest::runningFilterReadsOnlyWrittenTiles()
{
    openView(QSize(900, 700));
    QVERIFY(m_document->processWholeImageNow());
    paintNow();
    const QImage working = m_document->image()->toQImage().convertToFormat(QImage::Format_RGB32);
    const QImage original
        = m_document->image()->toQImage(true).convertToFormat(QImage::Format_RGB32);
    const QRect tile(0, 0, 120, 80);
    // As a filter pass would stand: running with a profile, one tile reported.
    m_document->writableJob().running = true;
    emit m_document->tileWritten(Rect { 0, 0, 120, 80 });
    m_view->viewport()->update();
    paintNow();
    const QImage during = shown();
    m_document->writableJob().running = false;
    emit m_document->runEnded();
    paintNow();
    const QImage after = shown();
    for (const QPoint point :
        { QPoint(5, 5), QPoint(119, 79), QPoint(200, 100), QPoint(10, 150) }) {
        const bool written = tile.contains(point);
        QCOMPARE(during.pixel(point), (written ? working : original).pixel(point));
        QCOMPARE(after.pixel(point), working.pixel(point));
    }
}

int main(int argc, char* argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    TessolinViewTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tessolin_view_test.moc"
