#include "ui/file_dialogs.h"

#include "document/file_formats.h"

#include <QCoreApplication>
#include <QFileDialog>

#include <vector>

namespace calmora {

namespace {

// The writable formats, in the table's order: the SaveType numbers.
std::vector<const FileFormat*> saveFormats()
{
    std::vector<const FileFormat*> formats;
    for (const FileFormat& format : fileFormats()) {
        if (format.writable)
            formats.push_back(&format);
    }
    return formats;
}

const FileFormat& entryOf(SaveType type)
{
    const std::vector<const FileFormat*> formats = saveFormats();
    const auto index = static_cast<size_t>(type);
    return *(index < formats.size() ? formats[index] : formats.front());
}

QString firstExtension(const FileFormat& format)
{
    return format.extensions.constFirst();
}

// Where the extension's "." is, or -1: a dot in a folder's name is not one.
qsizetype extensionDot(const QString& path)
{
    const qsizetype nameStart
        = std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\'))) + 1;
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    return dot >= nameStart ? dot : -1;
}

} // namespace

QStringList openFilters()
{
    QStringList filters { QCoreApplication::translate("calmora::FileDialogs", "Image Files (%1)")
                              .arg(readablePatterns()) };
    for (const FileFormat& format : fileFormats()) {
        if (format.readable)
            filters << filterOf(format);
    }
    filters << QCoreApplication::translate("calmora::FileDialogs", "All Files (*)");
    return filters;
}

QStringList saveFilters()
{
    QStringList filters;
    for (const FileFormat* format : saveFormats())
        filters << filterOf(*format);
    return filters;
}

QString nameForSaveType(const QString& path, SaveType type)
{
    const FileFormat& entry = entryOf(type);
    const qsizetype dot = extensionDot(path);
    const QString stem = dot >= 0 ? path.left(dot) : path;
    const QString extension = dot >= 0 ? path.mid(dot + 1).toLower() : QString();
    return stem + QLatin1Char('.')
        + (entry.extensions.contains(extension) ? extension : firstExtension(entry));
}

SaveType saveTypeOfName(const QString& path)
{
    const qsizetype dot = extensionDot(path);
    const QString extension = dot >= 0 ? path.mid(dot + 1).toLower() : QString();
    const std::vector<const FileFormat*> formats = saveFormats();
    for (size_t i = 0; i < formats.size(); ++i) {
        if (formats[i]->extensions.contains(extension))
            return static_cast<SaveType>(i);
    }
    return SaveType::Jpeg;
}

QString chooseOpenPath(QWidget* parent, const QString& folder)
{
    const QStringList filters = openFilters();
    return QFileDialog::getOpenFileName(
        parent, QFileDialog::tr("Open"), folder, filters.join(QStringLiteral(";;")));
}

QString chooseSavePath(QWidget* parent, const QString& suggestedPath)
{
    // Qt's own dialog: the name box must follow a change of the file type,
    // which a platform dialog does not let us do.
    QFileDialog dialog(parent, QFileDialog::tr("Save As"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    const QStringList filters = saveFilters();
    dialog.setNameFilters(filters);
    // The dialog adds the type's extension to a bare name before it asks
    // whether to replace a file: its question is about the name written.
    const auto useType
        = [&dialog](SaveType type) { dialog.setDefaultSuffix(firstExtension(entryOf(type))); };
    const SaveType initialType = saveTypeOfName(suggestedPath);
    dialog.selectNameFilter(filters.at(static_cast<int>(initialType)));
    useType(initialType);
    dialog.selectFile(nameForSaveType(suggestedPath, initialType));
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&](const QString& filter) {
        const auto type = static_cast<SaveType>(std::max<qsizetype>(0, filters.indexOf(filter)));
        useType(type);
        const QString typed = dialog.selectedFiles().value(0);
        if (!typed.isEmpty())
            dialog.selectFile(nameForSaveType(typed, type));
    });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    const int chosen = static_cast<int>(filters.indexOf(dialog.selectedNameFilter()));
    const QString path = dialog.selectedFiles().constFirst();
    // A typed name without an extension takes the chosen type's.
    return extensionDot(path) >= 0
        ? path
        : nameForSaveType(path, static_cast<SaveType>(std::max(0, chosen)));
}

} // namespace calmora
