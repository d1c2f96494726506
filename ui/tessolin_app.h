// The application object: it owns the preset table, the options and the
// learned-profile store for the whole run, and the document and main frame
// built over them; it starts the program (presets and options first, then
// the window, then the file named on the command line) and opens files,
// holding one back while a job still runs.
#pragma once

#include "document/tessolin_doc.h"
#include "settings/learned_profile_folder.h"
#include "settings/presets.h"
#include "ui/options_keeper.h"

#include <QObject>
#include <QStringList>

#include <memory>

namespace calmora {

class CMainFrame;
class MessageBoxPrompter;
class SettingsStore;
class UserPrompter;

class CTessolinApp final : public QObject {
    Q_OBJECT

public:
    // `store` holds the options and the user's presets. Without `prompter`
    // the user is asked through dialogs; a given one must outlive the app.
    explicit CTessolinApp(std::unique_ptr<SettingsStore> store, UserPrompter* prompter = nullptr);
    ~CTessolinApp() override;

    // Builds the presets and reads the options (done by the constructor),
    // creates and shows the main frame, then opens the first file of
    // `files` once the event loop runs, or the Open dialog when the options
    // ask for it; the other files of `files` are offered in the batch
    // window.
    void start(const QStringList& files);

    // Opens `path`, asking first whether to save the image in hand. While a
    // job runs it is stopped and `path` is kept; it is opened once the run
    // has ended. False when nothing was opened (yet).
    bool openFile(const QString& path);

    CTessolinDoc& document() { return *m_document; }
    CMainFrame& frame() { return *m_frame; }
    OptionsKeeper& options() { return m_options; }
    const PresetTable& presets() const { return m_presets; }

private:
    void openPending();

    std::unique_ptr<SettingsStore> m_store;
    PresetTable m_presets;
    QStringList m_presetNotes;
    OptionsKeeper m_options;
    LearnedProfileFolder m_profileStore;
    std::unique_ptr<MessageBoxPrompter> m_ownPrompter;
    UserPrompter& m_prompter;
    std::unique_ptr<CTessolinDoc> m_document;
    std::unique_ptr<CMainFrame> m_frame;
    QString m_pendingOpen;
};

} // namespace calmora
