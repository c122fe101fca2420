// The interface of the trees inside index files: a classic B-tree of fixed-size entries and a
// B+ tree of variable-size ones. A tree knows nothing of keys; it orders its items with the
// comparison its owner hands in and keeps them in the pages of one client storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "types/collation.h"

namespace tdb {

class TTdbClientStorage;
class TTdbSortDef;

// Whether item A sorts strictly before item B. Unique is cleared when the two keys are equal
// (the items then differ only in their record numbers); CompareParam is what the tree was
// opened with, handed through unchanged. The spans bound what may be read of each item, so a
// damaged item can never be read past its end.
using TTdbTreeLess =
    std::function<bool(std::span<const std::byte> a, std::span<const std::byte> b, bool& unique,
                       TStrCmpOptions options, const TTdbSortDef* compareParam)>;

// Answers of the searches.
inline constexpr int kTreeFound = 0;
inline constexpr int kTreeNone = 1;      // empty tree, or nothing beyond
inline constexpr int kTreeMissing = -1;  // the given item is not in the tree, or the search failed

class TTdbTreeBase {
public:
    virtual ~TTdbTreeBase();
    TTdbTreeBase(const TTdbTreeBase&) = delete;
    TTdbTreeBase& operator=(const TTdbTreeBase&) = delete;

    virtual std::int16_t GetVersion() const = 0;
    virtual std::int32_t GetHeight() = 0;
    // Items in the tree, where the tree keeps a count (-1 where it does not).
    virtual std::int32_t GetItemCount() = 0;
    // Where the tree's header starts on page 0, and its size; the owner's own fields follow it.
    virtual std::int32_t GetOffset() const = 0;
    virtual std::int32_t GetHeaderSize() const = 0;
    // The fixed entry size (0 for variable-size items).
    virtual std::int32_t GetSize() const = 0;
    virtual std::int32_t GetPageSize() = 0;
    virtual std::int32_t CalcPageSize(std::int16_t version, std::int32_t maxKeySize,
                                      std::int64_t capacity) const = 0;
    virtual std::int64_t CalcCapacity() const = 0;
    // A tree of the same kind, offset and comparison on another storage, not yet opened.
    virtual std::unique_ptr<TTdbTreeBase> Clone(TTdbClientStorage& storage) const = 0;

    // Writes an empty tree into the (freshly created) storage and opens it.
    virtual void New(std::int32_t pageSize, const TTdbSortDef* compareParam) = 0;
    virtual void Open(const TTdbSortDef* compareParam) = 0;
    virtual void Preload() = 0;
    virtual void Flush() = 0;
    // Brings the storage's size in line with the tree, without writing: a flush then writes
    // what the cache holds. Flush does this itself.
    virtual void PrepareFlush() = 0;
    virtual void Undo() = 0;
    // Another process may have changed the file: forget every cached page and path.
    virtual void Update(std::int64_t changeCount = -1) = 0;
    virtual void UpdateDir() = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;

    // Walks every item in order: how many there are and how many neighbours are out of order.
    virtual void Check(std::int32_t& itemCount, std::int32_t& wrongSortCount) = 0;

    // Searches copy the item they find into the buffer (which must hold the largest item) and
    // answer kTreeFound, kTreeNone or kTreeMissing.
    virtual int FindFirst(std::span<std::byte> item) = 0;
    virtual int FindLast(std::span<std::byte> item) = 0;
    // Item must be in the tree.
    virtual int FindNext(std::span<const std::byte> item, std::span<std::byte> succItem) = 0;
    virtual int FindPrev(std::span<const std::byte> item, std::span<std::byte> prevItem) = 0;
    // The first item that does not sort before Item.
    virtual int Find(std::span<const std::byte> item, std::span<std::byte> foundItem) = 0;
    // The 1-based position of Item (estimated in very large B-trees); 0 when there is none.
    virtual std::int32_t CalcItemSequenceNo(std::span<const std::byte> item) = 0;

    // False when the item is already there: it is not inserted twice.
    virtual bool Insert(std::span<const std::byte> item) = 0;
    // True when the item was there.
    virtual bool Delete(std::span<const std::byte> item) = 0;
    virtual void Clear() = 0;
    virtual void BulkInsert() {}

protected:
    TTdbTreeBase() = default;
};

}  // namespace tdb
