// The index file: creating and opening the file with its stored definition, and the entry
// operations of tables, each turning a tree failure into the engine error of the operation.
#include "index/index_file.h"

#include <algorithm>
#include <exception>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "index/bplus_tree.h"
#include "index/btree.h"
#include "index/index_keys.h"
#include "platform/text.h"
#include "storage/page_manager.h"
#include "types/column_def.h"

namespace tdb {

namespace {


constexpr std::int32_t kMagicSize = 6;  // magic and version in front of the tree header
constexpr std::int32_t kOldHeaderSize = 14;
constexpr std::int32_t kProbeSize = 6;
constexpr std::uint16_t kDescendingBit = 0x8000;
constexpr std::int32_t kComponentRecordSize = 5;
constexpr std::int32_t kOldExpressionKeySize = 256;
constexpr int kProgressStep = 1000;

// Fields of the index file behind the tree header, from version 4 on.
constexpr std::int32_t kItemCountField = 0;
constexpr std::int32_t kCalculatedField = 5;
constexpr std::int32_t kUniqueField = 6;
constexpr std::int32_t kLevelCountField = 7;
constexpr std::int32_t kItemsField = 9;
// Versions 1 to 3: the packed definition comes first.
constexpr std::int32_t kOldUniqueField = 50;
constexpr std::int32_t kOldItemCountField = 51;
constexpr std::int32_t kOldEntrySizeField = 55;

bool IsStringType(int columnType) {
    return columnType == ctString || columnType == ctWideString;
}

// Wraps a failure of reading the stored definition so that Open reports it as such.
[[noreturn]] void RaiseInconsistent(const std::u16string& name) {
    RaiseEngineError(kTdbErrInconsistentIndex, {name});
}

}  // namespace

TTdbIndexFile::TTdbIndexFile(const TTdbIndexKeys& keys, std::int16_t version,
                             std::unique_ptr<TTdbClientStorage> storage,
                             TTdbExpressionFactory* factory)
    : FKeys(keys),
      FComparator(std::make_shared<TTdbKeyComparator>(keys)),
      FTableLevel(keys.TableLevel()),
      FVersion(version),
      FStorage(std::move(storage)),
      FFactory(factory) {}

std::unique_ptr<TTdbIndexFile> TTdbIndexFile::CreateCopy(
    const TTdbIndexFile& source, std::unique_ptr<TTdbClientStorage> storage) {
    auto copy =
        std::make_unique<TTdbIndexFile>(source.FKeys, source.FVersion, std::move(storage),
                                        source.FFactory);
    copy->FIndexDef = source.FIndexDef;
    copy->FKind = source.FKind;
    copy->FPrimary = source.FPrimary;
    copy->FReadOnly = source.FReadOnly;
    copy->FExclusive = source.FExclusive;
    copy->FErrorReport = source.FErrorReport;
    copy->FStorage->SetName(source.FStorage->Name());
    copy->PrepareKeyComparator();
    if (source.FTree) {
        // A tree of the same kind, but comparing through the copy's own comparator: the
        // source may change or drop its definition while the copy lives on.
        const bool bPlusTree = dynamic_cast<const TTdbBPlusTree*>(source.FTree.get()) != nullptr;
        copy->FTree =
            copy->MakeTree(bPlusTree, source.FTree->GetVersion(), source.FTree->GetOffset());
        auto* bTree = dynamic_cast<TTdbBTree*>(copy->FTree.get());
        if (bTree != nullptr && source.FTree->GetSize() > 0)
            bTree->SetItemSize(source.FTree->GetSize());
    }
    return copy;
}

TTdbIndexFile::~TTdbIndexFile() {
    CloseFile();
}

// ---- Failures ----

std::int16_t TTdbIndexFile::Fail(std::int16_t code, const std::u16string& message) {
    FLastErrorCode = code;
    FLastErrorMessage = message;
    if (FErrorReport) {
        try {
            FErrorReport(code, message);
        } catch (...) {
            // A failing report must not hide the failure being reported.
        }
    }
    return static_cast<std::int16_t>(-code);
}

std::int16_t TTdbIndexFile::FailWith(std::int16_t code, const std::u16string& argument) {
    return Fail(code, EngineErrorMessage(code, {argument}));
}

// Inside a catch block: the operation's own error, unless the failure already is a more
// telling engine error of its own (a full tree, a definition that does not fit).
std::int16_t TTdbIndexFile::FailFromException(std::int16_t code, const std::u16string& argument) {
    try {
        throw;
    } catch (const ETdbEngine& e) {
        if (e.Code() == 171 || e.Code() == kTdbErrTooManyLevels || e.Code() == kTdbErrIndexDataTooLarge)
            return Fail(e.Code(), e.Message());
        return FailWith(code, argument);
    } catch (...) {
        return FailWith(code, argument);
    }
}

void TTdbIndexFile::Succeed() noexcept {
    FLastErrorCode = 0;
    FLastErrorMessage.clear();
}

// ---- Definition ----

std::int16_t TTdbIndexFile::SetIndexDefinition(const TTdbSortDef& indexDef) {
    if (indexDef.LevelCount > MaxSortLevels(FTableLevel))
        return FailWith(kTdbErrTooManyLevels, {});
    std::u16string name = FIndexDef.GetName();
    FIndexDef = indexDef;
    if (FIndexDef.GetName().empty())
        FIndexDef.SetName(std::move(name));
    bool stringKey = false;
    for (int i = 0; i < FIndexDef.LevelCount; ++i)
        stringKey = stringKey || IsStringType(FIndexDef.Items[static_cast<std::size_t>(i)].ColumnType);
    FIndexDef.IsVarSize = FVersion >= 6 && stringKey;
    // Known from here on: a table sizes the pages of an index before it creates the file.
    UpdateEntrySize(FVersion);
    PrepareKeyComparator();
    Succeed();
    return 0;
}

void TTdbIndexFile::PrepareKeyComparator() {
    FComparator->Prepare(FIndexDef);
}

void TTdbIndexFile::SetOpenModes(bool readOnly, bool exclusive) noexcept {
    FReadOnly = readOnly;
    FExclusive = exclusive;
}

void TTdbIndexFile::SetPrimary(bool primary) noexcept {
    FPrimary = primary;
    if (primary)
        FIndexDef.IsUnique = true;
}

void TTdbIndexFile::SetName(std::u16string name) {
    FIndexDef.SetName(std::move(name));
}

const std::u16string& TTdbIndexFile::FileName() const noexcept {
    return FStorage->Name();
}

std::int16_t TTdbIndexFile::Version() const noexcept {
    return FTree ? FTree->GetVersion() : FVersion;
}

TTdbLongIndexInfo TTdbIndexFile::CreateLongIndexInfo() const {
    return TTdbLongIndexInfo(static_cast<std::size_t>(std::max(IndSize(), 4)));
}

std::span<std::byte> TTdbIndexFile::GetWorkInfo(int index) {
    TTdbLongIndexInfo& info = FWorkInfos.at(static_cast<std::size_t>(index));
    if (info.size() < static_cast<std::size_t>(IndSize()))
        info = CreateLongIndexInfo();
    return info;
}

std::int32_t TTdbIndexFile::CalcPageSizeForCapacity(std::int64_t capacity) const {
    return TTdbBTree::CalcPageSizeFor(Version(), IndSize(), capacity);
}

void TTdbIndexFile::UpdateEntrySize(std::int16_t version) {
    const bool bPlusTree = version >= 6 && FIndexDef.IsVarSize;
    if (FIndexDef.IsCalculated && !bPlusTree)
        FIndexDef.SetSize(kTdbIndexRecordRefSize + FIndexDef.GetKeySize(version));
    else if (!FIndexDef.IsCalculated)
        FIndexDef.UpdateSize(version);
}

// ---- The header page ----

std::unique_ptr<TTdbTreeBase> TTdbIndexFile::MakeTree(bool bPlusTree, std::int16_t version,
                                                      std::int32_t offset) const {
    if (bPlusTree) {
        auto tree =
            std::make_unique<TTdbBPlusTree>(*FStorage, offset, FKeys.GetTreeLess(FComparator));
        // Entries carry their record number: an equal entry is the same one added twice.
        tree->SetRejectEqual(true);
        return tree;
    }
    return std::make_unique<TTdbBTree>(*FStorage, version, offset, FKeys.GetTreeLess(FComparator));
}

std::int32_t TTdbIndexFile::UserOffset() const {
    return FTree->GetOffset() + FTree->GetHeaderSize();
}

std::int32_t TTdbIndexFile::ItemCountOffset() const {
    return UserOffset() + (FTree->GetVersion() >= 4 ? kItemCountField : kOldItemCountField);
}

void TTdbIndexFile::WriteItemCount() {
    FHeaderPage->WriteInt32(ItemCountOffset(), FItemCount);
}

void TTdbIndexFile::ReadItemCount() {
    FItemCount = FHeaderPage->ReadInt32(ItemCountOffset());
}

void TTdbIndexFile::WriteDefinition() {
    TTdbStoragePageSite& page = *FHeaderPage;
    const std::int32_t user = UserOffset();
    const std::int16_t version = FTree->GetVersion();
    if (version < 4) {
        TTdbSortVector vector{};
        FIndexDef.GetVectorData(vector);
        page.CopyFrom(vector, user);
        page.WriteInt8(user + kOldUniqueField, FIndexDef.IsUnique ? 1 : 0);
        page.WriteInt16(user + kOldEntrySizeField, static_cast<std::int16_t>(IndSize()));
        return;
    }
    page.WriteInt8(user + kCalculatedField, FIndexDef.IsCalculated ? 1 : 0);
    page.WriteInt8(user + kUniqueField, FIndexDef.IsUnique ? 1 : 0);
    std::int32_t pos = user + kItemsField;
    if (FIndexDef.IsCalculated) {
        const TTdbSortItem& result = FIndexDef.Items[0];
        const std::u16string source =
            FIndexDef.GetCalculation()
                ? StoredExpressionSource(*FIndexDef.GetCalculation(), version)
                : FIndexDef.FSource;
        const std::int32_t end = pos + 5 + 2 * static_cast<std::int32_t>(source.size()) + 2;
        if (source.size() > 0x7FFF || end > page.PageSize())
            RaiseEngineError(kTdbErrIndexInsert, {Name()});
        page.WriteInt16(user + kLevelCountField, 1);
        page.WriteInt8(pos, static_cast<std::int8_t>(result.ColumnType));
        page.WriteInt16(pos + 1, result.Size);
        page.WriteInt16(pos + 3, static_cast<std::int16_t>(source.size()));
        pos += 5;
        for (char16_t c : source) {
            page.WriteInt16(pos, static_cast<std::int16_t>(c));
            pos += 2;
        }
    } else {
        page.WriteInt16(user + kLevelCountField, FIndexDef.LevelCount);
        if (pos + FIndexDef.LevelCount * kComponentRecordSize + 2 > page.PageSize())
            RaiseEngineError(kTdbErrIndexInsert, {Name()});
        for (int i = 0; i < FIndexDef.LevelCount; ++i) {
            const TTdbSortItem& item = FIndexDef.Items[static_cast<std::size_t>(i)];
            const auto columnNo = static_cast<std::uint16_t>(
                static_cast<std::uint16_t>(item.ColumnNo) | (item.Descending ? kDescendingBit : 0));
            page.WriteInt16(pos, static_cast<std::int16_t>(columnNo));
            page.WriteInt16(pos + 2, item.Size);
            page.WriteInt8(pos + 4, static_cast<std::int8_t>(item.ColumnType));
            pos += kComponentRecordSize;
        }
    }
    page.WriteInt16(pos, static_cast<std::int16_t>(IndSize()));
}

// Reads the stored definition into a fresh one and checks it against the table's columns and
// the tree before it replaces the current definition; anything that does not fit is error 28.
void TTdbIndexFile::ReadDefinition() {
    TTdbStoragePageSite& page = *FHeaderPage;
    const std::int32_t user = UserOffset();
    const std::int16_t version = FTree->GetVersion();
    TTdbSortDef def(Name());
    std::int32_t entrySize = 0;
    if (version < 4) {
        TTdbSortVector vector{};
        page.CopyTo(user, vector);
        def.SetVectorData(vector, FFactory, version);
        def.IsUnique = page.ReadInt8(user + kOldUniqueField) != 0;
        entrySize = static_cast<std::uint16_t>(page.ReadInt16(user + kOldEntrySizeField));
    } else {
        const bool calculated = page.ReadInt8(user + kCalculatedField) != 0;
        def.IsUnique = page.ReadInt8(user + kUniqueField) != 0;
        const std::int16_t levelCount = page.ReadInt16(user + kLevelCountField);
        std::int32_t pos = user + kItemsField;
        if (calculated) {
            if (levelCount != 1)
                RaiseInconsistent(Name());
            const auto resultType = static_cast<std::uint8_t>(page.ReadInt8(pos));
            const std::int16_t resultSize = page.ReadInt16(pos + 1);
            const std::int16_t length = page.ReadInt16(pos + 3);
            pos += 5;
            if (resultSize <= 0 || length < 0 || pos + 2 * length + 2 > page.PageSize())
                RaiseInconsistent(Name());
            std::u16string source(static_cast<std::size_t>(length), u'\0');
            for (char16_t& c : source) {
                c = static_cast<char16_t>(page.ReadInt16(pos));
                pos += 2;
            }
            if (FFactory)
                def.SetCalculation(CreateStoredCalculation(*FFactory, source, version));
            // The stored result decides the key layout, whatever the compiled expression
            // knows before it is prepared.
            def.IsCalculated = true;
            def.LevelCount = 1;
            def.Items[0] = {resultType, 0, resultSize, false};
            def.FSource = source;
        } else {
            if (levelCount < 1 || levelCount > MaxSortLevels(version) ||
                pos + levelCount * kComponentRecordSize + 2 > page.PageSize())
                RaiseInconsistent(Name());
            for (int i = 0; i < levelCount; ++i) {
                const auto columnNo = static_cast<std::uint16_t>(page.ReadInt16(pos));
                const std::int16_t size = page.ReadInt16(pos + 2);
                const auto columnType = static_cast<std::uint8_t>(page.ReadInt8(pos + 4));
                def.AddItem(static_cast<std::int16_t>(columnNo & ~kDescendingBit), columnType,
                            size, (columnNo & kDescendingBit) != 0);
                pos += kComponentRecordSize;
            }
        }
        entrySize = static_cast<std::uint16_t>(page.ReadInt16(pos));
    }
    if (def.IsCalculated) {
        const std::int32_t keySize =
            version >= 6 ? def.Items[0].Size : kOldExpressionKeySize;
        if (entrySize != kTdbIndexRecordRefSize + keySize)
            RaiseInconsistent(Name());
    } else {
        if (def.LevelCount < 1 || entrySize != kTdbIndexRecordRefSize + def.GetKeySize(version))
            RaiseInconsistent(Name());
        for (int i = 0; i < def.LevelCount; ++i) {
            if (def.Items[static_cast<std::size_t>(i)].Size <= 0)
                RaiseInconsistent(Name());
        }
        def.CheckColumns(FKeys.ColumnDefs());
    }
    def.SetSize(entrySize);
    def.IsVarSize = FTree->GetSize() == 0;
    if (!def.IsVarSize && FTree->GetSize() != entrySize)
        RaiseInconsistent(Name());
    FIndexDef = std::move(def);
    PrepareKeyComparator();
}

// ---- Opening and closing ----

void TTdbIndexFile::OpenFile() {
    FStorage->Open(FReadOnly, FExclusive);
    std::array<std::byte, kProbeSize> probe{};
    const std::int32_t got = FStorage->ReadDirect(0, probe);
    const auto magic = got >= 4 ? LoadLE<std::uint32_t>(probe.data()) : 0u;
    const auto storedVersion = got >= kProbeSize ? LoadLE<std::int16_t>(probe.data() + 4) : 0;
    if (magic == kBTreeIndexMagic || magic == kBPlusTreeIndexMagic) {
        const bool bPlusTree = magic == kBPlusTreeIndexMagic;
        if (storedVersion < 4 || storedVersion > (bPlusTree ? 0x7FFF : 6))
            RaiseInconsistent(Name());
        FTree = MakeTree(bPlusTree, storedVersion, kMagicSize);
    } else {
        // Files without a magic carry no version either: the table's level tells whether the
        // tree keeps a free list (level 3) or none (levels 1 and 2).
        const std::int16_t version = FTableLevel >= 1 && FTableLevel <= 3 ? FTableLevel : 1;
        FTree = MakeTree(false, version, 0);
    }
    FTree->Open(&FIndexDef);
    FHeaderPage = FStorage->CreatePageSite();
    FHeaderPage->LoadPage(0);
    ReadDefinition();
    ReadItemCount();
}

std::int16_t TTdbIndexFile::Open() {
    CloseFile();
    FLost = false;
    const std::u16string fileName = FStorage->Name();
    if (!FStorage->FileSystem().FileExists(fileName)) {
        FLost = true;
        return FailWith(kTdbErrFileNotFound, fileName);
    }
    try {
        OpenFile();
    } catch (const ETdbPMStorageAccessDenied&) {
        // The file is sound but held by someone else: not lost, only out of reach now.
        CloseFile();
        return FailWith(kTdbErrFileNotFound, fileName);
    } catch (...) {
        CloseFile();
        FLost = true;
        return FailWith(kTdbErrInconsistentIndex, Name());
    }
    FOpen = true;
    Succeed();
    return 0;
}

std::int16_t TTdbIndexFile::NewStorage(std::int16_t version, std::int32_t pageSize) {
    CloseFile();
    FLost = false;
    FVersion = version;
    try {
        FStorage->NewStorage();
        const bool bPlusTree = version >= 6 && FIndexDef.IsVarSize;
        UpdateEntrySize(version);
        PrepareKeyComparator();
        FTree = MakeTree(bPlusTree, version, version >= 4 ? kMagicSize : 0);
        if (auto* bTree = dynamic_cast<TTdbBTree*>(FTree.get()))
            bTree->SetItemSize(IndSize());
        if (bPlusTree)
            pageSize = BPlusPageSize(pageSize);
        FTree->New(pageSize, &FIndexDef);
        FHeaderPage = FStorage->CreatePageSite();
        FHeaderPage->LoadPage(0);
        if (version >= 4) {
            FHeaderPage->WriteInt32(0, static_cast<std::int32_t>(bPlusTree ? kBPlusTreeIndexMagic
                                                                           : kBTreeIndexMagic));
            FHeaderPage->WriteInt16(4, version);
        }
        WriteDefinition();
        FItemCount = 0;
        WriteItemCount();
        // An Undo before the first flush of the caller must find the header on disk: rolled
        // back, page 0 would lose its magic and definition and the file never open again.
        FStorage->Flush();
    } catch (...) {
        const std::int16_t result = FailFromException(kTdbErrIndexInsert, Name());
        CloseFile();
        return result;
    }
    FOpen = true;
    Succeed();
    return 0;
}

// The smallest page size from the one asked for on that takes the largest entry, where one
// does; the tree caps page sizes, so an entry it cannot take is refused.
std::int32_t TTdbIndexFile::BPlusPageSize(std::int32_t pageSize) const {
    pageSize = std::min(pageSize, TTdbBPlusTree::kMaxPageSize);
    while (pageSize > 0 && TTdbBPlusTree::MaxItemSizeFor(pageSize) < IndSize() &&
           pageSize < TTdbBPlusTree::kMaxPageSize)
        pageSize *= 2;
    if (TTdbBPlusTree::MaxItemSizeFor(pageSize) < IndSize()) {
        RaiseEngineError(kTdbErrIndexDataTooLarge,
                         {QuotedText(Name()) + u": entries of up to " + NumberText(IndSize()) +
                          u" bytes"});
    }
    return pageSize;
}

void TTdbIndexFile::CloseFile() noexcept {
    for (TTdbLongIndexInfo& info : FWorkInfos)
        TTdbLongIndexInfo().swap(info);
    TTdbLongIndexInfo().swap(FSearchInfo);
    FHeaderPage.reset();
    if (FTree) {
        try {
            FTree->Close();
        } catch (...) {
            // Closing gives up what it holds whatever the tree says.
        }
    }
    if (FStorage)
        FStorage->Close();
    FOpen = false;
}

std::int16_t TTdbIndexFile::Close(bool update) {
    if (!FOpen) {
        CloseFile();
        return 0;
    }
    std::int16_t result = 0;
    try {
        if (update && !FReadOnly)
            FTree->Flush();
    } catch (...) {
        result = FailWith(kTdbErrCloseFile, FileName());
    }
    CloseFile();
    FTree.reset();
    FComparator->Reset();
    FIndexDef = TTdbSortDef(Name());
    if (result == 0)
        Succeed();
    return result;
}

// ---- Entries ----

// Runs an operation of an open index; any failure becomes Code (or the failure's own telling
// code) after it is reported.
template <typename Operation>
int TTdbIndexFile::Run(std::int16_t code, Operation operation) {
    try {
        if (!FOpen)
            throw Exception(u"Index is not open");
        const int result = operation();
        Succeed();
        return result;
    } catch (...) {
        return FailFromException(code, Name());
    }
}

int TTdbIndexFile::Erster_Index(std::span<std::byte> key) {
    return Run(kTdbErrIndexRead, [&] { return FTree->FindFirst(key); });
}

int TTdbIndexFile::Letzter_Index(std::span<std::byte> key) {
    return Run(kTdbErrIndexRead, [&] { return FTree->FindLast(key); });
}

// The given entry is copied aside, since the found one is written over it.
std::span<const std::byte> TTdbIndexFile::KeepGiven(std::span<const std::byte> key) {
    FSearchInfo.assign(key.begin(),
                       key.begin() + std::min<std::ptrdiff_t>(std::ssize(key), IndSize()));
    return FSearchInfo;
}

int TTdbIndexFile::Naechster_Index(std::span<std::byte> key) {
    return Run(kTdbErrIndexRead, [&] { return FTree->FindNext(KeepGiven(key), key); });
}

int TTdbIndexFile::Vorheriger_Index(std::span<std::byte> key) {
    return Run(kTdbErrIndexRead, [&] { return FTree->FindPrev(KeepGiven(key), key); });
}

int TTdbIndexFile::Suche_Index(std::span<std::byte> key) {
    return Run(kTdbErrIndexRead, [&] { return FTree->Find(KeepGiven(key), key); });
}

std::int32_t TTdbIndexFile::CalcItemSequenceNo(std::span<const std::byte> key) {
    return std::max(Run(kTdbErrIndexRead, [&] { return FTree->CalcItemSequenceNo(key); }), 0);
}

std::int16_t TTdbIndexFile::Check(std::int32_t& itemCount, std::int32_t& wrongSortCount) {
    itemCount = 0;
    wrongSortCount = 0;
    return static_cast<std::int16_t>(Run(kTdbErrIndexCorrupt, [&] {
        FTree->Check(itemCount, wrongSortCount);
        // A tree that lost entries (a page written short) still walks in order; only the count
        // kept beside it tells.
        if (itemCount != FHeaderPage->ReadInt32(ItemCountOffset()))
            RaiseEngineError(kTdbErrIndexCorrupt, {Name()});
        return 0;
    }));
}

std::int16_t TTdbIndexFile::Add_Index(std::span<const std::byte> item) {
    return static_cast<std::int16_t>(Run(kTdbErrIndexWrite, [&] {
        // An entry that is there already is not counted twice.
        if (FTree->Insert(item)) {
            ++FItemCount;
            WriteItemCount();
        }
        return 0;
    }));
}

std::int16_t TTdbIndexFile::Loesche_Index(std::span<const std::byte> key) {
    return static_cast<std::int16_t>(Run(kTdbErrIndexWrite, [&] {
        // The count follows the tree: an entry that was not there takes nothing away.
        if (FTree->Delete(key)) {
            --FItemCount;
            WriteItemCount();
        }
        return 0;
    }));
}

std::int16_t TTdbIndexFile::BulkInsert(std::int32_t count, const TGetIndexItem& getIndexItem,
                                       const TProgress& progress) {
    if (!FOpen)
        return FailWith(kTdbErrIndexWrite, Name());
    const std::int32_t countBefore = FItemCount;
    std::int16_t result = 0;
    try {
        if (progress)
            progress(0, count);
        TTdbLongIndexInfo entry(static_cast<std::size_t>(std::max(IndSize(), 4)));
        std::int32_t done = 0;
        std::int32_t size = 0;
        while (getIndexItem(entry, size)) {
            if (size < 0 || static_cast<std::size_t>(size) > entry.size())
                throw Exception(u"Index entry of an invalid size");
            if (FTree->Insert(std::span<const std::byte>(entry).first(static_cast<std::size_t>(size))))
                ++FItemCount;
            if (++done % kProgressStep == 0 && progress)
                progress(done, count);
        }
        if (progress)
            progress(count, count);
    } catch (const ETdbEngine& e) {
        result = Fail(e.Code(), e.Message());
    } catch (const std::exception& e) {
        result = FailWith(kTdbErrUnknown, FromUtf8(e.what()));
    } catch (...) {
        result = FailWith(kTdbErrUnknown, {});
    }
    if (FItemCount != countBefore) {
        try {
            WriteItemCount();
        } catch (...) {
            if (result == 0)
                result = FailFromException(kTdbErrIndexWrite, Name());
        }
    }
    if (result == 0)
        Succeed();
    return result;
}

std::int16_t TTdbIndexFile::Clear_Index() {
    return static_cast<std::int16_t>(Run(kTdbErrIndexWrite, [&] {
        FTree->Clear();
        FItemCount = 0;
        WriteItemCount();
        return 0;
    }));
}

// The calls that keep the file in step with the storage do nothing while it is closed.

std::int16_t TTdbIndexFile::Flush() {
    if (!FOpen || FReadOnly)
        return 0;
    return static_cast<std::int16_t>(Run(kTdbErrIndexWrite, [&] {
        FTree->Flush();
        return 0;
    }));
}

std::int16_t TTdbIndexFile::PrepareFlush() {
    if (!FOpen || FReadOnly)
        return 0;
    return static_cast<std::int16_t>(Run(kTdbErrIndexWrite, [&] {
        FTree->PrepareFlush();
        return 0;
    }));
}

std::int16_t TTdbIndexFile::Undo() {
    if (!FOpen)
        return 0;
    return static_cast<std::int16_t>(Run(kTdbErrIndexRead, [&] {
        FTree->Undo();
        ReadItemCount();
        return 0;
    }));
}

std::int16_t TTdbIndexFile::Update(std::int64_t changeCount) {
    if (!FOpen)
        return 0;
    return static_cast<std::int16_t>(Run(kTdbErrIndexRead, [&] {
        FTree->Update(changeCount);
        ReadItemCount();
        return 0;
    }));
}

std::int16_t TTdbIndexFile::UpdateDir() {
    if (!FOpen)
        return 0;
    return static_cast<std::int16_t>(Run(kTdbErrIndexRead, [&] {
        FTree->UpdateDir();
        return 0;
    }));
}

}  // namespace tdb
