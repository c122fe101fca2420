// The stored table: opening its data file and indexes, reading records, record ids, flushing,
// emptying and closing.
#include "engine/base_table.h"

#include <algorithm>
#include <random>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "engine/table_names.h"
#include "index/index_build.h"
#include "index/index_check.h"
#include "index/index_entry.h"
#include "index/index_names.h"
#include "index/index_text.h"
#include "platform/text.h"
#include "storage/file_errors.h"
#include "storage/file_system.h"
#include "storage/heap_data_file.h"
#include "storage/page_manager.h"
#include "types/data_type.h"

namespace tdb {

namespace {

// The first four bytes of a data file organised as a B+ tree.
constexpr std::int32_t kBPlusDataFileSignature = 20012002;
constexpr std::u16string_view kTableDefaultName = u"Table_Default";

// Link columns without the no-index option have the link indexes "sys_In1".."sys_In9".
constexpr int kMaxLinkIndexes = 9;

bool IsFullTextIndexName(std::u16string_view name) {
    const std::u16string_view extension = FileExtension(name);
    return SameAsciiText(extension, u".ift") || SameAsciiText(extension, u".tdbf");
}

// Text lengths within the maximum, enumeration values within the items, record ids and links
// not negative, times and time stamps not negative.
bool IsPlausibleColumn(const TTdbColumnDef& column, std::span<std::byte> record) {
    std::byte* image = record.data() + column.Position;
    const TTdbDataType& type = *column.DataType;
    if (const auto* stringType = dynamic_cast<const TTdbStringType*>(&type))
        return stringType->HasPlausibleLength(image);
    TTdbDataValue value;
    type.SetReference(value, image);
    if (type.IsNull(value))
        return true;
    switch (type.GetColumnType()) {
    case ctEnum: {
        const auto& enumType = static_cast<const TTdbEnumType&>(type);
        const std::int64_t ordinal = type.GetInteger(value);
        return ordinal >= 0 && ordinal <= static_cast<std::int64_t>(enumType.GetEnumItems().size());
    }
    case ctAutoInc:
    case ctLink:
        return type.GetInteger(value) >= 0;
    case ctTime:
        return type.GetTime(value) >= 0;
    case ctTimeStamp: {
        const TTdbTimeStamp stamp = type.GetTimeStamp(value);
        return stamp.Date >= 0 && stamp.Time >= 0;
    }
    default:
        return true;
    }
}

// Runs an open of a file of the table, turning the cache's refusals into the table's errors.
template <typename Open>
void OpenClassified(const std::u16string& fileName, Open open) {
    try {
        open();
    } catch (const ETdbPMStorageNotFound&) {
        RaiseEngineError(kTdbErrFileNotFound, {fileName});
    } catch (const ETdbPMStorageAccessDenied&) {
        RaiseEngineError(kTdbErrNoWriteAccess, {fileName});
    } catch (const ETdbPageManager&) {
        RaiseEngineError(kTdbErrCannotOpenFile, {fileName});
    }
}

// An index name names a file beside the table: a name from a damaged or hostile header that
// is empty, holds control characters or would reach another directory is no index of it.
bool IsStoredIndexName(std::u16string_view name) {
    if (name.empty() || name == u"." || name == u"..")
        return false;
    return std::none_of(name.begin(), name.end(), [](char16_t c) {
        return c < u' ' || c == u'/' || c == u'\\' || c == u':';
    });
}

// A build reads the records straight from the data file: the table lock is already held.
class TDataFileRecords final : public TTdbRecordSource {
public:
    explicit TDataFileRecords(TTdbDataFile& dataFile) : FDataFile(dataFile) {}
    std::int32_t GetFirstRecordNo() const override { return FDataFile.GetFirstRecordNo(); }
    std::int32_t GetNextRecordNo(std::int32_t recNo) const override {
        return FDataFile.GetNextRecordNo(recNo);
    }
    std::int16_t ReadRecord(std::int32_t recNo, std::span<std::byte> buffer) override {
        const std::int16_t result = FDataFile.ReadRecord(recNo, buffer);
        return result < 0 ? static_cast<std::int16_t>(-result) : result;
    }

private:
    TTdbDataFile& FDataFile;
};

}  // namespace

TTdbBaseTable::TTdbBaseTable(TTdbServices& services) : TTdbRelation(services) {}

TTdbBaseTable::~TTdbBaseTable() {
    if (GetActive()) {
        try {
            Close();
        } catch (...) {
            // A destructor cannot report; the files are closed by their owners below.
        }
    }
}

bool TTdbBaseTable::GetActive() const { return FDataFile != nullptr && FDataFile->GetIsOpen(); }

std::int32_t TTdbBaseTable::GetRecordCount() const {
    return GetActive() ? FDataFile->GetRecordCount() : 0;
}

std::int16_t TTdbBaseTable::EncryptionMethod() const noexcept {
    return ToPublicMethod(FCryptor.GetEncryptionMethod());
}

std::int16_t TTdbBaseTable::Fail(std::int16_t code, const TdbFormatArgs& args) {
    return FServices.SetLastError(code, args);
}

std::u16string TTdbBaseTable::FileBase() const { return FileNameBase(FFileName); }

// ---- Opening ----

std::int16_t TTdbBaseTable::OpenFiles(bool force) {
    const std::u16string_view directory =
        std::u16string_view(FFileName).substr(0, FileNameStart(FFileName));
    FFileSystem = FServices.DetermineFileSystem(directory);
    if (FFileSystem == nullptr || !FFileSystem->FileExists(FFileName))
        return Fail(kTdbErrFileNotFound, {FFileName});

    try {
        LogIntoLockFile();
    } catch (const std::exception& e) {
        return FServices.SetLastError(e);
    }
    FChecks.Clear();
    FForeignKeyDefs.Clear();
    std::lock_guard guard(FLockingMutex);
    bool readLocked = false;
    try {
        if (BeginRead(true) < 0)
            RaiseNonCritical();
        readLocked = true;
        const bool readOnly = GetReadOnly();
        const bool exclusive = GetExclusive();
        std::int32_t signature = 0;
        {
            // Without a lock file a reader cannot tell whether a journal's writer is still at
            // work: it neither puts the files back nor reads what may be half written.
            if (!FLockFile && readOnly &&
                TTdbFlushJournal::IsComplete(*FFileSystem, FlushJournalName()))
                RaiseEngineError(kTdbErrNoWriteAccess, {FlushJournalName()});
            TTdbClientStorage probe(FServices.PageManager(), *FFileSystem, FServices.FSessionHdl,
                                    nullptr);
            probe.SetName(FFileName);
            OpenClassified(FFileName, [&] { probe.Open(readOnly, exclusive); });
            // An exclusive open keeps everybody out: a journal found then was left by a flush
            // that never finished.
            if (!FLockFile && !readOnly) {
                const std::u16string expanded = FFileSystem->ExpandFileName(FFileName);
                RollBackLeftFlush([&](std::u16string_view name) {
                    return FFileSystem->ExpandFileName(name) == expanded ? probe.FileHandle() : -1;
                });
                probe.Invalidate();
            }
            // Another session of this process may have cached the file before another process
            // changed it.
            if (FLockFile)
                probe.Invalidate(FLockFile->TableChangeCount());
            std::array<std::byte, 4> start{};
            if (probe.ReadDirect(0, start) == 4)
                signature = LoadLE<std::int32_t>(start.data());
        }
        if (signature == kBPlusDataFileSignature)
            RaiseEngineError(kTdbErrNotSupported, {u"B+ tree data files"});
        FDataFile = std::make_unique<TTdbHeapDataFile>(FServices.PageManager(), *FFileSystem,
                                                       FServices.FSessionHdl, FFileName);
        FCryptor.SetKey(FKey);
        std::u16string collation = FCollationName;
        OpenClassified(FFileName, [&] {
            FDataFile->Open(readOnly, exclusive, FCryptor, FServices, FCapacity, collation, FTypes,
                            FColumnDefs, FChecks, FKeyDefs, FForeignKeyDefs);
        });
        FCollationName = collation;
        if (FLockFile)
            FLockFile->SetSessionChangeCount(FLockFile->TableChangeCount());
        FLevel = FDataFile->GetLevel();
        const std::u16string name(TableNameFromFileName(FFileName));
        IsRelFile = FLevel < 6 ? SameAsciiText(FileExtension(FFileName), u".rel")
                               : name.find(u"!rel_") != std::u16string::npos;
        AnalyzeColumns();
        MakeKeys();
        FNativeSortDef = TTdbSortDef(std::u16string(kTableDefaultName));
        FRecBuffer.assign(static_cast<std::size_t>(GetRecordSize()), std::byte{0});
        CheckFirstRecord();
        if (FHasMemo && !force)
            RaiseEngineError(kTdbErrCannotOpenMemo, {MemoFileName(FileBase(), FLevel)});
        if (FHasBlob && !force)
            RaiseEngineError(kTdbErrCannotOpenBlob, {FFileName});
        readLocked = false;
        EndRead();
        ReleaseUnneededLocks();
        DiscardLeftTransaction();
        ReleaseUnneededLocks();
        ArmUnlock();
        return 0;
    } catch (const std::exception& e) {
        if (readLocked)
            EndRead();
        FLocks = {};
        if (FDataFile)
            FDataFile->Close();
        FDataFile.reset();
        LogOutOfLockFile();
        return FServices.SetLastError(e);
    }
}

// A wrong key decrypts to garbage; the first record tells.
void TTdbBaseTable::CheckFirstRecord() {
    if (FDataFile->GetRecordCount() < 1)
        return;
    if (FDataFile->ReadRecord(1, FRecBuffer) != 0)
        RaiseEngineError(kTdbErrInvalidCredentials);
    for (int i = 0; i < FColumnDefs.GetCount(); ++i) {
        if (!IsPlausibleColumn(*FColumnDefs.GetColumnDef(i), FRecBuffer))
            RaiseEngineError(kTdbErrInvalidCredentials);
    }
}

// ---- Setting up the indexes ----

std::int16_t TTdbBaseTable::Setup(bool force) {
    try {
        std::int16_t result = TTdbRelation::Setup(force);
        if (result < 0)
            return result;
        InitStoredIndexes();
        SetupSystemIndexes(force);
        // A user index that does not fit the table is only put aside: its use says so, and the
        // table stays readable. The open itself does not fail on it.
        const std::int16_t priorCode = FServices.LastError().LastErrorCode();
        const std::u16string priorMessage = FServices.LastError().LastErrorMsg();
        for (TTdbIndexNo no = 0; no <= FLastIndexNo; ++no) {
            TTdbIndexFile* index = FIndexFiles[static_cast<std::size_t>(no)].get();
            if (index != nullptr && !index->IsOpen() && !index->IsLost() && !index->IsAutomatic() &&
                !CheckIndexOpen(no, true))
                FServices.LastError().SetLastErrorMsg(priorCode, priorMessage);
        }
        for (TTdbIndexNo no = 0; no <= FLastIndexNo; ++no) {
            TTdbIndexFile* index = FIndexFiles[static_cast<std::size_t>(no)].get();
            if (index == nullptr || index->IsOpen() || !index->IsAutomatic())
                continue;
            if (!CheckIndexOpen(no, true)) {
                if (force && FIdIndexNo == static_cast<std::uint8_t>(no) &&
                    FIdIndexNo != FInrIndexNo) {
                    FIdIndexNo = FInrIndexNo;
                    continue;
                }
                RaiseNonCritical();
            }
        }
        if (!force)
            SetupIntegrityRules();
        return 0;
    } catch (const std::exception& e) {
        return FServices.SetLastError(e);
    }
}

// The index list of the data file: full-text indexes are not kept by this table kind yet;
// every user or temporary index gets its number in the stored order.
std::vector<TTdbIndexNo> TTdbBaseTable::InitStoredIndexes() {
    std::vector<TTdbIndexNo> added;
    for (const std::u16string& name : FDataFile->IndexNames()) {
        if (IsFullTextIndexName(name) || !IsStoredIndexName(name))
            continue;
        const TTdbIndexKind kind = GetIndexKind(name, FLevel);
        if ((kind == tikUser || kind == tikTemporary) && FindIndexByName(name) == kTdbNoIndex) {
            const TTdbIndexNo no = InitIndex(name, TTdbSortDef(name));
            if (no >= 0)
                added.push_back(no);
        }
    }
    FLoadedIndexNames = FDataFile->IndexNames().size();
    return added;
}

namespace {

// The definition of an index over the named columns, each component its whole column.
TTdbSortDef DefinitionFromColumns(std::u16string name, const std::vector<std::u16string>& columns,
                                  const TTdbColumnDefs& columnDefs, std::int16_t level,
                                  bool unique) {
    TTdbSortDef def(std::move(name));
    for (const std::u16string& columnName : columns) {
        std::u16string_view bare = columnName;
        if (!bare.empty() && bare.front() == u'$')
            bare.remove_prefix(1);
        if (bare.size() >= 2 && bare.front() == u'{' && bare.back() == u'}')
            bare = bare.substr(1, bare.size() - 2);
        const int index = columnDefs.Find(bare);
        if (index < 0)
            RaiseEngineError(kTdbErrNoSuitableIndex, {std::u16string(bare)});
        const TTdbColumnDef& column = *columnDefs.GetColumnDef(index);
        def.AddItem(static_cast<std::int16_t>(index + 1),
                    static_cast<std::uint8_t>(column.GetColumnType()), column.Size);
    }
    def.IsUnique = unique;
    def.IsVarSize = level >= 6 && std::any_of(def.Items.begin(), def.Items.begin() + def.LevelCount,
                                              [](const TTdbSortItem& item) {
                                                  return item.ColumnType == ctString ||
                                                         item.ColumnType == ctWideString;
                                              });
    def.UpdateSize(level);
    return def;
}

}  // namespace

void TTdbBaseTable::SetupSystemIndexes(bool force) {
    // Candidate keys: the primary one and further unique ones.
    for (int i = 0; i < FKeyDefs.GetCount(); ++i) {
        TTdbCandidateKeyDef& key = *FKeyDefs.Get(i);
        if (key.GetName().empty())
            key.SetName(key.GetIsPrimary() ? std::u16string(kSysPrimaryIndexName)
                                           : u"sys_Unique" + NumberText(i));
        const std::u16string indexName =
            key.GetIsPrimary() ? std::u16string(kSysPrimaryIndexName) : key.GetName();
        key.IndexDef = std::make_unique<TTdbSortDef>(
            DefinitionFromColumns(indexName, key.FColumnNames, FColumnDefs, FLevel, true));
        const TTdbIndexNo no = SetupSystemIndex(indexName, *key.IndexDef, key.GetIsPrimary(), true);
        if (key.GetIsPrimary())
            FPrimIndexNo = static_cast<std::uint8_t>(no);
    }
    // Record ids and their identification text.
    if (FRecordIdFieldNo > 0) {
        const std::u16string inrName = FLevel >= 4 ? std::u16string(kSysInrIndexName)
                                                   : OldSystemIndexName(u".inr");
        const TTdbColumnDef& idColumn = *FColumnDefs.GetColumnDef(FRecordIdFieldNo - 1);
        FInrIndexNo = static_cast<std::uint8_t>(SetupSystemIndex(
            inrName, DefinitionFromColumns(inrName, {idColumn.Name}, FColumnDefs, FLevel, true),
            false, true));
        const auto* recordId = dynamic_cast<const TTdbRecordIdColumnDef*>(&idColumn);
        if (recordId != nullptr && !recordId->IndexSpec.empty()) {
            const std::u16string idName =
                FLevel >= 4 ? std::u16string(kSysIdIndexName) : OldSystemIndexName(u".id");
            try {
                FIdIndexNo = static_cast<std::uint8_t>(SetupSystemIndex(
                    idName,
                    ParseIndexSpecification(idName, recordId->IndexSpec, FColumnDefs, FLevel,
                                            recordId->GetUniqueIdInfo()),
                    false, recordId->GetUniqueIdInfo()));
            } catch (const ETdbEngine&) {
                if (!force)
                    throw;
                FIdIndexNo = FInrIndexNo;
            }
        } else {
            FIdIndexNo = FPrimIndexNo != kTdbNoIndexNo8 ? FPrimIndexNo : FInrIndexNo;
        }
    } else {
        FIdIndexNo = FPrimIndexNo;
    }
    // Link columns without the no-index option.
    int linkNo = 0;
    for (int i = 0; i < FColumnDefs.GetCount() && linkNo < kMaxLinkIndexes; ++i) {
        const TTdbColumnDef& column = *FColumnDefs.GetColumnDef(i);
        if (column.GetColumnType() != ctLink)
            continue;
        ++linkNo;
        const std::u16string name = FLevel >= 4 ? LinkIndexName(linkNo)
                                                : OldSystemIndexName(u".in" + NumberText(linkNo));
        SetupSystemIndex(name, DefinitionFromColumns(name, {column.Name}, FColumnDefs, FLevel, false),
                         false, false);
    }
}

void TTdbBaseTable::SetupIntegrityRules() {
    FIntegrityLinks.clear();
    for (int i = 0; i < FForeignKeyDefs.GetCount(); ++i) {
        const TTdbForeignKeyDef& rule = *FForeignKeyDefs.Get(i);
        TIntegrityLink link;
        const std::u16string childName = u"IR_" + rule.GetName();
        const TTdbSortDef childDef =
            DefinitionFromColumns(childName, rule.GetColumnNames(), FColumnDefs, FLevel, false);
        bool reverse = false;
        link.ChildIndexNo = TTdbRelation::FindIndex(childDef, tifoNoReverse, reverse);
        if (link.ChildIndexNo == kTdbNoIndex) {
            const std::int16_t made = NewIndex(childName, childDef, {}, 0);
            if (made < 0)
                RaiseEngineError(kTdbErrNoSuitableIndex, {rule.GetColumnNamesStr()});
            link.ChildIndexNo = made;
        }
        const std::u16string& parentName = rule.GetParentTableName();
        TTdbRelation* parent = FParentResolver ? FParentResolver(parentName, FRights) : nullptr;
        if (parent == nullptr)
            RaiseEngineError(kTdbErrParentTable, {parentName});
        const std::u16string parentColumns = parentName + u"." + rule.GetParentColumnNamesStr();
        try {
            link.ParentIndexNo = parent->FindIndex(
                DefinitionFromColumns({}, rule.GetParentColumnNames(), parent->ColumnDefs(),
                                      parent->GetLevel(), false),
                tifoNoReverse, reverse);
        } catch (const ETdbEngine&) {
            link.ParentIndexNo = kTdbNoIndex;
        }
        if (link.ParentIndexNo == kTdbNoIndex)
            RaiseEngineError(kTdbErrNoSuitableIndex, {parentColumns});
        link.ParentRltnIdx = parent->RltnIdx();
        FIntegrityLinks.push_back(link);
    }
}

std::u16string TTdbBaseTable::OldSystemIndexName(std::u16string_view extension) const {
    std::u16string name = TableNameFromFileName(FFileName);
    const std::size_t dot = name.rfind(u'.');
    if (dot != std::u16string::npos)
        name.resize(dot);
    if (name.size() > 40)
        name.resize(40);
    return name + std::u16string(extension);
}

TTdbIndexNo TTdbBaseTable::SetupSystemIndex(std::u16string_view name, const TTdbSortDef& def,
                                            bool primary, bool unique) {
    TTdbIndexNo no = FindIndexByName(name);
    if (no == kTdbNoIndex) {
        bool reverse = false;
        no = TTdbRelation::FindIndex(def, tifoExact | tifoNoOpen | tifoNoReverse, reverse);
    }
    if (no == kTdbNoIndex) {
        no = InitIndex(name, def);
        if (no < 0)
            RaiseEngineError(static_cast<std::int16_t>(-no), {std::u16string(name)});
    }
    TTdbIndexFile& index = *FIndexFiles[static_cast<std::size_t>(no)];
    FSystemDefs[static_cast<std::size_t>(no)] = std::make_unique<TTdbSortDef>(def);
    FSystemDefs[static_cast<std::size_t>(no)]->SetName(std::u16string(name));
    index.SetPrimary(primary);
    index.SetUnique(unique || primary);
    return no;
}

TTdbIndexNo TTdbBaseTable::InitIndex(std::u16string_view indexName, const TTdbSortDef& indexDef) {
    const TTdbIndexNo maxNo = FLevel >= 4 ? 49 : 14;
    for (TTdbIndexNo no = 0; no <= maxNo; ++no) {
        auto& slot = FIndexFiles[static_cast<std::size_t>(no)];
        if (slot)
            continue;
        slot = MakeIndexFile(indexDef, indexName);
        FLastIndexNo = std::max(FLastIndexNo, no);
        return no;
    }
    return -kTdbErrTooManyIndexes;
}

std::unique_ptr<TTdbIndexFile> TTdbBaseTable::MakeIndexFile(const TTdbSortDef& indexDef,
                                                            std::u16string_view indexName) {
    const TdwEncryptionMethod method = FCryptor.GetEncryptionMethod();
    auto storage = std::make_unique<TTdbClientStorage>(
        FServices.PageManager(), *FFileSystem, FServices.FSessionHdl,
        method == emNone || method == emProtection ? nullptr : &FCryptor);
    storage->SetName(CalcIndexFileName(indexName));
    auto index = std::make_unique<TTdbIndexFile>(*FKeys, FLevel, std::move(storage), &FServices);
    TTdbSortDef def(indexDef);
    def.SetName(std::u16string(indexName));
    if (def.LevelCount > 0 || def.IsCalculated)
        CheckEngineResult(index->SetIndexDefinition(def));
    else
        index->SetName(std::u16string(indexName));
    index->SetKind(GetIndexKind(indexName, FLevel));
    index->SetOpenModes(GetReadOnly(), GetExclusive());
    index->SetErrorReport([this](std::int16_t code, const std::u16string& message) {
        FServices.LastError().SetLastErrorMsg(code, message);
    });
    return index;
}

std::u16string TTdbBaseTable::CalcIndexFileName(std::u16string_view indexName) const {
    const std::u16string_view directory =
        std::u16string_view(FFileName).substr(0, FileNameStart(FFileName));
    return tdb::CalcIndexFileName(directory, TableNameFromFileName(FFileName), indexName, FLevel);
}

TTdbIndexFile* TTdbBaseTable::GetIndexFile(TTdbIndexNo indexNo) const {
    if (indexNo < 0 || indexNo > kTdbMaxIndexNo)
        return nullptr;
    return FIndexFiles[static_cast<std::size_t>(indexNo)].get();
}

bool TTdbBaseTable::CheckIndexOpen(TTdbIndexNo indexNo, bool /*checkSize*/) {
    TTdbIndexFile* index = GetIndexFile(indexNo);
    if (index == nullptr) {
        FServices.SetLastError(kTdbErrIndexNotFound, {NumberText(indexNo)});
        return false;
    }
    if (index->IsOpen())
        return true;
    if (index->IsLost()) {
        FServices.SetLastError(kTdbErrIndexCorrupt, {index->Name()});
        return false;
    }
    if (BeginRead(true) < 0)
        return false;
    bool open = false;
    try {
        std::int16_t result = index->IsOpen() ? 0 : index->Open();
        if (result == 0 && FLockFile)
            result = index->Update(FLockFile->SessionChangeCount());
        if (result == 0 && !CheckIndexDefinition(index->IndexDef())) {
            index->Close(false);
            index->SetLost(true);
            result = FServices.SetLastError(kTdbErrInconsistentIndex, {index->Name()});
        }
        if (result == 0)
            result = CheckIndexBelongs(indexNo);
        // The engine keeps its own indexes: a missing or broken one is built again. A user
        // index stays lost until it is deleted or regenerated; a file only held by someone
        // else is neither.
        if (result < 0 && index->IsAutomatic() && index->IsLost())
            result = RebuildAlone([&] { return RebuildAutomaticIndex(indexNo); });
        // Another count than the table's is what a process leaves that died between flushing
        // the data file and its indexes, or a flush that failed half-way. The definition is
        // sound and the records are what counts, so the index is built again from them rather
        // than answer with entries of records that are gone or without the new ones.
        else if (result == 0 && index->ItemCount() != FDataFile->GetRecordCount())
            result = RebuildAlone([&] { return RebuildIndex(indexNo, index->IndexDef()); });
        if (result == -kTdbErrTableInUse) {
            // Tried again once this session has the table to itself.
            index->Close(false);
            index->SetLost(false);
        }
        open = result == 0 && index->IsOpen();
    } catch (const std::exception& e) {
        index->Close(false);
        index->SetLost(true);
        FServices.SetLastError(e);
    }
    EndRead();
    return open;
}

// A file that opens and fits the columns can still be another index's: one of another level,
// another of the engine's own in its place, or one of another table. Such a file is put aside
// like a broken one.
std::int16_t TTdbBaseTable::CheckIndexBelongs(TTdbIndexNo indexNo) {
    TTdbIndexFile& index = *FIndexFiles[static_cast<std::size_t>(indexNo)];
    std::int16_t code = 0;
    const std::int16_t version = index.Version();
    // Files below level 4 carry no version of their own.
    if ((version < 4) != (FLevel < 4) || (version >= 4 && version != FLevel)) {
        code = kTdbErrInconsistentIndex;
    } else if (const TTdbSortDef* derived = FSystemDefs[static_cast<std::size_t>(indexNo)].get();
               derived != nullptr && index.IsAutomatic()) {
        bool reverse = false;
        TTdbSortDef expected(*derived);
        expected.IsUnique = index.IndexDef().IsUnique;
        if (!expected.Equals(index.IndexDef(), false, reverse))
            code = kTdbErrInconsistentIndex;
    }
    // A tree whose pages were lost or zeroed opens as an empty one, whatever its count says.
    if (code == 0 && (index.Erster_Index(index.GetWorkInfo(4)) == 0) != (index.ItemCount() > 0))
        code = kTdbErrIndexCorrupt;
    if (code == 0)
        return 0;
    index.Close(false);
    index.SetLost(true);
    return FServices.SetLastError(code, {index.Name()});
}

std::int16_t TTdbBaseTable::RebuildAutomaticIndex(TTdbIndexNo indexNo) {
    TTdbIndexFile& index = *FIndexFiles[static_cast<std::size_t>(indexNo)];
    const TTdbSortDef* derived = FSystemDefs[static_cast<std::size_t>(indexNo)].get();
    if (derived == nullptr)
        return FServices.SetLastError(kTdbErrIndexCorrupt, {index.Name()});
    // The definition read from a file that did not fit is gone; the derived one says it all.
    return RebuildIndex(indexNo, *derived);
}

// Building an index file again writes it under a read lock; with other sessions present they
// would read it half built, or build it at the same time. A shared table is repaired only by a
// session that has it to itself; the others find it repaired, or fail to open the index until
// then.
std::int16_t TTdbBaseTable::RebuildAlone(const std::function<std::int16_t()>& rebuild) {
    if (!FLockFile)
        return rebuild();
    if (BeginExclusive(false) < 0)
        return -kTdbErrTableInUse;
    const std::int16_t result = rebuild();
    EndExclusive();
    return result;
}

std::int16_t TTdbBaseTable::RebuildIndex(TTdbIndexNo indexNo, TTdbSortDef def) {
    TTdbIndexFile& index = *FIndexFiles[static_cast<std::size_t>(indexNo)];
    if (index.IsOpen())
        index.Close(false);
    const bool primary = index.IsPrimary();
    const bool unique = def.IsUnique || primary;
    std::int16_t result = index.SetIndexDefinition(def);
    if (result == 0) {
        index.SetPrimary(primary);
        index.SetUnique(unique);
        // A read-only open still repairs the index, as far as the medium lets it.
        index.SetOpenModes(false, GetExclusive());
        result = ErzeugeIndexFile(indexNo, 0, {}, false);
        index.SetOpenModes(GetReadOnly(), GetExclusive());
        if (result == 0)
            result = index.Open();
    }
    if (result < 0) {
        index.Close(false);
        index.SetLost(true);
    }
    return result;
}

bool TTdbBaseTable::CheckIndexDefinition(const TTdbSortDef& indexDef) {
    try {
        tdb::CheckIndexDefinition(indexDef, FColumnDefs, FLevel);
        return true;
    } catch (const ETdbEngine& e) {
        FServices.SetLastError(e);
        return false;
    }
}

// ---- Records ----

std::int32_t TTdbBaseTable::GetFirstRecordNo() { return FDataFile->GetFirstRecordNo(); }

std::int32_t TTdbBaseTable::GetNextRecordNo(std::int32_t recNo) {
    return FDataFile->GetNextRecordNo(recNo);
}

std::int32_t TTdbBaseTable::GetPrevRecordNo(std::int32_t recNo) {
    return FDataFile->GetPrevRecordNo(recNo);
}

std::int32_t TTdbBaseTable::GetLastRecordNo() {
    const std::int32_t last = FDataFile->GetLastRecordNo();
    return last < 0 ? 0 : last;
}

std::int16_t TTdbBaseTable::ReadRecord(std::int32_t recNo, std::span<std::byte> recBuffer) {
    if (recBuffer.size() < static_cast<std::size_t>(GetRecordSize()))
        return Fail(kTdbErrInvalidParameter, {u"RecBuffer"});
    const std::int16_t locked = BeginRead(true);
    if (locked < 0)
        return locked;
    const std::int16_t result = ReadRecordLocked(recNo, recBuffer);
    EndRead();
    return result;
}

std::int16_t TTdbBaseTable::ReadRecordLocked(std::int32_t recNo, std::span<std::byte> recBuffer) {
    if (recBuffer.size() < static_cast<std::size_t>(GetRecordSize()))
        return Fail(kTdbErrInvalidParameter, {u"RecBuffer"});
    try {
        if (recNo < 1 || recNo > FDataFile->GetRecordCount())
            return -kTdbErrRecordNotFound;
        return FDataFile->ReadRecord(recNo, recBuffer);
    } catch (const ETdbEngine& e) {
        return FServices.SetLastError(e);
    }
}

std::int16_t TTdbBaseTable::InitRecord(std::span<std::byte> recBuffer, bool preset) {
    const std::int16_t result = TTdbRelation::InitRecord(recBuffer, preset);
    if (result < 0)
        return result;
    if (preset && HasRecordId())
        return SetAutoNum(recBuffer);
    return 0;
}

// ---- Record ids ----

std::int32_t TTdbBaseTable::GetRecordIdOf(std::span<const std::byte> recBuffer) const {
    std::int32_t recordId = 0;
    return Access().GetRecordId(recBuffer, FRecordIdFieldNo, recordId) ? recordId : 0;
}

std::int16_t TTdbBaseTable::SetAutoNum(std::span<std::byte> recBuffer) {
    if (!HasRecordId())
        return Fail(kTdbErrNoRecordIdColumn, {FStdName});
    if ((FRights & kRightAppend) == 0)
        return Fail(kTdbErrNoWriteRight, {FStdName});
    const std::int16_t locked = BeginWrite(true);
    if (locked < 0)
        return locked;
    std::int16_t result = 0;
    try {
        // A counter that ran past the ids stores no id.
        const std::int32_t id = FDataFile->ObtainNewRecordId();
        Access().SetRecordId(recBuffer, FRecordIdFieldNo, id, id < 1);
    } catch (const ETdbEngine& e) {
        result = FServices.SetLastError(e);
    }
    EndWrite();
    return result;
}

void TTdbBaseTable::AdjustRecordId(std::span<const std::byte> recBuffer) {
    if (!HasRecordId())
        return;
    const std::int32_t id = GetRecordIdOf(recBuffer);
    if (id >= FDataFile->GetNextRecordId() && id < INT32_MAX)
        FDataFile->SetNextRecordId(id + 1);
}

void TTdbBaseTable::CancelAutoNum(std::int32_t recordId) {
    if (!HasRecordId() || BeginWrite(false) < 0)
        return;
    try {
        FDataFile->RevokeRecordId(recordId);
    } catch (const ETdbEngine& e) {
        FServices.SetLastError(e);
    }
    EndWrite();
}

std::int32_t TTdbBaseTable::ReadNextRecordId() { return FDataFile->ReadNextRecordId(); }

std::int16_t TTdbBaseTable::SetNextRecordId(std::int32_t value) {
    const std::int16_t locked = BeginWrite(true);
    if (locked < 0)
        return locked;
    std::int16_t result = 0;
    try {
        FDataFile->SetNextRecordId(value);
        FDataFile->WriteNextRecordId();
    } catch (const ETdbEngine& e) {
        result = FServices.SetLastError(e);
    }
    EndWrite();
    return result;
}

std::int32_t TTdbBaseTable::ReadRecordId(std::int32_t recNo) {
    if (!HasRecordId())
        return Fail(kTdbErrNoRecordIdColumn, {FStdName});
    const std::int16_t result = ReadRecord(recNo, FRecBuffer);
    if (result < 0)
        return result;
    return GetRecordIdOf(FRecBuffer);
}

std::int32_t TTdbBaseTable::FindRecordId(std::int32_t recordId) {
    if (recordId < 1 || FInrIndexNo == kTdbNoIndexNo8)
        return 0;
    const TTdbIndexNo no = InrIndexNo();
    if (!CheckIndexOpen(no, false))
        return 0;
    TTdbIndexFile& index = *GetIndexFile(no);
    std::span<std::byte> key = index.GetWorkInfo(1);
    std::fill(key.begin(), key.end(), std::byte{0});
    // The scratch buffer holds the id alone: building the key needs nothing else of a record.
    std::span<std::byte> record(FRecBuffer);
    std::fill(record.begin(), record.end(), std::byte{0});
    Access().SetRecordId(record, FRecordIdFieldNo, recordId, false);
    if (BeginRead(true) < 0)
        return 0;
    std::int32_t found = 0;
    try {
        FKeys->CalcIndexInfo(index.IndexDef(), record, 0, key);
        std::span<std::byte> entry = index.GetWorkInfo(2);
        std::copy(key.begin(), key.end(), entry.begin());
        if (index.Suche_Index(entry) == 0 && FKeys->IsSameIndexKey(index.IndexDef(), key, entry))
            found = GetDateiVerweis(entry);
    } catch (const ETdbEngine& e) {
        FServices.SetLastError(e);
    }
    EndRead();
    return found;
}

// ---- Flushing, emptying, closing ----

std::int16_t TTdbBaseTable::Flush(bool /*newFileSize*/) {
    std::lock_guard guard(FLockingMutex);
    if (!GetActive() || GetReadOnly())
        return 0;
    // A transaction's changes stay in the cache until it commits, so that the files never hold
    // changes that a rollback, or the death of this session, would have to take back.
    if (FRedoLog && !FCommitting)
        return 0;
    try {
        WriteFilesAsOne();
        if ((FRights & kRightDeepFlush) == 0 && ++FFlushCounter >= kFlushesPerDirectoryUpdate) {
            FDataFile->UpdateDir();
            for (auto& index : FIndexFiles)
                if (index && index->IsOpen())
                    CheckEngineResult(index->UpdateDir());
            FFlushCounter = 0;
        }
        FWriteError = 0;
        return 0;
    } catch (const std::exception& e) {
        const std::int16_t result = FServices.SetLastError(e);
        FWriteError = static_cast<std::int16_t>(-result);
        return result;
    }
}

std::u16string TTdbBaseTable::FlushJournalName() const {
    return FlushJournalFileName(FFileName);
}

void TTdbBaseTable::WriteFilesAsOne() {
    std::vector<TTdbClientStorage*> storages{FDataFile->Storage()};
    for (auto& index : FIndexFiles) {
        if (index && index->IsOpen()) {
            CheckEngineResult(index->PrepareFlush());
            storages.push_back(&index->Storage());
        }
    }
    // Deep flush: what a flush reported written survives a power cut.
    const bool durable = (FRights & kRightDeepFlush) != 0;
    try {
        FlushAsOne(*FFileSystem, FlushJournalName(), storages, durable, FFlushJournal && !Temporary,
                   FFlushState);
    } catch (const ETdbEngine&) {
        throw;
    } catch (const EdwFileCreateError& e) {
        // A directory where no file may be made: the table cannot be written safely there.
        FServices.LogMessage(3, u"Flush", e.Message());
        RaiseEngineError(kTdbErrNoWriteAccess, {FlushJournalName()});
    } catch (const Exception& e) {
        FServices.LogMessage(3, u"Flush", e.Message());
        RaiseEngineError(kTdbErrWriteFile, {FFileName});
    }
}

void TTdbBaseTable::RollBackLeftFlush(const TTdbFlushJournal::TOpenFile& openFile) {
    const std::u16string journal = FlushJournalName();
    if (FFileSystem == nullptr || !FFileSystem->FileExists(journal))
        return;
    TTdbFlushJournal::TRollBack result = TTdbFlushJournal::TRollBack::kNone;
    try {
        result = TTdbFlushJournal::RollBack(*FFileSystem, journal, (FRights & kRightDeepFlush) != 0,
                                            openFile);
    } catch (const Exception& e) {
        // Reading the table as the broken flush left it could show anything: it stays shut
        // until the journal can be put back, by a session with write access.
        FServices.LogMessage(3, u"Flush", e.Message());
        if (GetReadOnly())
            RaiseEngineError(kTdbErrNoWriteAccess, {journal});
        RaiseEngineError(kTdbErrWriteFile, {FFileName});
    }
    if (result == TTdbFlushJournal::TRollBack::kRolledBack)
        FServices.LogMessage(
            2, u"Flush",
            u"Rolled back the flush journal " + journal + u" of a flush that never finished");
}

std::int32_t TTdbBaseTable::ClearDat() {
    const std::int16_t locked = BeginWrite(true);
    if (locked < 0)
        return locked;
    std::int32_t result = 0;
    try {
        result = FDataFile->GetRecordCount();
        FDataFile->Clear();
        if (HasRecordId()) {
            FDataFile->SetNextRecordId(1);
            FDataFile->WriteNextRecordId();
        }
        CheckEngineResult(Flush(false));
        for (TTdbIndexNo no = 0; no <= FLastIndexNo; ++no) {
            if (GetIndexFile(no) != nullptr)
                CheckEngineResult(ErzeugeIndexFile(no, 0, {}, true));
        }
        CheckEngineResult(Flush(true));
        NotifyRelationEmptied();
    } catch (const std::exception& e) {
        result = FServices.SetLastError(e);
    }
    EndWrite();
    return result;
}

std::int16_t TTdbBaseTable::CloseFiles() {
    if (GetActive() && FRedoLog) {
        // A transaction still running when its table closes did not finish: it is rolled back.
        UndoModifications();
    }
    if (GetActive()) {
        if (GetReadOnly() || BeginExclusive(false) == 0) {
            bool dropped = false;
            for (TTdbIndexNo no = kTdbMaxIndexNo; no >= 0; --no) {
                TTdbIndexFile* index = GetIndexFile(no);
                if (index != nullptr && index->Kind() == tikTemporary) {
                    DropIndex(no, true);
                    NotifyIndexRemoved(no);
                    dropped = true;
                }
            }
            if (!GetReadOnly()) {
                try {
                    // The stored list must not name the dropped indexes, or the next open would
                    // find them lost.
                    if (dropped)
                        StoreIndexNames();
                    FDataFile->Truncate();
                } catch (const ETdbEngine& e) {
                    FServices.SetLastError(e);
                }
                EndExclusive();
            }
        }
        std::lock_guard guard(FLockingMutex);
        FUnlockActive.store(false);
        try {
            ReleaseUnneededLocks();
            if (FLocks.Edit > 0 && FLockFile && FLockFile->GetLockedRecord() != 0)
                FLockFile->UnlockRecord(FLockFile->GetLockedRecord());
            FLocks = {};
            FKeptReads = 0;
            FKeptWrite = false;
            ReleaseUnneededLocks();
        } catch (const std::exception& e) {
            FServices.SetLastError(e);
            FLocks = {};
        }
    }
    // A shared table wrote everything when it gave its write lock back; writing now, without
    // a lock, could overwrite what another process wrote since.
    bool writeBack = !GetReadOnly() && !FLockFile;
    std::int16_t result = 0;
    // One flush for all files, behind the journal; when it fails the files stay as they were,
    // and nothing more is written behind its back.
    if (writeBack && GetActive()) {
        result = Flush(false);
        writeBack = result == 0;
    }
    for (auto& index : FIndexFiles) {
        if (index && index->IsOpen() && index->Close(writeBack) < 0 && result == 0)
            result = -index->LastErrorCode();
        index.reset();
    }
    FSystemDefs = {};
    if (FDataFile) {
        try {
            if (writeBack && FDataFile->GetIsOpen())
                FDataFile->Flush();
        } catch (const ETdbEngine& e) {
            result = FServices.SetLastError(e);
        }
        FDataFile->Close();
        FDataFile.reset();
    }
    LogOutOfLockFile();
    FCryptor.Reset();
    return result;
}

void TTdbBaseTable::ClearDefinitions() {
    TTdbRelation::ClearDefinitions();
    FKeyDefs.Clear();
    FChecks.Clear();
    FForeignKeyDefs.Clear();
    FTypes.Clear();
}

// ---- Files ----

std::vector<std::u16string> TTdbBaseTable::GetFileNames() const {
    std::vector<std::u16string> names{FFileName};
    for (const auto& index : FIndexFiles)
        if (index)
            names.push_back(index->FileName());
    if (FHasMemo)
        names.push_back(MemoFileName(FileBase(), FLevel));
    if (FHasBlob)
        names.push_back(BlobFileName(FileBase(), FLevel));
    return names;
}

std::u16string TTdbBaseTable::PhysicalDirectory() const {
    if (FServices.DatabaseType() == dbtSingleFile && FServices.LockFileSystem() != nullptr) {
        std::u16string directory = FServices.LockFileSystem()->GetBaseDirectory();
        if (directory.empty() || directory.back() != u'/')
            directory += u'/';
        return directory;
    }
    const std::u16string expanded =
        FFileSystem != nullptr ? FFileSystem->ExpandFileName(FFileName) : FFileName;
    return expanded.substr(0, FileNameStart(expanded));
}

// ---- Backing up ----

namespace {

// Copies a whole file into Target under its name without directory. A file this table holds
// open is read through its own storage: its lock keeps every other handle out, this process's
// too.
void CopyFileTo(TdwFileSystem& source, const std::u16string& fileName, TTdbClientStorage* open,
                TdwFileSystem& target) {
    constexpr std::int32_t kReadDenyNone = 64;
    const std::u16string targetName = fileName.substr(FileNameStart(fileName));
    const std::int32_t out = target.CreateFile(targetName);
    if (out < 0)
        RaiseEngineError(kTdbErrWriteFile, {target.ExpandFileName(targetName)});
    std::int32_t in = -1;
    if (open == nullptr) {
        in = source.OpenFile(fileName, kReadDenyNone);
        if (in < 0) {
            target.CloseFile(out);
            RaiseEngineError(kTdbErrReadFile, {source.ExpandFileName(fileName)});
        }
    }
    std::vector<std::byte> buffer(std::size_t{1} << 16);
    bool readFailed = false;
    bool writeFailed = false;
    try {
        for (std::int64_t pos = 0; !readFailed && !writeFailed;) {
            const std::int32_t read =
                open != nullptr ? open->ReadDirect(pos, buffer) : source.FileRead(in, pos, buffer);
            if (read < 0) {
                readFailed = true;
                break;
            }
            if (read == 0)
                break;
            const std::span<const std::byte> part(buffer.data(), static_cast<std::size_t>(read));
            writeFailed = target.FileWrite(out, pos, part) != read;
            pos += read;
        }
    } catch (const ETdbPageManager&) {
        readFailed = true;
    }
    if (in >= 0)
        source.CloseFile(in);
    writeFailed = !target.SyncFile(out, targetName) || writeFailed;
    target.CloseFile(out);
    if (readFailed)
        RaiseEngineError(kTdbErrReadFile, {source.ExpandFileName(fileName)});
    if (writeFailed)
        RaiseEngineError(kTdbErrWriteFile, {target.ExpandFileName(targetName)});
}

}  // namespace

void TTdbBaseTable::BackupFilesTo(TdwFileSystem& target) {
    CheckEngineResult(Flush(false));
    CopyFileTo(*FFileSystem, FFileName, FDataFile->Storage(), target);
    for (const auto& index : FIndexFiles) {
        if (index && FFileSystem->FileExists(index->FileName()))
            CopyFileTo(*FFileSystem, index->FileName(), index->IsOpen() ? &index->Storage() : nullptr,
                       target);
    }
    if (FHasMemo)
        CopyFileTo(*FFileSystem, MemoFileName(FileBase(), FLevel), nullptr, target);
    if (FHasBlob)
        CopyFileTo(*FFileSystem, BlobFileName(FileBase(), FLevel), nullptr, target);
}

// ---- Index building ----

std::int16_t TTdbBaseTable::ErzeugeIndexFile(TTdbIndexNo indexNo, std::int32_t capacity,
                                             const TProgFun& progFun, bool repair) {
    TTdbIndexFile* index = GetIndexFile(indexNo);
    if (index == nullptr)
        return Fail(kTdbErrIndexNotFound, {NumberText(indexNo)});
    if (!repair) {
        const std::int32_t pageSize =
            index->CalcPageSizeForCapacity(capacity < 1 ? FCapacity : capacity);
        const std::int16_t created = index->NewStorage(FLevel, pageSize);
        if (created < 0)
            return created;
        if (!CheckIndexDefinition(index->IndexDef()))
            return -kTdbErrNonCritical;
    } else {
        if (!CheckIndexOpen(indexNo, false))
            return -kTdbErrNonCritical;
        const std::int16_t cleared = index->Clear_Index();
        if (cleared < 0)
            return cleared;
    }
    const std::int16_t locked = repair ? BeginWrite(true) : BeginRead(true);
    if (locked < 0)
        return locked;
    std::int16_t result;
    {
        TDataFileRecords records(*FDataFile);
        TBulkInsertInfo info(*FKeys, index->IndexDef(), index->GetWorkInfo(0), records, FStdName);
        info.IndexNo = indexNo;
        info.SetKeyFailure([this](const std::exception& reason) { FServices.SetLastError(reason); });
        result = index->BulkInsert(FDataFile->GetRecordCount(), info.AsGetIndexItem(),
                                   progFun ? TTdbIndexFile::TProgress(progFun)
                                           : TTdbIndexFile::TProgress());
    }
    if (result == 0) {
        result = index->Flush();
        if (result == 0)
            result = index->UpdateDir();
    }
    const std::int16_t closed = index->Close(false);
    if (result == 0)
        result = closed;
    if (repair)
        EndWrite();
    else
        EndRead();
    return result;
}

std::int16_t TTdbBaseTable::NewIndex(std::u16string_view indexName, const TTdbSortDef& indexDef,
                                     const TProgFun& progFun, std::int32_t capacity) {
    if (!IsStoredIndexName(indexName))
        return Fail(kTdbErrInvalidIndexName, {std::u16string(indexName)});
    const TTdbIndexKind kind = GetIndexKind(indexName, FLevel);
    if (kind != tikTemporary && (FRights & kRightIndex) == 0)
        return Fail(kTdbErrNoIndexRight);
    const TTdbIndexNo maxNo = FLevel >= 4 ? 49 : 14;
    bool free = false;
    for (TTdbIndexNo no = 0; no <= maxNo && !free; ++no)
        free = GetIndexFile(no) == nullptr;
    if (!free && !MakeIndexRoom())
        return Fail(kTdbErrTooManyIndexes);
    TTdbSortDef def(indexDef);
    def.SetName(std::u16string(indexName));
    def.UpdateSize(FLevel);
    if (!CheckIndexDefinition(def))
        return -kTdbErrNonCritical;
    if (FindIndexByName(indexName) != kTdbNoIndex)
        return Fail(kTdbErrIndexAlreadyOpen, {std::u16string(indexName)});
    const std::u16string fileName = CalcIndexFileName(indexName);
    if (FFileSystem->FileExists(fileName))
        return Fail(kTdbErrIndexFileExists, {fileName});
    const std::int16_t locked = BeginWrite(true);
    if (locked < 0)
        return locked;
    std::int16_t result;
    try {
        const TTdbIndexNo no = InitIndex(indexName, def);
        if (no < 0) {
            result = Fail(static_cast<std::int16_t>(-no), {std::u16string(indexName)});
        } else {
            result = ErzeugeIndexFile(no, capacity, progFun, false);
            if (result < 0) {
                DropIndex(no, true);
            } else {
                // Other processes open the new file as soon as they learn of it.
                CheckEngineResult(GetIndexFile(no)->UpdateDir());
                StoreIndexNames();
                result = no;
            }
        }
    } catch (const std::exception& e) {
        result = FServices.SetLastError(e);
    }
    EndWrite();
    return result;
}

std::int16_t TTdbBaseTable::RegenIndex(const TProgFun& progFun) {
    if ((FRights & kRightIndex) == 0)
        return 0;
    for (TTdbIndexNo no = 0; no <= FLastIndexNo; ++no) {
        if (GetIndexFile(no) == nullptr)
            continue;
        const std::int16_t result = ErzeugeIndexFile(no, 0, progFun, true);
        if (result < 0)
            return result;
    }
    return 0;
}

std::int16_t TTdbBaseTable::RemoveInd(TTdbIndexNo indexNo) {
    TTdbIndexFile* index = GetIndexFile(indexNo);
    if (index == nullptr)
        return Fail(kTdbErrIndexNotFound, {NumberText(indexNo)});
    if (index->IsAutomatic())
        return Fail(kTdbErrIndexInUse);
    if (!CanRemoveIndex(indexNo))
        return Fail(kTdbErrIndexInUse);
    const std::int16_t locked = BeginExclusive(true);
    if (locked < 0)
        return locked;
    std::int16_t result = 0;
    try {
        DropIndex(indexNo, true);
        StoreIndexNames();
        NotifyIndexRemoved(indexNo);
    } catch (const std::exception& e) {
        result = FServices.SetLastError(e);
    }
    EndExclusive();
    return result;
}

// Gives the index's number up, closes it and, asked to, deletes its file.
void TTdbBaseTable::DropIndex(TTdbIndexNo indexNo, bool deleteFile) {
    auto& slot = FIndexFiles[static_cast<std::size_t>(indexNo)];
    if (!slot)
        return;
    const std::u16string fileName = slot->FileName();
    if (slot->IsOpen()) {
        slot->Undo();
        slot->Close(false);
    }
    slot.reset();
    FSystemDefs[static_cast<std::size_t>(indexNo)].reset();
    if (deleteFile && FFileSystem->FileExists(fileName))
        FFileSystem->DeleteFile(fileName);
    while (FLastIndexNo >= 0 && !FIndexFiles[static_cast<std::size_t>(FLastIndexNo)])
        --FLastIndexNo;
}

bool TTdbBaseTable::MakeIndexRoom() {
    std::vector<TTdbIndexNo> removable;
    for (TTdbIndexNo no = kTdbMaxIndexNo; no >= 0; --no) {
        const TTdbIndexFile* index = GetIndexFile(no);
        if (index == nullptr)
            continue;
        if ((index->Kind() == tikTemporary && CanRemoveIndex(no)) ||
            (index->IsAutomatic() && index->IsLost()))
            removable.push_back(no);
    }
    if (removable.empty() || BeginExclusive(false) < 0)
        return false;
    for (TTdbIndexNo no : removable) {
        DropIndex(no, true);
        NotifyIndexRemoved(no);
    }
    EndExclusive();
    return true;
}

// The data file keeps the names of the user and temporary indexes in number order.
void TTdbBaseTable::StoreIndexNames() {
    if (GetReadOnly())
        return;
    std::vector<std::u16string>& names = FDataFile->IndexNames();
    names.clear();
    for (const auto& index : FIndexFiles)
        if (index)
            names.push_back(index->Name());
    FDataFile->WriteIndexNames();
    FLoadedIndexNames = names.size();
    // Other sessions load an index they learn of from the lock file.
    if (FLockFile)
        FLockFile->WriteIndexCount(static_cast<std::int16_t>(names.size()));
}

std::int16_t TTdbBaseTable::CreateTempIndex(const TTdbSortDef& def) {
    for (int number = 1; number <= 99; ++number) {
        std::u16string name;
        if (FLevel >= 4) {
            name = u"tmp" + NumberText(number);
            while (name.size() < 6)
                name.insert(3, 1, u'0');
        } else {
            std::u16string digits = NumberText(number);
            if (digits.size() < 2)
                digits.insert(0, 1, u'0');
            name = FStdName + u".$" + digits;
        }
        const std::int16_t result = NewIndex(name, def, {}, 0);
        if (result != -kTdbErrIndexFileExists && result != -kTdbErrIndexAlreadyOpen)
            return result;
    }
    return Fail(kTdbErrTooManyIndexes);
}

TTdbIndexNo TTdbBaseTable::FindIndex(const TTdbSortDef& def, std::uint8_t options,
                                     bool& reverse) {
    const TTdbIndexNo found = TTdbRelation::FindIndex(def, options, reverse);
    if (found != kTdbNoIndex || (options & tifoCreate) == 0 || GetReadOnly() ||
        GetRecordCount() < 0)
        return found;
    if ((options & tifoIncludeSpecial) != 0 && FNativeSortDef.LevelCount > 0) {
        bool nativeReverse = false;
        if (FNativeSortDef.Covers(def, (options & tifoNoReverse) == 0, nativeReverse))
            return kTdbNoIndex;
    }
    reverse = false;
    const std::int16_t created = CreateTempIndex(def);
    return created < 0 ? kTdbNoIndex : created;
}

// ---- Creating ----

std::int16_t TTdbBaseTable::NewFile(TNewTable& table, const TTdbSortDefs& indexDefs) {
    const std::u16string_view directory =
        std::u16string_view(FFileName).substr(0, FileNameStart(FFileName));
    FFileSystem = FServices.DetermineFileSystem(directory);
    if (FFileSystem == nullptr)
        return Fail(kTdbErrFileNotFound, {FFileName});
    try {
        FCryptor.SetEncryptionMethod(table.EncryptionMethod);
        FCryptor.SetKey(table.Key);
        TTdbHeapDataFile file(FServices.PageManager(), *FFileSystem, FServices.FSessionHdl,
                              FFileName);
        file.NewFile(table.Level, FCryptor, table.Capacity, table.Collation, table.Types,
                     table.Columns, table.Checks, table.Keys, table.ForeignKeys);
        file.Flush();
        file.UpdateDir();
        file.Close();
    } catch (const std::exception& e) {
        FCryptor.Reset();
        return FServices.SetLastError(e);
    }
    FCryptor.Reset();
    FKey = table.Key;
    FRights = kRightsWrite | kRightExclusive;
    std::int16_t result = Open(false);
    if (result < 0)
        return result;
    result = Setup(true);
    for (int i = 0; result >= 0 && i < indexDefs.GetCount(); ++i) {
        const TTdbSortDef& def = *indexDefs.Get(i);
        result = NewIndex(def.GetName(), def, {}, table.Capacity);
    }
    // Every index without a file gets it now, while the table is still empty: the engine's own
    // and also those of candidate keys with a name of their own, which count as user indexes and
    // would otherwise never have one.
    for (TTdbIndexNo no = 0; result >= 0 && no <= FLastIndexNo; ++no) {
        TTdbIndexFile* index = GetIndexFile(no);
        if (index == nullptr || index->IsOpen())
            continue;
        if (index->IsAutomatic())
            result = CheckIndexOpen(no, false) ? 0 : -kTdbErrNonCritical;
        else if (!FFileSystem->FileExists(index->FileName()))
            result = ErzeugeIndexFile(no, table.Capacity, {}, false);
    }
    if (result >= 0) {
        try {
            StoreIndexNames();
            result = Flush(false);
        } catch (const std::exception& e) {
            result = FServices.SetLastError(e);
        }
    }
    return result < 0 ? result : 0;
}

// ---- Views ----

TTdbVirtualRelation::TTdbVirtualRelation(TTdbServices& services, std::u16string name,
                                         TTdbRelation& base)
    : TTdbRelation(services), FName(std::move(name)), FBase(base) {}

std::int16_t TTdbVirtualRelation::OpenFiles(bool /*force*/) {
    FColumnDefs = FBase.ColumnDefs();
    FRights = FBase.Rights();
    AnalyzeColumns();
    if (!FIsOpen)
        FBase.AddView();
    FIsOpen = true;
    return 0;
}

std::int16_t TTdbVirtualRelation::CloseFiles() {
    if (FIsOpen)
        FBase.RemoveView();
    FIsOpen = false;
    return 0;
}

bool TTdbVirtualRelation::IsSameTableName(std::u16string_view name) const {
    return SameTableText(name, FName);
}

std::u16string TTdbBaseTable::IndexDisagreement(TTdbIndexNo indexNo) {
    CheckEngineResult(BeginRead(true));
    struct TReadGuard {
        TTdbBaseTable& Table;
        ~TReadGuard() { Table.EndRead(); }
    } guard{*this};
    TTdbIndexFile* index = GetIndexFile(indexNo);
    if (index == nullptr)
        RaiseEngineError(kTdbErrIndexNotFound, {NumberText(indexNo)});
    if (!CheckIndexOpen(indexNo, false))
        return u"does not open";
    const std::int32_t records = GetRecordCount();
    if (index->ItemCount() != records)
        return u"counts " + NumberText(index->ItemCount()) + u" entries for " +
               NumberText(records) + u" records";
    std::int32_t items = 0;
    std::int32_t wrongSort = 0;
    if (index->Check(items, wrongSort) != 0 || wrongSort != 0)
        return u"its tree does not check clean (" + NumberText(wrongSort) +
               u" entries out of order)";
    std::vector<std::byte> record(static_cast<std::size_t>(GetRecordSize()));
    std::vector<std::byte> built(static_cast<std::size_t>(std::max(index->IndSize(), 4)));
    std::vector<bool> seen(static_cast<std::size_t>(records) + 1);
    std::int32_t walked = 0;
    std::span<std::byte> entry = index->GetWorkInfo(4);
    for (int found = index->Erster_Index(entry); found == 0;
         found = index->Naechster_Index(entry)) {
        const std::int32_t recNo = GetDateiVerweis(entry);
        if (recNo < 1 || recNo > records || seen[static_cast<std::size_t>(recNo)])
            return u"holds record " + NumberText(recNo) + u" wrongly";
        seen[static_cast<std::size_t>(recNo)] = true;
        ++walked;
        CheckEngineResult(ReadRecord(recNo, record));
        Keys().CalcIndexInfo(index->IndexDef(), record, recNo, built);
        if (!Keys().IsSameIndexInfo(index->IndexDef(), built, entry))
            return u"the entry of record " + NumberText(recNo) + u" is not its key";
    }
    if (walked != records)
        return u"walks " + NumberText(walked) + u" entries for " + NumberText(records) +
               u" records";
    return {};
}

}  // namespace tdb
