#include "ui/main_frame.h"

#include "settings/presets.h"
#include "settings/settings_store.h"
#include "ui/batch_dialog.h"
#include "ui/command_ids.h"
#include "ui/help_window.h"
#include "ui/left_pane_dialog_bar.h"
#include "ui/options_dialog.h"
#include "ui/options_keeper.h"
#include "ui/pane_button.h"
#include "ui/pane_tool_bar.h"
#include "ui/preset_list.h"
#include "ui/tessolin_view.h"
#include "ui/user_prompter.h"
#include "ui/window_state.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QScrollArea>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QVBoxLayout>
#include <QWhatsThis>

#include <array>

namespace calmora {

namespace {

// Widths of the size and zoom panes, as the status bar was laid out.
constexpr int kSizePaneWidth = 130;
constexpr int kZoomPaneWidth = 100;
constexpr int kProgressWidth = 100;
// Decoder remarks stay in the status bar this long.
constexpr int kNoteShownMs = 8000;

QString idlePrompt()
{
    return CMainFrame::tr("For Help, press F1");
}

QString previewCaption(bool on)
{
    return on ? CMainFrame::tr("Preview: ON") : CMainFrame::tr("Preview: OFF");
}

} // namespace

CMainFrame::CMainFrame(CTessolinDoc& document, OptionsKeeper& options, PresetTable& presets,
    UserPrompter& prompter, QWidget* parent)
    : QMainWindow(parent)
    , m_document(document)
    , m_options(options)
    , m_presets(presets)
    , m_prompter(prompter)
{
    setWindowTitle(tr("Calmora"));
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    setDockNestingEnabled(true);
    // The filter pane of the next step docks on the left.
    setCorner(Qt::TopLeftCorner, Qt::LeftDockWidgetArea);
    setCorner(Qt::BottomLeftCorner, Qt::LeftDockWidgetArea);
    setAcceptDrops(true);

    m_view = new CTessolinView(&m_document, &m_options.options(), this);
    setCentralWidget(m_view);
    // The live preview: when the view's countdown runs out, the document
    // filters what the view shows.
    m_view->setPreviewStarter(
        [this](const Rect& visible) { return m_document.startPreview(visible); });

    createActions();
    createMenus();
    createFilterPane();
    createToolBar();
    createStatusBar();
    connectDocument();
    restoreWindowState();

    showZoom(100);
    showSize(0, 0);
    updateCommands();
    refreshStatus();
}

CMainFrame::~CMainFrame()
{
    // The base class hides the docks as it destroys them; their signals
    // must not reach this part of the object, which is already gone then.
    for (QObject* sender : { static_cast<QObject*>(m_paneDock), static_cast<QObject*>(m_pane),
             static_cast<QObject*>(m_paneToolBar) }) {
        if (sender != nullptr)
            disconnect(sender, nullptr, this, nullptr);
    }
}

// One command: its look, its keys and the member that holds it. The texts
// are translated in the frame's context; `prompt` is the status tip and
// tooltip, and after a line break the caption beside an icon when it is not
// the one Qt derives from the text.
struct CMainFrame::ActionRow {
    QAction* CMainFrame::*action;
    const char* name;
    const char* text;
    const char* prompt;
    std::array<QKeyCombination, 3> keys; // the default Qt::Key_unknown: none
    QStyle::StandardPixmap standardIcon; // kNoStandardIcon: none
    const char* iconFile; // nullptr: none
    bool checkable;
    bool onWindow; // a key of the window's, though in no menu

