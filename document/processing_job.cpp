// The job record's own code: its profiles' band count and the one spelling
// of a file's path that results are matched against their sources with.

#include "document/processing_job.h"

#include <QDir>
#include <QFileInfo>

namespace calmora {

ProcessingJob::ProcessingJob()
{
    activeProfile.bandCount = kBandCount;
    measuredProfile.bandCount = kBandCount;
    learnedProfile.bandCount = kBandCount;
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
        return QDir(folder).filePath(info.fileName());
    return info.absoluteFilePath();
}

} // namespace calmora
