// The batch window over a real document and worker: adding files and
// folders, its options stored and restored, the question before sources are
// replaced, a run with a damaged file, Stop in the middle, the results
// against the command line's, and several files named at start-up.

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include "settings/batch_group.h"
#include "settings/settings_store.h"
#include "ui/batch_dialog.h"
#include "ui_test_support.h"

using namespace calmora;

namespace {

struct Window {
    TestApp test;
    CBatchDialog dialog;
    QStringList questions;
    bool answer = false;

    Window()
        : dialog(test.document(), test.app->options(), test.app->presets())
    {
        dialog.setReplaceQuestion([this](const QString& text) {
            questions << text;
            return answer;
        });
    }

    // Runs the batch to its end; false when it did not start or end.
    bool run()
    {
        QSignalSpy finished(&dialog, &CBatchDialog::batchFinished);
        if (!dialog.start())
            return false;
        return finished.wait(120000) || finished.count() > 0;
    }

    QString result(int row) const
    {
        const auto* list = dialog.findChild<QTreeWidget*>(QStringLiteral("files"));
        return list->topLevelItem(row)->text(CBatchDialog::ResultColumn);
    }
};

QStringList filesIn(const QString& folder)
{
    QStringList names;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        names << QDir(folder).relativeFilePath(it.next());
    names.sort();
    return names;
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class BatchDialogTest : public QObject {
    Q_OBJECT

private slots:
    void addingFilesAndFolders_data()
    {
        QTest::addColumn<QStringList>("added"); // relative to the test folder
        QTest::addColumn<bool>("subfolders");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("note"); // a part of the note
        QTest::newRow("two images") << QStringList { "a.png", "b.JPG" } << false
                                    << QStringList { "a.png", "b.JPG" } << "2 files added.";
        QTest::newRow("a duplicate, spelled twice")
            << QStringList { "a.png", "./a.png", "sub/../a.png" } << false
            << QStringList { "a.png" } << "2 already in the list";
        QTest::newRow("not an image, and not there")
            << QStringList { "notes.txt", "a.png", "missing.png" } << false
            << QStringList { "a.png" }
            << "1 skipped, not a JPEG, TIFF, BMP, GIF or PNG image (notes.txt). 1 not found "
               "(missing.png).";
        QTest::newRow("a folder, sorted, without its subfolders")
            << QStringList { "." } << false << QStringList { "a.png", "b.JPG", "c.tif" }
            << "1 skipped";
        QTest::newRow("a folder with its subfolders")
            << QStringList { "." } << true
            << QStringList { "a.png", "b.JPG", "c.tif", "sub/d.bmp" } << "4 files added.";
        QTest::newRow("a file, then its folder")
            << QStringList { "c.tif", "." } << false << QStringList { "c.tif", "a.png", "b.JPG" }
            << "1 already in the list";
    }

    void addingFilesAndFolders()
    {
        QFETCH(QStringList, added);
        QFETCH(bool, subfolders);
        QFETCH(QStringList, listed);
        QFETCH(QString, note);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
        QVERIFY(writeNoisyPicture(dir.filePath("a.png"), 40, 30));
        QVERIFY(writeNoisyPicture(dir.filePath("b.JPG"), 50, 20));
        QVERIFY(writeNoisyPicture(dir.filePath("c.tif"), 20, 20));
        QVERIFY(writeNoisyPicture(dir.filePath("sub/d.bmp"), 20, 20));
        writeFile(dir.filePath("notes.txt"), "not a photo");

        Window window;
        BatchGroup group = window.dialog.group();
        group.includeSubfolders = subfolders ? 1 : 0;
        window.dialog.setGroup(group);
        QStringList paths;
        for (const QString& name : added)
            paths << dir.filePath(name);
        window.dialog.addPaths(paths);

        QStringList names;
        for (const QString& file : window.dialog.files())
            names << QDir(dir.path()).relativeFilePath(file);
        QCOMPARE(names, listed);
        QVERIFY2(shownText(window.dialog, "note").contains(note),
            qPrintable(shownText(window.dialog, "note")));
        const auto* list = window.dialog.findChild<QTreeWidget*>(QStringLiteral("files"));
        const int a = window.dialog.files().indexOf(QFileInfo(dir.filePath("a.png")).absoluteFilePath());
        if (a >= 0) {
            QCOMPARE(list->topLevelItem(a)->text(CBatchDialog::SizeColumn), QStringLiteral("40 × 30"));
            QCOMPARE(list->topLevelItem(a)->text(CBatchDialog::FolderColumn),
                QDir::toNativeSeparators(QFileInfo(dir.path()).absoluteFilePath()));
        }

        // Removing and clearing free the names for adding again.
        list->topLevelItem(0)->setSelected(true);
        window.dialog.removeSelected();
        QCOMPARE(window.dialog.files().size(), listed.size() - 1);
        window.dialog.clearFiles();
        QCOMPARE(window.dialog.addPaths(paths), static_cast<int>(listed.size()));
    }

    void optionsAreStoredAndRestored()
    {
        Window window;
        window.dialog.findChild<QComboBox*>(QStringLiteral("destinationMode"))->setCurrentIndex(2);
        window.dialog.findChild<QComboBox*>(QStringLiteral("folder"))
            ->setEditText(QStringLiteral("/srv/photos/clean"));
        auto* suffix = window.dialog.findChild<QLineEdit*>(QStringLiteral("suffix"));
        suffix->setText(QStringLiteral("_nr"));
        emit suffix->editingFinished();
        auto* subfolder = window.dialog.findChild<QLineEdit*>(QStringLiteral("subfolder"));
        subfolder->setText(QStringLiteral("Clean"));
        emit subfolder->editingFinished();
        window.dialog.findChild<QComboBox*>(QStringLiteral("format"))->setCurrentIndex(3);
        window.dialog.findChild<QSpinBox*>(QStringLiteral("quality"))->setValue(71);
        // The pane's current settings, Auto, then the presets.
        window.dialog.findChild<QComboBox*>(QStringLiteral("preset"))->setCurrentIndex(4);
        const BatchGroup chosen = window.dialog.group();
        QCOMPARE(chosen.destinationMode, 2);
        QCOMPARE(chosen.folder, QStringLiteral("/srv/photos/clean"));
        QCOMPARE(chosen.subfolder, QStringLiteral("Clean"));
        QCOMPARE(chosen.suffix, QStringLiteral("_nr"));
        QCOMPARE(chosen.format, static_cast<int>(BatchFormat::Tiff));
        QCOMPARE(chosen.jpegQuality, 71);
        QCOMPARE(chosen.presetIndex, 2);

        // Saved the moment they changed: a second window over the same
        // store shows them.
        SettingsStore& store = window.test.app->options().store();
        QCOMPARE(loadBatchGroup(store), chosen);
        {
            CBatchDialog again(window.test.document(), window.test.app->options(),
                window.test.app->presets());
            QCOMPARE(again.group(), chosen);
            const BatchSettings settings = again.batchSettings();
            QCOMPARE(settings.options.destinationFolder, QStringLiteral("/srv/photos/clean"));
            QCOMPARE(settings.options.presetIndex, 2);
            QCOMPARE(settings.jpegQuality.value_or(-1), 71);
        }

        // A damaged value sends the batch options alone to their defaults.
        store.writeBinary(kOptionsSection, QStringLiteral("Batch"), QByteArray(7, 'x'));
        QVERIFY(window.test.app->options().save());
        const std::optional<QByteArray> settingsBefore
            = store.readBinary(kOptionsSection, QStringLiteral("Settings"));
        QVERIFY(settingsBefore.has_value());
        CBatchDialog damaged(
            window.test.document(), window.test.app->options(), window.test.app->presets());
        QCOMPARE(damaged.group(), BatchGroup {});
        QVERIFY(shownText(damaged, "note").contains(QStringLiteral("damaged")));
        QCOMPARE(store.readBinary(kOptionsSection, QStringLiteral("Settings")), settingsBefore);
        // The current settings are one past the last preset for the run.
        QCOMPARE(damaged.batchSettings().options.presetIndex, window.test.app->presets().count());
    }

    void theReplaceQuestionComesExactlyWhenSourcesWouldBeReplaced_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("place"); // subfolder name, or "<source>" / "<other>" folder
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("replaced"); // sources named in the question; 0: no question
        const int asSource = static_cast<int>(BatchFormat::AsSource);
        const int jpeg = static_cast<int>(BatchFormat::Jpeg);
        const int png = static_cast<int>(BatchFormat::Png);
        QTest::newRow("beside, no suffix, as the source") << 0 << "" << "" << asSource << 3;
        QTest::newRow("beside, no suffix, as PNG: the PNG sources") << 0 << "" << "" << png << 2;
        QTest::newRow("beside, no suffix, as JPEG: the JPEG source") << 0 << "" << "" << jpeg << 1;
        QTest::newRow("beside, a suffix") << 0 << "" << "_f" << asSource << 0;
        QTest::newRow("a subfolder, no suffix") << 1 << "out" << "" << asSource << 0;
        QTest::newRow("the sources' own folder, no suffix") << 2 << "<source>" << "" << png << 2;
        QTest::newRow("the sources' own folder, a suffix") << 2 << "<source>" << "_f" << png << 0;
        QTest::newRow("another folder, no suffix") << 2 << "<other>" << "" << asSource << 0;
    }

    void theReplaceQuestionComesExactlyWhenSourcesWouldBeReplaced()
    {
        QFETCH(int, mode);
        QFETCH(QString, place);
        QFETCH(QString, suffix);
        QFETCH(int, format);
        QFETCH(int, replaced);
        QTemporaryDir dir;
        QTemporaryDir other;
        const QStringList sources { dir.filePath("a.png"), dir.filePath("b.png"),
            dir.filePath("c.jpg") };
        QByteArray originals;
        for (const QString& source : sources) {
            QVERIFY(writeNoisyPicture(source, 64, 48));
            QFile file(source);
            QVERIFY(file.open(QIODevice::ReadOnly));
            originals += file.readAll();
        }

        for (const bool yes : { false, true }) {
            const QString rowName = yes ? "Yes" : "No";
            Window window;
            window.answer = yes;
            BatchGroup group;
            group.destinationMode = mode;
            group.subfolder = place;
            group.folder = place == "<source>" ? dir.path() : other.path();
            group.suffix = suffix;
            group.format = format;
            window.dialog.setGroup(group);
            window.dialog.addPaths(sources);
            QCOMPARE(window.dialog.sourcesReplaced(), replaced);

            const bool started = window.run();
            QCOMPARE(window.questions.size(), replaced > 0 ? 1 : 0);
            if (replaced > 0) {
                QCOMPARE(window.questions.first(), CBatchDialog::replaceQuestion(replaced));
                QVERIFY(window.questions.first().contains(
                    QStringLiteral("%1 original photo").arg(replaced)));
            }
            // Only a Yes, or no question at all, starts the batch.
            QCOMPARE(started, replaced == 0 || yes);
            QByteArray now;
            for (const QString& source : sources) {
                QFile file(source);
                QVERIFY(file.open(QIODevice::ReadOnly));
                now += file.readAll();
            }
            QVERIFY2((now != originals) == (replaced > 0 && yes), qPrintable(rowName));
            if (started)
                QVERIFY2(
                    shownText(window.dialog, "summary").startsWith(QStringLiteral("3 written")),
                    qPrintable(shownText(window.dialog, "summary")
                        + shownText(window.dialog, "failures")));
            if (now != originals) {
                // Put the originals back for the next round.
                for (const QString& source : sources) {
                    QVERIFY(QFile::remove(source));
                    QVERIFY(writeNoisyPicture(source, 64, 48));
                }
            }
        }
    }

    void aRunWithADamagedFileWritesTheOthersAndEndsAtFullBar()
    {
        QTemporaryDir dir;
        const QStringList sources { dir.filePath("one.png"), dir.filePath("two.png"),
            dir.filePath("three.png") };
        QVERIFY(writeNoisyPicture(sources[0], 300, 200, 1));
        writeFile(sources[1], QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(40, '\x07'));
        QVERIFY(writeNoisyPicture(sources[2], 260, 180, 3));

        Window window;
        BatchGroup group;
        group.destinationMode = static_cast<int>(DestinationMode::Subfolder);
        group.subfolder = QStringLiteral("out");
        group.suffix = QStringLiteral("_filtered");
        group.format = static_cast<int>(BatchFormat::Png);
        window.dialog.setGroup(group);
        QCOMPARE(window.dialog.addPaths(sources), 3);
        QSignalSpy settled(&window.test.document(), &CTessolinDoc::batchFileSettled);
        QVERIFY(window.run());

        QCOMPARE(shownText(window.dialog, "summary"), QStringLiteral("2 written, 1 failed."));
        QCOMPARE(
            window.dialog.findChild<QProgressBar*>(QStringLiteral("overallBar"))->value(), 100);
        QCOMPARE(settled.count(), 3);
        QVERIFY(shownText(window.dialog, "failures")
                    .startsWith(QDir::toNativeSeparators(sources[1]) + QStringLiteral(": ")));
        QVERIFY2(window.result(1).startsWith(QStringLiteral("Failed: ")), qPrintable(window.result(1)));
        QCOMPARE(window.result(0), QDir::toNativeSeparators(QStringLiteral("out/one_filtered.png")));
        QCOMPARE(window.result(2), QDir::toNativeSeparators(QStringLiteral("out/three_filtered.png")));
        QCOMPARE(filesIn(dir.filePath("out")),
            (QStringList { "one_filtered.png", "three_filtered.png" }));
        // Open Destination Folder says where it opens.
        QCOMPARE(
            window.dialog.findChild<QPushButton*>(QStringLiteral("openDestination"))->toolTip(),
            QDir::toNativeSeparators(dir.filePath("out")));
        QStringList lines;
        for (const char* name : { "fileLine", "counterLine", "elapsedLine", "remainingLine" })
            lines << shownText(window.dialog, name);
        QCOMPARE(lines[0], QStringLiteral("Finished"));
        QVERIFY2(lines[1].isEmpty(), qPrintable(lines[1]));
        QVERIFY2(lines[2].startsWith(QStringLiteral("Elapsed time: ")) && lines[2].endsWith(' '),
            qPrintable(lines[2]));
        QCOMPARE(lines[3], QStringLiteral("Remaining time: 0 min. 0 sec. "));
    }

    void stopInTheMiddleKeepsWhatWasWritten()
    {
        QTemporaryDir dir;
        QStringList sources;
        for (int i = 0; i < 6; ++i) {
            sources << dir.filePath(QStringLiteral("p%1.bmp").arg(i));
            QVERIFY(writeNoisyPicture(sources.last(), 1400, 1100, i + 1));
        }
        Window window;
        BatchGroup group;
        group.destinationMode = static_cast<int>(DestinationMode::Subfolder);
        group.subfolder = QStringLiteral("out");
        group.format = static_cast<int>(BatchFormat::Png);
        window.dialog.setGroup(group);
        window.dialog.addPaths(sources);
        // Stop as soon as the first file is written; the window is still
        // answering, so the Stop lands while the worker filters.
        connect(&window.test.document(), &CTessolinDoc::batchFileSettled, &window.dialog,
            [&] { window.dialog.stop(); });
        QVERIFY(window.run());

        const QStringList written = filesIn(dir.filePath("out"));
        QVERIFY2(!written.isEmpty() && written.size() < sources.size(), qPrintable(written.join(' ')));
        for (const QString& name : written) {
            QVERIFY2(name.endsWith(QStringLiteral("_filtered.png")), qPrintable(name));
            QVERIFY2(!QImage(dir.filePath("out/" + name)).isNull(), qPrintable(name));
        }
        QVERIFY2(
            shownText(window.dialog, "summary")
                .startsWith(QStringLiteral("%1 written, 0 failed. Stopped: ").arg(written.size())),
            qPrintable(shownText(window.dialog, "summary")));
        QCOMPARE(window.result(sources.size() - 1),
            QStringLiteral("Not processed: the batch was stopped"));
        QVERIFY(!window.dialog.isRunning());
        QVERIFY(!window.test.document().isRunning());
        QVERIFY2(!window.test.document().job().stop.load(), "the next run is not stopped");
    }

    void theResultsEqualTheCommandLines_data()
    {
        QTest::addColumn<int>("presetIndex");
        QTest::addColumn<QString>("cliPreset");
        QTest::newRow("a preset") << 4 << QStringLiteral("4");
        QTest::newRow("auto, per file") << int { kAutoStrengthPreset } << QStringLiteral("auto");
        // No photo open: the pane's settings are those of the default preset.
        QTest::newRow("the pane's settings, no photo open")
            << int { kCurrentSettingsPreset } << QStringLiteral("0");
    }

    void theResultsEqualTheCommandLines()
    {
        QFETCH(int, presetIndex);
        QFETCH(QString, cliPreset);
        QTemporaryDir dir;
        const QStringList sources { dir.filePath("x.png"), dir.filePath("y.jpg") };
        QVERIFY(writeNoisyPicture(sources[0], 700, 650, 5));
        QVERIFY(writeNoisyPicture(sources[1], 420, 300, 6));

        Window window;
        BatchGroup group;
        group.destinationMode = static_cast<int>(DestinationMode::Folder);
        group.folder = dir.filePath("window");
        QVERIFY(QDir().mkpath(group.folder));
        group.format = static_cast<int>(BatchFormat::Png);
        group.presetIndex = presetIndex;
        window.dialog.setGroup(group);
        window.dialog.addPaths(sources);
        QVERIFY(window.run());
        QCOMPARE(shownText(window.dialog, "summary"), QStringLiteral("2 written, 0 failed."));

        QProcess cli;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
        cli.setProcessEnvironment(environment);
        cli.start(QStringLiteral(CALMORA_CLI_PATH),
            QStringList { QStringLiteral("denoise"), QStringLiteral("--quiet"),
                QStringLiteral("--dest-dir"), dir.filePath("cli"), QStringLiteral("--format"),
                QStringLiteral("png"), QStringLiteral("--preset"), cliPreset }
                + sources);
        QVERIFY(cli.waitForFinished(120000));
        QVERIFY2(cli.exitCode() == 0, cli.readAllStandardError().constData());

        for (const char* name : { "x_filtered.png", "y_filtered.png" }) {
            const QImage fromWindow(dir.filePath(QStringLiteral("window/") + name));
            const QImage fromCli(dir.filePath(QStringLiteral("cli/") + name));
            QVERIFY2(!fromWindow.isNull() && !fromCli.isNull(), name);
            QCOMPARE(fromWindow.size(), fromCli.size());
            QCOMPARE(fromWindow.convertToFormat(QImage::Format_ARGB32),
                fromCli.convertToFormat(QImage::Format_ARGB32));
        }
    }

    void severalFilesAtStartUpOpenTheFirstAndOfferTheRest()
    {
        QTemporaryDir dir;
        const QStringList files { dir.filePath("first.png"), dir.filePath("second.png"),
            dir.filePath("third.png") };
        for (const QString& file : files)
            QVERIFY(writeNoisyPicture(file, 80, 60));
        TestApp test;
        QStringList offered;
        // The batch window is modal: it is read and closed from inside its
        // own event loop.
        QTimer probe;
        probe.setInterval(20);
        connect(&probe, &QTimer::timeout, [&] {
            if (auto* dialog = qobject_cast<CBatchDialog*>(QApplication::activeModalWidget())) {
                if (!test.document().isLoaded())
                    return;
                offered = dialog->files();
                dialog->reject();
            }
        });
        probe.start();
        test.app->start(files);
        QVERIFY(QTest::qWaitFor([&] { return !offered.isEmpty(); }, 60000));
        QCOMPARE(offered, files.mid(1));
        QCOMPARE(test.document().sourcePath(), files[0]);
        QVERIFY(test.settle());
    }
};

QTEST_MAIN(BatchDialogTest)
#include "batch_dialog_test.moc"
