#include "document/jpeg_codec.h"

#include "document/decoder_messages.h"
#include "document/image_checks.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include <QCoreApplication>

// libjpeg's header expects FILE and size_t declared before it.
#include <jerror.h>
#include <jpeglib.h>

namespace calmora {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("CBitmapEx", text);
}

// A progressive file may repeat its scans without end, each one a pass over
// every coefficient of the picture; real encoders write about ten.
constexpr int kMaxScans = 1000;

// libjpeg reports a failure by calling error_exit, which must not return:
// it jumps back to the call that started the work. The objects on that
// call's frame are plain, so nothing is skipped that needs destroying.
struct ErrorManager {
    jpeg_error_mgr library {};
    std::jmp_buf jump {};
    DecoderMessages* messages = nullptr;
    char words[JMSG_LENGTH_MAX] {};
};

void onError(j_common_ptr info)
{
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    info->err->format_message(info, manager->words);
    if (manager->messages != nullptr)
        manager->messages->add(QString::fromLocal8Bit(manager->words));
    std::longjmp(manager->jump, 1);
}

// Warnings as libjpeg words them, the first of a file only (later ones tend
// to repeat it), except that a cut-short file always says so: that warning
// is the only sign that the missing rows were filled with grey.
void onMessage(j_common_ptr info, int level)
{
    if (level >= 0)
        return;
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    if (manager->messages != nullptr
        && (info->err->num_warnings == 0 || info->err->msg_code == JWRN_JPEG_EOF)) {
        char text[JMSG_LENGTH_MAX];
        info->err->format_message(info, text);
        manager->messages->add(QString::fromLocal8Bit(text));
    }
    ++info->err->num_warnings;
}

void onProgress(j_common_ptr info)
{
    if (info->is_decompressor) {
        const auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
        if (decompress->input_scan_number > kMaxScans) {
            auto* manager = reinterpret_cast<ErrorManager*>(info->err);
            std::snprintf(manager->words, sizeof manager->words,
                "the file has more than %d scans", kMaxScans);
            if (manager->messages != nullptr)
                manager->messages->add(QString::fromLatin1(manager->words));
            std::longjmp(manager->jump, 2);
        }
    }
}

void setUpErrors(ErrorManager& manager, DecoderMessages* messages)
{
    jpeg_std_error(&manager.library);
    manager.library.error_exit = onError;
    manager.library.emit_message = onMessage;
    manager.messages = messages;
}

bool isOutOfMemory(const ErrorManager& manager)
{
    return manager.library.msg_code == JERR_OUT_OF_MEMORY;
}

struct Decompressor {
    jpeg_decompress_struct info {};
    jpeg_progress_mgr progress {};
    // Set after the jump point is taken and read after a jump back.
    volatile bool created = false;
    ~Decompressor()
    {
        if (created)
            jpeg_destroy_decompress(&info);
    }
};

} // namespace

JpegDecoding decodeJpeg(
    const QByteArray& bytes, PixelBuffers& pixels, DecoderMessages& messages, QString& reason)
{
    pixels = PixelBuffers();
    ErrorManager errors;
    Decompressor decompressor;
    jpeg_decompress_struct& info = decompressor.info;
    info.err = &errors.library;
    setUpErrors(errors, &messages);
    // Every call below that can fail jumps back here; `pixels` and the
    // decompressor are cleaned up by the caller's frame.
    if (const int jumped = setjmp(errors.jump); jumped != 0) {
        pixels = PixelBuffers();
        if (jumped == 1 && isOutOfMemory(errors)) {
            reason = tr("not enough memory to decode the picture.");
            return JpegDecoding::OutOfMemory;
        }
        reason = QString::fromLocal8Bit(errors.words);
        return JpegDecoding::Damaged;
    }
    jpeg_create_decompress(&info);
    decompressor.created = true;
    decompressor.progress.progress_monitor = onProgress;
    info.progress = &decompressor.progress;
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.constData()),
        static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&info, TRUE);

    const bool grey = info.jpeg_color_space == JCS_GRAYSCALE && info.num_components == 1;
    const bool colour = (info.jpeg_color_space == JCS_YCbCr || info.jpeg_color_space == JCS_RGB)
        && info.num_components == 3;
    if (!grey && !colour)
        return JpegDecoding::NotOurs;
    // The file's own size is checked before a row exists; the caller has
    // checked the same numbers as the header reader saw them.
    constexpr int64_t kMaxPixels = (int64_t { 1 } << 30) / 4;
    const int64_t width = info.image_width;
    const int64_t height = info.image_height;
    if (width <= 0 || height <= 0 || width * height > kMaxPixels
        || !declaredSizeProblem("jpeg", width, height, bytes.size()).isEmpty()) {
        reason = tr("the picture's size (%1 × %2) cannot be held.").arg(width).arg(height);
        return JpegDecoding::Damaged;
    }
    info.out_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGRA;
    info.dct_method = JDCT_ISLOW;
    jpeg_start_decompress(&info);
    if (info.output_width != width || info.output_height != height) {
        reason = tr("the decoder's picture is not the size the file declares.");
        return JpegDecoding::Damaged;
    }

    SampleLayout layout;
    layout.colours = grey ? 1 : 3;
    if (!startPicture(pixels, static_cast<int32_t>(width), static_cast<int32_t>(height), layout)) {
        reason = tr("not enough memory for a %1 × %2 picture.").arg(width).arg(height);
        return JpegDecoding::OutOfMemory;
    }
    // Rows go straight into the display, which runs bottom-up; the decoder
    // hands out at most this many rows per call.
    constexpr int kRowsPerCall = 4;
    JSAMPROW rows[kRowsPerCall];
    while (info.output_scanline < info.output_height) {
        const auto first = static_cast<int32_t>(info.output_scanline);
        const int count = std::min<int>(kRowsPerCall, static_cast<int>(height) - first);
        for (int i = 0; i < count; ++i)
            rows[i] = pixels.displayRow(first + i);
        jpeg_read_scanlines(&info, rows, static_cast<JDIMENSION>(count));
    }
    jpeg_finish_decompress(&info);
    return JpegDecoding::Done;
}

