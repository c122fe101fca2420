// The B+ tree of variable-size items: every item lives in a leaf, leaves are chained in key
// order, and inner pages hold copies of separating items with the page numbers of their
// children. Pages are slotted (see bplus_page.h). The header on page 0 at the owner's offset is
// read and written in place, never cached, so that every tree over the same file sees the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "index/bplus_page.h"
#include "index/tree_base.h"

namespace tdb {

class TTdbStoragePageSite;

class TTdbBPlusTree final : public TTdbTreeBase {
public:
    static constexpr std::int32_t kHeaderSize = 22;
    // Offsets inside a page are 16-bit.
    static constexpr std::int32_t kMaxPageSize = 65536;
    static constexpr std::int32_t kMinPageSize = 256;
    static constexpr std::int32_t kMaxHeight = 48;

    // Offset: where the tree header starts on page 0. The storage is borrowed and must outlive
    // the tree.
    TTdbBPlusTree(TTdbClientStorage& storage, std::int32_t offset, TTdbTreeLess less);
    // A tree with Source's offset, comparison and handling of equal items on another storage.
    TTdbBPlusTree(const TTdbBPlusTree& source, TTdbClientStorage& storage);
    ~TTdbBPlusTree() override;

    // The largest item a tree of that page size takes: three of them, with their slots, fit
    // into any page, so a split always leaves the pending item room on its side.
    static std::int32_t MaxItemSizeFor(std::int32_t pageSize) noexcept;
    std::int32_t MaxItemSize() const noexcept { return MaxItemSizeFor(FPageSize); }

    // Equal items are kept side by side by default, each behind those already there. Index
    // entries carry their record number, so an equal entry is the same entry added twice: with
    // RejectEqual, Insert refuses it and answers false.
    void SetRejectEqual(bool reject) noexcept { FRejectEqual = reject; }
    bool RejectEqual() const noexcept { return FRejectEqual; }

    // The size of the item the last successful search copied out.
    std::int32_t LastItemSize() const noexcept { return FLastItemSize; }

    // Header fields, for the owner and for tests; 0 while closed.
    std::int32_t GetPageCount();
    std::int32_t GetRootPage();
    std::int32_t GetFirstFreePage();

    // TTdbTreeBase
    std::int16_t GetVersion() const override { return 6; }
    std::int32_t GetHeight() override;
    std::int32_t GetItemCount() override;
    std::int32_t GetOffset() const override { return FOffset; }
    std::int32_t GetHeaderSize() const override { return kHeaderSize; }
    std::int32_t GetSize() const override { return 0; }
    std::int32_t GetPageSize() override { return FPageSize; }
    std::int32_t CalcPageSize(std::int16_t version, std::int32_t maxKeySize,
                              std::int64_t capacity) const override;
    std::int64_t CalcCapacity() const override { return 2147483647; }
    std::unique_ptr<TTdbTreeBase> Clone(TTdbClientStorage& storage) const override;
    // Page sizes above kMaxPageSize are capped to it.
    void New(std::int32_t pageSize, const TTdbSortDef* compareParam) override;
    void Open(const TTdbSortDef* compareParam) override;
    void Preload() override;
    void Flush() override;
    void PrepareFlush() override;
    void Undo() override;
    void Update(std::int64_t changeCount = -1) override;
    void UpdateDir() override;
    void Close() override;
    bool IsOpen() const override;
    // Also follows the leaf chain: a chain that disagrees with the tree is damage (error 95), as
    // is a walk that meets another number of items than the header counts, an inner page
    // without a key or a leaf without an item that is not the root.
    // A separator out of order, with its neighbours or with the items under it, counts as a
    // wrong sort like an item out of order.
    void Check(std::int32_t& itemCount, std::int32_t& wrongSortCount) override;
    int FindFirst(std::span<std::byte> item) override;
    int FindLast(std::span<std::byte> item) override;
    // The first item that sorts after Item, which must be in the tree.
    int FindNext(std::span<const std::byte> item, std::span<std::byte> succItem) override;
    // The last item that sorts before Item, which must be in the tree.
    int FindPrev(std::span<const std::byte> item, std::span<std::byte> prevItem) override;
    int Find(std::span<const std::byte> item, std::span<std::byte> foundItem) override;
    // Exact; 0 when Item is not in the tree.
    std::int32_t CalcItemSequenceNo(std::span<const std::byte> item) override;
    bool Insert(std::span<const std::byte> item) override;
    bool Delete(std::span<const std::byte> item) override;
    void Clear() override;

private:
    // Raised inside the tree on a page or header that makes no sense; every public operation
    // turns it into its engine error.
    struct Fault {};

