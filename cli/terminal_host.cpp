#include "cli/terminal_host.h"

#include "cli/display_text.h"

#include <QDir>
#include <QFileInfo>

namespace calmora {

namespace {

constexpr int kBarWidth = 24;

void print(FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

} // namespace

TerminalHost::TerminalHost(
    const BatchJob& batch, bool interactive, bool pathsToTerminal, bool quiet)
    : m_batch(batch)
    , m_interactive(interactive)
    , m_pathsToTerminal(pathsToTerminal)
    , m_quiet(quiet)
{
    m_fileTimer.start();
}

void TerminalHost::setProgress(ProgressKind kind, int percent)
{
    if (kind != ProgressKind::File)
        return;
    m_filePercent = percent;
    redrawBar();
}

void TerminalHost::batchFileStage(
    const QString& file, int32_t index, int32_t count, BatchStage stage)
{
    const QString name = QFileInfo(file).fileName();
    if (stage == BatchStage::FilteringNoise) {
        showLine(1, name + QStringLiteral(" - Filtering noise"));
        return;
    }
    reportFinishedFiles();
    m_filePercent = 0;
    showLine(1, name + QStringLiteral(" - Building noise profile"));
    showLine(2,
        QStringLiteral("%1 %2 of %3")
            .arg(QStringLiteral("Please wait while processing image"))
            .arg(index + 1)
            .arg(count));
}

void TerminalHost::batchFileSettled(int32_t, int32_t, int64_t elapsedMs, int64_t remainingMs)
{
    reportFinishedFiles();
    showLine(3, durationText(elapsedMs));
    showLine(4, durationText(remainingMs));
}

void TerminalHost::showLine(int line, const QString& text)
{
    switch (line) {
    case 1:
        m_fileLine = text;
        break;
    case 2:
        m_counterLine = text;
        break;
    case 3:
        m_elapsed = text.trimmed();
        m_remaining.clear();
        break;
    case 4:
        m_remaining = text.trimmed();
        break;
    default:
        break;
    }
    redrawBar();
}

void TerminalHost::batchEnded()
{
    reportFinishedFiles();
    clearBar();
}

void TerminalHost::reportError(const QString& message, const QString& reason)
{
    clearBar();
    print(stderr,
        QStringLiteral("calmora-cli: error: %1 %2\n")
            .arg(printableText(message), printableText(reason)));
}

void TerminalHost::reportNote(const QString& file, const QString& note)
{
    clearBar();
    print(stderr,
        QStringLiteral("calmora-cli: note: %1: %2\n").arg(displayPath(file), printableText(note)));
}

void TerminalHost::reportFinishedFiles()
{
    const int finished = m_batch.doneCount + m_batch.failedCount;
    // The batch decodes the next file and writes the previous one while it
    // filters, so a file's own time is not what the user waits for it; the
    // time since the last result is, shared by the results that come
    // together.
    const qsizetype arrived = m_batch.doneCount - m_doneReported;
    const double seconds
        = arrived > 0 ? m_fileTimer.elapsed() / 1000.0 / static_cast<double>(arrived) : 0.0;
    if (arrived > 0)
        m_fileTimer.restart();
    // The lists may hold only their latest entries (a batch that does not
    // keep every outcome); the host hears of every file as it settles, so
    // each entry it has not reported yet is still there.
    const qsizetype doneFirst = m_batch.doneCount - m_batch.doneFiles.size();
    const qsizetype failedFirst = m_batch.failedCount - m_batch.failedFiles.size();
    while (m_doneReported < m_batch.doneCount) {
        clearBar();
        const qsizetype at = m_doneReported - doneFirst;
        const QString written = QDir::toNativeSeparators(m_batch.writtenFiles.value(at));
        // Scripts read the written paths from standard output, as they are;
        // a person at a terminal reads them in the per-file line, escaped.
        if (!m_pathsToTerminal || m_quiet)
            print(stdout, written + QLatin1Char('\n'));
        if (!m_quiet)
            print(stderr,
                QStringLiteral("[%1/%2] %3 -> %4 (%5 s)\n")
                    .arg(finished)
                    .arg(m_batch.fileCount)
                    .arg(displayPath(m_batch.doneFiles.value(at)), printableText(written))
                    .arg(seconds, 0, 'f', 1));
        ++m_doneReported;
    }
    while (m_failedReported < m_batch.failedCount) {
        clearBar();
        const qsizetype at = m_failedReported - failedFirst;
        print(stderr,
            QStringLiteral("calmora-cli: error: %1: %2\n")
                .arg(displayPath(m_batch.failedFiles.value(at)),
                    printableText(m_batch.failureReasons.value(at))));
        ++m_failedReported;
    }
}

void TerminalHost::redrawBar()
{
    if (!m_interactive || m_quiet)
        return;
    const int filled = m_filePercent * kBarWidth / 100;
    QString bar = QStringLiteral("\r\033[K[") + QString(filled, QLatin1Char('#'))
        + QString(kBarWidth - filled, QLatin1Char('.'))
        + QStringLiteral("] %1%  ").arg(m_filePercent, 3);
    bar += m_counterLine.isEmpty()
        ? m_fileLine
        : m_counterLine.section(QLatin1Char(' '), -4) + QStringLiteral("  ") + m_fileLine;
    if (!m_elapsed.isEmpty() && !m_remaining.isEmpty())
        bar += QStringLiteral("  elapsed %1, remaining %2").arg(m_elapsed, m_remaining);
    print(stderr, bar);
    m_barShown = true;
}

void TerminalHost::clearBar()
{
    if (!m_barShown)
        return;
    print(stderr, QStringLiteral("\r\033[K"));
    m_barShown = false;
}

} // namespace calmora
