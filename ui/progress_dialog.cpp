#include "ui/progress_dialog.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace calmora {

CProgressDialog::CProgressDialog(CTessolinDoc& document, QWidget* parent)
    : QDialog(parent)
    , m_document(document)
{
    setWindowTitle(tr("Progress Window"));
    setModal(true);
    m_text = new QLabel(this);
    m_text->setObjectName(QStringLiteral("progressText"));
    m_text->setMinimumWidth(320);
    m_bar = new QProgressBar(this);
    m_bar->setObjectName(QStringLiteral("progressBar"));
    m_bar->setRange(0, 100);
    m_cancel = new QPushButton(tr("Cancel"), this);
    connect(m_cancel, &QPushButton::clicked, this, &CProgressDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_text);
    layout->addWidget(m_bar);
    layout->addWidget(m_cancel, 0, Qt::AlignHCenter);

    m_timer.setInterval(kPollMs);
    connect(&m_timer, &QTimer::timeout, this, &CProgressDialog::poll);
    // Queued from the worker through the document: only this thread sets
    // the bar.
    connect(
        &document, &CTessolinDoc::progressChanged, this, [this](ProgressKind kind, int percent) {
            if (kind == ProgressKind::Foreground)
                m_bar->setValue(percent);
        });
}

CProgressDialog::~CProgressDialog()
{
    if (!m_ended)
        m_document.endWholeImage();
}

bool CProgressDialog::run()
{
    return exec() == QDialog::Accepted;
}

void CProgressDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!m_timer.isActive() && !m_ended)
        start();
}

void CProgressDialog::start()
{
    m_jobStarted = false;
    m_step = WholeImageStep::Stopped;
    m_cancel->setEnabled(true);
    m_bar->setValue(0);
    m_timer.start();
}

void CProgressDialog::poll()
{
    if (m_ended)
        return;
    const WholeImageStep step = m_document.continueWholeImage();
    switch (step) {
    case WholeImageStep::BuildingProfile:
    case WholeImageStep::Filtering:
        enterStep(step);
        break;
    case WholeImageStep::Finished:
        done(QDialog::Accepted);
        break;
    case WholeImageStep::Stopped:
        // Nothing will run: the image went, the program is closing, or no
        // profile could be built.
        done(QDialog::Rejected);
        break;
    }
}

void CProgressDialog::enterStep(WholeImageStep step)
{
    m_jobStarted = true;
    if (step == m_step)
        return;
    m_step = step;
    m_bar->setValue(0);
    m_text->setText(step == WholeImageStep::BuildingProfile
            ? tr("Please wait while building noise profile")
            : tr("Please wait while processing image "));
}

void CProgressDialog::reject()
{
    if (!m_jobStarted)
        return;
    done(QDialog::Rejected);
}

void CProgressDialog::done(int result)
{
    if (!m_ended) {
        m_ended = true;
        m_timer.stop();
        m_document.endWholeImage();
    }
    QDialog::done(result);
}

} // namespace calmora
