#include "ui/preview_info_dialog.h"

#include "ui/notice_layout.h"
#include "ui/options_keeper.h"

#include <QCheckBox>

namespace calmora {

CPreviewInfoDialog::CPreviewInfoDialog(OptionsKeeper& options, QWidget* parent)
    : QDialog(parent)
    , m_options(options)
{
    setWindowTitle(tr("Automatic Preview Information"));
    m_doNotShow = buildNoticeLayout(*this, QMessageBox::Question,
        { tr("You selected to turn on the automatic update of the visible part of the "
             "image."),
            tr("After you click GO the first time, the filter preview function will be performed "
               "on visible part of the image every time you change filtering parameters. You can "
               "configure a delay between slider change and window update from "
               "View->Options->Noise Filter.") });
}

void CPreviewInfoDialog::accept()
{
    m_options.options().settings3.hidePreviewInfo = m_doNotShow->isChecked() ? 1 : 0;
    if (!m_options.save())
        m_saveError = m_options.errorString();
    QDialog::accept();
}

} // namespace calmora
