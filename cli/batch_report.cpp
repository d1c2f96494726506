#include "cli/batch_report.h"

#include "document/bitmap_ex.h"
#include "settings/auto_strength.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

namespace calmora {

namespace {

QJsonValue pathValue(const QString& path)
{
    return path.isEmpty() ? QJsonValue() : QJsonValue(QDir::toNativeSeparators(path));
}

QJsonValue fileBytes(const QString& path)
{
    const QFileInfo info(path);
    return !path.isEmpty() && info.isFile() ? QJsonValue(static_cast<double>(info.size()))
                                            : QJsonValue();
}

QJsonObject settingsValues(const FilterSettings& settings)
{
    QJsonObject values;
    for (int f = 0; f < kFilterFieldCount; ++f)
        values.insert(QLatin1String(kFilterFields[f].name), fieldAt(settings, f));
    return values;
}

// The finest band's noise per channel, averaged over the brightness points
// that had evidence: the profile's own units, which the `profile` command
// prints too.
QJsonObject profileNoise(const NoiseProfile& profile)
{
    QJsonObject noise;
    if (profile.bandCount < 1)
        return noise;
    const NoiseBand& band = profile.bands[0];
    const char* names[] = { "y", "cr", "cb" };
    for (int c = 0; c < kChannels; ++c) {
        int64_t sum = 0;
        int points = 0;
        for (int p = 0; p < band.pointCount; ++p) {
            if (band.weight[p][c] > 0) {
                sum += band.noise[p][c];
                ++points;
            }
        }
        noise.insert(QLatin1String(names[c]),
            points > 0 ? QJsonValue(static_cast<double>(sum) / points) : QJsonValue());
    }
    return noise;
}

} // namespace

bool BatchReport::open(const QString& path, QString* error)
{
    m_file.setFileName(path);
    // Unbuffered: each line goes to the system as one write, so a killed run
    // leaves whole lines.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        *error = QStringLiteral("cannot write the report \"%1\": %2")
                     .arg(QDir::toNativeSeparators(path), m_file.errorString());
        return false;
    }
    return true;
}

bool BatchReport::write(const QJsonObject& record)
{
    if (failed())
        return false;
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    if (m_file.write(line) != line.size() || !m_file.flush()) {
        m_reason = m_file.errorString();
        return false;
    }
    return true;
}

QString BatchReport::whatFailed() const
{
    return QStringLiteral("cannot write the report \"%1\":")
        .arg(QDir::toNativeSeparators(m_file.fileName()));
}

QString BatchReport::error() const
{
    return whatFailed() + QLatin1Char(' ') + m_reason;
}

QJsonObject skippedRecord(const QString& source, const QString& output)
{
    return QJsonObject {
        { QStringLiteral("source"), pathValue(source) },
        { QStringLiteral("output"), pathValue(output) },
        { QStringLiteral("status"), QStringLiteral("skipped") },
        { QStringLiteral("reason"), QStringLiteral("the result exists") },
        { QStringLiteral("bytes"),
            QJsonObject { { QStringLiteral("source"), fileBytes(source) },
                { QStringLiteral("output"), fileBytes(output) } } },
    };
}

ReportingHost::ReportingHost(WorkerHost& inner, const BatchJob& batch, const BatchOptions& options,
    const ReportSettings& settings, BatchReport& report)
    : m_inner(inner)
    , m_batch(batch)
    , m_options(options)
    , m_settings(settings)
    , m_report(report)
{
    m_clock.start();
}

void ReportingHost::setProgress(ProgressKind kind, int percent)
{
    m_inner.setProgress(kind, percent);
}

void ReportingHost::runStatus(RunStatus status)
{
    m_inner.runStatus(status);
}

void ReportingHost::tileWritten(const Rect& rect)
{
    m_inner.tileWritten(rect);
}

void ReportingHost::profileReady()
{
    m_inner.profileReady();
}

void ReportingHost::batchFileStage(
    const QString& file, int32_t index, int32_t count, BatchStage stage)
{
    FileFacts& facts = m_files[index];
    if (stage == BatchStage::BuildingProfile) {
        facts.begunMs = m_clock.elapsed();
    } else {
        facts.filteringMs = m_clock.elapsed();
        if (!facts.profile)
            facts.profile = m_batch.lastProfile;
    }
    m_inner.batchFileStage(file, index, count, stage);
}

