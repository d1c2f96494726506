// The progress window's Cancel rules, the check boxes of the summary and the
// notice (saved at once, read back from the file), the Save As rule that
// keeps a typed name in line with the chosen type, and its question before a
// file is replaced.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "document/file_formats.h"
#include "settings/qsettings_store.h"
#include "ui/file_dialogs.h"
#include "ui/options_keeper.h"
#include "ui/preview_info_dialog.h"
#include "ui/process_summary_dialog.h"
#include "ui/progress_dialog.h"
#include "ui_test_support.h"

using namespace calmora;

namespace {

enum class Notice { Summary, PreviewInfo };

} // namespace

Q_DECLARE_METATYPE(Notice)
Q_DECLARE_METATYPE(SaveType)

class DialogsTest : public QObject {
    Q_OBJECT

private slots:
    // Cancel counts only once the window has started or seen a run; a
    // cancelled run leaves the window's whole-image state behind it.
    void progressCancel_data()
    {
        QTest::addColumn<int>("pollsBeforeCancel");
        QTest::addColumn<bool>("endsDialog");
        QTest::newRow("before the first tick: ignored") << 0 << false;
        QTest::newRow("after the first tick: ends") << 1 << true;
        QTest::newRow("after two ticks: ends") << 2 << true;
    }