    static const ActionRow kRows[];
};

namespace {

constexpr auto kNoStandardIcon = QStyle::SP_CustomBase;
constexpr auto kKeypad = Qt::ControlModifier | Qt::KeypadModifier;

} // namespace

const CMainFrame::ActionRow CMainFrame::ActionRow::kRows[] = {
    { &CMainFrame::m_openAction, "open",
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "&Open...\tCtrl+O"),
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Open an existing document\nOpen"),
        { Qt::CTRL | Qt::Key_O }, QStyle::SP_DialogOpenButton, nullptr, false, false },
    { &CMainFrame::m_saveAction, "save",
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "&Save As...\tCtrl+S"),
        QT_TRANSLATE_NOOP(
            "calmora::CMainFrame", "Save the active document with a new name\nSave As"),
        { Qt::CTRL | Qt::Key_S }, QStyle::SP_DialogSaveButton, nullptr, false, false },
    // New replaces the image by an empty document, as Close File does.
    { &CMainFrame::m_newAction, "new", QT_TRANSLATE_NOOP("calmora::CMainFrame", "&New"),
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Create a new document"), { Qt::CTRL | Qt::Key_N },
        kNoStandardIcon, nullptr, false, true },
    { &CMainFrame::m_closeFileAction, "closeFile",
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "&Close File\tCtrl+F4"),
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Close the active document"),
        { Qt::CTRL | Qt::Key_F4 }, kNoStandardIcon, nullptr, false, false },
    { &CMainFrame::m_batchAction, "batch",
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "&Batch Processing...\tCtrl+B"),
        QT_TRANSLATE_NOOP(
            "calmora::CMainFrame", "Filter a list of photos and save the results\nBatch"),
        { Qt::CTRL | Qt::Key_B }, kNoStandardIcon, ":/icons/batch.svg", false, false },
    { &CMainFrame::m_exitAction, "exit", QT_TRANSLATE_NOOP("calmora::CMainFrame", "E&xit"),
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Quit the application; prompts to save documents"),
        {}, kNoStandardIcon, nullptr, false, false },
    { &CMainFrame::m_undoAction, "undo", QT_TRANSLATE_NOOP("calmora::CMainFrame", "&Undo\tCtrl+Z"),
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Undo the last action\nUndo"),
        { Qt::CTRL | Qt::Key_Z, Qt::ALT | Qt::Key_Backspace }, QStyle::SP_ArrowBack, nullptr, false,
        false },
    { &CMainFrame::m_goAction, "go",
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "P&rocess\tCtrl+Enter"),
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Start processing\nGo"),
        { Qt::CTRL | Qt::Key_Return, kKeypad | Qt::Key_Enter }, QStyle::SP_MediaPlay, nullptr,
        false, false },
    { &CMainFrame::m_statusBarAction, "statusBar",
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "&Status Bar"),
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Show or hide the status bar"), {},
        kNoStandardIcon, nullptr, true, false },
    { &CMainFrame::m_zoomInAction, "zoomIn",
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Zoom &In\tCtrl +"),
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Zoom In\nZoom In"),
        { Qt::CTRL | Qt::Key_Plus, Qt::CTRL | Qt::Key_Equal, kKeypad | Qt::Key_Plus },
        QStyle::SP_ArrowUp, nullptr, false, false },
    { &CMainFrame::m_zoomOutAction, "zoomOut",
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Zoom O&ut\tCtrl -"),
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Zoom Out\nZoom Out"),
        { Qt::CTRL | Qt::Key_Minus, kKeypad | Qt::Key_Minus }, QStyle::SP_ArrowDown, nullptr, false,
        false },
    { &CMainFrame::m_noiseFilterAction, "noiseFilter",
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Noise &Filter"),
        QT_TRANSLATE_NOOP(
            "calmora::CMainFrame", "Show or hide the noise filter pane\nNoise Filter"),
        {}, kNoStandardIcon, nullptr, true, false },
    { &CMainFrame::m_noiseProfileAction, "noiseProfile",
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "&Noise Profile"),
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Show Noise Profile Viewer\nProfile"), {},
        kNoStandardIcon, nullptr, true, false },
    // Not in the menus: the pane's own section caption does the same.
    { &CMainFrame::m_exifAction, "exif", QT_TRANSLATE_NOOP("calmora::CMainFrame", "&EXIF"),
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Show EXIF Information\nEXIF"), {},
        kNoStandardIcon, nullptr, true, true },
    { &CMainFrame::m_optionsAction, "options",
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "&Options..."),
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Show Options Window"), {}, kNoStandardIcon,
        nullptr, false, false },
    // Captioned by the option's state as the commands are updated.
    { &CMainFrame::m_previewAction, "preview",
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Preview: OFF"),
        QT_TRANSLATE_NOOP(
            "calmora::CMainFrame", "Turn ON or OFF automatic update of the visible part"),
        {}, kNoStandardIcon, nullptr, true, false },
    { &CMainFrame::m_helpAction, "help", QT_TRANSLATE_NOOP("calmora::CMainFrame", "&Help Topics"),
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Display help for current task or command"),
        { Qt::Key_F1 }, kNoStandardIcon, nullptr, false, false },
    { &CMainFrame::m_aboutAction, "about",
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "&About Calmora..."),
        QT_TRANSLATE_NOOP(
            "calmora::CMainFrame", "Display program information, version number and copyright"),
        {}, kNoStandardIcon, nullptr, false, false },
    { &CMainFrame::m_nextPaneAction, "nextPane",
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Next Pane"),
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Switch to the next window pane"), { Qt::Key_F6 },
        kNoStandardIcon, nullptr, false, true },
    { &CMainFrame::m_previousPaneAction, "previousPane",
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Previous Pane"),
        QT_TRANSLATE_NOOP("calmora::CMainFrame", "Switch back to the previous window pane"),
        { Qt::SHIFT | Qt::Key_F6 }, kNoStandardIcon, nullptr, false, true },
};

