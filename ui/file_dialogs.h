// The file lists of the Open and Save As dialogs, and the rule that keeps a
// name typed in Save As in line with the chosen file type.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace calmora {

// The types Save As offers, in the order of its list: the writable formats
// of document/file_formats.h, of which these three always come first; the
// others follow by number.
enum class SaveType { Jpeg, Png, Tiff };

// "Image Files" (every format that loads), then each format alone, then
// "All Files".
QStringList openFilters();
// One entry per SaveType, in its order.
QStringList saveFilters();

// `path` with its extension made lower case, and replaced by the type's
// first one when it is not one of the type's; a name without an extension
// gets the type's first one. Folders with dots keep them.
QString nameForSaveType(const QString& path, SaveType type);
// The type whose extensions include `path`'s, JPEG when none does.
SaveType saveTypeOfName(const QString& path);

// The dialogs themselves; an empty answer is a cancel. Save As asks before
// it answers with the name of a file that exists, the extension that the
// chosen type adds to a bare name included.
QString chooseOpenPath(QWidget* parent, const QString& folder);
QString chooseSavePath(QWidget* parent, const QString& suggestedPath);

} // namespace calmora
