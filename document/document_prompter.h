// The questions and messages of the document, put to whoever stands in for
// the user: the desktop program shows them in message boxes and dialogs,
// tests and the command line answer them themselves. The texts are made by
// the document; "\r\n" in a text is a line break.
#pragma once

#include <QString>

namespace calmora {

class CTessolinDoc;

enum class PromptIcon { Error, Warning, Question, Information };
enum class PromptButtons { Ok, YesNo, YesNoCancel };
enum class PromptAnswer { Ok, Yes, No, Cancel };

class DocumentPrompter {
public:
    virtual ~DocumentPrompter() = default;

    // A question; returns the button chosen among `buttons` (closing the box
    // counts as the last of them).
    virtual PromptAnswer ask(const QString& text, PromptIcon icon, PromptButtons buttons) = 0;
    // A message with an OK button.
    virtual void tell(const QString& text, PromptIcon icon) = 0;
    // The file-save step, pre-filled with `suggestedPath`; an empty answer
    // cancels the save. A file that exists under the answered name has been
    // offered to the user for replacing, and accepted.
    virtual QString askSavePath(const QString& suggestedPath) = 0;
    // Runs the progress window over a whole-image run of `document`: polls
    // CTessolinDoc::continueWholeImage until it says Finished, then calls
    // endWholeImage. True when the run completed, false when the user
    // cancelled it (endWholeImage is then called all the same).
    virtual bool runWholeImage(CTessolinDoc& document) = 0;
};

} // namespace calmora