void CMainFrame::createActions()
{
    for (const ActionRow& row : ActionRow::kRows) {
        auto* action = new QAction(tr(row.text), this);
        action->setObjectName(QLatin1String(row.name));
        const QStringList prompt = tr(row.prompt).split(QLatin1Char('\n'));
        action->setStatusTip(prompt.constFirst());
        action->setToolTip(prompt.constFirst());
        if (prompt.size() > 1)
            action->setIconText(prompt[1]);
        QList<QKeySequence> keys;
        for (QKeyCombination key : row.keys) {
            if (key.key() != Qt::Key_unknown)
                keys << QKeySequence(key);
        }
        action->setShortcuts(keys);
        if (row.standardIcon != kNoStandardIcon)
            action->setIcon(style()->standardIcon(row.standardIcon));
        else if (row.iconFile != nullptr)
            action->setIcon(QIcon(QLatin1String(row.iconFile)));
        action->setCheckable(row.checkable);
        if (row.onWindow)
            addAction(action);
        this->*row.action = action;
    }
    m_statusBarAction->setChecked(true);
    m_previewAction->setText(previewCaption(m_options.options().settings.autoPreview != 0));
    m_contextHelpAction = QWhatsThis::createAction(this);
    m_contextHelpAction->setObjectName(QStringLiteral("contextHelp"));
    m_contextHelpAction->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F1));
    addAction(m_contextHelpAction);
    connectActions();
}

void CMainFrame::connectActions()
{
    connect(m_openAction, &QAction::triggered, this, &CMainFrame::openWithDialog);
    connect(m_saveAction, &QAction::triggered, this, [this] {
        m_document.save();
        updateCommands();
        refreshStatus();
    });
    connect(m_newAction, &QAction::triggered, this, &CMainFrame::closeFile);
    connect(m_closeFileAction, &QAction::triggered, this, &CMainFrame::closeFile);
    connect(m_batchAction, &QAction::triggered, this, [this] { showBatch(); });
    connect(m_exitAction, &QAction::triggered, this, &QWidget::close);
    connect(m_undoAction, &QAction::triggered, this, &CMainFrame::undo);
    connect(m_goAction, &QAction::triggered, this, &CMainFrame::go);
    connect(m_statusBarAction, &QAction::toggled, this,
        [this](bool shown) { statusBar()->setVisible(shown); });
    connect(m_zoomInAction, &QAction::triggered, m_view, &CTessolinView::zoomIn);
    connect(m_zoomOutAction, &QAction::triggered, m_view, &CTessolinView::zoomOut);
    connect(m_noiseFilterAction, &QAction::triggered, this, &CMainFrame::showFilterPane);
    connect(m_noiseProfileAction, &QAction::triggered, this,
        [this] { toggleSection(CLeftPaneDialogBar::kProfileSection); });
    connect(m_exifAction, &QAction::triggered, this,
        [this] { toggleSection(CLeftPaneDialogBar::kExifSection); });
    connect(m_optionsAction, &QAction::triggered, this, [this] {
        COptionsDialog dialog(m_options, m_presets, m_document, m_prompter, this);
        // The Preview button follows the automatic-preview option.
        if (dialog.exec() == QDialog::Accepted)
            updateCommands();
    });
    connect(m_previewAction, &QAction::triggered, this, &CMainFrame::togglePreview);
    connect(m_helpAction, &QAction::triggered, this, &CMainFrame::showHelp);
    connect(m_aboutAction, &QAction::triggered, this, &CMainFrame::showAbout);
    connect(m_nextPaneAction, &QAction::triggered, this, [this] { focusPane(1); });
    connect(m_previousPaneAction, &QAction::triggered, this, [this] { focusPane(-1); });
}

