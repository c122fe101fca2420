// Record-number lists with holes.
#include "engine/bookmark_list.h"

#include <algorithm>
#include <string>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"

namespace tdb {

namespace {

[[noreturn]] void RaiseBadArgument(const char16_t* what) {
    RaiseEngineError(kTdbErrInvalidParameter, {std::u16string(what)});
}

bool BitSet(std::span<const std::uint8_t> bits, std::int32_t bit) {
    return (bits[static_cast<std::size_t>(bit) / 8] >> (bit % 8) & 1) != 0;
}

void CheckBits(std::span<const std::uint8_t> bits, std::int32_t bitCount) {
    if (bitCount < 0 || static_cast<std::size_t>(bitCount) > bits.size() * 8)
        RaiseBadArgument(u"bit count");
}

}  // namespace

TTdbBookmarkList::TTdbBookmarkList(std::int32_t /*capacity*/)
    : FData(static_cast<std::size_t>(kInitialCapacity)) {}

std::int32_t TTdbBookmarkList::Item(std::int32_t index) const {
    if (index < 0 || index >= FSize)
        RaiseBadArgument(u"bookmark index");
    return FData[static_cast<std::size_t>(index)];
}

void TTdbBookmarkList::Reserve(std::int32_t size) {
    std::size_t capacity = FData.size();
    if (static_cast<std::size_t>(size) <= capacity)
        return;
    if (capacity == 0)
        capacity = kInitialCapacity;
    while (capacity < static_cast<std::size_t>(size))
        capacity *= 2;
    FData.resize(capacity);
}

void TTdbBookmarkList::TrimTrailingHoles() noexcept {
    while (FSize > 0 && FData[static_cast<std::size_t>(FSize) - 1] <= 0)
        --FSize;
}

void TTdbBookmarkList::Append(std::int32_t recNo) {
    InsertAt(FSize, recNo);
}

void TTdbBookmarkList::InsertAt(std::int32_t index, std::int32_t recNo) {
    if (recNo < 1)
        RaiseBadArgument(u"record number");
    if (index < 0 || index > FSize)
        RaiseBadArgument(u"bookmark index");
    Reserve(FSize + 1);
    const auto at = FData.begin() + index;
    std::move_backward(at, FData.begin() + FSize, FData.begin() + FSize + 1);
    *at = recNo;
    ++FSize;
    ++FCount;
}

void TTdbBookmarkList::DeleteAt(std::int32_t index) {
    if (IsHole(index))
        return;
    FData[static_cast<std::size_t>(index)] = 0;
    --FCount;
    TrimTrailingHoles();
}

bool TTdbBookmarkList::Delete(std::int32_t recNo) {
    const std::int32_t index = Find(recNo);
    if (index < 0)
        return false;
    DeleteAt(index);
    return true;
}

void TTdbBookmarkList::Flip(std::int32_t recNo) {
    if (!Delete(recNo))
        Append(recNo);
}

void TTdbBookmarkList::Clear() noexcept {
    FCount = 0;
    FSize = 0;
}

void TTdbBookmarkList::SetItem(std::int32_t index, std::int32_t recNo) {
    const bool wasLive = !IsHole(index);
    const bool isLive = recNo > 0;
    FData[static_cast<std::size_t>(index)] = isLive ? recNo : 0;
    FCount += static_cast<std::int32_t>(isLive) - static_cast<std::int32_t>(wasLive);
    TrimTrailingHoles();
}

std::int32_t TTdbBookmarkList::Find(std::int32_t recNo) const noexcept {
    if (recNo <= 0)
        return -1;
    const auto end = FData.begin() + FSize;
    const auto found = std::find(FData.begin(), end, recNo);
    return found == end ? -1 : static_cast<std::int32_t>(found - FData.begin());
}

std::int32_t TTdbBookmarkList::FindNext(std::int32_t index) const noexcept {
    for (std::int32_t i = std::max(index + 1, 0); i < FSize; ++i)
        if (FData[static_cast<std::size_t>(i)] > 0)
            return i;
    return -1;
}

std::int32_t TTdbBookmarkList::FindPrev(std::int32_t index) const noexcept {
    for (std::int32_t i = std::min(index, FSize) - 1; i >= 0; --i)
        if (FData[static_cast<std::size_t>(i)] > 0)
            return i;
    return -1;
}

std::int32_t TTdbBookmarkList::FindSequence(std::int32_t recNo) const noexcept {
    if (recNo <= 0)
        return -1;
    std::int32_t live = 0;
    for (std::int32_t i = 0; i < FSize; ++i) {
        const std::int32_t item = FData[static_cast<std::size_t>(i)];
        if (item == recNo)
            return live;
        if (item > 0)
            ++live;
    }
    return -1;
}

void TTdbBookmarkList::Compress() noexcept {
    if (FSize == FCount)
        return;
    const auto end = std::remove_if(FData.begin(), FData.begin() + FSize,
                                    [](std::int32_t item) { return item <= 0; });
    FSize = static_cast<std::int32_t>(end - FData.begin());
}

void TTdbBookmarkList::Sort() {
    Compress();
    std::sort(FData.begin(), FData.begin() + FCount);
}

void TTdbBookmarkList::Shrink() {
    FData.resize(static_cast<std::size_t>(FSize));
    FData.shrink_to_fit();
}

void TTdbBookmarkList::CopyFrom(const TTdbBookmarkList& source) {
    if (&source == this) {
        Compress();
        return;
    }
    Clear();
    Reserve(source.FCount);
    std::copy_if(source.FData.begin(), source.FData.begin() + source.FSize, FData.begin(),
                 [](std::int32_t item) { return item > 0; });
    FSize = FCount = source.FCount;
}

std::size_t TTdbBookmarkList::WriteTo(std::span<std::byte> buffer) const {
    const std::size_t needed = static_cast<std::size_t>(FCount) * 4;
    if (buffer.size() < needed)
        RaiseBadArgument(u"bookmark buffer");
    std::byte* out = buffer.data();
    for (std::int32_t i = 0; i < FSize; ++i) {
        const std::int32_t item = FData[static_cast<std::size_t>(i)];
        if (item > 0) {
            StoreLE<std::int32_t>(out, item);
            out += 4;
        }
    }
    return needed;
}

void TTdbBookmarkList::CopyFromBitArray(std::span<const std::uint8_t> bits, std::int32_t bitCount) {
    CheckBits(bits, bitCount);
    Clear();
    for (std::int32_t bit = 0; bit < bitCount; ++bit)
        if (BitSet(bits, bit))
            Append(bit + 1);
}

void TTdbBookmarkList::CopyToBitArray(std::span<std::uint8_t> bits, std::int32_t bitCount) const {
    CheckBits(bits, bitCount);
    std::fill(bits.begin(), bits.end(), std::uint8_t{0});
    for (std::int32_t i = 0; i < FSize; ++i) {
        const std::int32_t item = FData[static_cast<std::size_t>(i)];
        if (item > 0 && item <= bitCount)
            bits[static_cast<std::size_t>(item - 1) / 8] |=
                static_cast<std::uint8_t>(1u << ((item - 1) % 8));
    }
}

void TTdbBookmarkList::IntersectWithBitArray(std::span<const std::uint8_t> bits,
                                             std::int32_t bitCount) {
    CheckBits(bits, bitCount);
    for (std::int32_t i = FSize - 1; i >= 0; --i) {
        const std::int32_t item = FData[static_cast<std::size_t>(i)];
        if (item > 0 && (item > bitCount || !BitSet(bits, item - 1)))
            DeleteAt(i);
    }
}

}  // namespace tdb
