// The --report of a denoise run: one JSON object per line and per file,
// written and flushed as each file ends, so that a run killed at any moment
// leaves whole lines for every file it finished.
#pragma once

#include "document/processing_job.h"
#include "settings/filter_settings.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonObject>

#include <optional>

namespace calmora {

// What the files of a run are filtered with, as the report names it.
struct ReportSettings {
    QString preset; // a preset's name, "auto", or empty for the run's own values
    std::optional<FilterSettings> values; // unset under auto: each file chooses
};

class BatchReport {
public:
    // Starts the file afresh: a rerun reports what it did itself.
    bool open(const QString& path, QString* error);
    // One record as one line, handed to the system at once. False once a
    // write has failed; error() says why.
    bool write(const QJsonObject& record);
    bool failed() const { return !m_reason.isEmpty(); }
    QString error() const;
    QString reason() const { return m_reason; }
    QString whatFailed() const;

private:
    QFile m_file;
    QString m_reason;
};

// The record of a file whose result was already in place.
QJsonObject skippedRecord(const QString& source, const QString& output);

// Passes everything on to the terminal's host and writes each settled
// file's record; a failed write is told once through the same host.
class ReportingHost final : public WorkerHost {
public:
    // Every reference outlives the host; `batch` is read on the worker
    // thread's calls only.
    ReportingHost(WorkerHost& inner, const BatchJob& batch, const BatchOptions& options,
        const ReportSettings& settings, BatchReport& report);

    void setProgress(ProgressKind kind, int percent) override;
    void runStatus(RunStatus status) override;
    void tileWritten(const Rect& rect) override;
    void profileReady() override;
    void batchFileStage(
        const QString& file, int32_t index, int32_t count, BatchStage stage) override;
    void batchFileChosen(int32_t index, const AutoStrength& choice) override;
    void batchFileSettled(
        int32_t index, int32_t count, int64_t elapsedMs, int64_t remainingMs) override;
    void batchEnded() override;
    void runEnded() override;
    void reportError(const QString& message, const QString& reason) override;
    void reportNote(const QString& file, const QString& note) override;

private:
    // What is known of a file between its first stage and its end.
    struct FileFacts {
        int64_t begunMs = -1;
        int64_t filteringMs = -1;
        std::optional<NoiseProfile> profile;
        std::optional<double> noiseLevel; // chosen under auto
        std::optional<FilterSettings> chosen;
        bool leftUnfiltered = false;
    };

    QJsonObject fileRecord(int32_t index, const FileFacts& facts);

    WorkerHost& m_inner;
    const BatchJob& m_batch;
    const BatchOptions& m_options;
    const ReportSettings& m_settings;
    BatchReport& m_report;
    QElapsedTimer m_clock;
    QHash<int32_t, FileFacts> m_files;
    QHash<QString, QStringList> m_notes; // by source path, until it settles
    qsizetype m_doneSeen = 0;
    qsizetype m_failedSeen = 0;
    bool m_errorTold = false;
};

} // namespace calmora