void CMainFrame::createMenus()
{
    QMenu* file = menuBar()->addMenu(tr("&File"));
    file->addAction(m_openAction);
    file->addAction(m_saveAction);
    file->addAction(m_closeFileAction);
    file->addSeparator();
    file->addAction(m_batchAction);
    file->addSeparator();
    file->addAction(m_exitAction);

    QMenu* edit = menuBar()->addMenu(tr("&Edit"));
    edit->addAction(m_undoAction);

    QMenu* filter = menuBar()->addMenu(tr("Fil&ter"));
    filter->addAction(m_goAction);

    // The toolbar's action is made with the toolbar; it is added below.
    m_viewMenu = menuBar()->addMenu(tr("&View"));

    QMenu* help = menuBar()->addMenu(tr("&Help"));
    help->addAction(m_helpAction);
    help->addSeparator();
    help->addAction(m_aboutAction);

    // The view's right-button menu: the same actions, greyed by the same
    // rules, refreshed as it opens.
    auto* context = new QMenu(this);
    context->setObjectName(QStringLiteral("viewContextMenu"));
    context->addAction(m_undoAction);
    context->addSeparator();
    context->addAction(m_zoomInAction);
    context->addAction(m_zoomOutAction);
    context->addSeparator();
    context->addAction(m_saveAction);
    context->addAction(m_closeFileAction);
    m_view->setContextMenu(context);
    connect(m_view, &CTessolinView::contextMenuAboutToShow, this, &CMainFrame::updateCommands);
}

void CMainFrame::createToolBar()
{
    // A QToolBar only as the holder of the owner-drawn bar: it gives the
    // View menu its Toolbar command and the frame its top area.
    m_toolBar = addToolBar(tr("Toolbar"));
    m_toolBar->setObjectName(QStringLiteral("toolBar"));
    m_toolBar->setMovable(false);
    m_toolBar->setFloatable(false);
    m_toolBar->layout()->setContentsMargins(0, 0, 0, 0);
    m_paneToolBar = new CPaneToolBar(m_toolBar);
    m_toolBar->addWidget(m_paneToolBar);
    m_paneToolBar->addCommand(m_openAction, kOpenCommand, QStringLiteral("open"));
    m_paneToolBar->addCommand(m_saveAction, kSaveCommand, QStringLiteral("save"));
    m_paneToolBar->addCommand(
        m_undoAction, kUndoCommand, QStringLiteral("undo"), kPushButton | kIconOnly);
    m_paneToolBar->addCommand(m_zoomInAction, kZoomInCommand, QStringLiteral("zoom-in"));
    m_paneToolBar->addCommand(m_zoomOutAction, kZoomOutCommand, QStringLiteral("zoom-out"));
    m_paneToolBar->addCommand(m_previewAction, kPreviewCommand, QStringLiteral("preview"));
    // While the filter pane is hidden the toolbar carries a presets list
    // over the pane's entries, and Go.
    m_presetList = new QComboBox(m_paneToolBar);
    m_presetList->setObjectName(QStringLiteral("presetList"));
    m_presetList->setAccessibleName(tr("Preset"));
    m_presetList->setToolTip(tr("Filter settings to start from"));
    showPresetList(*m_presetList, m_pane->presetModel());
    m_presetList->setCurrentIndex(m_pane->selectedPreset());
    connect(m_presetList, &QComboBox::activated, this, &CMainFrame::onPresetChosen);
    connect(m_pane, &CLeftPaneDialogBar::noteRequested, this,
        [this](const QString& note) { statusBar()->showMessage(note, kNoteShownMs); });
    connect(m_pane, &CLeftPaneDialogBar::presetSelected, this, [this](int index) {
        fitPresetDropDown(*m_presetList);
        m_presetList->setCurrentIndex(index);
    });
    m_paneToolBar->addPresetArea(m_presetList, m_goAction);
    m_paneToolBar->addCommand(
        m_noiseFilterAction, kNoiseFilterCommand, QStringLiteral("noise-filter"));
    m_paneToolBar->addCommand(
        m_noiseProfileAction, kNoiseProfileCommand, QStringLiteral("noise-profile"));
    m_paneToolBar->setPaneShown(!m_paneDock->isHidden());

    QAction* toolbarAction = m_toolBar->toggleViewAction();
    toolbarAction->setText(tr("&Toolbar"));
    toolbarAction->setStatusTip(tr("Show or hide the toolbar"));
    m_viewMenu->addAction(toolbarAction);
    m_viewMenu->addAction(m_statusBarAction);
    m_viewMenu->addSeparator();
    m_viewMenu->addAction(m_zoomInAction);
    m_viewMenu->addAction(m_zoomOutAction);
    m_viewMenu->addSeparator();
    m_viewMenu->addAction(m_noiseFilterAction);
    m_viewMenu->addAction(m_noiseProfileAction);
    m_viewMenu->addSeparator();
    m_viewMenu->addAction(m_optionsAction);
}

