// The user's side of the program's questions: message boxes, the file
// dialogs, the progress window, the summary and the notice.
#pragma once

#include "ui/user_prompter.h"

#include <QPointer>
#include <QWidget>

namespace calmora {

class OptionsKeeper;

class MessageBoxPrompter final : public UserPrompter {
public:
    explicit MessageBoxPrompter(OptionsKeeper& options);

    // The window the boxes are centred on; may be absent.
    void setParentWindow(QWidget* window) { m_parent = window; }

    PromptAnswer ask(const QString& text, PromptIcon icon, PromptButtons buttons) override;
    void tell(const QString& text, PromptIcon icon) override;
    QString askSavePath(const QString& suggestedPath) override;
    bool runWholeImage(CTessolinDoc& document) override;
    QString askOpenPath(const QString& folder) override;
    void showSummary(const QString& text) override;
    void showPreviewInfo() override;

private:
    OptionsKeeper& m_options;
    QPointer<QWidget> m_parent;
};

// The document's texts break lines with "\r\n".
QString boxText(const QString& text);

} // namespace calmora
