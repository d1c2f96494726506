// The files of a denoise run over an archive: the ones named on the command
// line and those of a --files-from list, and the share of them one process
// of several takes.
#pragma once

#include "document/path_list.h"

#include <QString>

namespace calmora {

// Appends the paths of a list file ("-" for standard input): one per line,
// or each ended by a NUL byte. Empty entries are passed over; in lines, a
// carriage return before the line's end is not part of the path.
bool readFileList(const QString& path, bool nullSeparated, PathList& files, QString* error);

// The files whose place in `files` (from 0) modulo `count` is `index`:
// the same list gives every process the same shares, with nothing to agree
// on beforehand.
PathList shardOf(PathList files, int index, int count);

} // namespace calmora
