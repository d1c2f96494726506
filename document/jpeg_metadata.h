// The metadata segments of a JPEG file, so that one damaged part costs that
// part alone: the metadata library gives up on all of a file's metadata when
// its colour profile is malformed, and on a whole EXIF directory, the
// orientation with it, when the directory's entry count is wrong.
#pragma once

#include <QByteArray>
#include <QString>

namespace calmora {

enum class MetadataPart { ColourProfile, Exif, Xmp, Iptc };

// What the part is called in a note: "colour profile", "EXIF data", ...
QString metadataPartName(MetadataPart part);

// `jpeg` without the segments that carry `part`; empty when it is no JPEG or
// has none of them.
QByteArray jpegWithout(const QByteArray& jpeg, MetadataPart part);

// `jpeg` with each EXIF directory whose entry count runs past the segment's
// end, or past any real directory's size, cut down to the entries that are
// really there (in order, of known types); empty when none needed it.
// `note` then says what was cut.
QByteArray jpegWithExifCountsRepaired(const QByteArray& jpeg, QString& note);

} // namespace calmora
