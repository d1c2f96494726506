// The batch run: for every file a load, the batch's preset, a profile pass, a
// whole-image filter pass and a save under a name the batch options derive,
// with four status lines, the overall progress and the elapsed and
// remaining times.

#include "document/bitmap_ex.h"
#include "document/worker_passes.h"
#include "engine/engine.h"
#include "settings/learned_profile_store.h"
#include "settings/presets.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace calmora {

ProcessingJob::ProcessingJob()
{
    activeProfile.bandCount = kBandCount;
    measuredProfile.bandCount = kBandCount;
    learnedProfile.bandCount = kBandCount;
}

QString durationText(int64_t milliseconds)
{
    const int64_t hours = milliseconds / 3600000;
    const int64_t minutes = milliseconds / 60000 - 60 * hours;
    const int64_t seconds = milliseconds / 1000 - 60 * (milliseconds / 60000);
    QString text;
    if (hours > 0)
        text += QStringLiteral("%1 hr. ").arg(hours);
    text += QStringLiteral("%1 min. ").arg(minutes);
    text += QStringLiteral("%1 sec. ").arg(seconds);
    return text;
}

namespace {

bool endsWithSeparator(const QString& folder)
{
    return folder.endsWith(QLatin1Char('/')) || folder.endsWith(QLatin1Char('\\'));
}

QString withSeparator(const QString& folder)
{
    return endsWithSeparator(folder) ? folder : folder + QLatin1Char('/');
}

bool createsFolder(const BatchOptions& options)
{
    return (options.destinationMode == 1 || options.destinationMode == 2)
        && !options.destinationFolder.isEmpty();
}

QString outputExtension(const QString& sourcePath, int32_t format)
{
    switch (format) {
    case 0: {
        static const QStringList known { QStringLiteral("jpg"), QStringLiteral("jpeg"),
            QStringLiteral("jpe"), QStringLiteral("tif"), QStringLiteral("tiff"),
            QStringLiteral("png") };
        const QString extension = QFileInfo(sourcePath).suffix().toLower();
        return known.contains(extension) ? extension : QStringLiteral("jpg");
    }
    case 1:
        return QStringLiteral("png");
    case 3:
        return QStringLiteral("tif");
    default:
        return QStringLiteral("jpg");
    }
}

} // namespace

QString batchOutputFolder(const QString& sourcePath, const BatchOptions& options)
{
    // A bare file name lies in the current folder ("."), never in the root.
    QString folder = withSeparator(QFileInfo(sourcePath).path());
    if (options.destinationMode == 1 && !options.destinationFolder.isEmpty())
        folder += options.destinationFolder;
    else if (options.destinationMode == 2 && !options.destinationFolder.isEmpty())
        folder = options.destinationFolder;
    return withSeparator(folder);
}

QString batchOutputPath(const QString& sourcePath, const BatchOptions& options)
{
    const QFileInfo source(sourcePath);
    const QString extension = outputExtension(sourcePath, options.format);
    if (options.destinationFolder.isEmpty() && options.suffix.isEmpty()
        && source.suffix().compare(extension, Qt::CaseInsensitive) == 0)
        return sourcePath;
    return batchOutputFolder(sourcePath, options) + source.completeBaseName() + options.suffix
        + QLatin1Char('.') + extension;
}

QString fileKey(const QString& path)
{
    const QFileInfo info(path);
    if (info.exists())
        return info.canonicalFilePath();
    // A result not written yet, in a folder reached through a link, is still
    // the same file as the source of that name.
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (!folder.isEmpty())
        return withSeparator(folder) + info.fileName();
    return info.absoluteFilePath();
}

namespace {

void recordFailure(BatchJob& batch, const QString& path, const QString& reason)
{
    batch.failedFiles.append(path);
    batch.failureReasons.append(reason);
}

// Makes the one missing folder level, as a file manager would; parents are
// not created. The system's own reason is kept: only it knows whether the
// parent is missing, read-only or full.
bool prepareFolder(const QString& folder, QString* reason)
{
    // Without its trailing separator a path names the folder, not the folder
    // as its own parent.
    QString path = folder;
    while (path.size() > 1 && endsWithSeparator(path))
        path.chop(1);
    if (QFileInfo(path).isDir())
        return true;
    if (::mkdir(QFile::encodeName(path).constData(), 0777) == 0)
        return true;
    const int error = errno;
    QString why;
    if (error == EEXIST)
        why = QStringLiteral("a file of that name is in the way");
    else if (error == ENOENT)
        why = QStringLiteral("the folder above it does not exist");
    else if (error == ENOTDIR)
        why = QStringLiteral("\"%1\" is not a folder")
                  .arg(QDir::toNativeSeparators(QFileInfo(path).path()));
    else
        why = QString::fromLocal8Bit(std::strerror(error));
    *reason = QStringLiteral("Cannot create the folder \"%1\": %2.")
                  .arg(QDir::toNativeSeparators(folder), why);
    return false;
}

} // namespace

