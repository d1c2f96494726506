#include "ui/process_summary_dialog.h"

#include "ui/notice_layout.h"
#include "ui/options_keeper.h"

#include <QCheckBox>

namespace calmora {

CProcessSummaryDialog::CProcessSummaryDialog(
    const QString& text, OptionsKeeper& options, QWidget* parent)
    : QDialog(parent)
    , m_options(options)
{
    setWindowTitle(tr("Processing Summary"));
    m_doNotShow = buildNoticeLayout(*this, QMessageBox::Information,
        { text, tr("You can click on the image and hold to see the original.") });
    connect(m_doNotShow, &QCheckBox::clicked, this, [this](bool checked) {
        if (!checked)
            return;
        m_options.options().settings.showSummary = 0;
        if (!m_options.save())
            m_saveError = m_options.errorString();
    });
}

} // namespace calmora
