// Reading and writing little-endian integers and doubles in file and record
// images. Every image goes through these helpers, never through struct casts,
// so layouts stay exact whatever the compiler's alignment and padding.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace tdb {

namespace detail {

template <typename T>
constexpr T ByteSwap(T value) noexcept {
    using U = std::make_unsigned_t<T>;
    U u = static_cast<U>(value);
    U result = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        result = static_cast<U>((result << 8) | (u & 0xFF));
        u = static_cast<U>(u >> 8);
    }
    return static_cast<T>(result);
}

}  // namespace detail

// T is an integer type; p points at sizeof(T) bytes, with no alignment required.
template <typename T>
inline T LoadLE(const void* p) noexcept {
    static_assert(std::is_integral_v<T>);
    T value;
    std::memcpy(&value, p, sizeof(T));
    if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
        value = detail::ByteSwap(value);
    }
    return value;
}

template <typename T>
inline void StoreLE(void* p, T value) noexcept {
    static_assert(std::is_integral_v<T>);
    if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
        value = detail::ByteSwap(value);
    }
    std::memcpy(p, &value, sizeof(T));
}

inline double LoadDoubleLE(const void* p) noexcept {
    return std::bit_cast<double>(LoadLE<std::uint64_t>(p));
}

inline void StoreDoubleLE(void* p, double value) noexcept {
    StoreLE<std::uint64_t>(p, std::bit_cast<std::uint64_t>(value));
}

}  // namespace tdb
