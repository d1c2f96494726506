// What kind of file system entry a path names, for refusing the ones that
// are no files to read: a pipe or a device would be waited on for ever.
#pragma once

#include <QString>

namespace calmora {

// Empty for a regular file (or a link to one) and for a path that does not
// exist, else what it is: "it is a folder", "it is a pipe (FIFO)", ...
QString irregularFileKind(const QString& path);

// Empty when something exists at `path`, else why it cannot be found:
// "the file does not exist." when nothing is there, or the system's words
// ("Permission denied.") when a folder on the way may not be searched, which
// hides a file as well as its absence would.
QString lookUpProblem(const QString& path);
// The same for the folder of a file to be written.
QString folderLookUpProblem(const QString& folder);

} // namespace calmora
