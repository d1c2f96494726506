// The pane framework on its own: colours from light and dark palettes, the
// command texts, the looks of the buttons in each state, clicks that send
// their command or not, drop-down buttons, the idle reset of hover looks
// and the toolbar's presets area.

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QEnterEvent>
#include <QMenu>
#include <QPalette>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "ui/command_ids.h"
#include "ui/pane_button.h"
#include "ui/pane_dialog_bar.h"
#include "ui/pane_dialog_helper.h"
#include "ui/pane_section.h"
#include "ui/pane_tool_bar.h"

using namespace calmora;

namespace {

QPalette paletteWith(QColor highlight, QColor window)
{
    QPalette palette;
    palette.setColor(QPalette::Highlight, highlight);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, window.lightness() < 128 ? Qt::white : Qt::black);
    return palette;
}

QImage rendered(QWidget& widget)
{
    QImage image(widget.size(), QImage::Format_RGB32);
    image.fill(Qt::magenta);
    widget.render(&image);
    return image;
}

void hover(QWidget& widget)
{
    QEnterEvent enter(QPointF(3, 3), QPointF(3, 3), widget.mapToGlobal(QPointF(3, 3)));
    QApplication::sendEvent(&widget, &enter);
}

} // namespace

class PaneFrameworkTest : public QObject {
    Q_OBJECT

private slots:
    // On a light desktop the tints are integer formulas over the caption
    // colour, the same on every machine.
    void lightColours_data()
    {
        QTest::addColumn<QColor>("caption");
        QTest::addColumn<QColor>("pane");
        QTest::addColumn<QColor>("background");
        QTest::addColumn<QColor>("band");
        QTest::addColumn<QColor>("tool");
        QTest::newRow("soft blue") << QColor(153, 180, 209) << QColor(250, 252, 253)
                                   << QColor(179, 199, 221) << QColor(221, 230, 240)
                                   << QColor(230, 237, 244);
        QTest::newRow("black") << QColor(0, 0, 0) << QColor(243, 243, 243) << QColor(64, 64, 64)
                               << QColor(170, 170, 170) << QColor(192, 192, 192);
        QTest::newRow("white") << QColor(255, 255, 255) << QColor(255, 255, 255)
                               << QColor(255, 255, 255) << QColor(255, 255, 255)
                               << QColor(255, 255, 255);
    }

    void lightColours()
    {
        QFETCH(QColor, caption);
        const PaneColours colours = paneColoursFrom(paletteWith(caption, QColor(240, 240, 240)));
        QVERIFY(!colours.dark);
        QTEST(colours.pane, "pane");
        QTEST(colours.background, "background");
        QTEST(colours.sectionBand, "band");
        QTEST(colours.toolTint, "tool");
    }

    // A dark theme gives a dark pane with light captions, in the order of
    // the light theme's tints turned round.
    void darkThemeGivesDarkPane()
    {
        const PaneColours colours
            = paneColoursFrom(paletteWith(QColor(42, 130, 218), QColor(45, 45, 48)));
        QVERIFY(colours.dark);
        QVERIFY2(colours.pane.lightness() < 80, qPrintable(colours.pane.name()));
        QVERIFY(colours.background.lightness() < 160);
        QVERIFY(colours.sectionText.lightness() > 150);
        QVERIFY(colours.buttonText.lightness() > colours.pane.lightness() + 80);
        QVERIFY(colours.sectionBand.lightness() >= colours.pane.lightness());
    }

