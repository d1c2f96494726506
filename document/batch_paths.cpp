// Where a batch writes its results: the folder, the name and the extension
// that the batch options derive from each source's path.

#include "document/file_formats.h"
#include "document/processing_job.h"

#include <QFileInfo>

#include <utility>

namespace calmora {

namespace {

// The stored batch formats and the file formats they write.
constexpr std::pair<BatchFormat, const char*> kBatchFormats[] = {
    { BatchFormat::Png, "png" },
    { BatchFormat::Jpeg, "jpeg" },
    { BatchFormat::Tiff, "tiff" },
    { BatchFormat::WebP, "webp" },
    { BatchFormat::Heic, "heic" },
    { BatchFormat::Avif, "avif" },
    { BatchFormat::Jxl, "jxl" },
};

QString withSeparator(const QString& folder)
{
    const bool ends = folder.endsWith(QLatin1Char('/')) || folder.endsWith(QLatin1Char('\\'));
    return ends ? folder : folder + QLatin1Char('/');
}

QString outputExtension(const QString& sourcePath, BatchFormat format)
{
    if (format == BatchFormat::AsSource) {
        // A source this build can write keeps its own extension, HEIC as
        // HEIC; a camera raw file becomes a TIFF, the others JPEG.
        const QString extension = QFileInfo(sourcePath).suffix().toLower();
        const FileFormat* result = resultFormatOfSource(sourcePath);
        if (result == nullptr)
            return QStringLiteral("jpg");
        return result->extensions.contains(extension) ? extension : formatOption(*result);
    }
    const FileFormat* written = batchFileFormat(format);
    return written != nullptr ? formatOption(*written) : QStringLiteral("jpg");
}

} // namespace

const FileFormat* batchFileFormat(BatchFormat format)
{
    for (const auto& [batch, key] : kBatchFormats) {
        if (batch == format) {
            const FileFormat* written = formatByKey(key);
            return written != nullptr && written->writable ? written : nullptr;
        }
    }
    return nullptr;
}

BatchFormat batchFormatOf(const FileFormat& format)
{
    for (const auto& [batch, key] : kBatchFormats) {
        if (format.key == key)
            return batch;
    }
    return BatchFormat::AsSource;
}

QString batchOutputFolder(const QString& sourcePath, const BatchOptions& options)
{
    // A bare file name lies in the current folder ("."), never in the root.
    QString folder = withSeparator(QFileInfo(sourcePath).path());
    if (options.destinationMode == DestinationMode::Subfolder
        && !options.destinationFolder.isEmpty())
        folder += options.destinationFolder;
    else if (options.destinationMode == DestinationMode::Folder
        && !options.destinationFolder.isEmpty())
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

} // namespace calmora
