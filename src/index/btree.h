// The paged B-tree of fixed-size index entries: every page but the root holds between n and 2n
// items, inner pages hold items as well as leaves, and each item carries the page number of the
// subtree of larger items. Versions 1-3 use 16-bit page numbers and counts, 4-6 32-bit ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

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
    void Undo() override;
    void Update() override;
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
    void Insert(std::span<const std::byte> item) override;
    bool Delete(std::span<const std::byte> item) override;
    void Clear() override;

private:
    // Private state and helpers are the implementation's; see btree.cpp.
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
};

}  // namespace tdb