    void commandTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("tooltip");
        QTest::addColumn<QString>("caption");
        QTest::newRow("both") << "Start processing\nGo"
                              << "Start processing"
                              << "Go";
        QTest::newRow("no break") << "Open"
                                  << "Open"
                                  << "Open";
        QTest::newRow("empty caption") << "Undo the last action\n"
                                       << "Undo the last action"
                                       << "";
        QTest::newRow("only the first break splits") << "a\nb\nc"
                                                     << "a"
                                                     << "b\nc";
    }

    void commandTexts()
    {
        QFETCH(QString, text);
        const CommandTexts texts = splitCommandText(text);
        QTEST(texts.tooltip, "tooltip");
        QTEST(texts.caption, "caption");
        CPaneDialogBar bar;
        CPaneButton* button = bar.makeButton(1, kPushButton, QString(), text);
        QTEST(button->toolTip(), "tooltip");
        QTEST(button->caption(), "caption");
    }

    // Every kind tells normal, hover, pressed and disabled apart, and draws
    // checked as pressed.
    void looksAreToldApart_data()
    {
        QTest::addColumn<unsigned>("flags");
        QTest::newRow("toolbar") << unsigned(kPushButton);
        QTest::newRow("toolbar icon") << unsigned(kPushButton | kIconOnly);
        QTest::newRow("Go") << unsigned(kFramed | kEmphasised);
        QTest::newRow("caption band") << unsigned(kFramed | kSectionCaption);
        QTest::newRow("drop-down") << unsigned(kPushButton | kDropDown);
    }

    void looksAreToldApart()
    {
        QFETCH(unsigned, flags);
        CPaneDialogBar bar;
        CPaneButton* button = bar.makeButton(7, flags, QStringLiteral("open"),
            QStringLiteral("Open an existing document\nOpen"));
        button->resize(90, 30);
        const QImage normal = rendered(*button);
        hover(*button);
        QCOMPARE(button->state(), PaneButtonState::Hover);
        const QImage hovered = rendered(*button);
        button->resetState();
        button->setDown(true);
        QCOMPARE(button->state(), PaneButtonState::Pressed);
        const QImage pressed = rendered(*button);
        button->setDown(false);
        button->setCheckedLook(true);
        const QImage checked = rendered(*button);
        button->setCheckedLook(false);
        button->setEnabled(false);
        QCOMPARE(button->state(), PaneButtonState::Disabled);
        const QImage disabled = rendered(*button);
        const QList<QPair<const char*, const QImage*>> looks { { "normal", &normal },
            { "hover", &hovered }, { "pressed", &pressed }, { "disabled", &disabled } };
        for (qsizetype i = 0; i < looks.size(); ++i) {
            for (qsizetype j = i + 1; j < looks.size(); ++j)
                QVERIFY2(*looks[i].second != *looks[j].second,
                    qPrintable(QStringLiteral("%1 looks like %2")
                                   .arg(QLatin1String(looks[i].first),
                                       QLatin1String(looks[j].first))));
        }
        QCOMPARE(checked, pressed);
    }

    // A click sends the command only when the press and the release are on
    // the same enabled button; a drop-down button opens its menu instead.
    void clicks_data()
    {
        QTest::addColumn<unsigned>("flags");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("releaseInside");
        QTest::addColumn<int>("triggered");
        QTest::addColumn<bool>("menuOpened");
        QTest::newRow("click") << unsigned(kPushButton) << true << true << 1 << false;
        QTest::newRow("released outside") << unsigned(kPushButton) << true << false << 0 << false;
        QTest::newRow("disabled") << unsigned(kPushButton) << false << true << 0 << false;
        QTest::newRow("drop-down") << unsigned(kPushButton | kDropDown) << true << true << 0
                                   << true;
    }

    void clicks()
    {
        QFETCH(unsigned, flags);
        QFETCH(bool, enabled);
        QFETCH(bool, releaseInside);
        QFETCH(bool, menuOpened);
        CPaneDialogBar bar;
        bar.resize(300, 60);
        CPaneButton* button = bar.makeButton(5, flags, QString(), QStringLiteral("Tip\nCaption"));
        button->setGeometry(10, 10, 100, 30);
        QAction action(QStringLiteral("Caption"));
        action.setToolTip(QStringLiteral("Tip"));
        action.setEnabled(enabled);
        button->setAction(&action);
        QMenu menu;
        menu.addAction(QStringLiteral("Entry"));
        button->setMenu(&menu);
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        QSignalSpy triggered(&action, &QAction::triggered);
        QTest::mousePress(button, Qt::LeftButton, {}, QPoint(20, 15));
        if (enabled)
            QCOMPARE(button->state(), PaneButtonState::Pressed);
        QTest::mouseRelease(
            button, Qt::LeftButton, {}, releaseInside ? QPoint(20, 15) : QPoint(150, 15));
        QTEST(int(triggered.size()), "triggered");
        QCOMPARE(menu.isVisible(), menuOpened);
        menu.hide();
        // Just released: no hover look until the pointer moves again.
        QVERIFY(button->state() != PaneButtonState::Pressed);
        QVERIFY(button->state() != PaneButtonState::Hover);
    }

    // The button follows its action's texts, state and checked look.
    void followsItsAction()
    {
        CPaneDialogBar bar;
        CPaneButton* button = bar.makeButton(9, kPushButton, QString(), QString());
        QAction action(QStringLiteral("&Noise Filter"));
        action.setIconText(QStringLiteral("Noise Filter"));
        action.setToolTip(QStringLiteral("Show or hide the noise filter pane"));
        action.setCheckable(true);
        button->setAction(&action);
        QCOMPARE(button->caption(), QStringLiteral("Noise Filter"));
        QCOMPARE(button->toolTip(), QStringLiteral("Show or hide the noise filter pane"));
        QCOMPARE(button->accessibleName(), QStringLiteral("Noise Filter"));
        QVERIFY(!button->checkedLook());
        action.setChecked(true);
        QVERIFY(button->checkedLook());
        QCOMPARE(button->state(), PaneButtonState::Pressed);
        action.setEnabled(false);
        QCOMPARE(button->state(), PaneButtonState::Disabled);
    }

    // A hover look left behind by a pointer that left too fast goes at the
    // next idle moment, but not while the pointer is still over the bar.
    void idleResetOfHover()
    {
        CPaneDialogBar bar;
        bar.resize(200, 50);
        CPaneButton* button = bar.makeButton(3, kPushButton, QString(), QStringLiteral("B"));
        button->setGeometry(5, 5, 60, 30);
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        QCursor::setPos(bar.mapToGlobal(QPoint(20, 20)));
        hover(*button);
        bar.helper().resetHoverIfOutside();
        if (QCursor::pos() == bar.mapToGlobal(QPoint(20, 20)))
            QCOMPARE(button->state(), PaneButtonState::Hover);
        QCursor::setPos(bar.mapToGlobal(QPoint(1000, 1000)));
        hover(*button);
        QCOMPARE(button->state(), PaneButtonState::Hover);
        // The event loop's idle moment runs the reset.
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
        QCOMPARE(button->state(), PaneButtonState::Normal);
    }

    void tableHoldsAtMostAHundredItems()
    {
        CPaneDialogBar bar;
        for (int i = 0; i < CPaneDialogHelper::kMaxItems; ++i)
            QVERIFY(bar.helper().addItem(nullptr, 1000 + i, kSectionControl));
        QVERIFY(!bar.helper().addItem(nullptr, 5000, kSectionControl));
        QCOMPARE(bar.helper().itemCount(), CPaneDialogHelper::kMaxItems);
        QVERIFY(bar.helper().findItem(1099) != nullptr);
        QVERIFY(bar.helper().findItem(5000) == nullptr);
    }

    void sectionOpensAndCloses()
    {
        CPaneDialogBar bar;
        CPaneSection section(bar.helper(), 10010, QStringLiteral("EXIF"));
        auto* content = new QWidget;
        section.setContent(content);
        section.show();
        QSignalSpy toggled(&section, &CPaneSection::toggled);
        QVERIFY(section.isOpen());
        section.setOpen(false);
        QVERIFY(content->isHidden());
        section.setOpen(false);
        QCOMPARE(toggled.size(), 1);
        QCOMPARE(section.captionButton()->caption(), QStringLiteral("EXIF"));
        QVERIFY(!section.captionButton()->toolTip().isEmpty());
    }

    // The toolbar's own presets list and Go show only while the pane is
    // hidden.
    void toolbarPresetArea()
    {
        CPaneToolBar bar;
        QAction open(QStringLiteral("Open"));
        QAction go(QStringLiteral("Go"));
        bar.addCommand(&open, kOpenCommand, QStringLiteral("open"));
        auto* list = new QComboBox;
        bar.addPresetArea(list, &go);
        bar.show();
        bar.setPaneShown(false);
        QVERIFY(bar.presetAreaShown());
        bar.setPaneShown(true);
        QVERIFY(!bar.presetAreaShown());
        QVERIFY(list->isHidden());
    }
};

QTEST_MAIN(PaneFrameworkTest)
#include "pane_framework_test.moc"
