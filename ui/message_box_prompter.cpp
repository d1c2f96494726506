#include "ui/message_box_prompter.h"

#include "ui/file_dialogs.h"
#include "ui/options_keeper.h"
#include "ui/preview_info_dialog.h"
#include "ui/process_summary_dialog.h"
#include "ui/progress_dialog.h"

#include <QGuiApplication>
#include <QMessageBox>

namespace calmora {

namespace {

QMessageBox::Icon boxIcon(PromptIcon icon)
{
    switch (icon) {
    case PromptIcon::Error:
        return QMessageBox::Critical;
    case PromptIcon::Warning:
        return QMessageBox::Warning;
    case PromptIcon::Question:
        return QMessageBox::Question;
    case PromptIcon::Information:
        break;
    }
    return QMessageBox::Information;
}

} // namespace

QString boxText(const QString& text)
{
    QString lines = text;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return lines;
}

MessageBoxPrompter::MessageBoxPrompter(OptionsKeeper& options)
    : m_options(options)
{ }

PromptAnswer MessageBoxPrompter::ask(const QString& text, PromptIcon icon, PromptButtons buttons)
{
    QMessageBox::StandardButtons shown = QMessageBox::Ok;
    // Closing the box is the last button's answer.
    QMessageBox::StandardButton last = QMessageBox::Ok;
    if (buttons == PromptButtons::YesNoCancel) {
        shown = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        last = QMessageBox::Cancel;
    } else if (buttons == PromptButtons::YesNo) {
        shown = QMessageBox::Yes | QMessageBox::No;
        last = QMessageBox::No;
    }
    QMessageBox box(
        boxIcon(icon), QGuiApplication::applicationDisplayName(), boxText(text), shown, m_parent);
    box.setEscapeButton(last);
    switch (box.exec()) {
    case QMessageBox::Yes:
        return PromptAnswer::Yes;
    case QMessageBox::No:
        return PromptAnswer::No;
    case QMessageBox::Ok:
        return PromptAnswer::Ok;
    default:
        return PromptAnswer::Cancel;
    }
}

void MessageBoxPrompter::tell(const QString& text, PromptIcon icon)
{
    QMessageBox box(boxIcon(icon), QGuiApplication::applicationDisplayName(), boxText(text),
        QMessageBox::Ok, m_parent);
    box.exec();
}

QString MessageBoxPrompter::askSavePath(const QString& suggestedPath)
{
    return chooseSavePath(m_parent, suggestedPath);
}

bool MessageBoxPrompter::runWholeImage(CTessolinDoc& document)
{
    CProgressDialog dialog(document, m_parent);
    return dialog.run();
}

QString MessageBoxPrompter::askOpenPath(const QString& folder)
{
    return chooseOpenPath(m_parent, folder);
}

void MessageBoxPrompter::showSummary(const QString& text)
{
    CProcessSummaryDialog dialog(text, m_options, m_parent);
    dialog.exec();
    if (!dialog.saveError().isEmpty())
        tell(dialog.saveError(), PromptIcon::Error);
}

void MessageBoxPrompter::showPreviewInfo()
{
    CPreviewInfoDialog dialog(m_options, m_parent);
    dialog.exec();
    if (!dialog.saveError().isEmpty())
        tell(dialog.saveError(), PromptIcon::Error);
}

} // namespace calmora
