// Writing a file so that a failure never costs what was there before.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

namespace calmora {

// Replaces `path` with `bytes` through a temporary file that is renamed into
// place only after every byte, the last one included, has been written and
// synced. On failure `path` is left as it was, the temporary file is removed
// and `reason` holds the system's words ("No space left on device"). A
// replaced file's owner and mode are kept where the system allows.
// `mayReplace`, when given, is asked once the complete file is synced, just
// before the rename; false gives the save up as stopped.
bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* reason,
    const std::function<bool()>& mayReplace = {});

} // namespace calmora
