// The paged B-tree of fixed-size index entries: every page but the root holds between n and 2n
// items, inner pages hold items as well as leaves, and each item carries the page number of the
// subtree of larger items. Versions 1-3 use 16-bit page numbers and counts, 4-6 32-bit ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/byte_image.h"
#include "index/tree_base.h"

namespace tdb {

class TTdbStoragePageSite;

// The last error state of a tree.
inline constexpr std::int16_t kBTreeOk = 0;
inline constexpr std::int16_t kBTreeOverfull = 1;   // more items than capacity, search not converging
inline constexpr std::int16_t kBTreeDamaged = 2;    // a page could not be loaded, header disagrees
inline constexpr std::int16_t kBTreeWriteFailed = 3;
inline constexpr std::int16_t kBTreeBadPageSize = 98;

inline constexpr int kBTreeMaxHeight = 30;

class TTdbBTree final : public TTdbTreeBase {
public:
    // Offset: where the tree header starts on page 0 (6 behind a magic, 0 in files of versions
    // 1-3). The storage is borrowed and must outlive the tree.
    TTdbBTree(TTdbClientStorage& storage, std::int16_t version, std::int32_t offset,
              TTdbTreeLess less);
    // A tree with Source's version, offset, entry size and comparison on another storage.
    TTdbBTree(const TTdbBTree& source, TTdbClientStorage& storage);
    ~TTdbBTree() override;

    // The entry size (record number and key), set before New.
    void SetItemSize(std::int32_t entrySize);
    static std::int32_t GetMaxPageSize(std::int16_t version) noexcept;
    // The page size rule for an expected capacity; static so that index files of either tree
    // kind can ask it.
    static std::int32_t CalcPageSizeFor(std::int16_t version, std::int32_t maxKeySize,
                                        std::int64_t capacity) noexcept;

    // The owner's bytes on page 0, addressed relative to the end of the tree header.
    void ReadUserData(std::int32_t offset, std::span<std::byte> data);
    void WriteUserData(std::int32_t offset, std::span<const std::byte> data);

    std::int16_t TreeError() const noexcept { return FTreeError; }
    std::int32_t GetOrder() const noexcept { return FOrder; }
    std::int32_t GetPageCapacity() const noexcept { return FPageCapacity; }
    std::int32_t GetItemSize() const noexcept { return FItemSize; }
    // Tree pages in use (pages 1 to N) and the head of the free list.
    std::int32_t GetTreePageCount();
    std::int32_t GetFirstFreePage();

    // TTdbTreeBase
    std::int16_t GetVersion() const override { return FVersion; }
    std::int32_t GetHeight() override;
    std::int32_t GetItemCount() override { return -1; }
    std::int32_t GetOffset() const override { return FOffset; }
    std::int32_t GetHeaderSize() const override;
    std::int32_t GetSize() const override { return FKeySize; }
    std::int32_t GetPageSize() override { return FPageSize; }
    std::int32_t CalcPageSize(std::int16_t version, std::int32_t maxKeySize,
                              std::int64_t capacity) const override;
    std::int64_t CalcCapacity() const override;
    std::unique_ptr<TTdbTreeBase> Clone(TTdbClientStorage& storage) const override;
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
    void Check(std::int32_t& itemCount, std::int32_t& wrongSortCount) override;
    int FindFirst(std::span<std::byte> item) override;
    int FindLast(std::span<std::byte> item) override;
    int FindNext(std::span<const std::byte> item, std::span<std::byte> succItem) override;
    int FindPrev(std::span<const std::byte> item, std::span<std::byte> prevItem) override;
    int Find(std::span<const std::byte> item, std::span<std::byte> foundItem) override;
    std::int32_t CalcItemSequenceNo(std::span<const std::byte> item) override;
    bool Insert(std::span<const std::byte> item) override;
    bool Delete(std::span<const std::byte> item) override;
    void Clear() override;

private:
    // Raised inside the tree once FTreeError is set; every public operation turns it into its
    // own error, so a damaged page never gets further than the page that showed it.
    struct BTreeFault {};

