// One open index of a table: its definition, the file that holds it (page 0 a header with the
// stored definition and the item count, a tree behind it) and the operations tables call to
// add, remove and find entries. Failures come back as negative engine error codes, reported
// through the owner's error callback first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "index/index_entry.h"
#include "index/index_names.h"
#include "index/tree_base.h"
#include "types/calculation.h"
#include "types/sort_def.h"

namespace tdb {

class TTdbClientStorage;
class TTdbIndexKeys;
class TTdbKeyComparator;
class TTdbStoragePageSite;

inline constexpr std::uint32_t kBTreeIndexMagic = 0x00E537AF;
inline constexpr std::uint32_t kBPlusTreeIndexMagic = 0xA66678C9;

class TTdbIndexFile {
public:
    // Called with the engine error number and its formatted message before an operation
    // answers a negative code; the table records it as the session's last error.
    using TErrorReport = std::function<void(std::int16_t code, const std::u16string& message)>;
    // BulkInsert's source: writes the next entry and its size, false when there is none.
    using TGetIndexItem = std::function<bool(std::span<std::byte> entry, std::int32_t& size)>;
    // BulkInsert's progress: entries done so far and the expected count.
    using TProgress = std::function<void(std::int32_t done, std::int32_t count)>;

    static constexpr int kWorkInfoCount = 5;

    // The keys belong to the table (its columns and level) and must outlive the index file;
    // Version is the table level. The factory, when there is one, compiles the stored
    // expressions of calculated indexes.
    TTdbIndexFile(const TTdbIndexKeys& keys, std::int16_t version,
                  std::unique_ptr<TTdbClientStorage> storage,
                  TTdbExpressionFactory* factory = nullptr);
    // The same definition, name, file name and open modes, with the tree cloned onto Storage.
    static std::unique_ptr<TTdbIndexFile> CreateCopy(const TTdbIndexFile& source,
                                                     std::unique_ptr<TTdbClientStorage> storage);
    ~TTdbIndexFile();
    TTdbIndexFile(const TTdbIndexFile&) = delete;
    TTdbIndexFile& operator=(const TTdbIndexFile&) = delete;

    void SetErrorReport(TErrorReport report) { FErrorReport = std::move(report); }
    // The engine error and message of the last failure (0 and empty after success).
    std::int16_t LastErrorCode() const noexcept { return FLastErrorCode; }
    const std::u16string& LastErrorMessage() const noexcept { return FLastErrorMessage; }

    // Refuses more components than the table level allows (-61). Decides whether keys have
    // variable size: string components, or a string result, from level 6 on.
    std::int16_t SetIndexDefinition(const TTdbSortDef& indexDef);
    const TTdbSortDef& IndexDef() const noexcept { return FIndexDef; }
    // The tree compares through a comparator prepared for the definition whenever it is set
    // or read; a table prepares it again after it changed the columns the keys are made of.
    void PrepareKeyComparator();
    const TTdbKeyComparator& KeyComparator() const noexcept { return *FComparator; }

    void SetOpenModes(bool readOnly, bool exclusive) noexcept;
    // Creates the file: header page, empty tree, stored definition, item count 0.
    std::int16_t NewStorage(std::int16_t version, std::int32_t pageSize);
    std::int16_t Open();
    std::int16_t Close(bool update = true);

    // The searches answer 0 (found), 1 (none) or -1 (the given entry is not in the index), or
    // -91 after a failure. The found entry is written into Key.
    int Erster_Index(std::span<std::byte> key);
    int Letzter_Index(std::span<std::byte> key);
    int Naechster_Index(std::span<std::byte> key);
    int Vorheriger_Index(std::span<std::byte> key);
    // The first entry at or after Key.
    int Suche_Index(std::span<std::byte> key);
    // The 1-based position of the entry in the index order (estimated in very large B-trees);
    // 0 after a failure.
    std::int32_t CalcItemSequenceNo(std::span<const std::byte> key);

    // Walks the whole tree: how many entries it holds and how many neighbours are out of order;
    // -95 when the tree is damaged or holds another number of entries than the stored count.
    std::int16_t Check(std::int32_t& itemCount, std::int32_t& wrongSortCount);

    std::int16_t Add_Index(std::span<const std::byte> item);
    std::int16_t Loesche_Index(std::span<const std::byte> key);
    std::int16_t BulkInsert(std::int32_t count, const TGetIndexItem& getIndexItem,
                            const TProgress& progress);
    std::int16_t Clear_Index();
    std::int16_t Flush();
    // Readies a flush of the storage that the table makes together with its other files.
    std::int16_t PrepareFlush();
    std::int16_t Undo();
    // Reads the header again, and the cache unless already re-read for that change count.
    std::int16_t Update(std::int64_t changeCount = -1);
    std::int16_t UpdateDir();