void ReportingHost::batchFileChosen(int32_t index, const AutoStrength& choice)
{
    FileFacts& facts = m_files[index];
    facts.profile = m_batch.lastProfile;
    facts.noiseLevel = choice.noiseLevel;
    facts.leftUnfiltered = !choice.filter;
    if (choice.filter)
        facts.chosen = choice.values;
    m_inner.batchFileChosen(index, choice);
}

void ReportingHost::batchFileSettled(
    int32_t index, int32_t count, int64_t elapsedMs, int64_t remainingMs)
{
    m_inner.batchFileSettled(index, count, elapsedMs, remainingMs);
    const FileFacts facts = m_files.take(index);
    if (!m_report.write(fileRecord(index, facts)) && !m_errorTold) {
        m_errorTold = true;
        m_inner.reportError(m_report.whatFailed(), m_report.reason());
    }
}

QJsonObject ReportingHost::fileRecord(int32_t index, const FileFacts& facts)
{
    const QString source = m_batch.files.at(index);
    // Files settle one at a time, in order: a list that has grown holds this
    // file's outcome last.
    const bool written = m_batch.doneCount > m_doneSeen;
    m_doneSeen = m_batch.doneCount;
    QString reason;
    if (m_batch.failedCount > m_failedSeen)
        reason = m_batch.failureReasons.value(m_batch.failureReasons.size() - 1);
    m_failedSeen = m_batch.failedCount;
    const QString output = written       ? m_batch.writtenFiles.last()
        : m_options.outputPath.isEmpty() ? batchOutputPath(source, m_options)
                                         : m_options.outputPath;
    const int64_t endMs = m_clock.elapsed();
    QJsonObject ms;
    if (facts.begunMs >= 0) {
        const int64_t filtering = facts.filteringMs >= 0 ? facts.filteringMs : endMs;
        ms.insert(QStringLiteral("profile"), static_cast<double>(filtering - facts.begunMs));
        ms.insert(QStringLiteral("filter_and_save"), static_cast<double>(endMs - filtering));
        ms.insert(QStringLiteral("total"), static_cast<double>(endMs - facts.begunMs));
    }
    QJsonValue megapixels;
    CBitmapEx::Header header;
    if (written && CBitmapEx::readHeader(source, header))
        megapixels = static_cast<double>(header.width) * header.height / 1e6;
    QJsonObject settings { { QStringLiteral("preset"),
        m_settings.preset.isEmpty() ? QJsonValue() : QJsonValue(m_settings.preset) } };
    const std::optional<FilterSettings>& values = facts.chosen ? facts.chosen : m_settings.values;
    if (values && !facts.leftUnfiltered)
        settings.insert(QStringLiteral("values"), settingsValues(*values));
    if (facts.leftUnfiltered)
        settings.insert(QStringLiteral("unfiltered"), true);
    QJsonObject noise = facts.profile ? profileNoise(*facts.profile) : QJsonObject();
    if (facts.noiseLevel)
        noise.insert(QStringLiteral("level"), *facts.noiseLevel);
    return QJsonObject {
        { QStringLiteral("source"), pathValue(source) },
        { QStringLiteral("output"), pathValue(output) },
        { QStringLiteral("status"),
            written ? QStringLiteral("written") : QStringLiteral("failed") },
        { QStringLiteral("reason"), reason.isEmpty() ? QJsonValue() : QJsonValue(reason) },
        { QStringLiteral("notes"), QJsonArray::fromStringList(m_notes.take(source)) },
        { QStringLiteral("bytes"),
            QJsonObject { { QStringLiteral("source"), fileBytes(source) },
                { QStringLiteral("output"), written ? fileBytes(output) : QJsonValue() } } },
        { QStringLiteral("megapixels"), megapixels },
        { QStringLiteral("ms"), ms },
        { QStringLiteral("settings"), settings },
        { QStringLiteral("noise"), noise },
    };
}

void ReportingHost::batchEnded()
{
    m_inner.batchEnded();
}

void ReportingHost::runEnded()
{
    m_inner.runEnded();
}

void ReportingHost::reportError(const QString& message, const QString& reason)
{
    m_inner.reportError(message, reason);
}

void ReportingHost::reportNote(const QString& file, const QString& note)
{
    m_notes[file].append(note);
    m_inner.reportNote(file, note);
}

} // namespace calmora
