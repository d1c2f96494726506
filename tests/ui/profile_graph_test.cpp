// The level box drawn into an image: where its grid lines and labels fall,
// that each curve lies where its values put it in its own colour (342 on
// the first grid line), markers only when editable; and the profile dialog
// over a real document: "No image", "Please wait..." while the profile is
// built, then one curve for a grey image and three for a colour one.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

#include "ui/left_pane_dialog_bar.h"
#include "ui/level_box.h"
#include "ui/profile_main_emb_dialog.h"
#include "ui_test_support.h"

using namespace calmora;

namespace {

QImage drawn(CLevelBox& box)
{
    return box.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The curve passes through `p` when a pixel of its colour lies within
// `reach`: a polyline's corner pixel may fall beside the vertex.
bool curveNear(const QImage& image, QPoint p, const QColor& colour, int reach)
{
    for (int dy = -reach; dy <= reach; ++dy)
        for (int dx = -reach; dx <= reach; ++dx)
            if (image.pixelColor(p + QPoint(dx, dy)) == colour)
                return true;
    return false;
}

struct Curve {
    QColor colour;
    QList<int> values;
};

} // namespace

Q_DECLARE_METATYPE(QList<int>)

class ProfileGraphTest : public QObject {
    Q_OBJECT

private slots:
    void geometry_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("lines");
        QTest::addColumn<QList<int>>("labels");
        // The font of the offscreen platform is some 17 pixels high.
        QTest::newRow("tall: tens") << QSize(300, 430) << 11
                                    << QList<int> { 100, 90, 80, 70, 60, 50, 40, 30, 20, 10, 0 };
        QTest::newRow("middle: fifths") << QSize(300, 150) << 6
                                        << QList<int> { 100, 80, 60, 40, 20, 0 };
        QTest::newRow("short: halves") << QSize(300, 90) << 3 << QList<int> { 100, 50, 0 };
        QTest::newRow("tiny: two lines") << QSize(300, 40) << 2 << QList<int> { 100, 0 };
    }

    // The labels step down from 100 to 0, in larger steps as the box gets
    // shorter so that no two overlap while more than two are shown; the
    // plot keeps inside the box and right of the widest label.
    void geometry()
    {
        QFETCH(QSize, size);
        QFETCH(int, lines);
        QFETCH(QList<int>, labels);
        CLevelBox box;
        QFontMetrics metrics(box.font());
        QVERIFY2(metrics.height() >= 14 && metrics.height() <= 20,
            qPrintable(QString::number(metrics.height())));
        const int columns = 11;
        const LevelBoxGeometry g = levelBoxGeometry(size, metrics, columns);
        QCOMPARE(g.lineCount, lines);
        QList<int> shown;
        for (int line = 0; line < g.lineCount; ++line)
            shown << g.linePercent(line);
        QCOMPARE(shown, labels);
        if (lines > 2)
            QVERIFY2(g.lineY(1) - g.lineY(0) > metrics.height(), "labels overlap");
        QCOMPARE(g.pointY(LevelBoxGeometry::kFullScale), g.lineY(0));
        QVERIFY(metrics.horizontalAdvance(QStringLiteral("100%")) < g.left);
        QVERIFY(g.pointX(0) > g.left && g.pointX(columns - 1) < size.width());
        // A box lower than four labels has no room for a plot at all.
        if (size.height() < 4 * metrics.height())
            return;
        QVERIFY(g.top > 0 && g.lineY(g.lineCount - 1) <= g.bottom && g.bottom < size.height());
        QVERIFY(g.pointY(0) > g.pointY(LevelBoxGeometry::kFullScale / 2));
    }