void CMainFrame::createFilterPane()
{
    m_pane = new CLeftPaneDialogBar(m_document, m_options, m_presets, m_prompter, m_goAction);
    // The pane scrolls when the window is lower than its open sections.
    auto* scroller = new QScrollArea;
    scroller->setObjectName(QStringLiteral("filterPaneScroller"));
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setWidgetResizable(true);
    scroller->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroller->setWidget(m_pane);
    scroller->setMinimumWidth(CLeftPaneDialogBar::kMinimumWidth);
    m_paneDock = new QDockWidget(tr("Noise Filter"), this);
    m_paneDock->setObjectName(QStringLiteral("filterDock"));
    m_paneDock->setAllowedAreas(Qt::LeftDockWidgetArea | Qt::RightDockWidgetArea);
    m_paneDock->setWidget(scroller);
    addDockWidget(Qt::LeftDockWidgetArea, m_paneDock);
    m_paneDock->setVisible(m_options.options().settings2.filterPaneVisible != 0);

    connect(m_paneDock, &QDockWidget::visibilityChanged, this, [this] {
        const bool shown = !m_paneDock->isHidden();
        if (m_paneToolBar != nullptr)
            m_paneToolBar->setPaneShown(shown);
        // Closed by its own button: the choice is kept as the command's is.
        if (!m_closing && isVisible()
            && shown != (m_options.options().settings2.filterPaneVisible != 0))
            showFilterPane(shown);
        if (shown && m_paneDock->isVisible())
            m_pane->applyControls();
        updatePaneCommands();
    });
    connect(m_pane, &CLeftPaneDialogBar::sectionsChanged, this, &CMainFrame::updatePaneCommands);
    connect(m_pane, &CLeftPaneDialogBar::widthRequested, this,
        [this](int width) { resizeDocks({ m_paneDock }, { width }, Qt::Horizontal); });
}

void CMainFrame::showFilterPane(bool shown)
{
    m_paneDock->setVisible(shown);
    m_paneToolBar->setPaneShown(shown);
    Settings2Group& group = m_options.options().settings2;
    if (group.filterPaneVisible != (shown ? 1 : 0)) {
        group.filterPaneVisible = shown ? 1 : 0;
        if (!m_options.save())
            m_prompter.tell(m_options.errorString(), PromptIcon::Error);
    }
    updatePaneCommands();
}

void CMainFrame::toggleSection(int sectionId)
{
    if (m_paneDock->isHidden()) {
        m_pane->setSectionOpen(sectionId, true);
        m_paneDock->show();
        m_paneToolBar->setPaneShown(true);
    } else {
        m_pane->setSectionOpen(sectionId, !m_pane->isSectionOpen(sectionId));
    }
    m_pane->storeSectionState(m_pane->sectionState() != CLeftPaneDialogBar::kNoSectionOpen);
    updatePaneCommands();
}

void CMainFrame::updatePaneCommands()
{
    const bool shown = !m_paneDock->isHidden();
    m_noiseFilterAction->setChecked(shown);
    m_noiseProfileAction->setChecked(
        shown && m_pane->isSectionOpen(CLeftPaneDialogBar::kProfileSection));
    m_exifAction->setChecked(shown && m_pane->isSectionOpen(CLeftPaneDialogBar::kExifSection));
}

