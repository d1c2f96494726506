// A TIFF file in memory as libtiff sees it through TIFFClientOpen: the bytes
// to read, and for writing a QByteArray that grows as it is written, with a
// position that may lie past its end.
#pragma once

#include <QByteArray>

#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

namespace calmora {

struct TiffMemoryFile {
    const QByteArray* bytes = nullptr; // what is read; the output itself when writing
    QByteArray* output = nullptr; // null when only reading
    uint64_t position = 0;
    bool outOfMemory = false;

    static TiffMemoryFile& of(thandle_t handle) { return *static_cast<TiffMemoryFile*>(handle); }

    static tmsize_t read(thandle_t handle, void* data, tmsize_t size)
    {
        TiffMemoryFile& file = of(handle);
        const auto available = static_cast<uint64_t>(file.bytes->size());
        if (size <= 0 || file.position >= available)
            return 0;
        const uint64_t count = std::min<uint64_t>(uint64_t(size), available - file.position);
        std::memcpy(data, file.bytes->constData() + file.position, count);
        file.position += count;
        return static_cast<tmsize_t>(count);
    }

    static tmsize_t write(thandle_t handle, void* data, tmsize_t size)
    {
        TiffMemoryFile& file = of(handle);
        if (size < 0 || file.output == nullptr)
            return -1;
        const uint64_t end = file.position + uint64_t(size);
        try {
            if (end > uint64_t(file.output->size()))
                file.output->resize(static_cast<qsizetype>(end));
        } catch (const std::bad_alloc&) {
            file.outOfMemory = true;
            return -1;
        }
        std::memcpy(file.output->data() + file.position, data, size_t(size));
        file.position = end;
        return size;
    }

    static toff_t seek(thandle_t handle, toff_t offset, int whence)
    {
        TiffMemoryFile& file = of(handle);
        uint64_t base = 0;
        if (whence == SEEK_CUR)
            base = file.position;
        else if (whence == SEEK_END)
            base = uint64_t(file.bytes->size());
        else if (whence != SEEK_SET)
            return toff_t(-1);
        file.position = base + offset;
        return file.position;
    }

    static int close(thandle_t) { return 0; }
    static toff_t size(thandle_t handle) { return toff_t(of(handle).bytes->size()); }
    static int map(thandle_t, void**, toff_t*) { return 0; }
    static void unmap(thandle_t, void*, toff_t) { }
};

} // namespace calmora
