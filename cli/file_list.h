// The files of a denoise run over an archive: the ones named on the command
// line and those of a --files-from list, and the share of them one process
// of several takes.
#pragma once

#include <QString>

#include <functional>

namespace calmora {

// Hands each path of a list file ("-" for standard input) to `take`, in the
// list's order: one per line, or each ended by a NUL byte. Empty entries are
// passed over; in lines, a carriage return before the line's end is not part
// of the path. The list is read a block at a time, so that a long one is
// never held whole here.
bool readFileList(const QString& path, bool nullSeparated,
    const std::function<void(const QString&)>& take, QString* error);

// Whether the file at `position` (from 0) of the whole list is in share
// `index` of `count`, by the position modulo `count`: the same list gives
// every process the same shares, with nothing to agree on beforehand.
bool inShard(qsizetype position, int index, int count);

} // namespace calmora
