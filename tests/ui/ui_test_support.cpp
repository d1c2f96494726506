#include "ui_test_support.h"

#include "ui/progress_dialog.h"

#include <QAction>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTest>

#include <random>

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

QImage noisyPicture(int width, int height, unsigned seed)
{
    QImage picture(width, height, QImage::Format_RGB32);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> noise(-20, 20);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int base = 50 + (x + y) * 150 / (width + height);
            row[x] = qRgb(base + noise(random), base + 15 + noise(random), base + noise(random));
        }
    }
    return picture;
}

bool writeNoisyPicture(const QString& path, int width, int height, unsigned seed)
{
    const bool named = path.section(QLatin1Char('/'), -1).contains(QLatin1Char('.'));
    return noisyPicture(width, height, seed).save(path, named ? nullptr : "PNG");
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
