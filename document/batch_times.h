// The batch's elapsed and remaining times as the status lines show them, the
// same text in the batch window and on a terminal.
#pragma once

#include <QString>

#include <cstdint>

namespace calmora {

// Milliseconds as "%d hr. " (only with hours), "%d min. ", "%d sec. ", with
// integer divisions, so the text always ends with a space.
QString durationText(int64_t milliseconds);

} // namespace calmora