    void curves_data()
    {
        QTest::addColumn<QList<Curve>>("curves");
        QTest::addColumn<bool>("displayOnly");
        QTest::newRow("grey: one black curve")
            << QList<Curve> { { QColor(0, 0, 0), { 10, 40, 80, 120, 342, 60 } } } << true;
        QTest::newRow("colour: three curves")
            << QList<Curve> { { QColor(0, 0, 0), { 20, 30, 40, 50, 60, 70, 80 } },
                   { QColor(127, 0, 0), { 100, 140, 180, 220, 260, 300, 342 } },
                   { QColor(0, 0, 127), { 342, 250, 200, 150, 100, 5, 0 } } }
            << true;
        QTest::newRow("editable: with markers")
            << QList<Curve> { { QColor(127, 0, 0), { 50, 150, 250 } } } << false;
    }

    void curves()
    {
        QFETCH(QList<Curve>, curves);
        QFETCH(bool, displayOnly);
        CLevelBox box;
        box.resize(320, 260);
        box.setDisplayOnly(displayOnly);
        const int columns = int(curves.front().values.size());
        box.setSize(int(curves.size()), columns);
        for (int row = 0; row < curves.size(); ++row) {
            box.setColour(row, curves[row].colour);
            for (int column = 0; column < columns; ++column)
                box.setValue(row, column, curves[row].values[column]);
        }
        const QImage image = drawn(box);
        const LevelBoxGeometry g = levelBoxGeometry(box.size(), box.fontMetrics(), columns);
        // The last curve is drawn on top: check it at every point, the
        // others where no later curve crosses.
        for (int row = 0; row < curves.size(); ++row) {
            for (int column = 0; column < columns; ++column) {
                const int v = curves[row].values[column];
                const QPoint p(g.pointX(column), g.pointY(v));
                bool covered = false;
                for (int later = row + 1; later < curves.size(); ++later)
                    covered = covered
                        || std::abs(g.pointY(curves[later].values[column]) - p.y()) < 3;
                if (!covered)
                    QVERIFY2(curveNear(image, p, curves[row].colour, displayOnly ? 1 : 2),
                        qPrintable(QStringLiteral("row %1 column %2").arg(row).arg(column)));
                if (v == LevelBoxGeometry::kFullScale)
                    QCOMPARE(p.y(), g.lineY(0));
            }
        }
        // Markers are white squares around the points of an editable box.
        const QPoint first(g.pointX(0), g.pointY(curves.front().values.front()));
        QCOMPARE(image.pixelColor(first) == Qt::white, !displayOnly);
        // Top of the gradient white, bottom tinted, the frame's corners
        // drawn in the border colour.
        QCOMPARE(image.pixelColor(box.width() / 2, 2), QColor(Qt::white));
        QVERIFY(image.pixelColor(box.width() - 4, box.height() - 3) != QColor(Qt::white));
    }

    void selectedFrame()
    {
        CLevelBox box;
        box.resize(200, 150);
        box.setDisplayOnly(true);
        QVERIFY(drawn(box).pixelColor(1, 75) != QColor(95, 95, 95));
        box.setSelected(true);
        QCOMPARE(drawn(box).pixelColor(1, 75), QColor(95, 95, 95));
    }

    void noImage()
    {
        TestApp test;
        CProfileMainEmbDialog dialog(test.document());
        dialog.resize(260, 240);
        dialog.show();
        QCOMPARE(dialog.text()->text(), QStringLiteral("No image"));
        QVERIFY(dialog.text()->isVisible());
        QVERIFY(!dialog.levelBox()->isVisible());
        QCOMPARE(dialog.frequencyCombo()->count(), 4);
        QCOMPARE(dialog.frequencyCombo()->itemText(3), QStringLiteral("Very Low"));
    }

    void profileShown_data()
    {
        QTest::addColumn<QImage::Format>("format");
        QTest::addColumn<int>("curves");
        QTest::newRow("colour") << QImage::Format_RGB32 << 3;
        QTest::newRow("16-bit grey") << QImage::Format_Grayscale16 << 1;
    }