    // The page object of one level of the current path: index 0 is the root, the last level
    // holds the leaf. Pos is the child taken on an inner page, the item on the leaf.
    struct Level {
        std::unique_ptr<TTdbStoragePageSite> site;
        std::int32_t pos = 0;
        std::int8_t kind = -1;  // what the page was checked as: -1 not yet, 0 inner, 1 leaf
    };

    struct Header {
        std::int32_t pageCount;
        std::int32_t height;
        std::int32_t root;
    };

    void RequireOpen() const;
    std::u16string StorageName() const;
    [[noreturn]] static void Damaged() { throw Fault{}; }

    // Page 0, read and written in place.
    std::byte* HeaderBytes();
    std::byte* WritableHeader();
    Header ReadHeader();
    void WriteHeaderField(std::int32_t field, std::int32_t value);
    void WriteHeight(std::int32_t height);
    void WriteRoot(std::int32_t root);
    void SetPageCountField(std::int32_t pageCount);
    void SetFreeHead(std::int32_t pageNo);
    void AddToItemCount(std::int32_t delta);
    // An empty tree of no pages but page 0.
    void ResetHeader();
    // A header field as it stands, unchecked; 0 while closed.
    std::int32_t ReadField(std::int32_t field);

    // Pages.
    TTdbBPlusPage View(TTdbStoragePageSite& site, bool leaf);
    TTdbBPlusPage WritableView(TTdbStoragePageSite& site, bool leaf);
    TTdbBPlusPage LoadInto(TTdbStoragePageSite& site, std::int32_t pageNo, bool leaf,
                           const Header& header);
    Level& LevelAt(std::int32_t level);
    // Reads the header at the start of an operation and drops page objects of levels the tree
    // no longer has, so that the last one is the leaf level.
    Header BeginOperation();
    TTdbBPlusPage LevelPage(std::int32_t level, const Header& header);
    TTdbBPlusPage LoadLevel(std::int32_t level, std::int32_t pageNo, const Header& header);
    // A page this tree has just written as that kind needs no check.
    void MarkChecked(std::int32_t level, bool leaf) noexcept;
    std::int32_t CheckedChild(const TTdbBPlusPage& page, std::int32_t i, const Header& header);
    void UnloadLevels() noexcept;
    // New pages are appended at the end of the file.
    std::int32_t AllocatePage();
    // The last page is given back to the file; any other goes on the free list.
    void FreePage(std::int32_t pageNo);
    // The leaf NextNo, when there is one, gets PageNo as the leaf before it.
    void LinkBack(std::int32_t nextNo, std::int32_t pageNo, const Header& header);

