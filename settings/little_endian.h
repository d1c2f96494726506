// Stored values keep a byte order of their own, independent of the machine's:
// 32-bit fields are little-endian. Callers check the size first.
#pragma once

#include <QByteArray>

#include <cstdint>

namespace calmora {

inline int32_t readInt32Le(const QByteArray& bytes, int offset)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<uint8_t>(bytes[offset + i]);
    return static_cast<int32_t>(value);
}

inline void writeInt32Le(QByteArray& bytes, int offset, int32_t value)
{
    const auto bits = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
}

} // namespace calmora
