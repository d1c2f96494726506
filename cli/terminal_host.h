// The worker's host on a terminal: progress on standard error (a live bar
// when it is a terminal, else one line per file), one line per written file
// on standard output, and every failure with its reason.
#pragma once

#include "document/batch_times.h"
#include "document/processing_job.h"

#include <QElapsedTimer>

#include <cstdio>

namespace calmora {

class TerminalHost final : public WorkerHost {
public:
    // `batch` is read only from the worker thread's calls. `interactive`:
    // standard error is a terminal (a live bar); `pathsToTerminal`: standard
    // output is one too, where the per-file line already names the result.
    TerminalHost(const BatchJob& batch, bool interactive, bool pathsToTerminal, bool quiet);

    void setProgress(ProgressKind kind, int percent) override;
    void runStatus(RunStatus) override { }
    void tileWritten(const Rect&) override { }
    void profileReady() override { }
    void batchFileStage(
        const QString& file, int32_t index, int32_t count, BatchStage stage) override;
    void batchFileSettled(
        int32_t index, int32_t count, int64_t elapsedMs, int64_t remainingMs) override;
    void batchEnded() override;
    void reportError(const QString& message, const QString& reason) override;
    void reportNote(const QString& file, const QString& note) override;

private:
    // The batch window's four lines: the file and its stage, the counter,
    // the elapsed and the remaining time.
    void showLine(int line, const QString& text);
    void reportFinishedFiles();
    void redrawBar();
    void clearBar();

    const BatchJob& m_batch;
    bool m_interactive;
    bool m_pathsToTerminal;
    bool m_quiet;
    bool m_barShown = false;
    int m_filePercent = 0;
    QString m_fileLine;
    QString m_counterLine;
    QString m_elapsed;
    QString m_remaining;
    qsizetype m_doneReported = 0;
    qsizetype m_failedReported = 0;
    QElapsedTimer m_fileTimer;
};

} // namespace calmora
