#include "cli/file_list.h"

#include "cli/display_text.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace calmora {

bool readFileList(const QString& path, bool nullSeparated, PathList& files, QString* error)
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
    QByteArray bytes;
    if (opened)
        bytes = file.readAll();
    if (!opened || file.error() != QFileDevice::NoError) {
        *error
            = QStringLiteral("cannot read the list \"%1\": %2")
                  .arg(standardInput ? QStringLiteral("-") : displayPath(path), file.errorString());
        return false;
    }
    const char separator = nullSeparated ? '\0' : '\n';
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf(separator, start);
        if (end < 0)
            end = bytes.size();
        QByteArrayView entry(bytes.constData() + start, end - start);
        if (!nullSeparated && entry.endsWith('\r'))
            entry.chop(1);
        if (!entry.isEmpty())
            files.append(QFile::decodeName(entry.toByteArray()));
        start = end + 1;
    }
    return true;
}

PathList shardOf(PathList files, int index, int count)
{
    if (count <= 1)
        return files;
    PathList share;
    for (qsizetype i = index; i < files.size(); i += count)
        share.append(files.at(i));
    return share;
}

} // namespace calmora
