#include "ui/file_dialogs.h"

#include <QCoreApplication>
#include <QFileDialog>

#include <array>

namespace calmora {

namespace {

struct SaveTypeEntry {
    SaveType type;
    const char* filter;
    // The first is the one a name gets when its own does not fit.
    std::array<const char*, 3> extensions;
};

constexpr std::array<SaveTypeEntry, 3> kSaveTypes { {
    { SaveType::Jpeg, "JPEG (*.jpg *.jpeg *.jpe)", { "jpg", "jpeg", "jpe" } },
    { SaveType::Png, "PNG (*.png)", { "png", nullptr, nullptr } },
    { SaveType::Tiff, "TIFF (*.tif *.tiff)", { "tif", "tiff", nullptr } },
} };

const SaveTypeEntry& entryOf(SaveType type)
{
    for (const SaveTypeEntry& entry : kSaveTypes) {
        if (entry.type == type)
            return entry;
    }
    return kSaveTypes[0];
}

bool hasExtension(const SaveTypeEntry& entry, const QString& extension)
{
    for (const char* known : entry.extensions) {
        if (known != nullptr && extension == QLatin1String(known))
            return true;
    }
    return false;
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
    return {
        QCoreApplication::translate("calmora::FileDialogs",
            "Image Files (*.jpg *.jpeg *.jpe *.tif *.tiff *.bmp *.gif *.png)"),
        QStringLiteral("JPEG (*.jpg *.jpeg *.jpe)"),
        QStringLiteral("TIFF (*.tif *.tiff)"),
        QStringLiteral("BMP (*.bmp)"),
        QStringLiteral("GIF (*.gif)"),
        QStringLiteral("PNG (*.png)"),
        QCoreApplication::translate("calmora::FileDialogs", "All Files (*)"),
    };
}

QStringList saveFilters()
{
    QStringList filters;
    for (const SaveTypeEntry& entry : kSaveTypes)
        filters << QLatin1String(entry.filter);
    return filters;
}

QString nameForSaveType(const QString& path, SaveType type)
{
    const SaveTypeEntry& entry = entryOf(type);
    const qsizetype dot = extensionDot(path);
    const QString stem = dot >= 0 ? path.left(dot) : path;
    const QString extension = dot >= 0 ? path.mid(dot + 1).toLower() : QString();
    return stem + QLatin1Char('.')
        + (hasExtension(entry, extension) ? extension : QLatin1String(entry.extensions[0]));
}

SaveType saveTypeOfName(const QString& path)
{
    const qsizetype dot = extensionDot(path);
    const QString extension = dot >= 0 ? path.mid(dot + 1).toLower() : QString();
    for (const SaveTypeEntry& entry : kSaveTypes) {
        if (hasExtension(entry, extension))
            return entry.type;
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
    const auto useType = [&dialog](SaveType type) {
        dialog.setDefaultSuffix(QLatin1String(entryOf(type).extensions[0]));
    };
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
