// Building and reading the byte images of table file headers: little-endian integers and the
// four length-prefixed string forms, with every length checked against its field and its buffer.
//
//   WP wide string      16-bit length in characters, then that many UTF-16 code units
//   fixed wide string n a WP wide string padded with zero code units to 2 + 2n bytes
//   WP ANSI string      16-bit length in bytes, then that many ANSI bytes
//   short string n      one length byte, then n bytes of which the first `length` are used
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/engine_errors.h"

namespace tdb {

// Appends fields to a growing image. Texts longer than their field are cut, never spilled.
class THeaderWriter {
public:
    void Int8(std::uint8_t value);
    void Int16(std::int16_t value);
    void UInt16(std::uint16_t value);
    void Int32(std::int32_t value);
    void Double(double value);
    void Bytes(std::span<const std::byte> bytes);
    void Zeros(std::size_t count);

    void WPWideString(std::u16string_view text);
    void FixedWideString(std::u16string_view text, std::size_t n);
    void WPAnsiString(std::string_view text);
    void ShortString(std::string_view text, std::size_t n);

    // Overwrites an already written field.
    void PatchInt16(std::size_t pos, std::int16_t value);

    std::size_t Size() const noexcept { return FData.size(); }
    std::vector<std::byte>& Data() noexcept { return FData; }
    const std::vector<std::byte>& Data() const noexcept { return FData; }

private:
    std::vector<std::byte> FData;
};

// Reads fields in order from a window [start, limit) of some byte source. Whatever would read
// past the limit, and every length beyond its field, raises engine error 134; nothing is
// allocated for a length before it has been checked against what is left.
class THeaderReader {
public:
    // Fills the buffer from the absolute position; the reader never asks beyond its limit.
    using TFetch = std::function<void(std::int64_t pos, std::span<std::byte> buffer)>;

    // Over a buffer in memory (position 0 is its first byte).
    explicit THeaderReader(std::span<const std::byte> data);
    // Over any source, e.g. a file read page by page.
    THeaderReader(TFetch fetch, std::int64_t start, std::int64_t limit);

    std::uint8_t Int8();
    std::int16_t Int16();
    std::uint16_t UInt16();
    std::int32_t Int32();
    double Double();
    void Bytes(std::span<std::byte> buffer);
    void Skip(std::int64_t count);

    std::u16string WPWideString(std::size_t maxLength = 0xFFFF);
    std::u16string FixedWideString(std::size_t n);
    std::string WPAnsiString(std::size_t maxLength = 0xFFFF);
    std::string ShortString(std::size_t n);

    std::int64_t Position() const noexcept { return FPos; }
    std::int64_t Limit() const noexcept { return FLimit; }
    std::int64_t Remaining() const noexcept { return FLimit - FPos; }

private:
    void Need(std::int64_t count) const;

    TFetch FFetch;
    std::int64_t FPos;
    std::int64_t FLimit;
};

[[noreturn]] void RaiseCorruptHeader();

}  // namespace tdb
