// What kind of file system entry a path names, for refusing the ones that
// are no files to read: a pipe or a device would be waited on for ever.
#pragma once

#include <QString>

namespace calmora {

// Empty for a regular file (or a link to one) and for a path that does not
// exist, else what it is: "it is a folder", "it is a pipe (FIFO)", ...
QString irregularFileKind(const QString& path);

} // namespace calmora
