#include "document/jpeg_metadata.h"

#include <QCoreApplication>
#include <QSet>

#include <cstdint>
#include <cstring>
#include <functional>

namespace calmora {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("JpegMetadata", text);
}

constexpr uint8_t kApp1 = 0xE1;
constexpr uint8_t kApp2 = 0xE2;
constexpr uint8_t kApp13 = 0xED;
constexpr uint8_t kStartOfScan = 0xDA;
constexpr uint8_t kEndOfImage = 0xD9;

bool hasPrefix(const uint8_t* data, int64_t size, const char* prefix, int64_t prefixSize)
{
    return size >= prefixSize && std::memcmp(data, prefix, static_cast<size_t>(prefixSize)) == 0;
}

// Which part a segment carries, judged by its marker and the signature its
// payload starts with.
bool carries(uint8_t marker, const uint8_t* payload, int64_t size, MetadataPart part)
{
    switch (part) {
    case MetadataPart::ColourProfile:
        return marker == kApp2 && hasPrefix(payload, size, "ICC_PROFILE\0", 12);
    case MetadataPart::Exif:
        return marker == kApp1 && hasPrefix(payload, size, "Exif\0\0", 6);
    case MetadataPart::Xmp:
        return marker == kApp1 && hasPrefix(payload, size, "http://ns.adobe.com/xap/1.0/", 28);
    case MetadataPart::Iptc:
        return marker == kApp13 && hasPrefix(payload, size, "Photoshop 3.0\0", 14);
    }
    return false;
}

// Calls `visit(marker, at, end)` for each segment with a length before the
// picture data, `at` and `end` bounding the whole segment. False when the
// file is no JPEG.
bool walkSegments(
    const QByteArray& jpeg, const std::function<void(uint8_t, int64_t, int64_t)>& visit)
{
    const auto* data = reinterpret_cast<const uint8_t*>(jpeg.constData());
    const int64_t size = jpeg.size();
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return false;
    int64_t at = 2;
    while (at + 4 <= size && data[at] == 0xFF) {
        const uint8_t marker = data[at + 1];
        if (marker == 0xFF) {
            ++at; // fill byte
            continue;
        }
        if (marker == kStartOfScan || marker == kEndOfImage)
            break;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            at += 2; // no length
            continue;
        }
        const int64_t length = int64_t { data[at + 2] } << 8 | data[at + 3];
        const int64_t end = at + 2 + length;
        if (length < 2 || end > size)
            break;
        visit(marker, at, end);
        at = end;
    }
    return true;
}

// A TIFF structure inside an EXIF segment, read and mended in place.
class ExifDirectories {
public:
    // Mends `writable` when given, else only finds what needs mending.
    ExifDirectories(const uint8_t* data, int64_t size, uint8_t* writable)
        : m_data(data)
        , m_writable(writable)
        , m_size(size)
        , m_little(size >= 2 && data[0] == 'I')
    { }

    // Walks IFD0 and the directories it leads to; the note, or empty.
    QString repair()
    {
        if (m_size < 8)
            return {};
        repairDirectory(read32(4), QStringLiteral("IFD0"), 0);
        return m_notes.join(QLatin1String("; "));
    }

private:
    // Real directories hold a few dozen entries; the metadata library
    // itself refuses one that claims more than this.
    static constexpr int kMaxEntries = 256;
    static constexpr int kEntryBytes = 12;
    static constexpr int kMaxDepth = 4;

    uint32_t read16(int64_t at) const
    {
        return m_little ? uint32_t { m_data[at] } | uint32_t { m_data[at + 1] } << 8
                        : uint32_t { m_data[at] } << 8 | m_data[at + 1];
    }
    uint32_t read32(int64_t at) const
    {
        return m_little ? read16(at) | read16(at + 2) << 16 : read16(at) << 16 | read16(at + 2);
    }
    void write16(int64_t at, uint32_t value)
    {
        if (m_writable == nullptr)
            return;
        m_writable[at + (m_little ? 0 : 1)] = static_cast<uint8_t>(value);
        m_writable[at + (m_little ? 1 : 0)] = static_cast<uint8_t>(value >> 8);
    }

