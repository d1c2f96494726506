#include "ui/help_window.h"

#include <QAbstractTextDocumentLayout>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>
#include <QWidget>

namespace calmora {

namespace {

constexpr int kHelpWidthPx = 860;
constexpr int kHelpHeightPx = 760;
// The page opens at the section about this program; the rest is a scroll
// away.
const QString kProgramSection = QStringLiteral("The desktop application");

void scrollToSection(QTextBrowser& page, const QString& heading)
{
    QTextDocument& document = *page.document();
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        if (block.blockFormat().headingLevel() > 0 && block.text() == heading) {
            page.verticalScrollBar()->setValue(
                qRound(document.documentLayout()->blockBoundingRect(block).top()));
            return;
        }
    }
}

} // namespace

QString installedHelpPath(const QString& programFolder)
{
    return QDir::cleanPath(programFolder + QStringLiteral("/" CALMORA_HELP_FROM_PROGRAM "/README.md"));
}

QString helpFilePath(const QString& programFolder)
{
    for (const QString& candidate :
        { installedHelpPath(programFolder), QStringLiteral(CALMORA_README_PATH) }) {
        if (QFileInfo(candidate).isFile())
            return candidate;
    }
    return {};
}

QWidget* showHelpWindow(const QString& path, QWidget* parent)
{
    auto* window = new QWidget(parent, Qt::Window);
    window->setObjectName(QStringLiteral("helpWindow"));
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(QCoreApplication::translate("calmora::HelpWindow", "Calmora Help"));
    auto* page = new QTextBrowser(window);
    page->setObjectName(QStringLiteral("helpPage"));
    // Web links go to the desktop's browser, where there is one; the page
    // itself and its screenshots are read from the disk.
    page->setOpenExternalLinks(true);
    page->setSearchPaths({ QFileInfo(path).absolutePath() });
    page->setSource(QUrl::fromLocalFile(path), QTextDocument::MarkdownResource);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, window);
    QObject::connect(buttons, &QDialogButtonBox::rejected, window, &QWidget::close);
    auto* layout = new QVBoxLayout(window);
    layout->addWidget(page);
    layout->addWidget(buttons);
    window->resize(kHelpWidthPx, kHelpHeightPx);
    window->show();
    scrollToSection(*page, kProgramSection);
    return window;
}

} // namespace calmora
