// The Options window: what a fresh installation shows, what OK stores (read
// back from the store itself) and Cancel leaves, the delay check, the
// enabling rules, the zoom list's texts, and the learned-profile deletion
// with its question.

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include "settings/settings_store.h"
#include "ui/options_dialog.h"
#include "ui/options_keeper.h"
#include "ui_test_support.h"

#include <functional>

using namespace calmora;

namespace {

using Edit = std::function<void(COptionsDialog&)>;
using Expect = std::function<bool(const Options&)>;

// The options as the store holds them now.
Options storedOptions(TestApp& test)
{
    Options options;
    loadOptions(test.app->options().store(), options);
    return options;
}

} // namespace

Q_DECLARE_METATYPE(Edit)
Q_DECLARE_METATYPE(Expect)

class OptionsDialogTest : public QObject {
    Q_OBJECT

private slots:
    void freshInstallation()
    {
        TestApp test;
        COptionsDialog dialog(test.app->options(), test.app->presets(), test.document(),
            test.prompter);
        const COptionsGeneralPage& g = *dialog.generalPage();
        QCOMPARE(g.showOpenDialog->isChecked(), false);
        QCOMPARE(g.zoom->currentText(), QStringLiteral("Best Fit"));
        QCOMPARE(g.appendSuffix->isChecked(), true);
        QCOMPARE(g.suffix->text(), QStringLiteral("_filtered"));
        QVERIFY(g.suffix->isEnabled());
        QCOMPARE(g.quality->value(), 90);
        QCOMPARE(g.qualityText->text(), QStringLiteral("90%"));
        QCOMPARE(g.tiffDepth->currentText(), QStringLiteral("24(8) bpp"));
        QVERIFY(g.tiffNote->isHidden());
        const COptionsFilterPage& f = *dialog.filterPage();
        QCOMPARE(f.autoPreview->isChecked(), false);
        QCOMPARE(f.delay->value(), 1);
        QVERIFY(!f.delay->isEnabled());
        QVERIFY(!f.delayLabel->isEnabled());
        QCOMPARE(f.previewInfo->isChecked(), true);
        QCOMPARE(f.defaultPreset->currentText(), QStringLiteral("Default"));
        QCOMPARE(f.defaultPreset->count(), test.app->presets().count());
        QCOMPARE(f.resetOnOpen->isChecked(), true);
        QCOMPARE(f.showSummary->isChecked(), true);
        const COptionsProfilePage& p = *dialog.profilePage();
        QCOMPARE(p.selfLearning->isChecked(), true);
        QCOMPARE(p.alwaysBuild->isChecked(), false);
        QVERIFY(!p.folder->text().isEmpty());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Options"));
        QCOMPARE(dialog.tabs()->count(), 3);
        QCOMPARE(dialog.tabs()->tabText(0), QStringLiteral("General"));
        QCOMPARE(dialog.tabs()->tabText(1), QStringLiteral("Noise Filter"));
        QCOMPARE(dialog.tabs()->tabText(2), QStringLiteral("Noise Profile"));
    }