    // Searching.
    bool IsLess(std::span<const std::byte> a, std::span<const std::byte> b) {
        bool unique = true;
        return Less(a, b, unique, TStrCmpOptions{0}, FIsLessParam);
    }
    bool IsEqual(std::span<const std::byte> a, std::span<const std::byte> b) {
        return !IsLess(a, b) && !IsLess(b, a);
    }
    // Upper bound (the first item Key sorts before) or lower bound (the first item that does
    // not sort before Key).
    std::int32_t Bound(const TTdbBPlusPage& page, std::span<const std::byte> key, bool lower);
    // Down from the root to the leaf where Key belongs; answers the bound in the leaf.
    std::int32_t Descend(std::span<const std::byte> key, bool lower, const Header& header);
    // From the page at Level down along child 0 (First) or the last child to a leaf.
    void DescendEdge(std::int32_t level, bool first, const Header& header);
    // The path moves to the neighbouring leaf (one that holds items, with SkipEmpty); false
    // when there is none.
    bool StepLeaf(bool forward, bool skipEmpty, const Header& header);
    // With the leaf position at 0 after an upper-bound descent: whether the item before lies on
    // an earlier leaf and equals Key. When it does, the path is moved onto it.
    bool PredecessorEquals(std::span<const std::byte> key, const Header& header);
    // Copies the item at the path's leaf position out and remembers it for a following step.
    int Found(const Header& header, std::span<std::byte> out);
    int Found(const TTdbBPlusPage& leaf, std::span<std::byte> out);
    // The path's leaf position moves to the next (or previous) item, onto the neighbouring leaf
    // where it runs off its own; false when there is none.
    bool StepItem(bool forward, const Header& header);
    // Whether the path still leads from the root to the item last handed out and that item is
    // Key; then its leaf position is the one remembered.
    bool Resumable(std::span<const std::byte> key, const Header& header);
    int FirstFrom(std::span<std::byte> out, bool first, const Header& header);
    int DoFind(std::span<const std::byte> key, std::span<std::byte> out);
    // FindNext and FindPrev: the neighbour of Key, which must be in the tree, that sorts after
    // (before) it.
    int DoStep(std::span<const std::byte> key, bool forward, std::span<std::byte> out);
    std::int32_t DoSequenceNo(std::span<const std::byte> key);
    // Whether Key is in the tree, the path left on it.
    bool LocateEqual(std::span<const std::byte> key, const Header& header);
    template <typename Operation>
    auto Reading(Operation operation) -> decltype(operation());

    // Changing.
    bool DoInsert(std::span<const std::byte> item);
    void InsertIntoLevel(std::int32_t level, std::span<const std::byte> key, std::int32_t child,
                         std::int32_t pos);
    void GrowRoot(const Header& header);
    // Splits the full page of Level around the pending item; answers the level and position
    // where the separator goes, whose key is left in Separator.
    void Split(std::int32_t& level, std::span<const std::byte>& key, std::int32_t& child,
               std::int32_t& pos);
    bool DoDelete(std::span<const std::byte> item);
    void Rebalance(std::int32_t level);
    bool Merge(std::int32_t level, std::int32_t j);
    // The inner page of Level, child I of its parent, has no key left and cannot be merged: it
    // takes one key (and its child) from a neighbour through the parent.
    void Borrow(std::int32_t level, std::int32_t i);
    std::int32_t PositionInParent(std::int32_t level, const Header& header);

    TTdbClientStorage& FStorage;
    std::int32_t FOffset;
    TTdbTreeLess Less;
    const TTdbSortDef* FIsLessParam = nullptr;
    std::int32_t FPageSize = 0;
    bool FRejectEqual = false;
    std::unique_ptr<TTdbStoragePageSite> FHeaderPageSite;
    std::unique_ptr<TTdbStoragePageSite> FWorkPageSite;
    std::unique_ptr<TTdbStoragePageSite> FLinkPageSite;  // the leaf relinked behind a change
    std::vector<Level> FPages;
    std::int32_t FLastItemSize = 0;
    // The item last handed out sits at FPages' leaf position while FResumable holds.
    bool FResumable = false;
    // Separators carried up by splits (two, since a split's own separator is pending while the
    // parent splits), and the page image a split builds its left half in.
    std::vector<std::byte> FSeparators[2];
    int FSeparatorNext = 0;
    std::vector<std::byte> FScratch;
    std::vector<std::byte> FLifted;  // the key a borrow lifts into the parent
};

}  // namespace tdb
