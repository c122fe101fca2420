// A list of record numbers that an accessor can use as its order: the result of a static filter
// or a user's selection. Deleting leaves holes so that positions stay put while a walk goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tdb {

class TTdbBookmarkList {
public:
    static constexpr std::int32_t kInitialCapacity = 1024;

    // The capacity asked for is only a hint: lists start at kInitialCapacity and double.
    explicit TTdbBookmarkList(std::int32_t capacity = kInitialCapacity);

    // Live entries, slots in use (holes included) and allocated slots.
    std::int32_t Count() const noexcept { return FCount; }
    std::int32_t Size() const noexcept { return FSize; }
    std::int32_t Capacity() const noexcept { return static_cast<std::int32_t>(FData.size()); }
    // The slot's record number; 0 or less is a hole. Raises engine error 49 outside the slots.
    std::int32_t Item(std::int32_t index) const;
    bool IsHole(std::int32_t index) const { return Item(index) <= 0; }

    // A record number below 1 is no entry and is refused with engine error 49.
    void Append(std::int32_t recNo);
    void InsertAt(std::int32_t index, std::int32_t recNo);
    // Turns a live entry into a hole and gives up the holes at the end.
    void DeleteAt(std::int32_t index);
    // Deletes the first entry holding RecNo; whether there was one.
    bool Delete(std::int32_t recNo);
    // Deletes RecNo when present, else appends it.
    void Flip(std::int32_t recNo);
    void Clear() noexcept;
    // Overwrites a slot in use; a value below 1 makes it a hole.
    void SetItem(std::int32_t index, std::int32_t recNo);

    // Slot indexes, -1 when there is none.
    std::int32_t Find(std::int32_t recNo) const noexcept;
    std::int32_t FindFirst() const noexcept { return FindNext(-1); }
    std::int32_t FindLast() const noexcept { return FindPrev(FSize); }
    std::int32_t FindNext(std::int32_t index) const noexcept;
    std::int32_t FindPrev(std::int32_t index) const noexcept;
    // The 0-based position of RecNo among the live entries, -1 when it is not listed.
    std::int32_t FindSequence(std::int32_t recNo) const noexcept;

    void Compress() noexcept;
    // Compresses and orders by record number.
    void Sort();
    void Shrink();
    // The live entries of Source, without its holes.
    void CopyFrom(const TTdbBookmarkList& source);
    // The live entries as consecutive little-endian 32-bit numbers; the bytes written. Raises
    // engine error 49 when the buffer cannot hold them.
    std::size_t WriteTo(std::span<std::byte> buffer) const;

    // Bit i (LSB first within each byte) stands for record number i + 1.
    void CopyFromBitArray(std::span<const std::uint8_t> bits, std::int32_t bitCount);
    // Sets the bit of every live entry that fits into BitCount bits; the others are cleared.
    void CopyToBitArray(std::span<std::uint8_t> bits, std::int32_t bitCount) const;
    // Every live entry whose bit is clear, or lies beyond BitCount, becomes a hole.
    void IntersectWithBitArray(std::span<const std::uint8_t> bits, std::int32_t bitCount);

private:
    void Reserve(std::int32_t size);
    void TrimTrailingHoles() noexcept;

    std::int32_t FCount = 0;
    std::int32_t FSize = 0;
    std::vector<std::int32_t> FData;
};

}  // namespace tdb