    // While the pass runs the text waits; the worker's report brings the
    // graph, with the band's own points; another band shows its own; closing
    // the image brings "No image" back.
    void profileShown()
    {
        QFETCH(QImage::Format, format);
        QFETCH(int, curves);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("photo.png"));
        QVERIFY(noisyPicture(900, 700).convertToFormat(format).save(path));
        TestApp test;
        CProfileMainEmbDialog dialog(test.document());
        dialog.resize(260, 240);
        dialog.show();
        QVERIFY(test.app->openFile(path));
        QCOMPARE(dialog.text()->text(),
            QStringLiteral("Please wait while noise profile is being built..."));
        QVERIFY(!dialog.levelBox()->isVisible());
        QVERIFY(QTest::qWaitFor([&] { return dialog.levelBox()->isVisible(); }, 60000));
        QVERIFY(!dialog.text()->isVisible());

        const CLevelBox& box = *dialog.levelBox();
        QCOMPARE(box.rows(), curves);
        QVERIFY(box.displayOnly());
        const NoiseProfile& profile = test.document().job().activeProfile;
        for (int band : { 0, 3 }) {
            dialog.frequencyCombo()->setCurrentIndex(band);
            const NoiseBand& b = profile.bands[band];
            QCOMPARE(box.columns(), int(b.pointCount));
            for (int point = 0; point < b.pointCount; ++point)
                for (int row = 0; row < curves; ++row)
                    QCOMPARE(box.value(row, point), int(b.noise[point][row]));
        }
        QCOMPARE(box.colour(0), QColor(0, 0, 0));
        QCOMPARE(dialog.source()->text(), QStringLiteral("Measured from this photo"));
        if (curves == 3) {
            QCOMPARE(box.colour(1), QColor(127, 0, 0));
            QCOMPARE(box.colour(2), QColor(0, 0, 127));
        }
        QVERIFY(test.settle());
        test.document().deleteContents();
        QCOMPARE(dialog.text()->text(), QStringLiteral("No image"));
        QVERIFY(!dialog.levelBox()->isVisible());
    }

    // The caption under the graph names the profile in use: the photo's own
    // until three photos of its camera and ISO speed have been seen, then
    // the learned one, and the own again once the user turns self-learning
    // off for the image.
    void captionSaysWhichProfileIsInUse()
    {
        QTemporaryDir dir;
        TestApp test;
        auto* view = test.frame().findChild<CProfileMainEmbDialog*>(QStringLiteral("profileView"));
        QVERIFY(view != nullptr);
        const QString own = QStringLiteral("Measured from this photo");
        const QStringList captions { own, own,
            QStringLiteral("Learned from 3 photos (Canon EOS DIGITAL REBEL, ISO 100)") };
        for (int i = 0; i < captions.size(); ++i) {
            const QString path = dir.filePath(QStringLiteral("photo%1.jpg").arg(i));
            QVERIFY(QFile::copy(QStringLiteral(CALMORA_SAMPLE_PHOTO), path));
            QVERIFY(test.openAndSettle(path));
            QCOMPARE(view->source()->text(), captions[i]);
        }
        const ProcessingJob& job = test.document().job();
        QCheckBox* box = test.frame().filterPane()->selfLearningBox();
        box->setChecked(true);
        emit box->clicked(true);
        QCOMPARE(view->source()->text(), own);
        QVERIFY(
            std::memcmp(&job.activeProfile, &job.measuredProfile, sizeof job.activeProfile) == 0);
        QVERIFY(test.settle());
    }

    void shortDialogDropsTheFrequencyRow()
    {
        TestApp test;
        CProfileMainEmbDialog dialog(test.document());
        dialog.resize(260, 240);
        dialog.show();
        QVERIFY(dialog.frequencyCombo()->isVisible());
        dialog.resize(260, 80);
        QVERIFY(!dialog.frequencyCombo()->isVisible());
        QCOMPARE(dialog.levelBox()->geometry(), dialog.rect());
        QCOMPARE(dialog.text()->geometry(), dialog.rect().adjusted(5, 5, -5, -5));
    }
};

QTEST_MAIN(ProfileGraphTest)
#include "profile_graph_test.moc"
