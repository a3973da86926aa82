#pragma once

// Wiping of buffers that held a secret. Header-only and Qt-free, so that the platform layer, the
// plug-in and the command-line host all use this one helper without linking each other.

#include <cstddef>

namespace zel::platform {

// Overwrites the bytes with zeros. Volatile writes are observable behaviour, so the compiler
// cannot drop them even when the memory is freed right after.
inline void wipe(void* data, std::size_t size)
{
    auto* bytes = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = 0;
}

// Wipes and empties a buffer with data(), size() and clear(): std::string, a byte vector,
// QByteArray. A QByteArray shared with another copy detaches first, so only this copy is wiped.
template <typename Buffer> void wipe(Buffer& buffer)
{
    if (buffer.size() > 0)
        wipe(buffer.data(), std::size_t(buffer.size()) * sizeof(*buffer.data()));
    buffer.clear();
}

} // namespace zel::platform
