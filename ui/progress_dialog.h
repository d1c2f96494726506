// The modal window of a whole-image run (Go, Save): it polls the document
// every 50 ms, which builds the noise profile first when it is missing and
// then filters the whole image, and closes itself with Accepted when the
// filter pass has ended. Cancel (or Escape) counts only once a run has been
// seen or started; the image keeps the tiles finished by then.
#pragma once

#include "document/tessolin_doc.h"

#include <QDialog>
#include <QTimer>

class QLabel;
class QProgressBar;
class QPushButton;

namespace calmora {

class CProgressDialog final : public QDialog {
    Q_OBJECT

public:
    static constexpr int kPollMs = 50;

    // The caller has called the document's beginWholeImage().
    explicit CProgressDialog(CTessolinDoc& document, QWidget* parent = nullptr);
    ~CProgressDialog() override;

    // Runs the window modally; true when the run completed.
    bool run();

    // What showing the window does, and one tick of its poll; public so that
    // a test can step the window without waiting for its timer.
    void start();
    void poll();

public slots:
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;

private:
    void enterStep(WholeImageStep step);

    CTessolinDoc& m_document;
    QLabel* m_text = nullptr;
    QProgressBar* m_bar = nullptr;
    QPushButton* m_cancel = nullptr;
    QTimer m_timer;
    bool m_jobStarted = false;
    bool m_ended = false;
    WholeImageStep m_step = WholeImageStep::Stopped;
};

} // namespace calmora
