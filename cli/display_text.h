// Text for the terminal that cannot act on the terminal: a file name may hold
// a line break or an escape sequence, which printed as it is would forge a
// line of output or move the cursor.
#pragma once

#include <QString>

namespace calmora {

// Control characters shown as escapes: \n, \r and \t by name, others as \xNN.
QString printableText(const QString& text);

// A path in the system's separators, control characters escaped.
QString displayPath(const QString& path);

} // namespace calmora
