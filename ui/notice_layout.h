// The shared shape of the summary and the notice: an icon beside lines of
// text, then the "Do not show this window next time." box and OK.
#pragma once

#include <QMessageBox>

class QCheckBox;
class QDialog;

namespace calmora {

// Fills `dialog` and returns its check box; OK accepts the dialog.
QCheckBox* buildNoticeLayout(QDialog& dialog, QMessageBox::Icon icon, const QStringList& lines);

} // namespace calmora