void CMainFrame::restoreWindowState()
{
    const WindowState state = readWindowState(m_options.store());
    if (!state.geometry.isEmpty())
        restoreGeometry(state.geometry);
    if (!state.docks.isEmpty())
        restoreState(state.docks);
    if (state.paneWidth > 0)
        m_pane->setPaneWidth(state.paneWidth);
    // The options decide whether the pane shows, not the stored docks.
    const bool shown = m_options.options().settings2.filterPaneVisible != 0;
    m_paneDock->setVisible(shown);
    m_paneToolBar->setPaneShown(shown);
    updatePaneCommands();
}

void CMainFrame::saveWindowState()
{
    WindowState state;
    state.geometry = saveGeometry();
    state.docks = saveState();
    state.paneWidth = m_pane->paneWidth();
    if (!writeWindowState(m_options.store(), state))
        m_prompter.tell(tr("The window's size and place could not be saved: %1")
                            .arg(m_options.store().errorString()),
            PromptIcon::Warning);
}

void CMainFrame::createStatusBar()
{
    m_messagePane = new QLabel(statusBar());
    m_messagePane->setObjectName(QStringLiteral("statusMessage"));
    m_progress = new QProgressBar(statusBar());
    m_progress->setObjectName(QStringLiteral("statusProgress"));
    m_progress->setRange(0, 100);
    m_progress->setFixedWidth(kProgressWidth);
    m_progress->setTextVisible(false);
    m_progress->hide();
    m_sizePane = new QLabel(statusBar());
    m_sizePane->setObjectName(QStringLiteral("statusSize"));
    m_sizePane->setFixedWidth(kSizePaneWidth);
    m_zoomPane = new QLabel(statusBar());
    m_zoomPane->setObjectName(QStringLiteral("statusZoom"));
    m_zoomPane->setFixedWidth(kZoomPaneWidth);
    // Action tips take the message pane's place while they show; when they
    // go, the idle text comes back.
    statusBar()->addWidget(m_messagePane, 1);
    statusBar()->addWidget(m_progress);
    statusBar()->addPermanentWidget(m_sizePane);
    statusBar()->addPermanentWidget(m_zoomPane);
}

void CMainFrame::connectDocument()
{
    connect(&m_document, &CTessolinDoc::opened, this, &CMainFrame::onOpened);
    connect(&m_document, &CTessolinDoc::contentsDeleted, this, [this] {
        m_runStatus.reset();
        m_pane->fillExif();
        setWindowTitle(tr("Calmora"));
        showSize(0, 0);
        updateCommands();
        refreshStatus();
    });
    connect(&m_document, &CTessolinDoc::undone, this, [this] {
        m_runStatus.reset();
        updateCommands();
        refreshStatus();
    });
    connect(&m_document, &CTessolinDoc::runStatusChanged, this, &CMainFrame::onRunStatus);
    connect(&m_document, &CTessolinDoc::profileReady, this, &CMainFrame::updateCommands);
    connect(
        &m_document, &CTessolinDoc::progressChanged, this, [this](ProgressKind kind, int percent) {
            if (kind == ProgressKind::Background)
                m_progress->setValue(percent);
        });
    connect(&m_document, &CTessolinDoc::noteReported, this,
        [this](const QString& file, const QString& note) {
            statusBar()->showMessage(
                QStringLiteral("%1: %2").arg(QFileInfo(file).fileName(), note), kNoteShownMs);
        });
    connect(m_view, &CTessolinView::zoomChanged, this, [this](int zoom) {
        showZoom(zoom);
        updateCommands();
    });
}

bool CMainFrame::hasImage() const
{
    return m_document.image() != nullptr;
}

