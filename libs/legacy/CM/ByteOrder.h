#pragma once

// Little-endian loads and stores: the byte order of every stream, packet and compressed block.
// Each call copies through memcpy (no alignment needed) and swaps only on a big-endian host.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qz {

namespace byteorder_detail {

template <class T>
constexpr T Swap(T v) {
    static_assert(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
    if constexpr (sizeof(T) == 2) {
        return static_cast<T>(__builtin_bswap16(v));
    } else if constexpr (sizeof(T) == 4) {
        return static_cast<T>(__builtin_bswap32(v));
    } else {
        return static_cast<T>(__builtin_bswap64(v));
    }
}

template <class T>
inline T Load(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        v = Swap(v);
    }
    return v;
}

template <class T>
inline void Store(void* p, T v) {
    if constexpr (std::endian::native == std::endian::big) {
        v = Swap(v);
    }
    std::memcpy(p, &v, sizeof v);
}

} // namespace byteorder_detail

inline std::uint16_t Load16(const void* p) {
    return byteorder_detail::Load<std::uint16_t>(p);
}
inline std::uint32_t Load32(const void* p) {
    return byteorder_detail::Load<std::uint32_t>(p);
}
inline std::uint64_t Load64(const void* p) {
    return byteorder_detail::Load<std::uint64_t>(p);
}
inline void Store16(void* p, std::uint16_t v) {
    byteorder_detail::Store(p, v);
}
inline void Store32(void* p, std::uint32_t v) {
    byteorder_detail::Store(p, v);
}
inline void Store64(void* p, std::uint64_t v) {
    byteorder_detail::Store(p, v);
}

// The low `size` bytes (1 to 8) of a little-endian integer.
inline std::uint64_t LoadLE(const void* p, std::size_t size) {
    std::uint8_t bytes[8] = {};
    std::memcpy(bytes, p, size);
    return Load64(bytes);
}
inline void StoreLE(void* p, std::uint64_t v, std::size_t size) {
    std::uint8_t bytes[8];
    Store64(bytes, v);
    std::memcpy(p, bytes, size);
}

} // namespace qz
