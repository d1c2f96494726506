// The filter pane in the main frame over a real document and worker: value
// texts, applying the controls, loading presets, the user's presets across
// a restart, the self-learning switch with its questions, the pane's width,
// the pane commands and the window state across a restart, and a slider
// change after Go filtering the visible tiles as calmora-cli does.

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDockWidget>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QSlider>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include "document/bitmap_ex.h"
#include "settings/auto_strength.h"
#include "settings/derive_params.h"
#include "settings/learned_profile_store.h"
#include "settings/presets.h"
#include "ui/left_pane_dialog_bar.h"
#include "ui/pane_button.h"
#include "ui/pane_tool_bar.h"
#include "ui/profile_main_emb_dialog.h"
#include "ui/tessolin_view.h"
#include "ui/window_state.h"
#include "ui_test_support.h"

#include <cstring>

using namespace calmora;

namespace {

// A store that outlives the application objects built over it, so that a
// second one sees what the first one saved: a restart.
class SharedStore final : public SettingsStore {
public:
    explicit SharedStore(SettingsStore& target)
        : m_target(target)
    {
    }
    std::optional<QByteArray> readBinary(const QString& s, const QString& n) const override
    {
        return m_target.readBinary(s, n);
    }
    std::optional<QString> readText(const QString& s, const QString& n) const override
    {
        return m_target.readText(s, n);
    }
    std::optional<QStringList> valueNames(const QString& s) const override
    {
        return m_target.valueNames(s);
    }
    void writeBinary(const QString& s, const QString& n, const QByteArray& d) override
    {
        m_target.writeBinary(s, n, d);
    }
    void writeText(const QString& s, const QString& n, const QString& t) override
    {
        m_target.writeText(s, n, t);
    }
    void remove(const QString& s, const QString& n) override { m_target.remove(s, n); }
    bool flush() override { return m_target.flush(); }
    QString errorString() const override { return m_target.errorString(); }

private:
    SettingsStore& m_target;
};

struct Run {
    ScriptedPrompter prompter;
    QTemporaryDir profiles;
    std::unique_ptr<CTessolinApp> app;
    explicit Run(SettingsStore& store)
        : app(std::make_unique<CTessolinApp>(std::make_unique<SharedStore>(store), &prompter))
    {
        app->options().options().profileFolder = profiles.path();
    }
    CLeftPaneDialogBar& pane() { return *app->frame().filterPane(); }
    CTessolinDoc& document() { return app->document(); }
};

CLeftPaneDialogBar& paneOf(TestApp& test)
{
    return *test.frame().filterPane();
}

// A release of the user's: pressed, moved to `value`, let go.
void dragSlider(QSlider* slider, int value)
{
    slider->setSliderDown(true);
    slider->setValue(value);
    slider->setSliderDown(false);
}

bool sameParams(const FilterParams& a, const FilterParams& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

enum class Move { Drag, SameValue, KeyRight, KeyPageDown, KeyHome, Wheel, Degree };

} // namespace

Q_DECLARE_METATYPE(Move)

class FilterPaneTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_small;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_small = m_dir.filePath(QStringLiteral("small.png"));
        QVERIFY(writeNoisyPicture(m_small, 700, 640));
    }

    void valueTexts_data()
    {
        QTest::addColumn<int>("field");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("sharpening +3") << 7 << 3 << "+3";
        QTest::newRow("sharpening 0") << 7 << 0 << "0";
        QTest::newRow("sharpening -2") << 7 << -2 << "-2";
        QTest::newRow("suppression 20") << 10 << 20 << "100%";
        QTest::newRow("suppression 0") << 10 << 0 << "0%";
        QTest::newRow("colour suppression 7") << 11 << 7 << "35%";
        QTest::newRow("level 10") << 1 << 10 << "+50%";
        QTest::newRow("level -20") << 1 << -20 << "-100%";
        QTest::newRow("level 0") << 2 << 0 << "0%";
        QTest::newRow("band level 40") << 3 << 40 << "+200%";
        QTest::newRow("band suppression 13") << 15 << 13 << "65%";
    }

    // The texts as the functions make them and as the pane shows them.
    void valueTexts()
    {
        QFETCH(int, field);
        QFETCH(int, value);
        QFETCH(QString, text);
        const QString made = field == 7 ? sharpeningText(value)
            : field >= 10               ? suppressionText(value)
                                        : levelText(value);
        QCOMPARE(made, text);
        TestApp test;
        QVERIFY(test.openAndSettle(m_small));
        CLeftPaneDialogBar& pane = paneOf(test);
        pane.slider(field)->setValue(value);
        QCOMPARE(pane.valueLabel(field)->text(), text);
        QCOMPARE(fieldAt(pane.values(), field), value);
    }

    // Every way of moving a control is applied: the values are derived into
    // the document, the preset list goes to "Custom" holding them, the
    // tiles are marked and a preview asked for; a release at the old value
    // asks for nothing unless a change still waits for its preview.
    void applyingControls_data()
    {
        QTest::addColumn<Move>("move");
        QTest::addColumn<bool>("pending");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<bool>("preview");
        QTest::newRow("drag") << Move::Drag << false << true << true;
        QTest::newRow("released at its value") << Move::SameValue << false << false << false;
        QTest::newRow("released at its value, change pending")
            << Move::SameValue << true << false << true;
        QTest::newRow("arrow key") << Move::KeyRight << false << true << true;
        QTest::newRow("page down") << Move::KeyPageDown << false << true << true;
        QTest::newRow("home") << Move::KeyHome << false << true << true;
        QTest::newRow("wheel") << Move::Wheel << false << true << true;
        QTest::newRow("processing degree") << Move::Degree << false << true << true;
    }

    void applyingControls()
    {
        QFETCH(Move, move);
        QFETCH(bool, pending);
        QFETCH(bool, changed);
        QFETCH(bool, preview);
        TestApp test;
        QVERIFY(test.openAndSettle(m_small));
        test.frame().show();
        test.trigger("noiseFilter");
        test.trigger("go");
        QVERIFY(test.settle());
        CLeftPaneDialogBar& pane = paneOf(test);
        ProcessingJob& job = test.document().writableJob();
        QVERIFY(!job.resetTilesBeforePreview.load());
        QCOMPARE(pane.selectedPreset(), 0);
        job.resetTilesBeforePreview = pending;
        job.saved = true;
        const int generation = job.generation.load();
        job.previewCountdown = 0;
        const FilterSettings before = pane.values();

        QSlider* luma = pane.slider(1);
        luma->setFocus();
        switch (move) {
        case Move::Drag:
            dragSlider(luma, 6);
            break;
        case Move::SameValue:
            dragSlider(luma, luma->value());
            break;
        case Move::KeyRight:
            QTest::keyClick(luma, Qt::Key_Right);
            break;
        case Move::KeyPageDown:
            QTest::keyClick(luma, Qt::Key_PageDown);
            break;
        case Move::KeyHome:
            QTest::keyClick(luma, Qt::Key_Home);
            break;
        case Move::Wheel: {
            QWheelEvent wheel(QPointF(5, 5), luma->mapToGlobal(QPointF(5, 5)), QPoint(),
                QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(luma, &wheel);
            break;
        }
        case Move::Degree:
            pane.degreeList()->setCurrentIndex(3);
            emit pane.degreeList()->activated(3);
            break;
        }

        QCOMPARE(pane.values() != before, changed);
        FilterParams expected = job.request.settings;
        deriveDocumentParams(pane.values(), expected);
        QVERIFY(sameParams(job.request.settings, expected));
        QCOMPARE(job.resetTilesBeforePreview.load(), changed || pending);
        QCOMPARE(job.generation.load() != generation, preview);
        QCOMPARE(job.previewCountdown > 0, preview);
        QCOMPARE(job.saved.load(), !preview);
        if (changed) {
            QCOMPARE(pane.selectedPreset(), PresetTable::kCustomIndex);
            QVERIFY(test.app->presets().at(PresetTable::kCustomIndex).values == pane.values());
            // The toolbar's list shows the same entry.
            auto* toolbarList = test.frame().findChild<QComboBox*>(QStringLiteral("presetList"));
            QCOMPARE(toolbarList->currentIndex(), PresetTable::kCustomIndex);
        } else {
            QCOMPARE(pane.selectedPreset(), 0);
        }
    }

    // Back at the preset's values the list stays at "Custom".
    void movingBackStaysCustom()
    {
        TestApp test;
        QVERIFY(test.openAndSettle(m_small));
        CLeftPaneDialogBar& pane = paneOf(test);
        const int original = pane.slider(2)->value();
        dragSlider(pane.slider(2), original + 3);
        dragSlider(pane.slider(2), original);
        QCOMPARE(pane.selectedPreset(), PresetTable::kCustomIndex);
        QVERIFY(test.app->presets().at(0).values == pane.values());
    }

    // Without an image applying shows the texts and derives the parameters,
    // which a batch on the pane's settings filters with; nothing else.
    void withoutImageOnlyTexts()
    {
        TestApp test;
        CLeftPaneDialogBar& pane = paneOf(test);
        const FilterParams& settings = test.document().job().request.settings;
        FilterParams derived {};
        deriveDocumentParams(pane.values(), derived);
        QVERIFY(sameParams(derived, settings));
        pane.slider(7)->setValue(4);
        QCOMPARE(pane.valueLabel(7)->text(), QStringLiteral("+4"));
        QVERIFY(deriveDocumentParams(pane.values(), derived));
        QVERIFY(sameParams(derived, settings));
        QCOMPARE(pane.selectedPreset(), 0);
        QCOMPARE(test.document().job().previewCountdown, 0);
        QVERIFY(!pane.slider(7)->isEnabled());
    }

    void loadingPresets_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("fromToolbar");
        QTest::newRow("Landscape") << 1 << false;
        QTest::newRow("Portrait, from the toolbar") << 3 << true;
        QTest::newRow("Film Grain Effect") << 4 << false;
        QTest::newRow("Full (weaker noise)") << 13 << true;
        QTest::newRow("Custom") << 14 << false;
    }

    void loadingPresets()
    {
        QFETCH(int, index);
        QFETCH(bool, fromToolbar);
        TestApp test;
        QVERIFY(test.openAndSettle(m_small));
        CLeftPaneDialogBar& pane = paneOf(test);
        // Something else first, so that every control has to move.
        dragSlider(pane.slider(7), 5);
        dragSlider(pane.slider(15), 1);
        if (fromToolbar) {
            auto* list = test.frame().findChild<QComboBox*>(QStringLiteral("presetList"));
            list->setCurrentIndex(index);
            emit list->activated(index);
        } else {
            pane.presetList()->setCurrentIndex(index);
            emit pane.presetList()->activated(index);
        }
        const FilterSettings& preset = test.app->presets().at(index).values;
        QCOMPARE(pane.selectedPreset(), index);
        QCOMPARE(pane.degreeList()->currentIndex(), preset.degree);
        for (int field = 1; field < kFilterFieldCount; ++field) {
            if (pane.slider(field) == nullptr)
                continue;
            QCOMPARE(pane.slider(field)->value(), fieldAt(preset, field));
        }
        QCOMPARE(pane.valueLabel(7)->text(), sharpeningText(preset.sharpening));
        FilterParams expected = test.document().job().request.settings;
        deriveDocumentParams(preset, expected);
        QVERIFY(sameParams(test.document().job().request.settings, expected));
        QCOMPARE(pane.currentPresetName(), test.app->presets().at(index).name);
    }

    // Auto puts the values chosen for the untouched picture into every
    // control and the document, as "Custom"; without an image it is off.
    void autoFillsTheControlsAsCustom()
    {
        TestApp test;
        CLeftPaneDialogBar& pane = paneOf(test);
        auto* button = pane.findChild<QAbstractButton*>(QStringLiteral("autoButton"));
        QVERIFY(button != nullptr);
        QVERIFY(!button->isEnabled());
        QVERIFY(test.openAndSettle(m_small));
        QVERIFY(button->isEnabled());
        const CBitmapEx& image = *test.document().image();
        const FilterSettings chosen
            = chooseAutoStrength(image.originalDescription(), test.document().job().activeProfile)
                  .values;
        button->click();
        QCOMPARE(pane.selectedPreset(), PresetTable::kCustomIndex);
        QCOMPARE(pane.degreeList()->currentIndex(), chosen.degree);
        for (int field = 1; field < kFilterFieldCount; ++field) {
            if (pane.slider(field) != nullptr)
                QCOMPARE(pane.slider(field)->value(), fieldAt(chosen, field));
        }
        QVERIFY(pane.values() == chosen);
        FilterParams expected = test.document().job().request.settings;
        deriveDocumentParams(chosen, expected);
        QVERIFY(sameParams(test.document().job().request.settings, expected));
    }

    // A preset of the user's is saved, found again after a restart with its
    // values, indented under "Custom", and gone after deleting and another
    // restart; the default preset index follows the deletion.
    void userPresetsSurviveARestart()
    {
        MemorySettingsStore store;
        {
            Run first(store);
            QVERIFY(first.app->openFile(m_small));
            CLeftPaneDialogBar& pane = first.pane();
            dragSlider(pane.slider(1), 9);
            dragSlider(pane.slider(7), -4);
            pane.setNameAsker([](const QString&) { return QStringLiteral("  Evening  "); });
            pane.saveUserPreset();
            QCOMPARE(pane.selectedPreset(), 15);
            QCOMPARE(pane.presetModel().rowCount(), 16);
            QVERIFY(first.prompter.told.isEmpty());
            first.app->options().options().settings.defaultPreset = 15;
            QVERIFY(first.app->options().save());
            first.document().waitForWorker();
        }
        {
            Run second(store);
            CLeftPaneDialogBar& pane = second.pane();
            QCOMPARE(second.app->presets().count(), 16);
            const Preset& evening = second.app->presets().at(15);
            QCOMPARE(evening.name, QStringLiteral("Evening"));
            QCOMPARE(evening.values.lumaLevel, 9);
            QCOMPARE(evening.values.sharpening, -4);
            QCOMPARE(evening.icon, int(kIconUser));
            QCOMPARE(pane.presetModel().item(15)->data(Qt::UserRole + 1).toInt(), 1);
            QCOMPARE(pane.presetModel().item(14)->data(Qt::UserRole + 1).toInt(), 0);
            // The default preset was loaded at start-up.
            QCOMPARE(pane.selectedPreset(), 15);
            QCOMPARE(pane.slider(1)->value(), 9);

            QVERIFY(second.app->openFile(m_small));
            // A name in use is replaced only after a Yes.
            pane.setNameAsker([](const QString& offered) { return offered; });
            dragSlider(pane.slider(1), 2);
            pane.presetList()->setCurrentIndex(15);
            second.prompter.answers = { PromptAnswer::No };
            pane.saveUserPreset();
            QCOMPARE(second.app->presets().at(15).values.lumaLevel, 9);
            second.prompter.answers = { PromptAnswer::Yes };
            pane.deleteUserPreset();
            QCOMPARE(second.app->presets().count(), 15);
            QCOMPARE(pane.selectedPreset(), PresetTable::kCustomIndex);
            QCOMPARE(second.app->options().options().settings.defaultPreset, 0);
            second.document().waitForWorker();
        }
        Run third(store);
        QCOMPARE(third.app->presets().count(), 15);
        QCOMPARE(third.pane().presetModel().rowCount(), 15);
        QCOMPARE(third.pane().selectedPreset(), 0);
    }

    // Refusals are told and change nothing: a built-in name, an empty one,
    // a cancelled name question, a full list.
    void userPresetRefusals_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("storedBefore");
        QTest::addColumn<bool>("told");
        QTest::newRow("built-in name") << "Night Scene" << 0 << true;
        QTest::newRow("empty name") << "" << 0 << true;
        QTest::newRow("cancelled") << QString() << 0 << false;
        QTest::newRow("list full") << "One more" << 25 << true;
    }

    void userPresetRefusals()
    {
        QFETCH(QString, name);
        QFETCH(int, storedBefore);
        QFETCH(bool, told);
        MemorySettingsStore store;
        for (int i = 0; i < storedBefore; ++i)
            store.writeBinary(kFilterSettingsSection, QStringLiteral("Mine %1").arg(i),
                encodeFilterSettings(FilterSettings {}));
        Run run(store);
        QVERIFY(run.app->openFile(m_small));
        const int count = run.app->presets().count();
        run.pane().setNameAsker([name](const QString&) { return name; });
        run.pane().saveUserPreset();
        QCOMPARE(run.prompter.told.size(), told ? 1 : 0);
        QCOMPARE(run.app->presets().count(), count);
        QCOMPARE(run.pane().presetModel().rowCount(), count);
        run.document().waitForWorker();
    }

    // "Turn off self-learning for this image": its three questions and
    // what each answer leaves behind.
    void selfLearningSwitch_data()
    {
        QTest::addColumn<bool>("eligibleImage");
        QTest::addColumn<bool>("learningOn");
        QTest::addColumn<bool>("measured");
        QTest::addColumn<bool>("click"); // the box's state after the click
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("question");
        QTest::addColumn<bool>("boxAfter");
        QTest::addColumn<bool>("useMeasured");
        QTest::addColumn<bool>("learningAfter");
        // Clicked while a run goes: carried out once the run has ended.
        QTest::addColumn<bool>("runGoing");
        const int yes = int(PromptAnswer::Yes);
        const int no = int(PromptAnswer::No);
        const QString enable = QStringLiteral(
            "The Self-Learning Noise Profiling is disabled.\r\nDo you want to enable it?");
        const QString build = QStringLiteral("The individual Noise Profile for the loaded image "
                                             "has not been build yet.\r\nDo you want to start "
                                             "building it?");
        QTest::newRow("not eligible: refused")
            << false << true << true << false << yes << "refusal" << true << false << true << false;
        QTest::newRow("learning off, No")
            << true << false << true << false << no << enable << true << false << false << false;
        QTest::newRow("learning off, Yes: learned profile")
            << true << false << true << false << yes << enable << false << false << true << false;
        QTest::newRow("own profile wanted")
            << true << true << true << true << yes << "" << true << true << true << false;
        QTest::newRow("own profile wanted while a run goes")
            << true << true << true << true << yes << "" << true << true << true << true;
        QTest::newRow("own profile not built, No")
            << true << true << false << true << no << build << false << false << true << false;
        QTest::newRow("own profile not built, Yes: built")
            << true << true << false << true << yes << build << true << true << true << false;
        QTest::newRow("own profile not built, Yes, while a run goes: built after it")
            << true << true << false << true << yes << build << true << true << true << true;
    }

    void selfLearningSwitch()
    {
        QFETCH(bool, eligibleImage);
        QFETCH(bool, learningOn);
        QFETCH(bool, measured);
        QFETCH(bool, click);
        QFETCH(int, answer);
        QFETCH(QString, question);
        QFETCH(bool, boxAfter);
        QFETCH(bool, useMeasured);
        QFETCH(bool, learningAfter);
        QFETCH(bool, runGoing);
        QTemporaryDir out;
        const QString photo = out.filePath(QStringLiteral("dune.jpg"));
        QVERIFY(QFile::copy(QStringLiteral(CALMORA_SAMPLE_PHOTO), photo));
        TestApp test([&](Options& options) { options.settings2.selfLearning = learningOn ? 1 : 0; });
        QVERIFY(test.openAndSettle(eligibleImage ? photo : m_small));
        QCoreApplication::processEvents();
        QCOMPARE(eligible(test.document().image()->exif().record()), eligibleImage);
        CLeftPaneDialogBar& pane = paneOf(test);
        QCheckBox* box = pane.selfLearningBox();
        QVERIFY(box->isEnabled());
        QCOMPARE(box->isChecked(), !eligibleImage || !learningOn);
        ProcessingJob& job = test.document().writableJob();
        job.profileMeasured = measured;
        // Distinct profiles, to see which one is put in place.
        job.measuredProfile.bands[0].noise[0][0] = 111;
        job.learnedProfile.bands[0].noise[0][0] = 222;
        job.resetTilesBeforePreview = false;
        test.prompter.answers = { static_cast<PromptAnswer>(answer) };

        job.running = runGoing;
        box->setChecked(click);
        emit box->clicked(click);
        if (runGoing) {
            QVERIFY(!job.request.useMeasuredProfile);
            QCOMPARE(int(job.activeProfile.bands[0].noise[0][0]) == 111, false);
            job.running = false;
            emit test.document().runEnded();
        }

        if (question == QLatin1String("refusal")) {
            QCOMPARE(test.prompter.told.size(), 1);
            QVERIFY2(test.prompter.told[0].contains(QLatin1String("ISO Speed: Unknown")),
                qPrintable(test.prompter.told[0]));
            QVERIFY(test.prompter.asked.isEmpty());
        } else if (question.isEmpty()) {
            QVERIFY(test.prompter.asked.isEmpty());
        } else {
            QCOMPARE(test.prompter.asked, QStringList { question });
        }
        QCOMPARE(box->isChecked(), boxAfter);
        QCOMPARE(job.request.useMeasuredProfile, useMeasured);
        QCOMPARE(test.app->options().options().settings2.selfLearning != 0, learningAfter);
        const bool profileSwapped = question.isEmpty() || (!learningOn && answer == int(PromptAnswer::Yes));
        if (profileSwapped) {
            QCOMPARE(int(job.activeProfile.bands[0].noise[0][0]), useMeasured ? 111 : 222);
            QVERIFY(job.resetTilesBeforePreview.load());
        }
        if (question.startsWith(QLatin1String("The individual")) && answer == int(PromptAnswer::Yes))
            QVERIFY(test.document().isRunning() || job.profileMeasured.load());
        QVERIFY(test.settle());
    }

    void draggedWidth_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("pointer");
        QTest::addColumn<int>("frame");
        QTest::addColumn<int>("result");
        QTest::newRow("wider") << 250 << 30 << 1200 << 280;
        QTest::newRow("narrower") << 300 << -40 << 1200 << 260;
        QTest::newRow("far left stops at 225") << 300 << -290 << 1200 << 225;
        QTest::newRow("224 becomes 225") << 230 << -6 << 1200 << 225;
        QTest::newRow("225 stays") << 230 << -5 << 1200 << 225;
        QTest::newRow("one move at most the frame less 50") << 250 << 2000 << 800 << 1000;
    }

    void draggedWidth()
    {
        QFETCH(int, width);
        QFETCH(int, pointer);
        QFETCH(int, frame);
        QTEST(draggedPaneWidth(width, pointer, frame), "result");
    }

    // Dragging the edge with the mouse: never below 225, and the frame
    // gives the dock the width.
    void edgeDragClamps()
    {
        TestApp test;
        test.frame().resize(1000, 700);
        test.frame().show();
        QVERIFY(QTest::qWaitForWindowExposed(&test.frame()));
        test.trigger("noiseFilter");
        CLeftPaneDialogBar& pane = paneOf(test);
        QTRY_VERIFY(pane.isVisible());
        const int edge = pane.width() - 2;
        QTest::mousePress(&pane, Qt::LeftButton, {}, QPoint(edge, 5));
        const int before = pane.width();
        QTest::mouseMove(&pane, QPoint(edge + 60, 5));
        QCOMPARE(pane.paneWidth(), before + 58);
        QTest::mouseMove(&pane, QPoint(-900, 5));
        QCOMPARE(pane.paneWidth(), CLeftPaneDialogBar::kMinimumWidth);
        QTest::mouseRelease(&pane, Qt::LeftButton, {}, QPoint(-900, 5));
        QCoreApplication::processEvents();
        QVERIFY(pane.width() >= CLeftPaneDialogBar::kMinimumWidth);
        QVERIFY(test.frame().filterDock()->width() >= CLeftPaneDialogBar::kMinimumWidth);
    }

    // The pane commands: Noise Filter shows and hides the pane (the toolbar
    // carries presets and Go meanwhile), Noise Profile and EXIF open one
    // section at a time, and everything is kept in the options.
    void paneCommands_data()
    {
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<bool>("paneShown");
        QTest::addColumn<int>("section");
        QTest::addColumn<int>("frameWidth"); // 0: the first start's
        QTest::newRow("at start") << QStringList {} << false << 0 << 0;
        QTest::newRow("Noise Filter") << QStringList { "noiseFilter" } << true << 0 << 0;
        QTest::newRow("Noise Filter twice")
            << QStringList { "noiseFilter", "noiseFilter" } << false << 0 << 0;
        QTest::newRow("Noise Profile shows the pane")
            << QStringList { "noiseProfile" } << true << 2 << 0;
        QTest::newRow("EXIF closes Noise Profile")
            << QStringList { "noiseProfile", "exif" } << true << 1 << 0;
        QTest::newRow("EXIF twice") << QStringList { "exif", "exif" } << true << 0 << 0;
        QTest::newRow("narrowest window") << QStringList {} << false << 0
                                          << CMainFrame::kMinimumWidth;
    }

    void paneCommands()
    {
        QFETCH(QStringList, commands);
        QFETCH(bool, paneShown);
        QFETCH(int, section);
        QFETCH(int, frameWidth);
        MemorySettingsStore store;
        {
            Run run(store);
            if (frameWidth != 0)
                run.app->frame().resize(frameWidth, 600);
            run.app->frame().show();
            for (const QString& command : commands)
                run.app->frame().findChild<QAction*>(command)->trigger();
            CMainFrame& frame = run.app->frame();
            QCOMPARE(!frame.filterDock()->isHidden(), paneShown);
            QCOMPARE(frame.paneToolBar()->presetAreaShown(), !paneShown);
            QCOMPARE(run.pane().sectionState(), section);
            // The Noise Profile section holds the profile graph.
            QCOMPARE(run.pane().profileView()->isVisibleTo(&run.pane()), section == 2);
            QCOMPARE(frame.findChild<QAction*>("noiseFilter")->isChecked(), paneShown);
            QCOMPARE(frame.findChild<QAction*>("noiseProfile")->isChecked(), paneShown && section == 2);
            QCOMPARE(frame.findChild<QAction*>("exif")->isChecked(), paneShown && section == 1);
            // Every toolbar button is whole inside the window: its caption
            // shown in full or not at all.
            QVERIFY(QTest::qWaitForWindowExposed(&frame));
            for (const CPaneButton* button : frame.paneToolBar()->findChildren<CPaneButton*>()) {
                if (!button->isVisible())
                    continue;
                const QRect shown(button->mapTo(&frame, QPoint(0, 0)), button->size());
                QVERIFY2(frame.rect().contains(shown), qPrintable(button->objectName()));
                QVERIFY2(button->width() >= button->sizeHint().width(),
                    qPrintable(button->objectName()));
            }
        }
        // After a restart.
        Run again(store);
        QCOMPARE(again.app->options().options().settings2.filterPaneVisible != 0, paneShown);
        QCOMPARE(again.app->options().options().settings2.paneSection, section);
        QCOMPARE(again.pane().sectionState(), section);
        QCOMPARE(!again.app->frame().filterDock()->isHidden(), paneShown);
    }

    // The window's size and the pane's width come back after a restart; the
    // zoom of the first photo is the option's, whatever the last one was.
    void windowStateSurvivesARestart()
    {
        MemorySettingsStore store;
        {
            Run run(store);
            CMainFrame& frame = run.app->frame();
            frame.resize(900, 700);
            frame.show();
            QVERIFY(QTest::qWaitForWindowExposed(&frame));
            frame.findChild<QAction*>("noiseFilter")->trigger();
            run.pane().setPaneWidth(310);
            QVERIFY(run.app->openFile(m_small));
            QVERIFY(QTest::qWaitFor([&] { return !run.document().isRunning(); }, 60000));
            frame.view()->setZoom(200);
            frame.close();
            QTRY_VERIFY(!frame.isVisible());
        }
        const WindowState stored = readWindowState(store);
        QCOMPARE(stored.paneWidth, 310);
        QVERIFY(!stored.geometry.isEmpty());
        Run again(store);
        CMainFrame& frame = again.app->frame();
        QCOMPARE(frame.size(), QSize(900, 700));
        QCOMPARE(again.pane().paneWidth(), 310);
        again.app->options().options().settings.defaultZoom = 50;
        QVERIFY(again.app->openFile(m_small));
        QCOMPARE(frame.view()->currentZoom(), 50);
        QVERIFY(QTest::qWaitFor([&] { return !again.document().isRunning(); }, 60000));
    }

    void damagedWindowStateIsIgnored()
    {
        MemorySettingsStore store;
        store.writeText(kWindowSection, QStringLiteral("Zoom"), QStringLiteral("137"));
        store.writeText(kWindowSection, QStringLiteral("PaneWidth"), QStringLiteral("12"));
        store.writeRaw(kWindowSection, QStringLiteral("Geometry"), QStringLiteral("junk"));
        const WindowState state = readWindowState(store);
        QCOMPARE(state.paneWidth, -1);
        QVERIFY(state.geometry.isEmpty());
        Run run(store);
        QCOMPARE(run.pane().paneWidth(), -1);
    }

    // The EXIF list follows the image.
    void exifList()
    {
        QTemporaryDir out;
        const QString photo = out.filePath(QStringLiteral("dune.jpg"));
        QVERIFY(QFile::copy(QStringLiteral(CALMORA_SAMPLE_PHOTO), photo));
        TestApp test;
        QVERIFY(test.openAndSettle(photo));
        QTreeWidget* list = paneOf(test).exifList();
        const CExifFormatter& exif = test.document().image()->exif();
        QVERIFY(exif.tagCount() > 0);
        QCOMPARE(list->topLevelItemCount(), exif.tagCount());
        QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("Camera maker"));
        QCOMPARE(list->topLevelItem(0)->text(1), exif.text(CExifFormatter::kMakeText));
        QCOMPARE(list->headerItem()->text(0), QStringLiteral("Tag"));
        test.trigger("closeFile");
        QCOMPARE(list->topLevelItemCount(), 0);
    }

    // Every control of the pane can be reached with Tab and has a name.
    void keyboardReach()
    {
        TestApp test;
        QVERIFY(test.openAndSettle(m_small));
        test.frame().show();
        test.trigger("noiseFilter");
        CLeftPaneDialogBar& pane = paneOf(test);
        pane.toggleMoreControls();
        QList<QWidget*> wanted;
        for (int field = 1; field < kFilterFieldCount; ++field) {
            if (pane.slider(field) != nullptr)
                wanted << pane.slider(field);
        }
        wanted << pane.degreeList() << pane.presetList() << pane.selfLearningBox();
        QSet<QWidget*> reached;
        QWidget* widget = pane.presetList();
        for (int step = 0; step < 60; ++step) {
            reached.insert(widget);
            widget = widget->nextInFocusChain();
        }
        for (QWidget* control : wanted) {
            QVERIFY2(reached.contains(control), qPrintable(control->objectName()));
            QVERIFY2(!control->accessibleName().isEmpty() || control == pane.selfLearningBox(),
                qPrintable(control->objectName()));
        }
    }

    // A slider moved after Go with the preview on: the visible tiles are
    // filtered again with the new settings, pixel for pixel as calmora-cli
    // filters the whole image with them.
    void sliderAfterGoRefiltersVisibleTiles()
    {
        QTemporaryDir out;
        const QString photo = out.filePath(QStringLiteral("dune.jpg"));
        QVERIFY(QFile::copy(QStringLiteral(CALMORA_SAMPLE_PHOTO), photo));
        TestApp test([](Options& options) {
            options.settings.autoPreview = 1;
            options.settings3.hidePreviewInfo = 1;
            options.settings.showSummary = 0;
            options.settings.defaultZoom = 100;
        });
        test.frame().resize(1000, 800);
        test.frame().show();
        QVERIFY(QTest::qWaitForWindowExposed(&test.frame()));
        test.trigger("noiseFilter");
        QVERIFY(test.openAndSettle(photo));
        test.trigger("go");
        QVERIFY(test.settle());
        CLeftPaneDialogBar& pane = paneOf(test);
        dragSlider(pane.slider(1), 12);
        dragSlider(pane.slider(10), 9);
        const FilterSettings settings = pane.values();
        const ProcessingJob& job = test.document().job();
        QVERIFY(job.resetTilesBeforePreview.load());
        // The view's countdown starts the preview; it ends with the visible
        // tiles filtered again and the others waiting.
        QVERIFY(QTest::qWaitFor(
            [&] { return !job.resetTilesBeforePreview.load() && !test.document().isRunning(); },
            60000));
        QVERIFY(test.settle());
        QCoreApplication::processEvents();
        std::vector<size_t> filtered;
        for (size_t i = 0; i < job.tiles.tiles.size(); ++i) {
            if (job.tiles.tiles[i].filtered != 0)
                filtered.push_back(i);
        }
        QVERIFY(!filtered.empty());
        QVERIFY(filtered.size() < job.tiles.tiles.size());

        QStringList values;
        for (int field = 0; field < kFilterFieldCount; ++field)
            values << QString::number(fieldAt(settings, field));
        const QString fromCli = out.filePath(QStringLiteral("cli.png"));
        QProcess cli;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(
            QStringLiteral("XDG_CONFIG_HOME"), out.filePath(QStringLiteral("config")));
        // Nor learned profiles: it learns into a data folder of its own.
        environment.insert(QStringLiteral("XDG_DATA_HOME"), out.filePath(QStringLiteral("data")));
        cli.setProcessEnvironment(environment);
        cli.start(QStringLiteral(CALMORA_CLI_PATH),
            { QStringLiteral("denoise"), QStringLiteral("--quiet"), QStringLiteral("-o"), fromCli,
                QStringLiteral("--settings"), values.join(QLatin1Char(',')), photo });
        QVERIFY(cli.waitForFinished(120000));
        QVERIFY2(cli.exitCode() == 0, cli.readAllStandardError().constData());

        const QImage command = QImage(fromCli).convertToFormat(QImage::Format_RGB32);
        const QImage window = test.document().image()->toQImage().convertToFormat(
            QImage::Format_RGB32);
        QCOMPARE(window.size(), command.size());
        for (size_t index : filtered) {
            const Rect& dest = job.tiles.tiles[index].dest;
            const QRect rect(dest.left, dest.top, dest.width(), dest.height());
            for (int y = rect.top(); y <= rect.bottom(); ++y) {
                for (int x = rect.left(); x <= rect.right(); ++x) {
                    if (window.pixel(x, y) != command.pixel(x, y))
                        QFAIL(qPrintable(QStringLiteral("tile %1 (%2,%3): window %4, command line "
                                                        "%5")
                                             .arg(index)
                                             .arg(x)
                                             .arg(y)
                                             .arg(window.pixel(x, y), 8, 16)
                                             .arg(command.pixel(x, y), 8, 16)));
                }
            }
        }
    }
};

QTEST_MAIN(FilterPaneTest)
#include "filter_pane_test.moc"