    void progressCancel()
    {
        QFETCH(int, pollsBeforeCancel);
        QFETCH(bool, endsDialog);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("photo.bmp"));
        QVERIFY(writeNoisyPicture(path, 2000, 1500));
        TestApp test;
        QVERIFY(test.app->openFile(path));
        CTessolinDoc& document = test.document();
        document.beginWholeImage();
        {
            CProgressDialog dialog(document);
            dialog.start();
            for (int i = 0; i < pollsBeforeCancel; ++i)
                dialog.poll();
            dialog.reject();
            QCOMPARE(dialog.result() == QDialog::Rejected && pollsBeforeCancel > 0, endsDialog);
            QCOMPARE(shownText(dialog, "progressText").isEmpty(), pollsBeforeCancel == 0);
            if (!endsDialog) {
                // An ignored Cancel leaves the window polling.
                dialog.poll();
                QVERIFY(!shownText(dialog, "progressText").isEmpty());
                dialog.reject();
            }
        }
        QVERIFY(test.settle());
        document.requestPreview(false);
        QVERIFY(!document.job().request.wholeImage);
        QVERIFY(!document.processingSummary().has_value() || endsDialog);
    }

    void noticeCheckBoxes_data()
    {
        QTest::addColumn<Notice>("notice");
        QTest::addColumn<int>("clicks");
        QTest::addColumn<bool>("pressOk");
        QTest::addColumn<int>("storedShowSummary");
        QTest::addColumn<int>("storedHidePreviewInfo");
        QTest::newRow("summary checked: off at once") << Notice::Summary << 1 << false << 0 << 0;
        QTest::newRow("summary unchecked again: stays off")
            << Notice::Summary << 2 << false << 0 << 0;
        QTest::newRow("summary untouched") << Notice::Summary << 0 << true << 1 << 0;
        QTest::newRow("notice checked, OK") << Notice::PreviewInfo << 1 << true << 1 << 1;
        QTest::newRow("notice checked, not yet OK") << Notice::PreviewInfo << 1 << false << 1 << 0;
        QTest::newRow("notice unchecked again, OK") << Notice::PreviewInfo << 2 << true << 1 << 0;
    }

    void noticeCheckBoxes()
    {
        QFETCH(Notice, notice);
        QFETCH(int, clicks);
        QFETCH(bool, pressOk);
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("options.ini"));
        {
            QSettingsStore store(ini);
            OptionsKeeper keeper(store);
            std::unique_ptr<QDialog> dialog;
            QCheckBox* box = nullptr;
            if (notice == Notice::Summary) {
                auto* summary = new CProcessSummaryDialog(QStringLiteral("done"), keeper);
                box = summary->doNotShowBox();
                dialog.reset(summary);
            } else {
                auto* info = new CPreviewInfoDialog(keeper);
                box = info->doNotShowBox();
                dialog.reset(info);
            }
            for (int i = 0; i < clicks; ++i)
                box->click();
            if (pressOk)
                dialog->accept();
        }
        QSettingsStore reread(ini);
        Options stored;
        loadOptions(reread, stored);
        QTEST(int(stored.settings.showSummary), "storedShowSummary");
        QTEST(int(stored.settings3.hidePreviewInfo), "storedHidePreviewInfo");
    }

    void saveTypeNames_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<SaveType>("type");
        QTest::addColumn<QString>("expected");
        QTest::newRow("JPEG keeps its own, lower case")
            << "Picture.JPEG" << SaveType::Jpeg << "Picture.jpeg";
        QTest::newRow("JPEG replaces another") << "Picture.bmp" << SaveType::Jpeg << "Picture.jpg";
        QTest::newRow("JPEG added to none") << "Picture" << SaveType::Jpeg << "Picture.jpg";
        QTest::newRow("PNG replaces JPEG") << "/a/x.jpg" << SaveType::Png << "/a/x.png";
        QTest::newRow("TIFF keeps tiff") << "x.TIFF" << SaveType::Tiff << "x.tiff";
        QTest::newRow("TIFF replaces jpe") << "x.jpe" << SaveType::Tiff << "x.tif";
        QTest::newRow("WebP, the type after TIFF")
            << "x.jpg" << static_cast<SaveType>(3) << "x.webp";
        QTest::newRow("dot in a folder is no extension")
            << "/my.photos/scan" << SaveType::Png << "/my.photos/scan.png";
    }

    // Open lists every readable format alone and all of them together;
    // Save As every writable one, in the table's order.
    void filtersFollowTheFormatTable()
    {
        const QStringList open = openFilters();
        QStringList saved;
        for (const FileFormat& format : fileFormats()) {
            QVERIFY(open.contains(filterOf(format)));
            QVERIFY(open.constFirst().contains(filterPatterns(format)));
            if (format.writable)
                saved << filterOf(format);
        }
        QCOMPARE(open.size(), int(fileFormats().size()) + 2);
        QCOMPARE(saveFilters(), saved);
    }

    void saveTypeNames()
    {
        QFETCH(QString, typed);
        QFETCH(SaveType, type);
        QTEST(nameForSaveType(typed, type), "expected");
        // The type a name points to gives the name back unchanged.
        QFETCH(QString, expected);
        QCOMPARE(saveTypeOfName(expected), type);
    }

    // A bare name is given the chosen type's extension before the dialog
    // looks whether the file exists: the question is about the name written.
    void saveAsAsksAboutTheNameWritten_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("question"); // empty: none expected
        QTest::addColumn<QString>("answer"); // empty: cancelled
        QTest::newRow("bare name of a JPEG that exists: asked, declined")
            << "photo" << 0 << "photo.jpg already exists." << "";
        QTest::newRow("bare name, no such file") << "fresh" << 0 << "" << "fresh.jpg";
        QTest::newRow("bare name, PNG chosen: the JPEG is not in the way")
            << "photo" << 1 << "" << "photo.png";
    }

    void saveAsAsksAboutTheNameWritten()
    {
        QFETCH(QString, typed);
        QFETCH(int, type);
        QFETCH(QString, question);
        QFETCH(QString, answer);
        QTemporaryDir dir;
        QVERIFY(writeNoisyPicture(dir.filePath("photo.jpg"), 20, 20));
        QString asked;
        int step = 0;
        // The dialogs run their own loops; this looks in from the main one.
        // Accepting is posted, so that the question's loop runs outside it.
        QTimer user;
        user.setInterval(10);
        connect(&user, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                asked = box->text();
                box->done(QMessageBox::No);
            } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
                if (step++ == 0) {
                    // The type chosen with the keyboard, as a user would.
                    auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
                    for (int i = types->currentIndex(); i < type; ++i)
                        QTest::keyClick(types, Qt::Key_Down);
                    dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(typed);
                    QMetaObject::invokeMethod(dialog, &QDialog::accept, Qt::QueuedConnection);
                } else if (!asked.isEmpty()) {
                    QMetaObject::invokeMethod(dialog, &QDialog::reject, Qt::QueuedConnection);
                }
            }
        });
        user.start();
        const QString chosen = chooseSavePath(nullptr, dir.filePath("photo_filtered.jpg"));
        QCOMPARE(asked.section(QLatin1Char('\n'), 0, 0), question);
        QCOMPARE(chosen, answer.isEmpty() ? QString() : dir.filePath(answer));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList { "photo.jpg" });
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
