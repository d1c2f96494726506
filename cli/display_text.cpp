#include "cli/display_text.h"

#include <QDir>

namespace calmora {

QString printableText(const QString& text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        if (c.category() != QChar::Other_Control) {
            shown += c;
        } else if (c == u'\n') {
            shown += QLatin1String("\\n");
        } else if (c == u'\r') {
            shown += QLatin1String("\\r");
        } else if (c == u'\t') {
            shown += QLatin1String("\\t");
        } else {
            // Other_Control is C0, DEL and C1: all below 0x100.
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        }
    }
    return shown;
}

QString displayPath(const QString& path)
{
    return printableText(QDir::toNativeSeparators(path));
}

} // namespace calmora