    void okStores_data()
    {
        QTest::addColumn<Edit>("edit");
        QTest::addColumn<Expect>("expect");
        QTest::newRow("zoom 50%") << Edit([](COptionsDialog& d) {
            d.generalPage()->zoom->setCurrentText(QStringLiteral("50%"));
        }) << Expect([](const Options& o) { return o.settings.defaultZoom == 50; });
        QTest::newRow("open dialog on startup") << Edit([](COptionsDialog& d) {
            d.generalPage()->showOpenDialog->setChecked(true);
        }) << Expect([](const Options& o) { return o.settings.showOpenDialogOnStartup == 1; });
        QTest::newRow("suffix") << Edit([](COptionsDialog& d) {
            d.generalPage()->suffix->setText(QStringLiteral("_calm"));
        }) << Expect([](const Options& o) {
            return o.settings.defaultSuffix == QStringLiteral("_calm");
        });
        QTest::newRow("no suffix appended") << Edit([](COptionsDialog& d) {
            d.generalPage()->appendSuffix->setChecked(false);
        }) << Expect([](const Options& o) { return o.settings.appendSuffix == 0; });
        QTest::newRow("quality by keys") << Edit([](COptionsDialog& d) {
            d.generalPage()->quality->setFocus();
            QTest::keyClick(d.generalPage()->quality, Qt::Key_PageUp);
            QTest::keyClick(d.generalPage()->quality, Qt::Key_End);
            QTest::keyClick(d.generalPage()->quality, Qt::Key_Left);
        }) << Expect([](const Options& o) { return o.settings.jpegQuality == 99; });
        QTest::newRow("48-bit TIFF") << Edit([](COptionsDialog& d) {
            d.generalPage()->tiffDepth->setCurrentIndex(1);
        }) << Expect([](const Options& o) { return o.settings2.tiffDepth == 1; });
        QTest::newRow("automatic preview, delay 7") << Edit([](COptionsDialog& d) {
            d.filterPage()->autoPreview->setChecked(true);
            d.filterPage()->delay->setValue(7);
        }) << Expect([](const Options& o) {
            return o.settings.autoPreview == 1 && o.settings.previewDelay == 7;
        });
        QTest::newRow("no preview information") << Edit([](COptionsDialog& d) {
            d.filterPage()->previewInfo->setChecked(false);
        }) << Expect([](const Options& o) { return o.settings3.hidePreviewInfo == 1; });
        QTest::newRow("default preset by name") << Edit([](COptionsDialog& d) {
            d.filterPage()->defaultPreset->setCurrentText(QStringLiteral("Night Scene"));
        }) << Expect([](const Options& o) { return o.settings.defaultPreset == 2; });
        QTest::newRow("no reset, no summary") << Edit([](COptionsDialog& d) {
            d.filterPage()->resetOnOpen->setChecked(false);
            d.filterPage()->showSummary->setChecked(false);
        }) << Expect([](const Options& o) {
            return o.settings.resetPresetOnOpen == 0 && o.settings.showSummary == 0;
        });
        QTest::newRow("profile page") << Edit([](COptionsDialog& d) {
            d.profilePage()->chooseFolder = [](const QString&) {
                return QStringLiteral("/tmp/calm profiles");
            };
            QTest::mouseClick(d.profilePage()->browse, Qt::LeftButton);
            d.profilePage()->selfLearning->setChecked(false);
            d.profilePage()->alwaysBuild->setChecked(true);
        }) << Expect([](const Options& o) {
            return o.profileFolder == QStringLiteral("/tmp/calm profiles")
                && o.settings2.selfLearning == 0 && o.settings2.alwaysBuildProfile == 1;
        });
    }

    // OK writes the store at once; the options in hand follow, and nothing
    // else of the groups changes but the two applied markers.
    void okStores()
    {
        QFETCH(Edit, edit);
        QFETCH(Expect, expect);
        TestApp test;
        const Options before = test.app->options().options();
        COptionsDialog dialog(test.app->options(), test.app->presets(), test.document(),
            test.prompter);
        edit(dialog);
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(test.prompter.told.isEmpty());
        const Options stored = storedOptions(test);
        QVERIFY(expect(stored));
        QVERIFY(expect(test.app->options().options()));
        QVERIFY(!expect(before));
    }

    void cancelKeepsEverything()
    {
        TestApp test;
        const Options before = test.app->options().options();
        COptionsDialog dialog(test.app->options(), test.app->presets(), test.document(),
            test.prompter);
        dialog.generalPage()->zoom->setCurrentText(QStringLiteral("400%"));
        dialog.filterPage()->autoPreview->setChecked(true);
        dialog.profilePage()->selfLearning->setChecked(false);
        dialog.reject();
        const Options& after = test.app->options().options();
        QVERIFY(after.settings == before.settings);
        QVERIFY(after.settings2 == before.settings2);
        QVERIFY(after.settings3 == before.settings3);
        QVERIFY(!test.app->options()
                     .store()
                     .readBinary(QStringLiteral("Options"), QStringLiteral("Settings"))
                     .has_value());
    }

