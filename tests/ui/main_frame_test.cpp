// The main frame over a real document and worker, with a scripted prompter:
// the status texts and the view's context menu per state, the suggested save
// names, the save question on closing, Go and Cancel, closing and opening
// while a job runs, Undo and Close File waiting for a run's end, the help,
// and the file saved from the window against the command line's.

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>

#include "ui/help_window.h"
#include "ui/progress_dialog.h"
#include "ui/tessolin_view.h"
#include "ui_test_support.h"

using namespace calmora;

namespace {

// Big enough that its profile pass is still going when the next line runs.
constexpr int kSlowWidth = 4000;
constexpr int kSlowHeight = 3000;

enum class Step { None, Open, Go, Undo, CloseFile };

bool progressHidden(const QWidget& frame)
{
    const auto* bar = frame.findChild<QProgressBar*>(QStringLiteral("statusProgress"));
    return bar != nullptr && bar->isHidden();
}

} // namespace

Q_DECLARE_METATYPE(Step)

class MainFrameTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_small;
    QString m_slow;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_small = m_dir.filePath(QStringLiteral("small.png"));
        m_slow = m_dir.filePath(QStringLiteral("slow.bmp"));
        QVERIFY(writeNoisyPicture(m_small, 700, 640));
        QVERIFY(writeNoisyPicture(m_slow, kSlowWidth, kSlowHeight));
    }

    void statusTexts_data()
    {
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("size");
        QTest::addColumn<bool>("undoEnabled");
        const QString go = QStringLiteral("Click \"Go\" button to start processing");
        const QString original = QStringLiteral("Click on image to see original");
        QTest::newRow("no image") << QList<Step> {} << "For Help, press F1"
                                  << "Size:" << false;
        QTest::newRow("opened, profile built")
            << QList<Step> { Step::Open } << go << "Size: 700x640" << false;
        QTest::newRow("after Go") << QList<Step> { Step::Open, Step::Go } << original
                                  << "Size: 700x640" << true;
        QTest::newRow("after Undo")
            << QList<Step> { Step::Open, Step::Go, Step::Undo } << go << "Size: 700x640" << false;
        QTest::newRow("after Close File")
            << QList<Step> { Step::Open, Step::CloseFile } << "For Help, press F1"
            << "Size:" << false;
    }

    void statusTexts()
    {
        QFETCH(QList<Step>, steps);
        TestApp test;
        for (Step step : steps) {
            switch (step) {
            case Step::Open:
                QVERIFY(test.openAndSettle(m_small));
                break;
            case Step::Go:
                test.trigger("go");
                break;
            case Step::Undo:
                test.trigger("undo");
                break;
            case Step::CloseFile:
                test.trigger("closeFile");
                break;
            case Step::None:
                break;
            }
            QVERIFY(test.settle());
            QCoreApplication::processEvents();
        }
        QTEST(shownText(test.frame(), "statusMessage"), "message");
        QTEST(shownText(test.frame(), "statusSize"), "size");
        QTEST(test.frame().findChild<QAction*>(QStringLiteral("undo"))->isEnabled(), "undoEnabled");
        QVERIFY(progressHidden(test.frame()));

        // The view's right-button menu, greyed by the same rules as it opens.
        QMenu* menu = test.frame().view()->contextMenu();
        QVERIFY(menu != nullptr);
        emit test.frame().view()->contextMenuAboutToShow();
        QStringList items;
        for (const QAction* action : menu->actions())
            items << (action->isSeparator() ? QStringLiteral("-")
                                             : action->objectName()
                          + (action->isEnabled() ? QString() : QStringLiteral(" (grey)")));
        const bool image = test.document().image() != nullptr;
        const int zoom = test.frame().view()->currentZoom();
        const auto item = [](const char* name, bool enabled) {
            return QLatin1String(name) + (enabled ? QString() : QStringLiteral(" (grey)"));
        };
        QFETCH(bool, undoEnabled);
        QCOMPARE(items,
            (QStringList { item("undo", undoEnabled), "-", item("zoomIn", image && zoom < 400),
                item("zoomOut", image && zoom > 25), "-", item("save", image),
                item("closeFile", image) }));
    }

    // Save As offers the suggested name; the scripted user cancels.
    void suggestedSaveNames_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("appendSuffix");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("suggested");
        QTest::newRow("suffix appended") << "photo.tif" << true << "_filtered"
                                         << "photo_filtered.jpg";
        QTest::newRow("no suffix") << "photo.tif" << false << "_filtered"
                                   << "photo.jpg";
        QTest::newRow("no extension") << "scan" << true << "_filtered"
                                      << "scan_filtered.jpg";
        QTest::newRow("dot in a folder") << "my.photos/scan" << true << "_filtered"
                                         << "my.photos/scan_filtered.jpg";
        QTest::newRow("own suffix, upper-case extension") << "Picture.PNG" << true << "-clean"
                                                          << "Picture-clean.jpg";
    }

    void suggestedSaveNames()
    {
        QFETCH(QString, file);
        QFETCH(bool, appendSuffix);
        QFETCH(QString, suffix);
        QFETCH(QString, suggested);
        const QString path = m_dir.filePath(file);
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QVERIFY(writeNoisyPicture(path, 64, 48));
        TestApp test([&](Options& options) {
            options.settings.appendSuffix = appendSuffix ? 1 : 0;
            options.settings.defaultSuffix = suffix;
        });
        QVERIFY(test.openAndSettle(path));
        test.trigger("save");
        QCOMPARE(test.prompter.suggestedSavePaths, QStringList { m_dir.filePath(suggested) });
        // A cancelled save writes nothing and runs nothing.
        QVERIFY(!QFile::exists(m_dir.filePath(suggested)));
        QVERIFY(test.prompter.asked.isEmpty());
    }

    // Closing the window after Go asks whether to save; only an image that
    // is written, or given up with No, lets the window close.
    void saveModifiedOnClose_data()
    {
        QTest::addColumn<bool>("runGo");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("savePath");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<bool>("closes");
        QTest::addColumn<bool>("written");
        const int yes = static_cast<int>(PromptAnswer::Yes);
        const int no = static_cast<int>(PromptAnswer::No);
        const int cancel = static_cast<int>(PromptAnswer::Cancel);
        QTest::newRow("never processed: no question")
            << false << cancel << "" << false << true << false;
        QTest::newRow("Cancel keeps the window") << true << cancel << "" << true << false << false;
        QTest::newRow("No closes unsaved") << true << no << "" << true << true << false;
        QTest::newRow("Yes writes, then closes")
            << true << yes << "out.jpg" << true << true << true;
        QTest::newRow("Yes, save dialog cancelled: kept")
            << true << yes << "" << true << false << false;
        QTest::newRow("Yes, write fails: kept")
            << true << yes << "missing/folder/out.jpg" << true << false << false;
    }

    void saveModifiedOnClose()
    {
        QFETCH(bool, runGo);
        QFETCH(int, answer);
        QFETCH(QString, savePath);
        QFETCH(bool, asked);
        QFETCH(bool, closes);
        QFETCH(bool, written);
        QTemporaryDir out;
        TestApp test;
        test.prompter.answers.push_back(static_cast<PromptAnswer>(answer));
        if (!savePath.isEmpty())
            test.prompter.savePath = out.filePath(savePath);
        QVERIFY(test.openAndSettle(m_small));
        test.frame().show();
        if (runGo)
            test.trigger("go");
        QSignalSpy closed(&test.frame(), &CMainFrame::closed);
        test.frame().close();
        QCOMPARE(test.prompter.asked.size(), asked ? 1 : 0);
        if (closes) {
            QVERIFY(!test.frame().isVisible());
            QVERIFY(closed.wait(10000));
        } else {
            QVERIFY(test.frame().isVisible());
            QVERIFY(closed.isEmpty());
            QVERIFY(test.document().image() != nullptr);
            QVERIFY2(!test.document().job().stop.load(), "the next run would stop at once");
        }
        QCOMPARE(!savePath.isEmpty() && QFile::exists(out.filePath(savePath)), written);
    }

    // Go ends with every tile filtered and, when the option asks for it, the
    // summary with the tiles' time; whether the profile was ready or not.
    void goFiltersEveryTile_data()
    {
        QTest::addColumn<bool>("profileFirst");
        QTest::addColumn<bool>("showSummary");
        QTest::newRow("profile ready") << true << true;
        QTest::newRow("profile still building") << false << true;
        QTest::newRow("summary switched off") << true << false;
    }

    void goFiltersEveryTile()
    {
        QFETCH(bool, profileFirst);
        QFETCH(bool, showSummary);
        TestApp test([&](Options& options) { options.settings.showSummary = showSummary ? 1 : 0; });
        if (profileFirst)
            QVERIFY(test.openAndSettle(m_small));
        else
            QVERIFY(test.app->openFile(m_small));
        test.trigger("go");
        QVERIFY(test.settle());
        const TileList& tiles = test.document().job().tiles;
        QVERIFY(tiles.tiles.size() > 1);
        int64_t totalMs = 0;
        for (size_t i = 0; i < tiles.tiles.size(); ++i) {
            QVERIFY2(tiles.tiles[i].filtered != 0, qPrintable(QStringLiteral("tile %1").arg(i)));
            totalMs += tiles.tiles[i].elapsedMs;
        }
        if (!showSummary) {
            QVERIFY(test.prompter.summaries.isEmpty());
            return;
        }
        QCOMPARE(test.prompter.summaries.size(), 1);
        const QRegularExpression form(
            QStringLiteral("^Image processing has been completed in (\\d+\\.\\d\\d) seconds\\.$"));
        const QRegularExpressionMatch match = form.match(test.prompter.summaries[0]);
        QVERIFY2(match.hasMatch(), qPrintable(test.prompter.summaries[0]));
        QCOMPARE(match.captured(1), QString::number(totalMs / 1000.0, 'f', 2));
        QCOMPARE(shownText(test.frame(), "statusMessage"),
            QStringLiteral("Click on image to see original"));
    }

    // Cancel in the progress window: no summary, the idle texts, and the
    // image is left usable for another Go.
    void cancelledGo()
    {
        TestApp test;
        QVERIFY(test.openAndSettle(m_slow));
        test.prompter.wholeImage = [](CTessolinDoc& document) {
            CProgressDialog dialog(document);
            dialog.start();
            dialog.poll();
            dialog.reject();
            return dialog.result() == QDialog::Accepted;
        };
        test.trigger("go");
        QVERIFY(test.settle());
        QCoreApplication::processEvents();
        QVERIFY(test.prompter.summaries.isEmpty());
        QCOMPARE(shownText(test.frame(), "statusMessage"),
            QStringLiteral("Click on image to see original"));
        QVERIFY(progressHidden(test.frame()));

        test.prompter.wholeImage = nullptr;
        test.trigger("go");
        QVERIFY(test.settle());
        QCOMPARE(test.prompter.summaries.size(), 1);
    }

    // Close while the profile pass of a large image runs: the window hides
    // at once and closes only after the worker has stopped.
    void closeWhileJobRuns()
    {
        TestApp test;
        test.frame().show();
        QVERIFY(test.app->openFile(m_slow));
        QVERIFY2(test.document().isRunning(), "the profile pass ended before the close");
        QSignalSpy closed(&test.frame(), &CMainFrame::closed);
        test.frame().close();
        QVERIFY(!test.frame().isVisible());
        QVERIFY(closed.isEmpty());
        QVERIFY(test.document().job().stop.load());
        QVERIFY(closed.wait(30000));
        QVERIFY(!test.document().isRunning());
        QVERIFY(test.prompter.asked.isEmpty());
    }

    // A second file opened while the first one's job runs: the job is
    // stopped, the file waits, and opens once the worker has stopped.
    void openWhileJobRuns()
    {
        TestApp test;
        QVERIFY(test.app->openFile(m_slow));
        QVERIFY2(test.document().isRunning(), "the profile pass ended before the second open");
        QVERIFY(!test.app->openFile(m_small));
        QCOMPARE(test.document().sourcePath(), m_slow);
        QVERIFY(test.document().job().stop.load());
        QTRY_COMPARE_WITH_TIMEOUT(test.document().sourcePath(), m_small, 30000);
        QVERIFY2(test.prompter.told.isEmpty(), qPrintable(test.prompter.told.join(u'\n')));
        QVERIFY(test.settle());
        QCoreApplication::processEvents();
        QVERIFY(test.document().job().profileReady.load());
        QCOMPARE(shownText(test.frame(), "statusSize"), QStringLiteral("Size: 700x640"));
    }

    // Undo and Close File asked for while a run goes are carried out at its
    // end, which they wait for without posting themselves again and again.
    void undoAndCloseWaitForTheRunsEnd_data()
    {
        QTest::addColumn<QString>("command");
        QTest::newRow("Undo") << "undo";
        QTest::newRow("Close File") << "closeFile";
    }

    void undoAndCloseWaitForTheRunsEnd()
    {
        QFETCH(QString, command);
        TestApp test;
        QVERIFY(test.app->openFile(m_slow));
        QVERIFY2(test.document().isRunning(), "the profile pass ended before the command");
        test.document().writableJob().processedByGo = true;
        struct CallCounter final : QObject {
            bool eventFilter(QObject*, QEvent* event) override
            {
                calls += event->type() == QEvent::MetaCall ? 1 : 0;
                return false;
            }
            int calls = 0;
        } posted;
        test.frame().installEventFilter(&posted);
        QSignalSpy ended(&test.document(), &CTessolinDoc::runEnded);
        for (int twice = 0; twice < 2; ++twice)
            QVERIFY(QMetaObject::invokeMethod(&test.frame(), qPrintable(command)));
        QVERIFY(test.document().isRunning());
        QVERIFY(test.document().job().processedByGo);
        QVERIFY(test.document().image() != nullptr);
        QVERIFY(ended.wait(60000));
        QCOMPARE(ended.count(), 1);
        QVERIFY(!test.document().isRunning());
        QCoreApplication::processEvents();
        if (command == "undo")
            QVERIFY(!test.document().job().processedByGo);
        QCOMPARE(test.document().image() == nullptr, command == "closeFile");
        QVERIFY2(posted.calls <= 2, qPrintable(QString::number(posted.calls)));
        QVERIFY(test.prompter.asked.isEmpty());
    }

    // F1 shows the installed README in a window of the program's own; a
    // build that was never installed shows the source tree's.
    void help_data()
    {
        QTest::addColumn<bool>("installed");
        QTest::newRow("installed beside the program") << true;
        QTest::newRow("not installed: the source tree's") << false;
    }

    void help()
    {
        QFETCH(bool, installed);
        QTemporaryDir prefix;
        const QString program = prefix.filePath(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(program));
        const QString page = installedHelpPath(program);
        if (installed) {
            QVERIFY(page.startsWith(prefix.path() + QLatin1Char('/')));
            QVERIFY(QDir().mkpath(QFileInfo(page).absolutePath()));
            QFile file(page);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("# Installed help\n");
        }
        const QString found = helpFilePath(program);
        QCOMPARE(found == page, installed);
        QVERIFY(QFileInfo(found).isFile());

        // The program's own page, from where the test runs.
        TestApp test;
        test.trigger("help");
        auto* shown = test.frame().findChild<QTextBrowser*>(QStringLiteral("helpPage"));
        QVERIFY(shown != nullptr);
        QVERIFY(shown->window()->isVisible());
        QVERIFY(shown->toPlainText().contains(QStringLiteral("The desktop application")));
        test.trigger("help");
        QCOMPARE(test.frame().findChildren<QTextBrowser*>(QStringLiteral("helpPage")).size(), 1);
        QVERIFY(test.prompter.told.isEmpty());
    }

    // The window's Go and Save As write the same pixels as calmora-cli
    // denoise with the same preset and quality.
    void savedFileEqualsCommandLine()
    {
        QTemporaryDir out;
        const QString photo = out.filePath(QStringLiteral("dune.jpg"));
        QVERIFY(QFile::copy(QStringLiteral(CALMORA_SAMPLE_PHOTO), photo));
        const QString fromWindow = out.filePath(QStringLiteral("window.jpg"));
        const QString fromCli = out.filePath(QStringLiteral("cli.jpg"));

        TestApp test;
        test.prompter.savePath = fromWindow;
        QVERIFY(test.openAndSettle(photo));
        test.trigger("go");
        test.trigger("save");
        QVERIFY2(QFile::exists(fromWindow), qPrintable(test.prompter.told.join(u'\n')));
        const int quality = test.app->options().options().settings.jpegQuality;
        const QString preset = test.app->presets().at(0).name;

        QProcess cli;
        // The command line reads the stored options; an empty home has none.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(
            QStringLiteral("XDG_CONFIG_HOME"), out.filePath(QStringLiteral("config")));
        // Nor learned profiles: it learns into a data folder of its own.
        environment.insert(QStringLiteral("XDG_DATA_HOME"), out.filePath(QStringLiteral("data")));
        cli.setProcessEnvironment(environment);
        cli.start(QStringLiteral(CALMORA_CLI_PATH),
            { QStringLiteral("denoise"), QStringLiteral("--quiet"), QStringLiteral("-o"), fromCli,
                QStringLiteral("--preset"), preset, QStringLiteral("--quality"),
                QString::number(quality), photo });
        QVERIFY(cli.waitForFinished(120000));
        QVERIFY2(cli.exitCode() == 0, cli.readAllStandardError().constData());

        const QImage window(fromWindow);
        const QImage command(fromCli);
        QCOMPARE(window.size(), command.size());
        for (int y = 0; y < window.height(); ++y) {
            for (int x = 0; x < window.width(); ++x) {
                if (window.pixel(x, y) != command.pixel(x, y))
                    QFAIL(qPrintable(QStringLiteral("(%1,%2): window %3, command line %4")
                                         .arg(x)
                                         .arg(y)
                                         .arg(window.pixel(x, y), 8, 16)
                                         .arg(command.pixel(x, y), 8, 16)));
            }
        }
    }
};

QTEST_MAIN(MainFrameTest)
#include "main_frame_test.moc"