    struct PathSlot {
        std::unique_ptr<TTdbStoragePageSite> site;
        // The answer of searching this page on the way down: the child that was taken.
        std::int32_t pos = 0;
    };

    struct SearchResult {
        std::int32_t level;
        std::int32_t pos;
        bool exact;
    };

    // Height and number of tree pages as the header states them, checked for sense.
    struct Shape {
        std::int32_t height;
        std::int32_t pages;
    };

    bool IsWide() const noexcept { return FVersion >= 4; }
    bool HasFreeList() const noexcept { return FVersion >= 3; }
    std::int32_t MaxTreePages() const noexcept;
    void SetLayout();
    bool GeometryFits(std::int32_t pageSize, std::int32_t order) const noexcept;
    void AllocateWork();
    void UnloadPath() noexcept;
    void RequireOpen() const;
    void RequireComparison() const;
    void CheckItemSize(std::span<const std::byte> item) const;
    void CheckBufferSize(std::span<std::byte> buffer) const;

    [[noreturn]] void Fault(std::int16_t state);
    [[noreturn]] void RaiseCorrupt();

    // Page 0.
    const std::byte* HeaderAddress();
    std::byte* HeaderWritable();
    Shape ReadShape();
    std::int32_t ReadFreeHead();
    void WriteHeight(std::int32_t height);
    void WritePages(std::int32_t pages);
    void WriteFreeHead(std::int32_t page);

    // Tree pages, addressed in place in their pinned buffers.
    const std::byte* LoadLevel(std::int32_t level, std::int32_t pageNo);
    const std::byte* LoadSite(TTdbStoragePageSite& site, std::int32_t pageNo);
    const std::byte* Address(TTdbStoragePageSite& site);
    std::byte* Writable(TTdbStoragePageSite& site);
    bool OnPath(std::int32_t pageNo, std::int32_t levels) const noexcept;

    std::int32_t ReadPtr(const std::byte* at) const noexcept {
        return IsWide() ? LoadLE<std::int32_t>(at) : LoadLE<std::int16_t>(at);
    }
    void WritePtr(std::byte* at, std::int32_t value) const noexcept {
        if (IsWide()) {
            StoreLE<std::int32_t>(at, value);
        } else {
            StoreLE<std::int16_t>(at, static_cast<std::int16_t>(value));
        }
    }
    std::int32_t P0(const std::byte* page) const noexcept { return ReadPtr(page); }
    void SetP0(std::byte* page, std::int32_t value) const noexcept { WritePtr(page, value); }
    std::int32_t Count(const std::byte* page);  // checked against the capacity
    void SetCount(std::byte* page, std::int32_t count) const noexcept {
        StoreLE<std::uint16_t>(page + FItemCountOffset, static_cast<std::uint16_t>(count));
    }
    std::size_t ItemOffset(std::int32_t i) const noexcept {
        return static_cast<std::size_t>(FDataOffset) +
               static_cast<std::size_t>(i - 1) * static_cast<std::size_t>(FItemSize);
    }
    const std::byte* Item(const std::byte* page, std::int32_t i) const noexcept {
        return page + ItemOffset(i);
    }
    std::byte* Item(std::byte* page, std::int32_t i) const noexcept { return page + ItemOffset(i); }
    std::span<const std::byte> Entry(const std::byte* page, std::int32_t i) const noexcept {
        return {Item(page, i) + FPtrSize, static_cast<std::size_t>(FKeySize)};
    }
    // Child i: p0 for 0, else item i's pointer.
    std::int32_t Child(const std::byte* page, std::int32_t i) const noexcept {
        return i == 0 ? P0(page) : ReadPtr(Item(page, i));
    }
    std::int32_t CheckedChild(const std::byte* page, std::int32_t i, std::int32_t pages);
    // Work items in memory: a 32-bit pointer and the entry, whatever the version.
    void LoadItem(const std::byte* page, std::int32_t i, std::vector<std::byte>& item) const;
    void StoreItem(std::byte* page, std::int32_t i, const std::vector<std::byte>& item) const;
    void MoveItems(std::byte* to, std::int32_t toIndex, const std::byte* from,
                   std::int32_t fromIndex, std::int32_t count) const noexcept;
    void CopyEntryOut(const std::byte* page, std::int32_t i, std::span<std::byte> out) const;

