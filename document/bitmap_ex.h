// The in-memory image: a working copy that the engine filters and the view
// shows, an untouched original companion beside it, and the image's EXIF
// information. Pixels are 32 bits in memory order blue, green, red and a
// fourth byte (255 after loading, carried unchanged by the engine), rows
// stored bottom-up: buffer row 0 is the bottom row of the picture. The
// engine's tile grid and the worker's conversion of the visible rectangle
// into buffer rows both count on that order.
//
// The working pixels are written by the worker thread tile by tile while the
// view may draw them; there is no lock, so a drawing may show a tile half
// written.
#pragma once

#include <cstdint>
#include <memory>

#include <QByteArray>
#include <QCoreApplication>
#include <QImage>
#include <QString>
#include <QStringList>

#include "document/exif_formatter.h"
#include "engine/records.h"

namespace calmora {

class CBitmapEx {
    Q_DECLARE_TR_FUNCTIONS(CBitmapEx)

public:
    static constexpr int kDefaultJpegQuality = 90;
    // One pixel copy may take at most 1 GiB (268 million pixels): well beyond
    // a 100-megapixel photo, while the working image and the original
    // together stay within what a desktop machine can hold.
    static constexpr int64_t kMaxBytesPerCopy = int64_t { 1 } << 30;

    CBitmapEx();
    ~CBitmapEx();
    CBitmapEx(const CBitmapEx&) = delete;
    CBitmapEx& operator=(const CBitmapEx&) = delete;

    // Reads a JPEG, TIFF, BMP, GIF or PNG file. On failure returns false,
    // puts a message naming the file and the reason into `error` and leaves
    // the object as it was.
    bool load(const QString& path, QString* error = nullptr);
    // What the header of an image file declares, read without decoding its
    // pixels, and refused as load() would refuse it.
    struct Header {
        QByteArray format; // "jpeg", "png", "tiff", "bmp" or "gif"
        int32_t width = 0;
        int32_t height = 0;
        int32_t bitsPerPixel = 32; // of the image load() would make
        CExifFormatter exif;
    };
    static bool readHeader(const QString& path, Header& header, QString* error = nullptr);

    // The same as load() for a file's bytes already in memory.
    bool loadFromData(const QByteArray& bytes, QString* error = nullptr);

    // What the decoder said about the last loaded file without refusing it,
    // one line each, for the caller to show once.
    const QStringList& decoderNotes() const { return m_decoderNotes; }

    // Writes the working image: PNG for ".png", TIFF for ".tif" and ".tiff",
    // JPEG for every other name. The destination is replaced only by a
    // complete file; on failure it is left as it was and `error` says why.
    bool save(const QString& path, int jpegQuality = kDefaultJpegQuality,
        bool keepHighDepth = false, QString* error = nullptr) const;

    bool isNull() const { return !m_pixels; }
    int32_t width() const { return m_width; }
    int32_t height() const { return m_height; }
    int32_t bitsPerPixel() const { return m_bitsPerPixel; }

    // The working image as the engine takes it; all zero and no pixels for
    // an empty object.
    ImageDesc description() const;
    // The original companion's description, or an empty one.
    ImageDesc originalDescription() const;

    // The untouched image as loaded; absent until a load succeeds.
    CBitmapEx* original() { return m_original.get(); }
    const CBitmapEx* original() const { return m_original.get(); }

    // 16-bit-per-channel pixels for the engine's high-depth path. The decoder
    // always delivers 8 bits per channel, so there are none.
    uint8_t* highDepthPixels() const { return nullptr; }

    // Copies the original's pixels over the working image. Without a
    // companion nothing changes. Always true.
    bool restoreFromOriginal();

    // A top-down copy for drawing and encoding; null when there is nothing to
    // copy (no image, or no companion when `original` is asked for).
    QImage toQImage(bool original = false) const;

    const CExifFormatter& exif() const { return m_exif; }

    // Index of the first encoder whose MIME type equals `mimeType` exactly
    // (case-sensitive), or -1.
    static int findEncoder(const QByteArray& mimeType);

private:
    struct Metadata;

    bool loadBytes(const QByteArray& bytes, QString* reason);
    static void readExif(const Metadata& metadata, CExifFormatter& exif);

    std::unique_ptr<CBitmapEx> m_original;
    std::unique_ptr<uint8_t[]> m_pixels;
    int32_t m_width = 0;
    int32_t m_height = 0;
    int32_t m_bitsPerPixel = 0;
    CExifFormatter m_exif;
    // What the source file carried besides its pixels, written back on save.
    std::unique_ptr<Metadata> m_metadata;
    QStringList m_decoderNotes;
};

} // namespace calmora
