// The batch window (File > Batch Processing...): a list of source files, the
// batch options, and a run of the document's batch on the worker with its
// four status lines, the current file's bar and the overall bar, Stop, and
// at the end what was written and what failed, and why. The window only
// listens: everything the worker reports arrives as the document's queued
// signals, and it never waits for the worker.
#pragma once

#include "document/tessolin_doc.h"
#include "settings/batch_group.h"

#include <QDialog>
#include <QHash>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QStackedWidget;
class QTreeWidget;

namespace calmora {

class OptionsKeeper;
class PresetTable;

class CBatchDialog final : public QDialog {
    Q_OBJECT

public:
    enum Column { NameColumn, FolderColumn, SizeColumn, ResultColumn };

    CBatchDialog(CTessolinDoc& document, OptionsKeeper& options, const PresetTable& presets,
        QWidget* parent = nullptr);
    ~CBatchDialog() override;

    // Adds image files and folders (a folder's images, and with
    // "subfolders" on those of its subfolders). Files already listed are
    // left out, and so is what is no image; the note under the list says
    // how many of each. Returns how many files were added.
    int addPaths(const QStringList& paths);
    void removeSelected();
    void clearFiles();
    QStringList files() const;

    // The options as the controls hold them, and as a batch reads them.
    const BatchGroup& group() const { return m_group; }
    void setGroup(const BatchGroup& group);
    BatchSettings batchSettings() const;

    // How many sources the options would write over, and the question
    // that is put before they are.
    int sourcesReplaced() const;
    static QString replaceQuestion(int count);
    // Asks the question; true for Yes. The window's own asks with a message
    // box whose default is No; tests answer themselves.
    void setReplaceQuestion(std::function<bool(const QString& text)> ask);

    // Start: checks the sources that would be replaced, then starts the
    // batch (at once, or once the image's own run has ended). False when
    // nothing was started: no files, a run already going, or the user kept
    // the originals.
    bool start();
    // Stop: the batch ends after its current tile; every file already
    // written stays.
    void stop();
    bool isRunning() const { return m_running; }

signals:
    void batchFinished();

public slots:
    void reject() override;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QWidget* createListPart();
    QWidget* createOptionsPart();
    QStackedWidget* createDestinationPlace(QWidget* part);
    QWidget* createRunPart();
    void controlsToGroup();
    void saveGroup();
    void updateControls();
    void addFolderContents(const QString& folder, bool recursive, QStringList& images,
        int& skipped);
    void tryStart();
    void rememberFolder(const QString& folder);
    void onFileStage(const QString& file, int32_t index, int32_t count, BatchStage stage);
    void onFileSettled(int32_t index, int32_t count, qint64 elapsedMs, qint64 remainingMs);
    void onBatchEnded();
    // Each listed file's result, and the failures with their reasons.
    void showResults(const BatchJob& batch);
    void chooseFiles();
    void chooseFolder();
    void browseDestination();
    void openDestination();

    CTessolinDoc& m_document;
    OptionsKeeper& m_options;
    const PresetTable& m_presets;
    BatchGroup m_group;
    std::function<bool(const QString&)> m_askReplace;

    QTreeWidget* m_list = nullptr;
    QLabel* m_note = nullptr;
    QCheckBox* m_subfolders = nullptr;
    QPushButton* m_addFiles = nullptr;
    QPushButton* m_addFolder = nullptr;
    QPushButton* m_remove = nullptr;
    QPushButton* m_clear = nullptr;

    QWidget* m_optionsPart = nullptr;
    QComboBox* m_destinationMode = nullptr;
    QStackedWidget* m_destinationPlace = nullptr;
    QLineEdit* m_subfolder = nullptr;
    QComboBox* m_folder = nullptr;
    QLineEdit* m_suffix = nullptr;
    QComboBox* m_format = nullptr;
    QSpinBox* m_quality = nullptr;
    QComboBox* m_preset = nullptr;

    QLabel* m_lines[4] = {};
    QProgressBar* m_fileBar = nullptr;
    QProgressBar* m_overallBar = nullptr;
    QLabel* m_summary = nullptr;
    QPlainTextEdit* m_failures = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_stop = nullptr;
    QPushButton* m_openDestination = nullptr;
    QPushButton* m_close = nullptr;

    // Keys of the listed files, so that one file is listed once.
    QHash<QString, int> m_keys;
    QStringList m_runFiles;
    BatchSettings m_runSettings;
    bool m_running = false; // from Start to the batch's end
    bool m_stopping = false;
    bool m_closeWhenEnded = false;
    bool m_loading = false; // controls being set from the group
    // Where the last run's first result went, for Open Destination Folder.
    QString m_destination;
};

} // namespace calmora