    bool IsLess(std::span<const std::byte> a, std::span<const std::byte> b) {
        return Less(a, b, FUnique, TStrCmpOptions{0}, FCompareParam);
    }
    std::int32_t SearchPage(const std::byte* page, std::int32_t count,
                            std::span<const std::byte> key, bool& exact);
    SearchResult Descend(std::span<const std::byte> key, const Shape& shape);
    // From the page at Level down to the leaves along the first (or last) children.
    const std::byte* DescendEdge(std::int32_t level, std::int32_t pageNo, const Shape& shape,
                                 bool last);
    // Copies item Pos of the page at Level out and remembers the path to it.
    int Found(std::int32_t level, std::int32_t pos, const std::byte* page,
              std::span<std::byte> out);
    // Whether the path still leads to the entry last handed out and that entry is Key; then At
    // is its position, as an exact descent would find it.
    bool Resume(std::span<const std::byte> key, const Shape& shape, SearchResult& at);
    bool LocateGiven(std::span<const std::byte> item, const Shape& shape, SearchResult& at);
    int FindEdge(std::span<std::byte> item, bool last);
    int ClimbNext(std::int32_t level, std::span<std::byte> out);
    int ClimbPrev(std::int32_t level, std::span<std::byte> out);
    int DoFind(std::span<const std::byte> key, std::span<std::byte> out);
    std::int32_t DoSequenceNo(std::span<const std::byte> key);
    std::int64_t CountSubtree(std::int32_t pageNo, std::int32_t level, const Shape& shape,
                              std::int32_t& budget);

    // Modifying.
    void InsertIntoEmpty(std::span<const std::byte> key);
    void InsertAt(const SearchResult& at, const Shape& shape);
    void EnsureRoomToGrow(const Shape& shape);
    std::int32_t AllocatePage(TTdbStoragePageSite& site, Shape& shape);
    void FreePage(TTdbStoragePageSite& site, std::byte* page);
    bool DoDelete(std::span<const std::byte> key);
    void Rebalance(std::int32_t level, Shape& shape);

    std::u16string StorageName() const;

    TTdbClientStorage& FStorage;
    TTdbTreeLess Less;
    const TTdbSortDef* FCompareParam = nullptr;
    std::int32_t FOffset;
    std::int32_t FPageSize = 0;
    std::int32_t FKeySize = 0;
    std::int32_t FItemSize = 0;
    std::int32_t FOrder = 0;
    std::int32_t FPageCapacity = 0;
    std::int16_t FVersion;
    std::int16_t FTreeError = kBTreeOk;
    std::unique_ptr<TTdbStoragePageSite> FHeaderPage;

    // Offsets on page 0 and inside tree pages; they follow from the version (the free-list
    // head of versions 1-3 also from the page size).
    std::int32_t FPtrSize = 4;
    std::int32_t FItemCountOffset = 4;
    std::int32_t FDataOffset = 6;
    std::int32_t FHeightOffset = 0;
    std::int32_t FPageCountOffset = 0;
    std::int32_t FNextPageOffset = -1;  // -1: no free list

    bool FUnique = true;
    // The level of the entry last handed out, whose path FPath holds; 0: none.
    std::int32_t FLastLevel = 0;
    std::array<PathSlot, kBTreeMaxHeight + 1>
        FPath;  // slot 0: spare site for new and sibling pages
    std::vector<std::byte> u, v, w;
    std::vector<std::int32_t> FPageStack;  // pages still to count, reused between calls
};

}  // namespace tdb