    void delayChecked_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("10") << QStringLiteral("10") << true;
        QTest::newRow("3") << QStringLiteral("3") << true;
    }

    // A refused delay keeps the window open on its page, with the message,
    // and stores nothing.
    void delayChecked()
    {
        QFETCH(QString, typed);
        QFETCH(bool, accepted);
        TestApp test;
        COptionsDialog dialog(test.app->options(), test.app->presets(), test.document(),
            test.prompter);
        dialog.show();
        COptionsFilterPage& page = *dialog.filterPage();
        page.autoPreview->setChecked(true);
        page.delay->clear();
        QTest::keyClicks(page.delay, typed);
        dialog.tabs()->setCurrentIndex(0);
        dialog.accept();
        QCOMPARE(dialog.result() == QDialog::Accepted, accepted);
        if (accepted) {
            QVERIFY(test.prompter.told.isEmpty());
            QCOMPARE(storedOptions(test).settings.previewDelay, typed.toInt());
        } else {
            QCOMPARE(test.prompter.told,
                QStringList { QStringLiteral("Please enter an integer between 1 and 10.") });
            QVERIFY(dialog.isVisible());
            QCOMPARE(dialog.tabs()->currentWidget(), static_cast<QWidget*>(&page));
            QCOMPARE(test.app->options().options().settings.autoPreview, 0);
        }
    }

    void enabling_data()
    {
        QTest::addColumn<Edit>("edit");
        QTest::addColumn<QString>("widgetName");
        QTest::addColumn<bool>("enabled");
        const Edit noSuffix = [](COptionsDialog& d) {
            QTest::mouseClick(d.generalPage()->appendSuffix, Qt::LeftButton);
        };
        QTest::newRow("unchecked suffix greys its edit") << noSuffix << "defaultSuffix" << false;
        QTest::newRow("and its label") << noSuffix << "suffixLabel" << false;
        const Edit preview = [](COptionsDialog& d) {
            QTest::mouseClick(d.filterPage()->autoPreview, Qt::LeftButton);
        };
        QTest::newRow("automatic preview enables the delay") << preview << "previewDelay" << true;
        QTest::newRow("and its label") << preview << "delayLabel" << true;
        const Edit previewTwice = [](COptionsDialog& d) {
            QTest::mouseClick(d.filterPage()->autoPreview, Qt::LeftButton);
            QTest::mouseClick(d.filterPage()->autoPreview, Qt::LeftButton);
        };
        QTest::newRow("and off again greys it") << previewTwice << "previewDelay" << false;
        QTest::newRow("48-bit TIFF shows its note") << Edit([](COptionsDialog& d) {
            d.generalPage()->tiffDepth->setCurrentIndex(1);
        }) << "tiffNote" << true;
    }

    void enabling()
    {
        QFETCH(Edit, edit);
        QFETCH(QString, widgetName);
        QFETCH(bool, enabled);
        TestApp test;
        COptionsDialog dialog(test.app->options(), test.app->presets(), test.document(),
            test.prompter);
        dialog.generalPage()->suffixLabel->setObjectName(QStringLiteral("suffixLabel"));
        dialog.filterPage()->delayLabel->setObjectName(QStringLiteral("delayLabel"));
        dialog.show();
        edit(dialog);
        auto* widget = dialog.findChild<QWidget*>(widgetName);
        QVERIFY(widget != nullptr);
        QCOMPARE(widget->isEnabled(), enabled);
        if (widgetName == QStringLiteral("tiffNote"))
            QCOMPARE(widget->isVisible(), enabled);
    }

    void zoomTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("zoom");
        QTest::newRow("400%") << "400%" << 400;
        QTest::newRow("25%") << "25%" << 25;
        QTest::newRow("Best Fit") << "Best Fit" << 0;
        QTest::newRow("Auto") << "Auto" << 0;
        QTest::newRow("no number first") << "x50%" << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("space before the sign") << "75 %" << 75;
    }

    void zoomTexts()
    {
        QFETCH(QString, text);
        QFETCH(int, zoom);
        QCOMPARE(zoomFromText(text), zoom);
        if (zoom != 0 && !text.contains(QLatin1Char(' ')))
            QCOMPARE(zoomText(zoom), text);
    }

    void deleteLearned_data()
    {
        QTest::addColumn<PromptAnswer>("answer");
        QTest::addColumn<int>("deletions");
        QTest::newRow("No changes nothing") << PromptAnswer::No << 0;
        QTest::newRow("Yes empties") << PromptAnswer::Yes << 1;
    }

    void deleteLearned()
    {
        QFETCH(PromptAnswer, answer);
        QFETCH(int, deletions);
        ScriptedPrompter prompter;
        prompter.answers.push_back(answer);
        int calls = 0;
        COptionsProfilePage page(prompter, [&calls] {
            ++calls;
            return true;
        });
        QTest::mouseClick(page.deleteLearned, Qt::LeftButton);
        QCOMPARE(prompter.asked,
            QStringList { QStringLiteral("Are you sure you want to delete all learned profiles?") });
        QCOMPARE(calls, deletions);
    }

    // Through the window with a document: Yes leaves no request pending
    // when no run goes, and no learned profile in the options' folder.
    void deleteThroughTheDocument()
    {
        TestApp test;
        const QString learned
            = QDir(test.profiles.path()).filePath("Acme_ISO100_0px_0.calmora-profile");
        QFile file(learned);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        test.prompter.answers.push_back(PromptAnswer::Yes);
        COptionsDialog dialog(test.app->options(), test.app->presets(), test.document(),
            test.prompter);
        QTest::mouseClick(dialog.profilePage()->deleteLearned, Qt::LeftButton);
        QCOMPARE(test.prompter.asked.size(), 1);
        QVERIFY(!test.document().profileStore().deleteRequested());
        QVERIFY(test.prompter.told.isEmpty());
        QVERIFY(!QFile::exists(learned));
    }

    // The main frame's command runs the window; automatic preview turned on
    // there presses the toolbar's Preview button.
    void previewButtonFollows()
    {
        TestApp test;
        test.frame().show();
        auto* preview = test.frame().findChild<QAction*>(QStringLiteral("preview"));
        QVERIFY(preview != nullptr);
        QVERIFY(!preview->isChecked());
        bool seen = false;
        QTimer::singleShot(0, [&seen] {
            auto* dialog = qobject_cast<COptionsDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr)
                return;
            seen = true;
            dialog->filterPage()->autoPreview->setChecked(true);
            dialog->accept();
        });
        test.trigger("options");
        QVERIFY(seen);
        QVERIFY(preview->isChecked());
        QCOMPARE(preview->text(), QStringLiteral("Preview: ON"));
        QCOMPARE(storedOptions(test).settings.autoPreview, 1);
    }

    // Every button explains itself, and every control a person reaches by
    // Tab has a name a screen reader can say.
    void keyboardAndNames()
    {
        TestApp test;
        COptionsDialog dialog(test.app->options(), test.app->presets(), test.document(),
            test.prompter);
        dialog.filterPage()->autoPreview->setChecked(true);
        for (QPushButton* button : dialog.findChildren<QPushButton*>())
            QVERIFY2(!button->toolTip().isEmpty(), qPrintable(button->text()));
        for (QWidget* widget : dialog.findChildren<QWidget*>()) {
            if (widget->focusPolicy() & Qt::TabFocus && !widget->inherits("QTabBar")
                && !widget->inherits("QDialogButtonBox") && widget->parent() != nullptr
                && !widget->parentWidget()->inherits("QAbstractSpinBox")
                && !widget->parentWidget()->inherits("QComboBox")
                && !widget->inherits("QPushButton"))
                QVERIFY2(!widget->accessibleName().isEmpty(), widget->metaObject()->className());
        }
    }
};

QTEST_MAIN(OptionsDialogTest)
#include "options_dialog_test.moc"
