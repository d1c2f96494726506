// Everything the desktop program puts to the user and waits for: the
// document's questions, and the main frame's file choice, summary and
// notice. The program answers with dialogs (MessageBoxPrompter); tests
// answer from a script.
#pragma once

#include "document/document_prompter.h"

namespace calmora {

class UserPrompter : public DocumentPrompter {
public:
    // The image to open, chosen among the formats that load; empty when the
    // user cancelled.
    virtual QString askOpenPath(const QString& folder) = 0;
    // The processing summary after a completed Go, with its text.
    virtual void showSummary(const QString& text) = 0;
    // The notice shown when automatic preview has been switched on.
    virtual void showPreviewInfo() = 0;
};

} // namespace calmora
