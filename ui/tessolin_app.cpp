#include "ui/tessolin_app.h"

#include "settings/settings_store.h"
#include "ui/main_frame.h"
#include "ui/message_box_prompter.h"

#include <QStatusBar>

namespace calmora {

namespace {

// Long enough to be read: such a note comes once a run.
constexpr int kStoreNoteShownMs = 15000;

// The presets come before the options: a stored default preset is checked
// against the table.
PresetTable builtPresets(const SettingsStore& store, QStringList& notes)
{
    PresetTable presets;
    if (!presets.initialise(store, &notes))
        notes << CTessolinApp::tr(
            "The filter presets could not be read; only the built-in ones are offered.");
    return presets;
}

} // namespace

CTessolinApp::CTessolinApp(std::unique_ptr<SettingsStore> store, UserPrompter* prompter)
    : m_store(std::move(store))
    , m_presets(builtPresets(*m_store, m_presetNotes))
    , m_options(*m_store)
    , m_profileStore(m_options.options().profileFolder)
    , m_ownPrompter(prompter == nullptr ? std::make_unique<MessageBoxPrompter>(m_options) : nullptr)
    , m_prompter(prompter == nullptr ? *m_ownPrompter : *prompter)
{
    m_document = std::make_unique<CTessolinDoc>(
        m_options.options(), m_presets, m_profileStore, m_prompter);
    m_frame = std::make_unique<CMainFrame>(*m_document, m_options, m_presets, m_prompter);
    if (m_ownPrompter != nullptr)
        m_ownPrompter->setParentWindow(m_frame.get());
    connect(m_frame.get(), &CMainFrame::openRequested, this, &CTessolinApp::openFile);
    // The store says what keeps it from the profile folder from its own
    // threads; the status bar tells it.
    m_profileStore.setNoteHandler([this](const QString& note) {
        QMetaObject::invokeMethod(
            this,
            [this, note] {
                if (m_frame != nullptr)
                    m_frame->statusBar()->showMessage(note, kStoreNoteShownMs);
            },
            Qt::QueuedConnection);
    });
}

CTessolinApp::~CTessolinApp()
{
    // The store's writer may still speak while it finishes; not to us.
    m_profileStore.setNoteHandler({});
    // The frame reads the document; it goes first.
    m_frame.reset();
    m_document.reset();
}

void CTessolinApp::start(const QStringList& files)
{
    // A file named on the command line is opened from the event loop, once
    // the window shows.
    if (!files.isEmpty())
        m_pendingOpen = files.constFirst();
    // Several files (a file manager's "Open With" on a selection): the first
    // is opened, the rest are offered in the batch window.
    if (files.size() > 1) {
        const QStringList rest = files.mid(1);
        QMetaObject::invokeMethod(
            m_frame.get(), [frame = m_frame.get(), rest] { frame->showBatch(rest); },
            Qt::QueuedConnection);
    }
    m_frame->show();
    const QStringList notes = m_presetNotes + m_options.loadNotes();
    if (!notes.isEmpty())
        m_prompter.tell(tr("Some stored settings were damaged and take their "
                           "defaults:\r\n")
                + notes.join(QStringLiteral("\r\n")),
            PromptIcon::Warning);
    if (!m_pendingOpen.isEmpty())
        QMetaObject::invokeMethod(this, &CTessolinApp::openPending, Qt::QueuedConnection);
    else if (m_options.options().settings.showOpenDialogOnStartup != 0)
        QMetaObject::invokeMethod(m_frame.get(), &CMainFrame::openWithDialog, Qt::QueuedConnection);
}

bool CTessolinApp::openFile(const QString& path)
{
    // The running job reads the image that opening replaces: it is stopped,
    // and the file opened once the document says the run has ended.
    if (m_document->isRunning()) {
        m_document->stopRun();
        m_pendingOpen = path;
        connect(m_document.get(), &CTessolinDoc::runEnded, this, &CTessolinApp::openPending,
            static_cast<Qt::ConnectionType>(Qt::SingleShotConnection | Qt::UniqueConnection));
        return false;
    }
    m_pendingOpen.clear();
    if (!m_document->saveModified())
        return false;
    return m_document->open(path);
}

void CTessolinApp::openPending()
{
    if (m_pendingOpen.isEmpty())
        return;
    // A copy: opening clears the pending name.
    const QString path = m_pendingOpen;
    openFile(path);
}

} // namespace calmora
