// One slotted page of the B+ tree, seen in place in its pinned buffer. Items lie back to back
// behind a page header; the page ends in a table of 16-bit item end offsets growing downwards
// and the 16-bit item count. Inner items are a separator key and the page number of the child
// that follows it (child 0 sits in the page header); leaf items are whole items, and leaves are
// chained by their previous and next page numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "base/byte_image.h"

namespace tdb {

class TTdbBPlusPage {
public:
    static constexpr std::int32_t kInnerItemOffset = 4;
    static constexpr std::int32_t kLeafItemOffset = 8;
    static constexpr std::int32_t kChildSize = 4;
    static constexpr std::int32_t kSlotSize = 2;

    TTdbBPlusPage() = default;
    TTdbBPlusPage(std::byte* data, std::int32_t pageSize, bool leaf) noexcept
        : FData(data), FPageSize(pageSize), FLeaf(leaf) {}

    bool IsLeaf() const noexcept { return FLeaf; }
    std::int32_t PageSize() const noexcept { return FPageSize; }
    std::int32_t ItemOffset() const noexcept { return FLeaf ? kLeafItemOffset : kInnerItemOffset; }
    // What an item of a key of that size costs on this page: its bytes and its slot.
    std::int32_t ItemCost(std::int32_t keySize) const noexcept {
        return keySize + (FLeaf ? 0 : kChildSize) + kSlotSize;
    }
    // Room for items and their slots on an empty page.
    std::int32_t Capacity() const noexcept { return FPageSize - ItemOffset() - kSlotSize; }

    std::int32_t Count() const noexcept { return LoadLE<std::uint16_t>(FData + FPageSize - 2); }
    // Where item K starts; Start(Count()) is the end of the used item bytes.
    std::int32_t Start(std::int32_t k) const noexcept {
        return k == 0 ? ItemOffset() : LoadLE<std::uint16_t>(FData + FPageSize - 2 - 2 * k);
    }
    std::int32_t End() const noexcept { return Start(Count()); }
    std::int32_t UsedBytes() const noexcept { return End() + 2 * Count() + kSlotSize; }
    std::int32_t FreeBytes() const noexcept { return FPageSize - UsedBytes(); }
    // Integer percent of the page in use.
    std::int32_t Fill() const noexcept {
        return static_cast<std::int32_t>(std::int64_t{UsedBytes()} * 100 / FPageSize);
    }

    std::span<const std::byte> Item(std::int32_t k) const noexcept {
        const std::int32_t start = Start(k);
        return {FData + start, static_cast<std::size_t>(Start(k + 1) - start)};
    }
    // The key part of item K: the whole item on a leaf, the item without its child on an inner
    // page.
    std::span<const std::byte> Key(std::int32_t k) const noexcept {
        const std::span<const std::byte> item = Item(k);
        return FLeaf ? item : item.first(item.size() - kChildSize);
    }
    std::int32_t KeySize(std::int32_t k) const noexcept {
        return static_cast<std::int32_t>(Key(k).size());
    }

    // Inner pages: child I (0 ... Count()) is the page of the items from key I - 1 on.
    std::int32_t Child(std::int32_t i) const noexcept {
        return LoadLE<std::int32_t>(FData + (i == 0 ? 0 : Start(i) - kChildSize));
    }
    void SetChild(std::int32_t i, std::int32_t pageNo) noexcept {
        StoreLE<std::int32_t>(FData + (i == 0 ? 0 : Start(i) - kChildSize), pageNo);
    }

    // Leaves: the neighbours in key order (0: none).
    std::int32_t PrevLeaf() const noexcept { return LoadLE<std::int32_t>(FData); }
    std::int32_t NextLeaf() const noexcept { return LoadLE<std::int32_t>(FData + 4); }
    void SetPrevLeaf(std::int32_t pageNo) noexcept { StoreLE<std::int32_t>(FData, pageNo); }
    void SetNextLeaf(std::int32_t pageNo) noexcept { StoreLE<std::int32_t>(FData + 4, pageNo); }

    // An empty page; a leaf without neighbours, an inner page with child 0 unset.
    void Initialize() noexcept {
        SetCount(0);
        std::memset(FData, 0, static_cast<std::size_t>(ItemOffset()));
    }

    bool CanInsert(std::int32_t keySize) const noexcept {
        return FreeBytes() >= ItemCost(keySize);
    }

