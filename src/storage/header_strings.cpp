// Header field images: integers, doubles and the four string forms, written and bounds-checked.
#include "storage/header_strings.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/byte_image.h"
#include "base/engine_error.h"

namespace tdb {

void RaiseCorruptHeader() {
    RaiseEngineError(kTdbErrCorruptHeader);
}

// ---- THeaderWriter ----

void THeaderWriter::Int8(std::uint8_t value) {
    FData.push_back(static_cast<std::byte>(value));
}

void THeaderWriter::Int16(std::int16_t value) {
    UInt16(static_cast<std::uint16_t>(value));
}

void THeaderWriter::UInt16(std::uint16_t value) {
    std::array<std::byte, 2> image;
    StoreLE<std::uint16_t>(image.data(), value);
    Bytes(image);
}

void THeaderWriter::Int32(std::int32_t value) {
    std::array<std::byte, 4> image;
    StoreLE<std::int32_t>(image.data(), value);
    Bytes(image);
}

void THeaderWriter::Double(double value) {
    std::array<std::byte, 8> image;
    StoreDoubleLE(image.data(), value);
    Bytes(image);
}

void THeaderWriter::Bytes(std::span<const std::byte> bytes) {
    FData.insert(FData.end(), bytes.begin(), bytes.end());
}

void THeaderWriter::Zeros(std::size_t count) {
    FData.resize(FData.size() + count, std::byte{0});
}

void THeaderWriter::WPWideString(std::u16string_view text) {
    const std::size_t length = std::min<std::size_t>(text.size(), 0xFFFF);
    UInt16(static_cast<std::uint16_t>(length));
    for (std::size_t i = 0; i < length; ++i)
        UInt16(static_cast<std::uint16_t>(text[i]));
}

void THeaderWriter::FixedWideString(std::u16string_view text, std::size_t n) {
    const std::size_t length = std::min(text.size(), n);
    WPWideString(text.substr(0, length));
    Zeros(2 * (n - length));
}

void THeaderWriter::WPAnsiString(std::string_view text) {
    const std::size_t length = std::min<std::size_t>(text.size(), 0xFFFF);
    UInt16(static_cast<std::uint16_t>(length));
    Bytes(std::as_bytes(std::span(text.data(), length)));
}

void THeaderWriter::ShortString(std::string_view text, std::size_t n) {
    const std::size_t length = std::min({text.size(), n, std::size_t{255}});
    Int8(static_cast<std::uint8_t>(length));
    Bytes(std::as_bytes(std::span(text.data(), length)));
    Zeros(n - length);
}

void THeaderWriter::PatchInt16(std::size_t pos, std::int16_t value) {
    StoreLE<std::int16_t>(FData.data() + pos, value);
}

// ---- THeaderReader ----

THeaderReader::THeaderReader(std::span<const std::byte> data)
    : FFetch([data](std::int64_t pos, std::span<std::byte> buffer) {
          std::memcpy(buffer.data(), data.data() + pos, buffer.size());
      }),
      FPos(0),
      FLimit(static_cast<std::int64_t>(data.size())) {}

THeaderReader::THeaderReader(TFetch fetch, std::int64_t start, std::int64_t limit)
    : FFetch(std::move(fetch)), FPos(start), FLimit(limit) {}

void THeaderReader::Need(std::int64_t count) const {
    if (count < 0 || count > FLimit - FPos)
        RaiseCorruptHeader();
}

void THeaderReader::Bytes(std::span<std::byte> buffer) {
    Need(static_cast<std::int64_t>(buffer.size()));
    if (!buffer.empty())
        FFetch(FPos, buffer);
    FPos += static_cast<std::int64_t>(buffer.size());
}

void THeaderReader::Skip(std::int64_t count) {
    Need(count);
    FPos += count;
}

std::uint8_t THeaderReader::Int8() {
    std::array<std::byte, 1> image;
    Bytes(image);
    return static_cast<std::uint8_t>(image[0]);
}

std::int16_t THeaderReader::Int16() {
    return static_cast<std::int16_t>(UInt16());
}

std::uint16_t THeaderReader::UInt16() {
    std::array<std::byte, 2> image;
    Bytes(image);
    return LoadLE<std::uint16_t>(image.data());
}

std::int32_t THeaderReader::Int32() {
    std::array<std::byte, 4> image;
    Bytes(image);
    return LoadLE<std::int32_t>(image.data());
}

double THeaderReader::Double() {
    std::array<std::byte, 8> image;
    Bytes(image);
    return LoadDoubleLE(image.data());
}

namespace {

std::u16string WideFromImage(const std::vector<std::byte>& image, std::size_t length) {
    std::u16string text(length, u'\0');
    for (std::size_t i = 0; i < length; ++i)
        text[i] = static_cast<char16_t>(LoadLE<std::uint16_t>(image.data() + 2 * i));
    return text;
}

}  // namespace

std::u16string THeaderReader::WPWideString(std::size_t maxLength) {
    const std::size_t length = UInt16();
    if (length > maxLength)
        RaiseCorruptHeader();
    Need(static_cast<std::int64_t>(2 * length));
    std::vector<std::byte> image(2 * length);
    Bytes(image);
    return WideFromImage(image, length);
}

std::u16string THeaderReader::FixedWideString(std::size_t n) {
    const std::size_t length = UInt16();
    if (length > n)
        RaiseCorruptHeader();
    Need(static_cast<std::int64_t>(2 * n));
    std::vector<std::byte> image(2 * n);
    Bytes(image);
    return WideFromImage(image, length);
}

std::string THeaderReader::WPAnsiString(std::size_t maxLength) {
    const std::size_t length = UInt16();
    if (length > maxLength)
        RaiseCorruptHeader();
    Need(static_cast<std::int64_t>(length));
    std::string text(length, '\0');
    Bytes(std::as_writable_bytes(std::span(text.data(), text.size())));
    return text;
}

std::string THeaderReader::ShortString(std::size_t n) {
    const std::size_t length = Int8();
    if (length > n)
        RaiseCorruptHeader();
    Need(static_cast<std::int64_t>(n));
    std::string text(n, '\0');
    Bytes(std::as_writable_bytes(std::span(text.data(), text.size())));
    text.resize(length);
    return text;
}

}  // namespace tdb
