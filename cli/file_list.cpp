#include "cli/file_list.h"

#include "cli/display_text.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace calmora {

namespace {

constexpr qint64 kBlockBytes = 64 * 1024;

} // namespace

bool readFileList(const QString& path, bool nullSeparated,
    const std::function<void(const QString&)>& take, QString* error)
{
    QFile file;
    const bool standardInput = path == QLatin1String("-");
    // A FIFO is welcome here, as a shell's <(find ...) gives one.
    if (!standardInput && QFileInfo(path).isDir()) {
        *error = QStringLiteral("--files-from \"%1\" is a folder").arg(displayPath(path));
        return false;
    }
    if (!standardInput)
        file.setFileName(path);
    const bool opened
        = standardInput ? file.open(stdin, QIODevice::ReadOnly) : file.open(QIODevice::ReadOnly);
    const char separator = nullSeparated ? '\0' : '\n';
    const auto takeEntry = [&](QByteArrayView entry) {
        if (!nullSeparated && entry.endsWith('\r'))
            entry.chop(1);
        if (!entry.isEmpty())
            take(QFile::decodeName(entry.toByteArray()));
    };
    QByteArray pending; // the entry the last block ended in, and this block
    QByteArray block(kBlockBytes, Qt::Uninitialized);
    qint64 got = 0;
    while (opened && (got = file.read(block.data(), kBlockBytes)) > 0) {
        pending.append(block.constData(), got);
        qsizetype start = 0;
        for (qsizetype end = 0; (end = pending.indexOf(separator, start)) >= 0; start = end + 1)
            takeEntry(QByteArrayView(pending).sliced(start, end - start));
        pending.remove(0, start);
    }
    if (!opened || got < 0 || file.error() != QFileDevice::NoError) {
        *error
            = QStringLiteral("cannot read the list \"%1\": %2")
                  .arg(standardInput ? QStringLiteral("-") : displayPath(path), file.errorString());
        return false;
    }
    takeEntry(pending);
    return true;
}

bool inShard(qsizetype position, int index, int count)
{
    return count <= 1 || position % count == index;
}

} // namespace calmora
