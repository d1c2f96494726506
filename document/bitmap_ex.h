// The in-memory image: a working copy that the engine filters and the view
// shows, an untouched original companion beside it, and the image's EXIF
// information. The pixels are kept as PixelBuffers describes: a display of
// 8 bits per sample with rows bottom-up (buffer row 0 is the bottom row of
// the picture; the engine's tile grid and the worker's conversion of the
// visible rectangle into buffer rows both count on that order), and for
// pictures with 16 bits per channel the high-depth samples, rows top-down.
//
// The working pixels are written by the worker thread tile by tile while the
// view may draw them; there is no lock, so a drawing may show a tile half
// written.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include <QByteArray>
#include <QCoreApplication>
#include <QImage>
#include <QString>
#include <QStringList>

#include "document/exif_formatter.h"
#include "document/image_encoders.h"
#include "document/image_pixels.h"
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

    // Whether load() makes an untouched copy of the image beside the working
    // one (the default). Hold and Undo need it; a run that filters once and
    // saves does not, and then separateOriginal() makes the companion out of
    // the loaded pixels when the filter starts, without a copy.
    void setKeepsOriginal(bool keeps) { m_keepsOriginal = keeps; }

    // Reads a file of any readable format of document/file_formats.h. On failure returns false,
    // puts a message naming the file and the reason into `error` and leaves
    // the object as it was.
    bool load(const QString& path, QString* error = nullptr);
    // What the header of an image file declares, read without decoding its
    // pixels, and refused as load() would refuse it.
    struct Header {
        QByteArray format; // a key of document/file_formats.h: "jpeg", "png", ...
        int32_t width = 0;
        int32_t height = 0;
        int32_t bitsPerPixel = 32; // of the image load() would make
        int32_t bitsPerChannel = 8; // as the file stores them
        int32_t channels = 3; // 1 grey, 3 colour, not counting the alpha
        bool alpha = false;
        int32_t frames = 1;
        // What the loader makes of the file that the user should know
        // (a camera raw file is developed); empty when nothing.
        QString note;
        CExifFormatter exif;
    };
    static bool readHeader(const QString& path, Header& header, QString* error = nullptr);

    // The same as load() for a file's bytes already in memory.
    bool loadFromData(const QByteArray& bytes, QString* error = nullptr);

    // What the decoder said about the last loaded file without refusing it,
    // one line each, for the caller to show once.
    const QStringList& decoderNotes() const { return m_decoderNotes; }

    // How a result is written.
    struct SaveOptions {
        // JPEG, WebP, HEIC and AVIF: 0..100; anything else means the
        // default. WebP at 100 is lossless.
        int jpegQuality = kDefaultJpegQuality;
        // PNG, TIFF and JPEG XL keep 16 bits per channel when the image has
        // them, HEIC and AVIF 10.
        bool keepHighDepth = false;
        int compression = -1; // PNG and TIFF: 0..9, or -1 for the fast default
        int threadCount = 0; // for PNG and TIFF; 0: one per core
        // When another thread sets it, the save ends early and writes
        // nothing.
        const std::atomic<bool>* stop = nullptr;
        // Asked when the complete file is synced, just before it replaces
        // the destination: false gives the save up as `stop` would.
        std::function<bool()> mayReplace;
    };

    // Writes the working image in the format of the name's extension (see
    // document/file_formats.h), JPEG for a name no writable format has. All
    // but JPEG keep the alpha; a JPEG gets the image composited over black.
    // The destination is replaced only by a complete file; on failure it is
    // left as it was and `error` says why.
    bool save(const QString& path, const SaveOptions& options, QString* error = nullptr) const;
    bool save(const QString& path, int jpegQuality = kDefaultJpegQuality,
        bool keepHighDepth = false, QString* error = nullptr) const;

    // The file save() would write in the format of `format`'s key, without
    // the source's metadata (but for HEIC and AVIF, whose encoder places
    // it). `iccWritten` tells whether the colour profile is in it already.
    bool encode(const QByteArray& format, const SaveOptions& options, QByteArray& file,
        bool& iccWritten, QString& reason) const;

    bool isNull() const { return m_pixels.isNull(); }
    int32_t width() const { return m_pixels.width; }
    int32_t height() const { return m_pixels.height; }
    // The image's depth as the filter takes it: 32 for pictures with 8 bits
    // per channel, 48 (colour) or 16 (grey) for those with 16.
    int32_t bitsPerPixel() const { return m_pixels.bitsPerPixel; }
    bool hasAlpha() const { return m_pixels.alpha != nullptr; }

    // The working image as the engine takes it; all zero and no pixels for
    // an empty object.
    ImageDesc description() const;
    // The original companion's description, or an empty one.
    ImageDesc originalDescription() const;
    // The picture as loaded, whatever filtering did to the working image:
    // the original companion when there is one, else the working image.
    // What noise is measured and strength chosen from.
    ImageDesc untouchedDescription() const;

    // The untouched image as loaded; absent until a load succeeds.
    CBitmapEx* original() { return m_original.get(); }
    const CBitmapEx* original() const { return m_original.get(); }

    // The 16-bit samples of a 48- or 16-bit image, rows top-down, for the
    // filter's high-depth path (the original's are its input, the working
    // image's its output); null for a 32-bit image.
    uint8_t* highDepthPixels() const;

    // Before the filter writes the working image: an image loaded without a
    // companion hands its pixels to a new one, which the filter reads, and
    // takes fresh buffers, filled with a copy only when not `wholeImage` (a
    // whole-image run writes every pixel). Nothing happens when a companion
    // exists. False when memory runs out; nothing changes then.
    bool separateOriginal(bool wholeImage);

    // Lets go of the original companion once it is no longer needed (the
    // filtering is done); the working image stays as it is.
    void releaseOriginal() { m_original.reset(); }

    // Makes a 32-bit image a 48-bit one (samples × 257) so that it is filtered
    // and saved in 16 bits. False when memory runs out; nothing changes then.
    bool widenToHighDepth();

    const PixelBuffers& pixels() const { return m_pixels; }

    // Copies the original's pixels over the working image. Without a
    // companion nothing changes. Always true.
    bool restoreFromOriginal();

    // A top-down copy for drawing and encoding; null when there is nothing to
    // copy (no image, or no companion when `original` is asked for).
    QImage toQImage(bool original = false) const;
    // The same for a part of the picture (`rect` in picture coordinates,
    // rows from the top), so that drawing copies only what it shows; `step`
    // as for displayRegion.
    QImage region(const QRect& rect, bool original = false, int32_t step = 1) const;

    const CExifFormatter& exif() const { return m_exif; }

    // Whether a file of this name is saved in a format that keeps more than
    // 8 bits per channel (PNG, TIFF and JPEG XL at 16, HEIC and AVIF at 10).
    static bool keepsHighDepth(const QString& path);