void CMainFrame::updateCommands()
{
    const bool image = hasImage();
    m_saveAction->setEnabled(image);
    m_closeFileAction->setEnabled(image);
    m_undoAction->setEnabled(m_document.canUndo());
    m_goAction->setEnabled(image);
    m_zoomInAction->setEnabled(image && m_zoom < 400);
    m_zoomOutAction->setEnabled(image && m_zoom > 25);
    m_previewAction->setEnabled(image);
    const bool autoPreview = m_options.options().settings.autoPreview != 0;
    m_previewAction->setChecked(autoPreview);
    m_previewAction->setText(previewCaption(autoPreview));
    m_previewAction->setIconText(previewCaption(autoPreview));
    m_presetList->setEnabled(image);
    m_pane->setDocumentState(image, m_document.job().profileReady.load());
}

QString CMainFrame::idleStatusText() const
{
    if (!hasImage())
        return idlePrompt();
    if (m_runStatus == RunStatus::BuildingProfile)
        return tr("Building noise profile");
    if (m_runStatus == RunStatus::UpdatingPreview)
        return tr("Updating Preview Window");
    const ProcessingJob& job = m_document.job();
    if (job.profileReady.load() && job.processedByGo)
        return tr("Click on image to see original");
    return tr("Click \"Go\" button to start processing");
}

void CMainFrame::refreshStatus()
{
    m_messagePane->setText(idleStatusText());
    const bool running = m_runStatus.has_value();
    if (!running)
        m_progress->setValue(0);
    m_progress->setVisible(running);
}

void CMainFrame::showSize(int width, int height)
{
    m_sizePane->setText(
        width > 0 && height > 0 ? tr("Size: %1x%2").arg(width).arg(height) : tr("Size:"));
}

void CMainFrame::showZoom(int zoom)
{
    m_zoom = zoom;
    m_zoomPane->setText(tr("Zoom: %1%").arg(zoom));
}

void CMainFrame::onOpened(int presetIndex)
{
    m_runStatus.reset();
    // The pane's values become the image's parameters: the preset named
    // by the document, or the values the pane holds.
    if (presetIndex >= 0)
        m_pane->loadPreset(presetIndex);
    else
        m_pane->applyControls();
    m_pane->fillExif();
    if (const CBitmapEx* image = m_document.image()) {
        showSize(image->width(), image->height());
        for (const QString& note : image->decoderNotes())
            statusBar()->showMessage(note, kNoteShownMs);
    }
    setWindowTitle(tr("%1 - Calmora").arg(QFileInfo(m_document.sourcePath()).fileName()));
    updateCommands();
    refreshStatus();
}

void CMainFrame::onRunStatus(RunStatus status)
{
    if (status == RunStatus::BuildingProfile || status == RunStatus::UpdatingPreview)
        m_runStatus = status;
    else
        m_runStatus.reset();
    updateCommands();
    refreshStatus();
}

void CMainFrame::onPresetChosen(int index)
{
    if (!hasImage())
        return;
    m_pane->loadPreset(index);
}

void CMainFrame::openWithDialog()
{
    const QString folder = m_document.sourcePath().isEmpty()
        ? QString()
        : QFileInfo(m_document.sourcePath()).absolutePath();
    const QString path = m_prompter.askOpenPath(folder);
    if (!path.isEmpty())
        emit openRequested(path);
}

void CMainFrame::go()
{
    if (!hasImage())
        return;
    const bool completed = m_document.go();
    // A background run's report, if one was stopped by Go, is over.
    m_runStatus.reset();
    updateCommands();
    refreshStatus();
    if (completed) {
        if (const std::optional<double> seconds = m_document.processingSummary())
            m_prompter.showSummary(
                tr("Image processing has been completed in %1 seconds.").arg(*seconds, 0, 'f', 2));
    }
    m_view->setFocus();
}

void CMainFrame::undo()
{
    // A running pass is stopped first; the document announces the undo.
    m_document.undo();
}

void CMainFrame::closeFile()
{
    // The document announces the image's end (contentsDeleted).
    m_document.closeFile();
}

void CMainFrame::togglePreview()
{
    Options& options = m_options.options();
    const bool on = options.settings.autoPreview == 0;
    options.settings.autoPreview = on ? 1 : 0;
    updateCommands();
    if (on && options.settings3.hidePreviewInfo == 0)
        m_prompter.showPreviewInfo();
    if (!m_options.save())
        m_prompter.tell(m_options.errorString(), PromptIcon::Error);
    m_document.requestPreview(false);
}

