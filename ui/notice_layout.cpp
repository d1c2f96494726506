#include "ui/notice_layout.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QStyle>

namespace calmora {

QCheckBox* buildNoticeLayout(QDialog& dialog, QMessageBox::Icon icon, const QStringList& lines)
{
    auto* layout = new QGridLayout(&dialog);
    auto* iconLabel = new QLabel(&dialog);
    const QStyle::StandardPixmap pixmap = icon == QMessageBox::Question
        ? QStyle::SP_MessageBoxQuestion
        : QStyle::SP_MessageBoxInformation;
    const int size = dialog.style()->pixelMetric(QStyle::PM_MessageBoxIconSize);
    iconLabel->setPixmap(dialog.style()->standardIcon(pixmap).pixmap(size, size));
    layout->addWidget(iconLabel, 0, 0, static_cast<int>(lines.size()), 1, Qt::AlignTop);
    int row = 0;
    for (const QString& line : lines) {
        auto* label = new QLabel(line, &dialog);
        label->setWordWrap(true);
        label->setMinimumWidth(360);
        layout->addWidget(label, row++, 1);
    }
    auto* box = new QCheckBox(
        QCoreApplication::translate("calmora::NoticeLayout", "Do not show this window next time."),
        &dialog);
    layout->addWidget(box, row++, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    layout->addWidget(buttons, row, 0, 1, 2);
    return box;
}

} // namespace calmora