    void repairDirectory(int64_t offset, const QString& name, int depth)
    {
        if (depth > kMaxDepth || offset < 8 || offset + 2 > m_size || m_seen.contains(offset))
            return;
        m_seen.insert(offset);
        const int64_t claimed = read16(offset);
        const int64_t fit = (m_size - offset - 2) / kEntryBytes;
        int64_t entries = claimed;
        if (claimed > fit || claimed > kMaxEntries) {
            // The entries that are there come first, in ascending tag order
            // and of the types TIFF knows; what follows them is other data.
            entries = 0;
            uint32_t previousTag = 0;
            while (entries < std::min<int64_t>(claimed, fit)) {
                const int64_t entry = offset + 2 + entries * kEntryBytes;
                const uint32_t tag = read16(entry);
                const uint32_t type = read16(entry + 2);
                if ((entries > 0 && tag <= previousTag) || type < 1 || type > 13)
                    break;
                previousTag = tag;
                ++entries;
            }
            write16(offset, static_cast<uint32_t>(entries));
            m_notes.append(tr("its EXIF directory %1 claims %2 entries; the %3 that are there "
                              "were kept")
                               .arg(name)
                               .arg(claimed)
                               .arg(entries));
        }
        for (int64_t i = 0; i < entries; ++i) {
            const int64_t entry = offset + 2 + i * kEntryBytes;
            const uint32_t tag = read16(entry);
            const char* child = tag == 0x8769 ? "Exif"
                : tag == 0x8825               ? "GPS"
                : tag == 0xA005               ? "Interoperability"
                                              : nullptr;
            if (child != nullptr)
                repairDirectory(read32(entry + 8), QLatin1String(child), depth + 1);
        }
        // The next directory's offset follows the entries only when the
        // count was right; after a cut it is some other data.
        if (name == QLatin1String("IFD0") && entries == claimed
            && offset + 2 + entries * kEntryBytes + 4 <= m_size)
            repairDirectory(read32(offset + 2 + entries * kEntryBytes), QStringLiteral("IFD1"),
                depth + 1);
    }

    const uint8_t* m_data;
    uint8_t* m_writable;
    int64_t m_size;
    bool m_little;
    QSet<int64_t> m_seen;
    QStringList m_notes;
};

} // namespace

QString metadataPartName(MetadataPart part)
{
    switch (part) {
    case MetadataPart::ColourProfile:
        return tr("colour profile");
    case MetadataPart::Exif:
        return tr("EXIF data");
    case MetadataPart::Xmp:
        return tr("XMP data");
    case MetadataPart::Iptc:
        return tr("IPTC data");
    }
    return {};
}

QByteArray jpegWithout(const QByteArray& jpeg, MetadataPart part)
{
    const auto* data = reinterpret_cast<const uint8_t*>(jpeg.constData());
    QByteArray kept;
    int64_t copied = 0;
    bool found = false;
    const bool isJpeg = walkSegments(jpeg, [&](uint8_t marker, int64_t at, int64_t end) {
        if (!carries(marker, data + at + 4, end - at - 4, part))
            return;
        kept.append(jpeg.constData() + copied, at - copied);
        copied = end;
        found = true;
    });
    if (!isJpeg || !found)
        return {};
    kept.append(jpeg.constData() + copied, jpeg.size() - copied);
    return kept;
}

QByteArray jpegWithExifCountsRepaired(const QByteArray& jpeg, QString& note)
{
    QByteArray repaired;
    walkSegments(jpeg, [&](uint8_t marker, int64_t at, int64_t end) {
        const auto* data = reinterpret_cast<const uint8_t*>(jpeg.constData());
        if (!note.isEmpty() || !carries(marker, data + at + 4, end - at - 4, MetadataPart::Exif))
            return;
        // The TIFF structure starts after the segment's length and signature.
        constexpr int64_t kTiffStart = 4 + 6;
        const int64_t tiffSize = end - at - kTiffStart;
        if (ExifDirectories(data + at + kTiffStart, tiffSize, nullptr).repair().isEmpty())
            return;
        repaired = jpeg;
        auto* writable = reinterpret_cast<uint8_t*>(repaired.data()) + at + kTiffStart;
        note = ExifDirectories(writable, tiffSize, writable).repair();
    });
    return repaired;
}

} // namespace calmora