    void SetUnique(bool unique) noexcept { FIndexDef.IsUnique = unique; }
    void SetPrimary(bool primary) noexcept;
    void SetKind(TTdbIndexKind kind) noexcept { FKind = kind; }
    void SetName(std::u16string name);

    const std::u16string& Name() const noexcept { return FIndexDef.GetName(); }
    const std::u16string& FileName() const noexcept;
    TTdbIndexKind Kind() const noexcept { return FKind; }
    bool IsOpen() const noexcept { return FOpen; }
    bool IsLost() const noexcept { return FLost; }
    // The table marks an index it cannot use; only deleting or rebuilding it clears the mark.
    void SetLost(bool lost) noexcept { FLost = lost; }
    bool IsPrimary() const noexcept { return FPrimary; }
    std::int32_t ItemCount() const noexcept { return FItemCount; }
    bool MustBeUnique() const noexcept { return FIndexDef.IsUnique || FPrimary; }
    bool IsAutomatic() const noexcept { return IsAutomaticKind(FKind); }
    bool Calculated() const noexcept { return FIndexDef.IsCalculated; }
    bool IsVarSize() const noexcept { return FIndexDef.IsVarSize; }
    std::int32_t IndSize() const noexcept { return FIndexDef.GetSize(); }
    // The tree's version; the table level before the file is opened.
    std::int16_t Version() const noexcept;
    TTdbTreeBase* Tree() const noexcept { return FTree.get(); }
    TTdbClientStorage& Storage() const noexcept { return *FStorage; }
    const TTdbIndexKeys& Keys() const noexcept { return FKeys; }

    TTdbLongIndexInfo CreateLongIndexInfo() const;
    // Scratch entries 0 to 4, made on first use with the entry size and freed by Close.
    std::span<std::byte> GetWorkInfo(int index);
    // The B-tree's page size for that many entries, whatever tree the file holds.
    std::int32_t CalcPageSizeForCapacity(std::int64_t capacity) const;

private:
    std::unique_ptr<TTdbTreeBase> MakeTree(bool bPlusTree, std::int16_t version,
                                           std::int32_t offset) const;
    std::int32_t BPlusPageSize(std::int32_t pageSize) const;
    // The entry size of the definition for a file of that version.
    void UpdateEntrySize(std::int16_t version);
    // Where the index file's own fields start on page 0.
    std::int32_t UserOffset() const;
    std::int32_t ItemCountOffset() const;
    void WriteDefinition();
    void ReadDefinition();
    void WriteItemCount();
    void ReadItemCount();
    void OpenFile();
    void CloseFile() noexcept;

    // Records the failure and answers -Code.
    std::int16_t Fail(std::int16_t code, const std::u16string& message);
    std::int16_t FailWith(std::int16_t code, const std::u16string& argument);
    std::int16_t FailFromException(std::int16_t code, const std::u16string& argument);
    void Succeed() noexcept;
    template <typename Operation>
    int Run(std::int16_t code, Operation operation);
    std::span<const std::byte> KeepGiven(std::span<const std::byte> key);

    const TTdbIndexKeys& FKeys;
    // Shared with the tree's comparison, which keeps it alive as long as the tree lives.
    std::shared_ptr<TTdbKeyComparator> FComparator;
    std::int16_t FTableLevel;
    std::int16_t FVersion;
    std::unique_ptr<TTdbClientStorage> FStorage;
    TTdbExpressionFactory* FFactory;
    TTdbSortDef FIndexDef;
    std::unique_ptr<TTdbTreeBase> FTree;
    std::unique_ptr<TTdbStoragePageSite> FHeaderPage;
    std::array<TTdbLongIndexInfo, kWorkInfoCount> FWorkInfos;
    TTdbLongIndexInfo FSearchInfo;  // the given entry while the found one is written over it
    TErrorReport FErrorReport;
    std::u16string FLastErrorMessage;
    std::int16_t FLastErrorCode = 0;
    std::int32_t FItemCount = 0;
    TTdbIndexKind FKind = tikUser;
    bool FReadOnly = false;
    bool FExclusive = false;
    bool FOpen = false;
    bool FLost = false;
    bool FPrimary = false;
};

}  // namespace tdb