void CMainFrame::showHelp()
{
    if (m_helpWindow != nullptr) {
        m_helpWindow->raise();
        m_helpWindow->activateWindow();
        return;
    }
    const QString page = helpFilePath(QCoreApplication::applicationDirPath());
    if (page.isEmpty()) {
        m_prompter.tell(tr("The help is not installed. It is expected in:\r\n%1")
                            .arg(QDir::toNativeSeparators(
                                installedHelpPath(QCoreApplication::applicationDirPath()))),
            PromptIcon::Information);
        return;
    }
    m_helpWindow = showHelpWindow(page, this);
}

void CMainFrame::showAbout()
{
    QDialog about(this);
    about.setWindowTitle(tr("About Calmora"));
    auto* layout = new QVBoxLayout(&about);
    auto* icon = new QLabel(&about);
    icon->setPixmap(windowIcon().isNull()
            ? style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(48, 48)
            : windowIcon().pixmap(48, 48));
    layout->addWidget(icon, 0, Qt::AlignHCenter);
    auto* banner = new QLabel(tr("Calmora Community Edition"), &about);
    QFont bannerFont(QStringLiteral("Arial"));
    bannerFont.setPixelSize(24);
    bannerFont.setWeight(QFont::Normal);
    bannerFont.setStyleStrategy(QFont::PreferAntialias);
    banner->setFont(bannerFont);
    layout->addWidget(banner, 0, Qt::AlignHCenter);
    layout->addWidget(new QLabel(tr("Version 2.6 (build 2601)"), &about), 0, Qt::AlignHCenter);
    layout->addWidget(new QLabel(tr("Free software under the GNU General Public "
                                    "License, version 3 or later."),
                          &about),
        0, Qt::AlignHCenter);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &about);
    connect(buttons, &QDialogButtonBox::accepted, &about, &QDialog::accept);
    layout->addWidget(buttons);
    about.exec();
}

void CMainFrame::focusPane(int step)
{
    // The panes in F6 order: the view, then every visible dock.
    QList<QWidget*> panes { m_view };
    for (QDockWidget* dock : findChildren<QDockWidget*>()) {
        if (dock->isVisible())
            panes << dock;
    }
    qsizetype current = 0;
    for (qsizetype i = 0; i < panes.size(); ++i) {
        if (panes[i]->isAncestorOf(focusWidget()) || panes[i] == focusWidget())
            current = i;
    }
    const qsizetype next = (current + step + panes.size()) % panes.size();
    panes[next]->setFocus(Qt::ShortcutFocusReason);
}

void CMainFrame::showEvent(QShowEvent* event)
{
    // A window restored smaller than the minimum grows without moving.
    if (width() < kMinimumWidth || height() < kMinimumHeight)
        resize(std::max(width(), kMinimumWidth), std::max(height(), kMinimumHeight));
    QMainWindow::showEvent(event);
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    if (m_closed) {
        event->accept();
        return;
    }
    event->ignore();
    if (m_closing)
        return;
    // Asked before anything is stopped: Yes runs a whole-image pass, and
    // Cancel leaves the running job alone. The question itself stops a
    // running preview.
    if (!m_document.saveModified())
        return;
    m_document.stopRun();
    m_closing = true;
    saveWindowState();
    hide();
    // Never from inside this event: a close asked for here would be ignored.
    QMetaObject::invokeMethod(this, &CMainFrame::finishClose, Qt::QueuedConnection);
}

void CMainFrame::finishClose()
{
    // The worker still reads the image; the frame goes once its run has
    // ended, which the document announces.
    if (m_document.isRunning()) {
        connect(&m_document, &CTessolinDoc::runEnded, this, &CMainFrame::finishClose,
            static_cast<Qt::ConnectionType>(Qt::SingleShotConnection | Qt::UniqueConnection));
        return;
    }
    m_closed = true;
    close();
    emit closed();
}

void CMainFrame::showBatch(const QStringList& files)
{
    // Modal, but never frozen: the batch runs on the worker and the window
    // only hears from it.
    CBatchDialog dialog(m_document, m_options, m_presets, this);
    if (!files.isEmpty())
        dialog.addPaths(files);
    dialog.exec();
    updateCommands();
    refreshStatus();
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent* event)
{
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            event->acceptProposedAction();
            emit openRequested(url.toLocalFile());
            return;
        }
    }
}

} // namespace calmora
