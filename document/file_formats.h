// The image file formats this program knows: what each is called, how its
// files are named and typed, what it can hold and who reads and writes it.
// The loader, the saver, the batch, the command line and the dialogs all ask
// this table, so that a format is added in one place.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace calmora {

struct FileFormat {
    // The short name the loader and saver use ("jpeg", "png", "heic").
    QByteArray key;
    // What people call it ("JPEG").
    QString name;
    // Lower case, without the dot; results get the first.
    QStringList extensions;
    // The registered type first, then aliases that desktops still use.
    QStringList mimeTypes;
    bool readable = false;
    // False where this build has no encoder for it.
    bool writable = false;
    // Bits per channel a file may store, as the loader takes them.
    QList<int> depths;
    // Bits per channel a result of a 16-bit picture is written at when its
    // depth is kept; 8 where the format or its encoder holds no more.
    int deepWriteBits = 8;
    bool alpha = false;
    bool lossy = false;
    bool lossless = false;
    bool exif = false;
    bool xmp = false;
    bool icc = false;
    // Who decodes and encodes it.
    QString codec;
    // What "as the source" writes a source of this format as, at its full
    // depth, when the format cannot be written; empty: JPEG.
    QByteArray resultKey;
};

// Every known format, in the order the dialogs list them.
const std::vector<FileFormat>& fileFormats();

// The format of `key` ("jpeg"), or null.
const FileFormat* formatByKey(const QByteArray& key);
// The format whose files have this extension (any case), or null.
const FileFormat* fileFormatOfExtension(const QString& extension);
// The format a file of this name is written as: its extension's when that
// format can be written, else null.
const FileFormat* writableFormatOfName(const QString& path);

// The format "as the source" writes a source named `path` as: its own when
// it can be written, else its row's result format, else null (JPEG).
const FileFormat* resultFormatOfSource(const QString& path);

// Whether results in this format keep more than 8 bits per channel.
inline bool writesHighDepth(const FileFormat& format)
{
    return format.writable && format.deepWriteBits > 8;
}

// The value --format and the batch use for a writable format: its first
// extension ("jpg", "tif", "heic").
inline QString formatOption(const FileFormat& format)
{
    return format.extensions.constFirst();
}

// "*.jpg *.jpeg *.jpe" for one format.
QString filterPatterns(const FileFormat& format);
// "JPEG (*.jpg *.jpeg *.jpe)"
QString filterOf(const FileFormat& format);
// Every readable format's patterns, for "Image Files (...)".
QString readablePatterns();
// ".jpg, .jpeg, .jpe, .png, .tif or .tiff" of the writable formats.
QString writableExtensionList();
// The readable formats' names: "JPEG, PNG, TIFF, BMP, GIF and WebP".
QString readableNames();

// The table as `calmora-cli formats` prints it.
QString formatTableText();

} // namespace calmora