void runBatch(ProcessingJob& job, JobSnapshot& snapshot)
{
    BatchJob& batch = *snapshot.batch;
    const BatchOptions defaults;
    const BatchOptions& options = batch.options != nullptr ? *batch.options : defaults;
    WorkerHost* host = snapshot.host;
    const int32_t presetCount = snapshot.presets != nullptr ? snapshot.presets->count() : 0;
    const int32_t fileCount
        = std::min<int32_t>(batch.fileCount, static_cast<int32_t>(batch.files.size()));
    int64_t totalMs = 0;
    QSet<QString> sources;
    for (const QString& file : batch.files)
        sources.insert(fileKey(file));
    // Results of this batch so far: two sources that map on one name (a.jpg
    // and a.png) must not silently lose the first result.
    QHash<QString, QString> results;

    for (int32_t i = 0; i < fileCount; ++i) {
        const QString& path = batch.files[i];
        int32_t preset = options.presetIndex;
        if (preset > presetCount && snapshot.image == nullptr)
            preset = 0;
        if (preset < presetCount && snapshot.presets != nullptr)
            snapshot.presets->deriveParams(preset, snapshot.settings);

        QElapsedTimer timer;
        timer.start();
        const QFileInfo source(path);
        const QString name = source.fileName();
        if (host != nullptr && source.exists()) {
            host->batchLine(1, name + QStringLiteral(" - Building noise profile"));
            host->batchLine(2,
                QStringLiteral("%1 %2 of %3")
                    .arg(QStringLiteral("Please wait while processing image"))
                    .arg(i + 1)
                    .arg(batch.fileCount));
        }

        CBitmapEx image;
        QString reason;
        if (!image.load(path, &reason)) {
            recordFailure(batch, path, reason);
            continue;
        }
        if (host != nullptr) {
            for (const QString& note : image.decoderNotes())
                host->reportNote(path, note);
        }
        TileList tiles;
        buildTileList(image.width(), image.height(), tiles);

        const QString output
            = options.outputPath.isEmpty() ? batchOutputPath(path, options) : options.outputPath;
        if (options.outputPath.isEmpty() && createsFolder(options)
            && !prepareFolder(batchOutputFolder(path, options), &reason)) {
            recordFailure(batch, path, reason);
            continue;
        }
        if (options.widenToSixteenBits && CBitmapEx::isLosslessName(output)
            && !image.widenToHighDepth()) {
            recordFailure(batch, path,
                QStringLiteral("Not enough memory to filter \"%1\" at 16 bits per channel.")
                    .arg(QDir::toNativeSeparators(path)));
            continue;
        }
        const QString outputKey = fileKey(output);
        if (results.contains(outputKey)) {
            recordFailure(batch, path,
                QStringLiteral("The result \"%1\" would replace the result of \"%2\".")
                    .arg(QDir::toNativeSeparators(output),
                        QDir::toNativeSeparators(results.value(outputKey))));
            continue;
        }
        if (!options.allowOverwrite && sources.contains(outputKey)) {
            recordFailure(batch, path,
                QStringLiteral("The result would replace the source file \"%1\".")
                    .arg(QDir::toNativeSeparators(output)));
            continue;
        }

        TileRun run(job, snapshot);
        run.filtering = false;
        run.wholeImage = true;
        run.progressWindow = snapshot.progressWindow;
        run.tilesPending = countPendingTiles(tiles, run);
        if (!options.useGivenProfile) {
            if (measureProfile(run, image, tiles, snapshot.activeProfile))
                keepMeasuredProfile(job, snapshot, true, name, image);
            smoothProfile(snapshot.activeProfile);
        }

        if (host != nullptr)
            host->batchLine(1, name + QStringLiteral(" - Filtering noise"));
        run.filtering = true;
        if (run.stopped())
            return;
        run.tilesPending = countPendingTiles(tiles, run);
        const bool filtered = filterPass(run, image, tiles);
        if (run.stopped())
            return;
        if (!filtered) {
            // The display still holds the unfiltered picture; saving it would
            // pass it off as a result.
            recordFailure(batch, path, kFilterRefused);
            continue;
        }

        if (image.save(output, snapshot.options.settings.jpegQuality,
                snapshot.options.settings2.tiffDepth != 0, &reason)) {
            batch.doneFiles.append(path);
            batch.writtenFiles.append(output);
            results.insert(fileKey(output), path);
        } else {
            recordFailure(batch, path, reason);
        }

        if (host != nullptr)
            host->batchProgress((i + 1) * 100 / batch.fileCount);
        totalMs += timer.elapsed();
        batch.elapsedText = durationText(totalMs);
        const int64_t remainingMs = batch.fileCount * totalMs / (i + 1) - totalMs;
        if (host != nullptr) {
            host->batchLine(3, batch.elapsedText);
            host->batchLine(4, durationText(remainingMs));
        }
    }
}

} // namespace calmora
