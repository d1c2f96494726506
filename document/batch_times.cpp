#include "document/batch_times.h"

namespace calmora {

QString durationText(int64_t milliseconds)
{
    const int64_t hours = milliseconds / 3600000;
    const int64_t minutes = milliseconds / 60000 - 60 * hours;
    const int64_t seconds = milliseconds / 1000 - 60 * (milliseconds / 60000);
    QString text;
    if (hours > 0)
        text += QStringLiteral("%1 hr. ").arg(hours);
    text += QStringLiteral("%1 min. ").arg(minutes);
    text += QStringLiteral("%1 sec. ").arg(seconds);
    return text;
}

} // namespace calmora