private:
    struct Metadata;

    // `rawByName`: the file's name is a camera raw file's, which tells the
    // makers' TIFF-based raw files from TIFF pictures.
    bool loadBytes(const QByteArray& bytes, bool rawByName, QString* reason);
    static bool readHeaderBytes(
        const QByteArray& bytes, bool rawByName, Header& header, QString& reason);
    static bool readCodecHeader(
        const QByteArray& bytes, const QByteArray& format, Header& header, QString& reason);
    static void readExif(const Metadata& metadata, CExifFormatter& exif);
    // The source's colour profile where the encoder can embed it itself.
    QByteArray embeddableProfile() const;
    // What the encoders of the lossless and the newer formats are given.
    EncodeRequest encodeRequest(
        const SaveOptions& options, const QByteArray& icc, bool sixteenBits) const;
    static int qualityOf(const SaveOptions& options);

    std::unique_ptr<CBitmapEx> m_original;
    // The original companion has no alpha of its own: the filter never
    // changes it, so the working image's serves both.
    PixelBuffers m_pixels;
    CExifFormatter m_exif;
    // What the source file carried besides its pixels, written back on save.
    std::unique_ptr<Metadata> m_metadata;
    QStringList m_decoderNotes;
    bool m_keepsOriginal = true;
};

} // namespace calmora