    // Item K moves up to make room for Key (with Child behind it on an inner page).
    void InsertItem(std::int32_t k, std::span<const std::byte> key, std::int32_t child) noexcept {
        const std::int32_t n = Count();
        const auto size = static_cast<std::int32_t>(key.size()) + (FLeaf ? 0 : kChildSize);
        const std::int32_t start = Start(k);
        std::memmove(FData + start + size, FData + start, static_cast<std::size_t>(End() - start));
        for (std::int32_t slot = n; slot >= k + 1; --slot) {
            SetSlot(slot + 1, Start(slot) + size);
        }
        SetSlot(k + 1, start + size);
        SetCount(n + 1);
        std::memcpy(FData + start, key.data(), key.size());
        if (!FLeaf) {
            StoreLE<std::int32_t>(FData + start + size - kChildSize, child);
        }
    }

    // Removes item K: on an inner page its key and the child behind it.
    void DeleteItem(std::int32_t k) noexcept {
        const std::int32_t n = Count();
        const std::int32_t start = Start(k);
        const std::int32_t end = Start(k + 1);
        const std::int32_t size = end - start;
        std::memmove(FData + start, FData + end, static_cast<std::size_t>(End() - end));
        for (std::int32_t slot = k + 1; slot < n; ++slot) {
            SetSlot(slot, Start(slot + 1) - size);
        }
        SetCount(n - 1);
    }

    // Appends an item behind the last one; the caller has made sure it fits.
    void AppendItem(std::span<const std::byte> key, std::int32_t child) noexcept {
        InsertItem(Count(), key, child);
    }

    // Whether this page and its right neighbour fit into one page; an inner page also takes the
    // parent's separator of the two (key and child pointer) between them.
    bool CanMerge(std::int32_t parentKeySize, const TTdbBPlusPage& right) const noexcept {
        const std::int64_t items = std::int64_t{End()} + right.End() - right.ItemOffset();
        const std::int64_t slots = 2 * (std::int64_t{Count()} + right.Count()) + kSlotSize;
        if (FLeaf) {
            return FPageSize >= items + slots;
        }
        return FPageSize >= items + slots + parentKeySize + kChildSize + kSlotSize;
    }

    // Appends all items of the right neighbour (of the same kind) behind this page's items.
    void AppendFrom(const TTdbBPlusPage& right) noexcept {
        const std::int32_t n = Count();
        const std::int32_t m = right.Count();
        const std::int32_t end = End();
        const std::int32_t shift = end - right.ItemOffset();
        std::memcpy(FData + end, right.FData + right.ItemOffset(),
                    static_cast<std::size_t>(right.End() - right.ItemOffset()));
        for (std::int32_t k = 1; k <= m; ++k) {
            SetSlot(n + k, right.Start(k) + shift);
        }
        SetCount(n + m);
    }

    // Whether the frame can be trusted: the count and slot table inside the page, item offsets
    // ascending from the first item offset to the slot table, no item larger than MaxItemSize
    // (plus the child on an inner page), and room on inner items for their child.
    bool IsSound(std::int32_t maxItemSize) const noexcept {
        const std::int32_t n = Count();
        if (ItemOffset() + std::int64_t{2} * n + kSlotSize > FPageSize) {
            return false;
        }
        // Every page a search reaches passes through here, so the loop is kept to one test
        // per item: ascending ends bound the items, and the last end bounds them all.
        const std::int32_t smallest = FLeaf ? 1 : kChildSize + 1;
        const auto spread =
            static_cast<std::uint32_t>(maxItemSize + (FLeaf ? 0 : kChildSize) - smallest);
        std::int32_t previous = ItemOffset();
        for (std::int32_t k = 1; k <= n; ++k) {
            const std::int32_t end = Start(k);
            if (static_cast<std::uint32_t>(end - previous - smallest) > spread) {
                return false;
            }
            previous = end;
        }
        return previous <= FPageSize - kSlotSize - 2 * n;
    }

    std::byte* Data() const noexcept { return FData; }

private:
    void SetCount(std::int32_t n) noexcept {
        StoreLE<std::uint16_t>(FData + FPageSize - 2, static_cast<std::uint16_t>(n));
    }
    void SetSlot(std::int32_t k, std::int32_t end) noexcept {
        StoreLE<std::uint16_t>(FData + FPageSize - 2 - 2 * k, static_cast<std::uint16_t>(end));
    }

    std::byte* FData = nullptr;
    std::int32_t FPageSize = 0;
    bool FLeaf = true;
};

}  // namespace tdb
