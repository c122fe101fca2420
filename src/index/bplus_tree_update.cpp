// Changing the B+ tree: inserting with page splits and root growth, deleting with merges of
// thin pages and root removal, freeing pages, and clearing.
#include <algorithm>
#include <cstring>
#include <limits>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "index/bplus_tree.h"
#include "platform/text.h"
#include "storage/page_manager.h"

namespace tdb {

namespace {


// Below these fills (integer percent) a page is merged with a neighbour when the two fit.
constexpr std::int32_t kLeafMergeFill = 30;
constexpr std::int32_t kInnerMergeFill = 50;

// The items of a full page with the pending one in its place, addressed as one sequence.
struct PendingSequence {
    const TTdbBPlusPage& page;
    std::span<const std::byte> key;
    std::int32_t child;
    std::int32_t pos;

    std::int32_t Size() const noexcept { return page.Count() + 1; }
    std::span<const std::byte> Key(std::int32_t v) const noexcept {
        return v < pos ? page.Key(v) : v == pos ? key : page.Key(v - 1);
    }
    // The child behind key V on an inner page.
    std::int32_t Child(std::int32_t v) const noexcept {
        return v < pos ? page.Child(v + 1) : v == pos ? child : page.Child(v);
    }
    std::int32_t Cost(std::int32_t v) const noexcept {
        return page.ItemCost(static_cast<std::int32_t>(Key(v).size()));
    }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Pages

std::int32_t TTdbBPlusTree::AllocatePage() {
    const std::int32_t pageNo = ReadHeader().pageCount;
    if (pageNo >= std::numeric_limits<std::int32_t>::max() - 1) {
        RaiseEngineError(kTdbErrCapacity, {StorageName()});
    }
    SetPageCountField(pageNo + 1);
    return pageNo;
}

void TTdbBPlusTree::FreePage(std::int32_t pageNo) {
    // Nothing may keep the page pinned: the file may be cut below it.
    for (Level& level : FPages) {
        if (level.site->PageNo() == pageNo) {
            level.site->UnloadPage();
        }
    }
    FWorkPageSite->UnloadPage();
    FLinkPageSite->UnloadPage();
    const std::int32_t pageCount = ReadHeader().pageCount;
    if (pageNo == pageCount - 1) {
        SetPageCountField(pageCount - 1);
        FStorage.SetPageCount(pageCount - 1);
        return;
    }
    try {
        FWorkPageSite->LoadPage(pageNo);
        FWorkPageSite->Modify();
    } catch (const Exception&) {
        FWorkPageSite->UnloadPage();
        Damaged();
    }
    TTdbBPlusPage page = View(*FWorkPageSite, true);
    page.Initialize();
    StoreLE<std::int32_t>(page.Data(), GetFirstFreePage());
    FWorkPageSite->UnloadPage();
    SetFreeHead(pageNo);
}

void TTdbBPlusTree::LinkBack(std::int32_t nextNo, std::int32_t pageNo, const Header& header) {
    if (nextNo == 0) {
        return;
    }
    TTdbBPlusPage next = LoadInto(*FLinkPageSite, nextNo, true, header);
    FLinkPageSite->Modify();
    next.SetPrevLeaf(pageNo);
    FLinkPageSite->UnloadPage();
}

// ---------------------------------------------------------------------------------------------
// Insert

void TTdbBPlusTree::GrowRoot(const Header& header) {
    if (header.height >= kMaxHeight) {
        RaiseEngineError(kTdbErrCapacity, {StorageName()});
    }
    const std::int32_t rootNo = AllocatePage();
    FPages.insert(FPages.begin(), Level{FStorage.CreatePageSite(), 0, -1});
    TTdbStoragePageSite& site = *FPages.front().site;
    site.InitPage(rootNo);
    TTdbBPlusPage root = WritableView(site, false);
    root.Initialize();
    root.SetChild(0, header.root);
    MarkChecked(0, false);
    WriteHeight(header.height + 1);
    WriteRoot(rootNo);
}

void TTdbBPlusTree::Split(std::int32_t& level, std::span<const std::byte>& key,
                          std::int32_t& child, std::int32_t& pos) {
    if (level == 0) {
        GrowRoot(ReadHeader());
        level = 1;
    }
    const Header header = ReadHeader();
    const bool leaf = level == header.height - 1;
    TTdbStoragePageSite& site = *FPages[static_cast<std::size_t>(level)].site;
    const TTdbBPlusPage page = View(site, leaf);
    const PendingSequence items{page, key, child, pos};
    const std::int32_t count = items.Size();
    std::int32_t total = 0;
    for (std::int32_t v = 0; v < count; ++v) {
        total += items.Cost(v);
    }

    // Items are parted by what they cost, the pending one included, so that each half stays
    // within a page: no item costs more than a third of one. A leaf keeps items 0 ... cut - 1
    // and passes on the rest, whose first item becomes the separator; an inner page passes
    // item cut up and keeps those on either side of it.
    std::int32_t cut = 0;
    std::int32_t leftCost = 0;
    std::int32_t rightCost = 0;
    if (pos == count - 1) {
        // An item behind all others of a full page is most often one of a rising run (record
        // numbers as records are added): the page keeps what it has and the new one starts
        // the next, so that such runs fill their pages instead of leaving them half empty. An
        // inner page passes its own last key up instead of the new one, which starts the new
        // page: an inner page without a key would leave readers nothing to take from it.
        // (A full page holds at least three items, none of them costing a third of a page.)
        cut = leaf ? count - 1 : count - 2;
        rightCost = items.Cost(count - 1);
        leftCost = total - rightCost - (leaf ? 0 : items.Cost(cut));
    } else {
        std::int32_t before = 0;
        while (cut < count - 1 && 2 * (before + items.Cost(cut)) < total) {
            before += items.Cost(cut);
            ++cut;
        }
        leftCost = before;
        rightCost = total - before - (leaf ? 0 : items.Cost(cut));
        if (leaf) {
            // Cut before or behind item Cut, whichever parts more evenly, with items on both
            // sides.
            const std::int32_t behind = before + items.Cost(cut);
            if (cut == 0 || (cut < count - 1 && std::max(behind, total - behind) <
                                                    std::max(before, total - before))) {
                ++cut;
                leftCost = behind;
            }
            rightCost = total - leftCost;
        }
    }
    if (cut < 1 || leftCost > page.Capacity() || rightCost > page.Capacity()) {
        Damaged();  // only items larger than the tree takes can get here
    }

    std::vector<std::byte>& separator = FSeparators[FSeparatorNext];
    FSeparatorNext ^= 1;
    const std::span<const std::byte> separatorKey = items.Key(cut);
    separator.assign(separatorKey.begin(), separatorKey.end());

    const std::int32_t rightNo = AllocatePage();
    const std::int32_t pageNo = site.PageNo();
    TTdbStoragePageSite& work = *FWorkPageSite;
    work.InitPage(rightNo);
    TTdbBPlusPage right = WritableView(work, leaf);
    right.Initialize();
    TTdbBPlusPage left(FScratch.data(), FPageSize, leaf);
    left.Initialize();
    std::memcpy(left.Data(), page.Data(), static_cast<std::size_t>(page.ItemOffset()));
    if (leaf) {
        for (std::int32_t v = 0; v < cut; ++v) {
            left.AppendItem(items.Key(v), 0);
        }
        for (std::int32_t v = cut; v < count; ++v) {
            right.AppendItem(items.Key(v), 0);
        }
        const std::int32_t nextNo = page.NextLeaf();
        right.SetPrevLeaf(pageNo);
        right.SetNextLeaf(nextNo);
        left.SetNextLeaf(rightNo);
        LinkBack(nextNo, rightNo, header);
    } else {
        for (std::int32_t v = 0; v < cut; ++v) {
            left.AppendItem(items.Key(v), items.Child(v));
        }
        right.SetChild(0, items.Child(cut));
        for (std::int32_t v = cut + 1; v < count; ++v) {
            right.AppendItem(items.Key(v), items.Child(v));
        }
    }
    work.UnloadPage();
    site.Modify();
    std::memcpy(page.Data(), FScratch.data(), FScratch.size());

    // The separator goes into the parent right behind the child that leads here.
    level -= 1;
    key = separator;
    child = rightNo;
    pos = FPages[static_cast<std::size_t>(level)].pos;
}

void TTdbBPlusTree::InsertIntoLevel(std::int32_t level, std::span<const std::byte> key,
                                    std::int32_t child, std::int32_t pos) {
    for (;;) {
        const bool leaf = level == ReadHeader().height - 1;
        TTdbStoragePageSite& site = *FPages[static_cast<std::size_t>(level)].site;
        if (View(site, leaf).CanInsert(static_cast<std::int32_t>(key.size()))) {
            WritableView(site, leaf).InsertItem(pos, key, child);
            return;
        }
        Split(level, key, child, pos);
    }
}

bool TTdbBPlusTree::DoInsert(std::span<const std::byte> item) {
    const Header header = BeginOperation();
    if (header.height == 0) {
        const std::int32_t pageNo = AllocatePage();
        TTdbStoragePageSite& site = *LevelAt(0).site;
        site.InitPage(pageNo);
        TTdbBPlusPage leaf = WritableView(site, true);
        leaf.Initialize();
        leaf.InsertItem(0, item, 0);
        MarkChecked(0, true);
        WriteHeight(1);
        WriteRoot(pageNo);
        return true;
    }
    const std::int32_t a = Descend(item, false, header);
    if (FRejectEqual) {
        if (a > 0 ? !IsLess(LevelPage(header.height - 1, header).Item(a - 1), item)
                  : PredecessorEquals(item, header)) {
            return false;
        }
    }
    InsertIntoLevel(header.height - 1, item, 0, a);
    return true;
}

bool TTdbBPlusTree::Insert(std::span<const std::byte> item) {
    RequireOpen();
    if (item.empty()) {
        RaiseEngineError(kTdbErrInvalidParameter, {u"Item: 0 bytes"});
    }
    if (item.size() > static_cast<std::size_t>(MaxItemSize())) {
        RaiseEngineError(kTdbErrIndexDataTooLarge,
                         {NumberText(static_cast<std::int64_t>(item.size())) +
                          u" bytes, the pages of " + QuotedText(StorageName()) + u" take " +
                          NumberText(MaxItemSize())});
    }
    FResumable = false;
    try {
        if (!DoInsert(item)) {
            return false;
        }
        AddToItemCount(1);
        return true;
    } catch (const Fault&) {
        UnloadLevels();
        RaiseEngineError(kTdbErrIndexWrite);
    }
}

// ---------------------------------------------------------------------------------------------
// Delete

std::int32_t TTdbBPlusTree::PositionInParent(std::int32_t level, const Header& header) {
    const TTdbBPlusPage parent = LevelPage(level - 1, header);
    const std::int32_t pageNo = FPages[static_cast<std::size_t>(level)].site->PageNo();
    const std::int32_t pos = FPages[static_cast<std::size_t>(level) - 1].pos;
    if (pos >= 0 && pos <= parent.Count() && parent.Child(pos) == pageNo) {
        return pos;
    }
    for (std::int32_t i = 0; i <= parent.Count(); ++i) {
        if (parent.Child(i) == pageNo) {
            return i;
        }
    }
    Damaged();
}

bool TTdbBPlusTree::Merge(std::int32_t level, std::int32_t j) {
    const Header header = ReadHeader();
    const bool leaf = level == header.height - 1;
    const TTdbBPlusPage parent = LevelPage(level - 1, header);
    const std::int32_t leftNo = CheckedChild(parent, j, header);
    const std::int32_t rightNo = CheckedChild(parent, j + 1, header);
    if (leftNo == rightNo) {
        Damaged();
    }
    // A sibling that is a page above on the path is a cycle: freeing it would pull the path
    // out from under the merge.
    for (std::int32_t above = 0; above < level; ++above) {
        if (FPages[static_cast<std::size_t>(above)].site->PageNo() == rightNo) {
            Damaged();
        }
    }
    const TTdbBPlusPage left = LoadLevel(level, leftNo, header);
    const TTdbBPlusPage right = LoadInto(*FWorkPageSite, rightNo, leaf, header);
    const std::span<const std::byte> separator = parent.Key(j);
    if (!left.CanMerge(static_cast<std::int32_t>(separator.size()), right)) {
        FWorkPageSite->UnloadPage();
        return false;
    }
    TTdbBPlusPage merged = WritableView(*FPages[static_cast<std::size_t>(level)].site, leaf);
    if (!leaf) {
        merged.AppendItem(separator, right.Child(0));
    }
    merged.AppendFrom(right);
    if (leaf) {
        // The leaf after the absorbed one now follows this one, in both directions.
        const std::int32_t nextNo = right.NextLeaf();
        merged.SetNextLeaf(nextNo);
        LinkBack(nextNo, leftNo, header);
    }
    FWorkPageSite->UnloadPage();
    FreePage(rightNo);
    TTdbBPlusPage parentPage = WritableView(*FPages[static_cast<std::size_t>(level) - 1].site, false);
    parentPage.DeleteItem(j);
    FPages[static_cast<std::size_t>(level) - 1].pos = j;
    if (parentPage.Fill() < kInnerMergeFill) {
        Rebalance(level - 1);
    }
    return true;
}

void TTdbBPlusTree::Borrow(std::int32_t level, std::int32_t i) {
    const Header header = ReadHeader();
    const TTdbBPlusPage parent = LevelPage(level - 1, header);
    const bool fromRight = i < parent.Count();
    const std::int32_t j = fromRight ? i : i - 1;  // the parent's key between the two
    const std::int32_t pageNo = FPages[static_cast<std::size_t>(level)].site->PageNo();
    const std::int32_t siblingNo = CheckedChild(parent, fromRight ? i + 1 : i - 1, header);
    if (siblingNo == pageNo) {
        Damaged();
    }
    for (std::int32_t above = 0; above < level; ++above) {
        if (FPages[static_cast<std::size_t>(above)].site->PageNo() == siblingNo) {
            Damaged();
        }
    }
    const std::int32_t n = LoadInto(*FWorkPageSite, siblingNo, false, header).Count();
    if (n < 2) {
        FWorkPageSite->UnloadPage();  // nothing to spare (only in a damaged tree)
        return;
    }
    TTdbBPlusPage sibling = WritableView(*FWorkPageSite, false);
    TTdbBPlusPage page = WritableView(*FPages[static_cast<std::size_t>(level)].site, false);
    const std::span<const std::byte> separator = parent.Key(j);
    if (fromRight) {
        page.AppendItem(separator, sibling.Child(0));
        const std::span<const std::byte> first = sibling.Key(0);
        FLifted.assign(first.begin(), first.end());
        const std::int32_t second = sibling.Child(1);
        sibling.DeleteItem(0);
        sibling.SetChild(0, second);
    } else {
        page.InsertItem(0, separator, page.Child(0));
        page.SetChild(0, sibling.Child(n));
        const std::span<const std::byte> last = sibling.Key(n - 1);
        FLifted.assign(last.begin(), last.end());
        sibling.DeleteItem(n - 1);
    }
    FWorkPageSite->UnloadPage();
    // The lifted key takes the separator's place; it may be longer than the parent has room
    // for, and then the parent splits as on an insert.
    const std::int32_t child = parent.Child(j + 1);
    if (level > 1) {
        // A split of the parent files its new sibling behind it in the grandparent.
        FPages[static_cast<std::size_t>(level) - 2].pos = PositionInParent(level - 1, header);
    }
    WritableView(*FPages[static_cast<std::size_t>(level) - 1].site, false).DeleteItem(j);
    InsertIntoLevel(level - 1, FLifted, child, j);
}

void TTdbBPlusTree::Rebalance(std::int32_t level) {
    const Header header = ReadHeader();
    if (level > 0) {
        const std::int32_t pageNo = FPages[static_cast<std::size_t>(level)].site->PageNo();
        const std::int32_t i = PositionInParent(level, header);
        const std::int32_t keys = LevelPage(level - 1, header).Count();
        if ((i < keys && Merge(level, i)) || (i > 0 && Merge(level, i - 1))) {
            return;
        }
        // A thin page stays as it is, but not an inner page without a key: readers take an
        // item from every page they reach. (A leaf without items always fits its neighbour.)
        const bool leaf = level == header.height - 1;
        if (!leaf && keys > 0 && LoadLevel(level, pageNo, header).Count() == 0) {
            Borrow(level, i);
        }
        return;
    }
    // Only a root without items goes: the tree becomes empty, or its only child the root.
    const bool leaf = header.height == 1;
    const TTdbBPlusPage root = LevelPage(0, header);
    if (root.Count() > 0) {
        return;
    }
    const std::int32_t newRoot = leaf ? 0 : CheckedChild(root, 0, header);
    FPages.erase(FPages.begin());
    FreePage(header.root);
    WriteHeight(header.height - 1);
    WriteRoot(newRoot);
    if (!FPages.empty() && FPages.front().site->PageNo() != newRoot) {
        FPages.front().site->UnloadPage();
    }
}

bool TTdbBPlusTree::DoDelete(std::span<const std::byte> item) {
    const Header header = BeginOperation();
    if (header.height == 0 || !LocateEqual(item, header)) {
        return false;
    }
    const std::int32_t leafLevel = header.height - 1;
    TTdbBPlusPage leaf = WritableView(*FPages.back().site, true);
    leaf.DeleteItem(FPages.back().pos);
    AddToItemCount(-1);
    if (leaf.Fill() < kLeafMergeFill) {
        Rebalance(leafLevel);
    }
    return true;
}

bool TTdbBPlusTree::Delete(std::span<const std::byte> item) {
    RequireOpen();
    FResumable = false;
    try {
        return DoDelete(item);
    } catch (const Fault&) {
        UnloadLevels();
        RaiseEngineError(kTdbErrIndexWrite);
    }
}

void TTdbBPlusTree::Clear() {
    RequireOpen();
    UnloadLevels();
    FPages.clear();
    try {
        ResetHeader();
    } catch (const Fault&) {
        RaiseEngineError(kTdbErrIndexWrite);
    }
    FStorage.SetPageCount(1);
}

}  // namespace tdb
