// Changing the B-tree: insertion with page splits and root growth, deletion with borrowing,
// merging and root shrinking, the free-page list, and clearing.
#include <cstring>
#include <utility>

#include "base/engine_error.h"
#include "index/btree.h"
#include "storage/page_manager.h"

namespace tdb {

// ---------------------------------------------------------------------------------------------
// Pages

std::int32_t TTdbBTree::AllocatePage(TTdbStoragePageSite& site, Shape& shape) {
    if (HasFreeList()) {
        const std::int32_t head = ReadFreeHead();
        if (head != 0) {
            // A listed page that is not empty is in use: the list is damaged, and taking the
            // page would overwrite live entries.
            if (head < 2 || head > shape.pages) {
                Fault(kBTreeDamaged);
            }
            const std::byte* free = LoadSite(site, head);
            const std::int32_t next = -P0(free);
            if (LoadLE<std::uint16_t>(free + FItemCountOffset) != 0 || next < 0 ||
                next > shape.pages || next == head) {
                Fault(kBTreeDamaged);
            }
            WriteFreeHead(next);
            std::byte* page = Writable(site);
            SetP0(page, 0);
            SetCount(page, 0);
            return head;
        }
    }
    if (shape.pages >= MaxTreePages()) {
        RaiseEngineError(171, {StorageName()});
    }
    const std::int32_t pageNo = shape.pages + 1;
    try {
        site.InitPage(pageNo);
    } catch (const Exception&) {
        site.UnloadPage();
        Fault(kBTreeWriteFailed);
    }
    std::byte* page = Writable(site);
    SetP0(page, 0);
    SetCount(page, 0);
    WritePages(pageNo);
    shape.pages = pageNo;
    return pageNo;
}

void TTdbBTree::FreePage(TTdbStoragePageSite& site, std::byte* page) {
    SetCount(page, 0);
    if (HasFreeList()) {
        SetP0(page, -ReadFreeHead());
        WriteFreeHead(site.PageNo());
    } else {
        SetP0(page, 0);
    }
}

// A split that ran out of pages halfway would leave the tree torn; refuse before touching it.
void TTdbBTree::EnsureRoomToGrow(const Shape& shape) {
    std::int32_t needed = 0;
    std::int32_t level = shape.height;
    while (level >= 1 &&
           Count(Address(*FPath[static_cast<std::size_t>(level)].site)) >= FPageCapacity) {
        ++needed;
        --level;
    }
    if (needed == 0) {
        return;
    }
    if (level == 0) {
        if (shape.height >= kBTreeMaxHeight) {
            RaiseEngineError(171, {StorageName()});
        }
        ++needed;  // the old root's contents move to a page of their own
    }
    std::int64_t available = std::int64_t{MaxTreePages()} - shape.pages;
    if (available >= needed) {
        return;
    }
    if (HasFreeList()) {
        std::int32_t free = ReadFreeHead();
        while (free != 0 && available < needed) {
            if (free < 2 || free > shape.pages) {
                Fault(kBTreeDamaged);
            }
            const std::byte* page = LoadSite(*FPath[0].site, free);
            if (P0(page) > 0) {
                Fault(kBTreeDamaged);
            }
            ++available;
            free = -P0(page);
        }
    }
    if (available < needed) {
        RaiseEngineError(171, {StorageName()});
    }
}

// ---------------------------------------------------------------------------------------------
// Insert

void TTdbBTree::InsertIntoEmpty(std::span<const std::byte> key) {
    TTdbStoragePageSite& site = *FPath[1].site;
    try {
        site.InitPage(1);
    } catch (const Exception&) {
        site.UnloadPage();
        Fault(kBTreeWriteFailed);
    }
    std::byte* page = Writable(site);
    SetP0(page, 0);
    SetCount(page, 1);
    WritePtr(Item(page, 1), 0);
    std::memcpy(Item(page, 1) + FPtrSize, key.data(), static_cast<std::size_t>(FKeySize));
    WritePages(1);
    WriteFreeHead(0);
    WriteHeight(1);
}

void TTdbBTree::InsertAt(const SearchResult& at, const Shape& found) {
    Shape shape = found;
    EnsureRoomToGrow(shape);
    const std::int32_t n = FOrder;
    std::int32_t r = at.pos;
    for (std::int32_t level = at.level;; --level) {
        TTdbStoragePageSite& site = *FPath[static_cast<std::size_t>(level)].site;
        std::byte* page = Writable(site);
        const std::int32_t count = Count(page);
        if (count < FPageCapacity) {
            MoveItems(page, r + 2, page, r + 1, count - r);
            StoreItem(page, r + 1, u);
            SetCount(page, count + 1);
            return;
        }
        // Split: n items stay, n go to a new page on the right, the middle one moves up as v.
        TTdbStoragePageSite& spare = *FPath[0].site;
        const std::int32_t rightNo = AllocatePage(spare, shape);
        std::byte* right = Writable(spare);
        page = Writable(site);
        if (r > n) {
            const std::int32_t k = r - n;
            LoadItem(page, n + 1, v);
            MoveItems(right, 1, page, n + 2, k - 1);
            StoreItem(right, k, u);
            MoveItems(right, k + 1, page, n + k + 1, n - k);
        } else if (r == n) {
            std::memcpy(v.data(), u.data(), u.size());
            MoveItems(right, 1, page, n + 1, n);
        } else {
            LoadItem(page, n, v);
            MoveItems(page, r + 2, page, r + 1, n - 1 - r);
            StoreItem(page, r + 1, u);
            MoveItems(right, 1, page, n + 1, n);
        }
        SetCount(page, n);
        SetCount(right, n);
        SetP0(right, LoadLE<std::int32_t>(v.data()));
        StoreLE<std::int32_t>(v.data(), rightNo);
        u.swap(v);
        if (level == 1) {
            // The root keeps page 1: its left half moves to a page of its own under it.
            const std::int32_t movedNo = AllocatePage(spare, shape);
            std::byte* moved = Writable(spare);
            page = Writable(site);
            std::memcpy(moved, page, ItemOffset(n + 1));
            SetP0(page, movedNo);
            SetCount(page, 1);
            StoreItem(page, 1, u);
            WriteHeight(shape.height + 1);
            return;
        }
        r = FPath[static_cast<std::size_t>(level - 1)].pos;
    }
}

bool TTdbBTree::Insert(std::span<const std::byte> item) {
    RequireOpen();
    CheckItemSize(item);
    FTreeError = kBTreeOk;
    FUnique = true;
    FLastLevel = 0;
    const std::span<const std::byte> key = item.first(static_cast<std::size_t>(FKeySize));
    Shape shape{};
    SearchResult at{};
    try {
        shape = ReadShape();
        if (shape.height > 0) {
            at = Descend(key, shape);
        }
    } catch (const BTreeFault&) {
        UnloadPath();
        throw Exception(u"BTree error while searching start node for insertion");
    }
    if (shape.height == 0) {
        try {
            InsertIntoEmpty(key);
        } catch (const BTreeFault&) {
            UnloadPath();
            throw Exception(u"BTree error while inserting item in root page");
        }
        return true;
    }
    if (at.exact) {
        return false;
    }
    StoreLE<std::int32_t>(u.data(), 0);
    std::memcpy(u.data() + 4, key.data(), key.size());
    try {
        InsertAt(at, shape);
    } catch (const BTreeFault&) {
        UnloadPath();
        RaiseEngineError(90);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Delete

void TTdbBTree::Rebalance(std::int32_t level, Shape& shape) {
    const std::int32_t n = FOrder;
    while (level > 1) {
        TTdbStoragePageSite& site = *FPath[static_cast<std::size_t>(level)].site;
        if (Count(Address(site)) >= n) {
            return;
        }
        const std::int32_t parentLevel = level - 1;
        TTdbStoragePageSite& parentSite = *FPath[static_cast<std::size_t>(parentLevel)].site;
        const std::byte* parentView = Address(parentSite);
        const std::int32_t parentCount = Count(parentView);
        const std::int32_t k = FPath[static_cast<std::size_t>(parentLevel)].pos;
        // The right sibling for the leftmost child, else the left one.
        const bool siblingRight = k == 0;
        const std::int32_t separator = siblingRight ? 1 : k;
        if (separator > parentCount) {
            Fault(kBTreeDamaged);
        }
        const std::int32_t siblingNo =
            CheckedChild(parentView, siblingRight ? 1 : k - 1, shape.pages);
        if (OnPath(siblingNo, level)) {
            Fault(kBTreeDamaged);
        }
        TTdbStoragePageSite& spare = *FPath[0].site;
        LoadSite(spare, siblingNo);
        TTdbStoragePageSite& leftSite = siblingRight ? site : spare;
        TTdbStoragePageSite& rightSite = siblingRight ? spare : site;
        std::byte* left = Writable(leftSite);
        std::byte* right = Writable(rightSite);
        std::byte* parent = Writable(parentSite);
        const std::int32_t leftCount = Count(left);
        const std::int32_t rightCount = Count(right);
        const auto separatorEntry = [&]() { return Item(parent, separator) + FPtrSize; };
        const auto key = static_cast<std::size_t>(FKeySize);

        if (leftCount + rightCount < FPageCapacity) {
            // Merge: the separator comes down between the two, the right page is freed.
            WritePtr(Item(left, leftCount + 1), P0(right));
            std::memcpy(Item(left, leftCount + 1) + FPtrSize, separatorEntry(), key);
            MoveItems(left, leftCount + 2, right, 1, rightCount);
            const std::int32_t merged = leftCount + 1 + rightCount;
            SetCount(left, merged);
            FreePage(rightSite, right);
            MoveItems(parent, separator, parent, separator + 1, parentCount - separator);
            SetCount(parent, parentCount - 1);
            if (parentLevel == 1 && parentCount == 1) {
                // The root is empty: its only child takes over page 1.
                std::memcpy(parent, left, ItemOffset(merged + 1));
                FreePage(leftSite, left);
                --shape.height;
                WriteHeight(shape.height);
                return;
            }
            level = parentLevel;
            continue;
        }
        // Borrow one item through the parent.
        if (siblingRight) {
            WritePtr(Item(left, leftCount + 1), P0(right));
            std::memcpy(Item(left, leftCount + 1) + FPtrSize, separatorEntry(), key);
            SetCount(left, leftCount + 1);
            std::memcpy(separatorEntry(), Item(right, 1) + FPtrSize, key);
            SetP0(right, ReadPtr(Item(right, 1)));
            MoveItems(right, 1, right, 2, rightCount - 1);
            SetCount(right, rightCount - 1);
        } else {
            MoveItems(right, 2, right, 1, rightCount);
            WritePtr(Item(right, 1), P0(right));
            std::memcpy(Item(right, 1) + FPtrSize, separatorEntry(), key);
            SetCount(right, rightCount + 1);
            std::memcpy(separatorEntry(), Item(left, leftCount) + FPtrSize, key);
            SetP0(right, ReadPtr(Item(left, leftCount)));
            SetCount(left, leftCount - 1);
        }
        return;
    }
}

bool TTdbBTree::DoDelete(std::span<const std::byte> key) {
    FLastLevel = 0;
    Shape shape = ReadShape();
    if (shape.height == 0) {
        return false;
    }
    const SearchResult at = Descend(key, shape);
    if (!at.exact) {
        return false;
    }
    std::int32_t position = at.pos;
    if (at.level < shape.height) {
        // An inner item gives way to its successor, the first entry of the leftmost leaf under
        // it, which then leaves that leaf instead.
        const std::byte* inner = Address(*FPath[static_cast<std::size_t>(at.level)].site);
        const std::int32_t child = CheckedChild(inner, at.pos, shape.pages);
        const std::byte* leaf = DescendEdge(at.level + 1, child, shape, false);
        std::byte* target = Writable(*FPath[static_cast<std::size_t>(at.level)].site);
        std::memcpy(Item(target, at.pos) + FPtrSize, Item(leaf, 1) + FPtrSize,
                    static_cast<std::size_t>(FKeySize));
        position = 1;
    }
    std::byte* leaf = Writable(*FPath[static_cast<std::size_t>(shape.height)].site);
    const std::int32_t count = Count(leaf);
    MoveItems(leaf, position, leaf, position + 1, count - position);
    SetCount(leaf, count - 1);
    Rebalance(shape.height, shape);
    return true;
}

bool TTdbBTree::Delete(std::span<const std::byte> item) {
    RequireOpen();
    CheckItemSize(item);
    FTreeError = kBTreeOk;
    FUnique = true;
    try {
        return DoDelete(item.first(static_cast<std::size_t>(FKeySize)));
    } catch (const BTreeFault&) {
        UnloadPath();
        RaiseEngineError(5, {StorageName()});
    }
}

void TTdbBTree::Clear() {
    RequireOpen();
    FTreeError = kBTreeOk;
    UnloadPath();
    try {
        WritePages(0);
        WriteHeight(0);
        WriteFreeHead(0);
    } catch (const BTreeFault&) {
        RaiseEngineError(90);
    }
}

}  // namespace tdb