namespace {

// The encoder's output, grown in the QByteArray itself so that the finished
// file needs no further copy.
struct Destination {
    jpeg_destination_mgr library {};
    QByteArray* file = nullptr;
    bool outOfMemory = false;
};

constexpr qsizetype kFirstChunk = qsizetype { 1 } << 20;

void startDestination(j_compress_ptr info)
{
    auto* destination = reinterpret_cast<Destination*>(info->dest);
    destination->file->resize(kFirstChunk);
    destination->library.next_output_byte
        = reinterpret_cast<JOCTET*>(destination->file->data());
    destination->library.free_in_buffer = static_cast<size_t>(destination->file->size());
}

boolean growDestination(j_compress_ptr info)
{
    auto* destination = reinterpret_cast<Destination*>(info->dest);
    // Called with the whole buffer full, whatever free_in_buffer says.
    const qsizetype used = destination->file->size();
    try {
        destination->file->resize(used * 2);
    } catch (const std::bad_alloc&) {
        destination->outOfMemory = true;
    }
    // Jumped out of only here, never from inside the handler.
    if (destination->outOfMemory)
        ERREXIT(info, JERR_OUT_OF_MEMORY);
    destination->library.next_output_byte
        = reinterpret_cast<JOCTET*>(destination->file->data()) + used;
    destination->library.free_in_buffer = static_cast<size_t>(used);
    return TRUE;
}

void finishDestination(j_compress_ptr info)
{
    auto* destination = reinterpret_cast<Destination*>(info->dest);
    destination->file->resize(destination->file->size()
        - static_cast<qsizetype>(destination->library.free_in_buffer));
}

struct Compressor {
    jpeg_compress_struct info {};
    volatile bool created = false;
    ~Compressor()
    {
        if (created)
            jpeg_destroy_compress(&info);
    }
};

bool isStopped(const std::atomic<bool>* stop)
{
    return stop != nullptr && stop->load();
}

} // namespace

bool encodeJpeg(
    const PixelBuffers& pixels, const JpegEncodeRequest& request, QByteArray& file, QString& reason)
{
    file.clear();
    if (pixels.isNull()) {
        reason = tr("there is no image to save.");
        return false;
    }
    // A high-depth picture's rows are rounded into this one first; an 8-bit
    // one's display rows are read where they lie.
    const bool high = pixels.isHighDepth();
    std::vector<uint8_t> rounded;
    try {
        if (high)
            rounded.resize(static_cast<size_t>(pixels.width) * pixels.colours());
    } catch (const std::bad_alloc&) {
        reason = tr("not enough memory to encode the picture.");
        return false;
    }

    ErrorManager errors;
    Compressor compressor;
    Destination destination;
    destination.file = &file;
    jpeg_compress_struct& info = compressor.info;
    info.err = &errors.library;
    setUpErrors(errors, nullptr);
    if (setjmp(errors.jump) != 0) {
        file.clear();
        reason = isOutOfMemory(errors) || destination.outOfMemory
            ? tr("not enough memory to encode the picture.")
            : QString::fromLocal8Bit(errors.words);
        return false;
    }
    jpeg_create_compress(&info);
    compressor.created = true;
    destination.library.init_destination = startDestination;
    destination.library.empty_output_buffer = growDestination;
    destination.library.term_destination = finishDestination;
    info.dest = &destination.library;

    info.image_width = static_cast<JDIMENSION>(pixels.width);
    info.image_height = static_cast<JDIMENSION>(pixels.height);
    if (pixels.isGrey()) {
        info.input_components = 1;
        info.in_color_space = JCS_GRAYSCALE;
    } else if (high) {
        info.input_components = 3;
        info.in_color_space = JCS_RGB;
    } else {
        info.input_components = 4;
        info.in_color_space = JCS_EXT_BGRX;
    }
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, std::clamp(request.quality, 0, 100), TRUE);
    // The density the earlier encoder wrote: a file saved now is the same,
    // byte for byte, as one saved before.
    constexpr UINT16 kDotsPerInch = 100;
    info.density_unit = 1;
    info.X_density = kDotsPerInch;
    info.Y_density = kDotsPerInch;
    info.dct_method = JDCT_ISLOW;
    jpeg_start_compress(&info, TRUE);
    if (!request.iccProfile.isEmpty()) {
        jpeg_write_icc_profile(&info,
            reinterpret_cast<const JOCTET*>(request.iccProfile.constData()),
            static_cast<unsigned int>(request.iccProfile.size()));
    }
    // Stop requests are looked at every band of rows: often enough for a
    // prompt end, rarely enough to cost nothing.
    constexpr int32_t kRowsPerCheck = 64;
    while (info.next_scanline < info.image_height) {
        const auto y = static_cast<int32_t>(info.next_scanline);
        if (y % kRowsPerCheck == 0 && isStopped(request.stop)) {
            jpeg_abort_compress(&info);
            file.clear();
            reason = tr("the save was stopped.");
            return false;
        }
        JSAMPROW row = nullptr;
        if (high) {
            readRow(pixels, y, pixels.colours(), false, rounded.data());
            row = rounded.data();
        } else {
            row = pixels.displayRow(y);
        }
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    if (isStopped(request.stop)) {
        file.clear();
        reason = tr("the save was stopped.");
        return false;
    }
    return true;
}

} // namespace calmora
