// What the widget tests share: a prompter that answers from a script and
// remembers what it was asked, generated photos, and an application object
// over options kept in memory.
#pragma once

#include "noisy_picture.h"
#include "settings/memory_settings_store.h"
#include "ui/main_frame.h"
#include "ui/tessolin_app.h"
#include "ui/user_prompter.h"

#include <QStringList>
#include <QTemporaryDir>

#include <deque>
#include <functional>
#include <memory>

namespace calmora {

struct ScriptedPrompter final : UserPrompter {
    // Answers to ask(), in order; the last button when the script is empty.
    std::deque<PromptAnswer> answers;
    QString savePath; // askSavePath's answer; empty cancels
    QString openPath;
    // Runs the progress window; by default the real one, to its end.
    std::function<bool(CTessolinDoc&)> wholeImage;

    QStringList asked;
    QStringList told;
    QStringList suggestedSavePaths;
    QStringList summaries;
    int previewInfoShown = 0;

    PromptAnswer ask(const QString& text, PromptIcon icon, PromptButtons buttons) override;
    void tell(const QString& text, PromptIcon icon) override;
    QString askSavePath(const QString& suggestedPath) override;
    bool runWholeImage(CTessolinDoc& document) override;
    QString askOpenPath(const QString& folder) override;
    void showSummary(const QString& text) override;
    void showPreviewInfo() override;
};

// The text of `parent`'s label (or plain text box) named `name`, found as
// the user would see it; "(no NAME)" when there is none, so that a
// comparison says what is missing.
QString shownText(const QObject& parent, const char* name);

// An application object over options in memory, with its prompter and a
// profile folder of its own.
struct TestApp {
    ScriptedPrompter prompter;
    QTemporaryDir profiles;
    std::unique_ptr<CTessolinApp> app;

    explicit TestApp(const std::function<void(Options&)>& adjust = {});
    CTessolinDoc& document() { return app->document(); }
    CMainFrame& frame() { return app->frame(); }
    // Opens `path` and waits for its profile pass to end.
    bool openAndSettle(const QString& path);
    // Waits until no run goes.
    bool settle();
    void trigger(const char* actionName);
};

} // namespace calmora
