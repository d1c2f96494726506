// The program's only top-level window: menus, toolbar, status bar, the image
// view, a left dock area for the filter pane, and the commands that are not
// the document's own. It reads the document's state and moves values
// between controls and the document; it never processes. Everything the
// worker reports reaches it through the document's queued signals.
#pragma once

#include "document/tessolin_doc.h"

#include <QMainWindow>
#include <QPointer>

#include <optional>

class QComboBox;
class QDockWidget;
class QLabel;
class QMenu;
class QProgressBar;
class QToolBar;

namespace calmora {

class CLeftPaneDialogBar;
class CPaneToolBar;
class CTessolinView;
class OptionsKeeper;
class PresetTable;
class UserPrompter;

class CMainFrame final : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int kMinimumWidth = 495;
    static constexpr int kMinimumHeight = 650;

    // The filter pane saves and deletes the user's presets in `presets`.
    CMainFrame(CTessolinDoc& document, OptionsKeeper& options, PresetTable& presets,
        UserPrompter& prompter, QWidget* parent = nullptr);
    ~CMainFrame() override;

    CTessolinView* view() const { return m_view; }
    CLeftPaneDialogBar* filterPane() const { return m_pane; }
    QDockWidget* filterDock() const { return m_paneDock; }
    CPaneToolBar* paneToolBar() const { return m_paneToolBar; }

public slots:
    // The File and Edit commands, also for the application object.
    void openWithDialog();
    void go();
    void undo();
    void closeFile();
    // File > Batch Processing: the batch window, with `files` in its list.
    void showBatch(const QStringList& files = {});
    // The status text the state of the document calls for (the idle text).
    void refreshStatus();

signals:
    // A file chosen in File Open or dropped on the window; the application
    // object opens it (or keeps it until the running job has stopped).
    void openRequested(const QString& path);
    // The close sequence has ended and the window is closed.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    struct ActionRow;

    void createActions();
    void connectActions();
    void createMenus();
    void createToolBar();
    void createStatusBar();
    void createFilterPane();
    // Shows or hides the filter pane and keeps the choice in the options.
    void showFilterPane(bool shown);
    // The Noise Profile and EXIF commands: open or close that section,
    // showing the pane first when it is hidden.
    void toggleSection(int sectionId);
    void updatePaneCommands();
    void restoreWindowState();
    void saveWindowState();
    void connectDocument();
    void updateCommands();
    void showSize(int width, int height);
    void showZoom(int zoom);
    void onOpened(int presetIndex);
    void onRunStatus(RunStatus status);
    void onPresetChosen(int index);
    void togglePreview();
    void showHelp();
    void showAbout();
    void focusPane(int step);
    void finishClose();
    bool hasImage() const;
    QString idleStatusText() const;

    CTessolinDoc& m_document;
    OptionsKeeper& m_options;
    PresetTable& m_presets;
    UserPrompter& m_prompter;

    CTessolinView* m_view = nullptr;
    QMenu* m_viewMenu = nullptr;
    QToolBar* m_toolBar = nullptr;
    CPaneToolBar* m_paneToolBar = nullptr;
    CLeftPaneDialogBar* m_pane = nullptr;
    QDockWidget* m_paneDock = nullptr;
    QComboBox* m_presetList = nullptr;
    QLabel* m_messagePane = nullptr;
    QLabel* m_sizePane = nullptr;
    QLabel* m_zoomPane = nullptr;
    QProgressBar* m_progress = nullptr;
    QPointer<QWidget> m_helpWindow;

    QAction* m_openAction = nullptr;
    QAction* m_saveAction = nullptr;
    QAction* m_newAction = nullptr;
    QAction* m_closeFileAction = nullptr;
    QAction* m_exitAction = nullptr;
    QAction* m_batchAction = nullptr;
    QAction* m_undoAction = nullptr;
    QAction* m_goAction = nullptr;
    QAction* m_statusBarAction = nullptr;
    QAction* m_zoomInAction = nullptr;
    QAction* m_zoomOutAction = nullptr;
    QAction* m_noiseFilterAction = nullptr;
    QAction* m_noiseProfileAction = nullptr;
    QAction* m_exifAction = nullptr;
    QAction* m_optionsAction = nullptr;
    QAction* m_previewAction = nullptr;
    QAction* m_helpAction = nullptr;
    QAction* m_contextHelpAction = nullptr;
    QAction* m_aboutAction = nullptr;
    QAction* m_nextPaneAction = nullptr;
    QAction* m_previousPaneAction = nullptr;

    int m_zoom = 100;
    // The last background run's report while it goes: it decides the status
    // text, since the run's own flags are the worker's until it ends.
    std::optional<RunStatus> m_runStatus;
    // Between an accepted Close and the end of the running job.
    bool m_closing = false;
    bool m_closed = false;
};

} // namespace calmora
