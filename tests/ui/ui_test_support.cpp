#include "ui_test_support.h"

#include "ui/progress_dialog.h"

#include <QAction>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTest>

namespace calmora {

PromptAnswer ScriptedPrompter::ask(const QString& text, PromptIcon, PromptButtons buttons)
{
    asked << text;
    if (answers.empty())
        return buttons == PromptButtons::YesNoCancel ? PromptAnswer::Cancel
            : buttons == PromptButtons::YesNo        ? PromptAnswer::No
                                                     : PromptAnswer::Ok;
    const PromptAnswer answer = answers.front();
    answers.pop_front();
    return answer;
}

void ScriptedPrompter::tell(const QString& text, PromptIcon)
{
    told << text;
}

QString ScriptedPrompter::askSavePath(const QString& suggestedPath)
{
    suggestedSavePaths << suggestedPath;
    return savePath;
}

bool ScriptedPrompter::runWholeImage(CTessolinDoc& document)
{
    if (wholeImage)
        return wholeImage(document);
    CProgressDialog dialog(document);
    return dialog.run();
}

QString ScriptedPrompter::askOpenPath(const QString&)
{
    return openPath;
}

void ScriptedPrompter::showSummary(const QString& text)
{
    summaries << text;
}

void ScriptedPrompter::showPreviewInfo()
{
    ++previewInfoShown;
}

QString shownText(const QObject& parent, const char* name)
{
    const QString objectName = QLatin1String(name);
    if (const auto* label = parent.findChild<QLabel*>(objectName))
        return label->text();
    if (const auto* box = parent.findChild<QPlainTextEdit*>(objectName))
        return box->toPlainText();
    return QStringLiteral("(no %1)").arg(objectName);
}

TestApp::TestApp(const std::function<void(Options&)>& adjust)
{
    app = std::make_unique<CTessolinApp>(std::make_unique<MemorySettingsStore>(), &prompter);
    // Photos the tests open are learned from, never into the user's folder.
    app->options().options().profileFolder = profiles.path();
    if (adjust)
        adjust(app->options().options());
}

bool TestApp::settle()
{
    CTessolinDoc& doc = document();
    return QTest::qWaitFor([&doc] { return !doc.isRunning(); }, 60000);
}

bool TestApp::openAndSettle(const QString& path)
{
    if (!app->openFile(path) || !settle())
        return false;
    // The run's last reports are queued behind its end.
    QCoreApplication::processEvents();
    return document().job().profileReady.load();
}

void TestApp::trigger(const char* actionName)
{
    auto* action = frame().findChild<QAction*>(QLatin1String(actionName));
    QVERIFY2(action != nullptr, actionName);
    action->trigger();
}

} // namespace calmora
