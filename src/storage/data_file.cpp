// The data file of a stored table: file naming, and creating, opening and checking its header.
//
// Files of a table (base = the data file's path without extension):
//   file            level 6                  levels 4, 5              levels 1-3
//   data            base.tdbt                base.dat                 base.dat
//   blob / memo     base.tdbb / base.tdbm    base.blb / base.mmo      base.blb / base.mmo
//   index           base!index.tdbi          base!index.ind           dir/index.ind ("~" tables:
//                                                                      dir/index.$$i)
//   system index    as index                 as index                 dir/table.inr, .id, .in1-9
//   relation table  base!rel_column.tdbt     dir/column.rel           dir/column.rel
//
// Header of levels 5 and 6 (older levels: see data_file_header_old.cpp):
//   offset  size  field
//   0       4     signature 64 AA 57 FF
//   4       2     table level
//   6       1     encryption method: 1 none, 2 protection, 3 classic, 4 fast, 5 Blowfish,
//                 6 Rijndael
//   7       4     record count
//   11      4     reserved, 0
//   15      4     next record id
//   19      4     reserved, 0
//   23      4502  index names: uint16 count, 50 entries of fixed wide strings of 44 (90 bytes)
//   4525    4     length L of the definition block
//   4529    L     definition block, encrypted as one buffer (data_file_definition.cpp)
//   4529+L        first record, always on a multiple of 8192 (a header that puts it elsewhere
//                 is refused: its records would be read shifted)
#include "storage/data_file.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "platform/text.h"
#include "types/collation.h"

namespace tdb {

namespace {


constexpr std::int64_t kLevelOffset = 4;
constexpr std::int64_t kMethodOffset = 6;
constexpr std::int64_t kNewRecordCountOffset = 7;
constexpr std::int64_t kNewNextRecordIdOffset = 15;
constexpr std::int64_t kNewIndexTableOffset = 23;
constexpr std::int64_t kDefinitionLengthOffset = 4525;
constexpr std::int64_t kDefinitionOffset = 4529;
constexpr std::size_t kIndexNameLength = 44;
constexpr std::size_t kOldIndexEntrySize = kIndexNameLength + 1;
constexpr std::size_t kNewIndexEntrySize = 2 + 2 * kIndexNameLength;
constexpr std::size_t kOldPasswordLength = 10;
constexpr std::int64_t kNewRecordAlignment = 8192;

bool IsDelimiter(char16_t c) {
    return c == u'/' || c == u'\\';
}

std::u16string Directory(std::u16string_view base) {
    return std::u16string(base.substr(0, FileNameStart(base)));
}

// The extension of a system index file below level 4, or empty for other index names.
std::u16string OldSystemIndexExtension(std::u16string_view indexName) {
    if (SameAsciiText(indexName, u"sys_Inr"))
        return u".inr";
    if (SameAsciiText(indexName, u"sys_Id"))
        return u".id";
    if (indexName.size() == 7 && SameAsciiText(indexName.substr(0, 6), u"sys_In") &&
        indexName[6] >= u'1' && indexName[6] <= u'9')
        return std::u16string(u".in") + indexName[6];
    return {};
}

// Encryption markers of the password field below level 5.
constexpr std::string_view kFastMarker = "_en:td_";
constexpr std::string_view kBlowfishMarker = "_en:bf_";
constexpr std::string_view kRijndaelMarker = "_en:rj_";

std::string UpperAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::string CutPassword(std::string text) {
    text.resize(std::min(text.size(), kOldPasswordLength));
    return text;
}

TdwEncryptionMethod MethodFromHeaderCode(std::uint8_t code) {
    switch (code) {
        case temProtection:
            return emProtection;
        case temClassic:
            return emClassic5;
        case temFastEncrypt:
            return emFast;
        case temBlowfish:
            return emBlowfish;
        case temRijndael:
            return emRijndael;
        default:
            return emNone;
    }
}

}  // namespace

// ---- File names ----

std::u16string FileNameBase(std::u16string_view fileName) {
    return std::u16string(fileName.substr(0, fileName.size() - FileExtension(fileName).size()));
}

std::size_t FileNameStart(std::u16string_view path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (IsDelimiter(path[i - 1]))
            return i;
    }
    return 0;
}

std::u16string_view FileExtension(std::u16string_view path) {
    const std::size_t start = FileNameStart(path);
    const std::size_t dot = path.rfind(u'.');
    if (dot == std::u16string_view::npos || dot < start)
        return {};
    return path.substr(dot);
}

bool SameAsciiText(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'A' && x <= u'Z')
            x = static_cast<char16_t>(x - u'A' + u'a');
        if (y >= u'A' && y <= u'Z')
            y = static_cast<char16_t>(y - u'A' + u'a');
        if (x != y)
            return false;
    }
    return true;
}

bool SameAsciiText(std::string_view a, std::string_view b) {
    std::u16string wa(a.begin(), a.end()), wb(b.begin(), b.end());
    return SameAsciiText(std::u16string_view(wa), std::u16string_view(wb));
}

std::u16string DataFileName(std::u16string_view base, std::int16_t level) {
    return std::u16string(base) + (level >= 6 ? u".tdbt" : u".dat");
}

std::u16string BlobFileName(std::u16string_view base, std::int16_t level) {
    return std::u16string(base) + (level >= 6 ? u".tdbb" : u".blb");
}

std::u16string MemoFileName(std::u16string_view base, std::int16_t level) {
    return std::u16string(base) + (level >= 6 ? u".tdbm" : u".mmo");
}

std::u16string IndexFileName(std::u16string_view base, std::u16string_view indexName,
                             std::int16_t level) {
    if (level >= 4)
        return std::u16string(base) + u"!" + std::u16string(indexName) +
               (level >= 6 ? u".tdbi" : u".ind");
    const std::u16string directory = Directory(base);
    const std::u16string systemExtension = OldSystemIndexExtension(indexName);
    if (!systemExtension.empty()) {
        std::u16string tableName(base.substr(FileNameStart(base)));
        tableName.resize(std::min<std::size_t>(tableName.size(), 40));
        return directory + tableName + systemExtension;
    }
    if (!FileExtension(indexName).empty())
        return directory + std::u16string(indexName);
    const bool temporary = FileNameStart(base) < base.size() && base[FileNameStart(base)] == u'~';
    return directory + std::u16string(indexName) + (temporary ? u".$$i" : u".ind");
}

std::u16string RelationTableFileName(std::u16string_view base, std::u16string_view columnName,
                                     std::int16_t level) {
    if (level >= 6)
        return std::u16string(base) + u"!rel_" + std::u16string(columnName) + u".tdbt";
    return Directory(base) + std::u16string(columnName) + u".rel";
}

std::u16string FindTableFile(TdwFileSystem& fileSystem, std::u16string_view name) {
    if (!FileExtension(name).empty())
        return std::u16string(name);
    const std::u16string oldName = std::u16string(name) + u".dat";
    if (fileSystem.FileExists(oldName))
        return oldName;
    return std::u16string(name) + u".tdbt";
}

std::u16string TableNameFromFileName(std::u16string_view fileName) {
    std::u16string_view name = fileName.substr(FileNameStart(fileName));
    const std::u16string_view extension = FileExtension(name);
    if (SameAsciiText(extension, u".dat") || SameAsciiText(extension, u".tdbt"))
        name.remove_suffix(extension.size());
    return std::u16string(name);
}

// ---- TTdbDataFile ----

TTdbDataFile::TTdbDataFile(TTdbPageManager& pageManager, TdwFileSystem& fileSystem,
                           std::int32_t clientHdl, std::u16string fileName)
    : FPageManager(pageManager),
      FFileSystem(fileSystem),
      FClientHdl(clientHdl),
      FFileName(std::move(fileName)) {}

TTdbDataFile::~TTdbDataFile() {
    try {
        TTdbDataFile::Close();
    } catch (...) {
        // A destructor cannot report; the storage is gone either way.
    }
}

bool TTdbDataFile::GetIsOpen() const {
    return FStorage && FStorage->IsOpen();
}

void TTdbDataFile::Close() {
    FIndexNames.clear();
    FPage.reset();
    if (FStorage) {
        std::unique_ptr<TTdbClientStorage> storage = std::move(FStorage);
        if (storage->IsOpen())
            storage->Close();
    }
    FLevel = -1;
    FRecordIdPosition = -1;
    FOldNextRecordIdOffset = -1;
}

void TTdbDataFile::Flush() {
    try {
        FStorage->Flush();
    } catch (const ETdbPageManager&) {
        RaiseWriteError();
    }
}

void TTdbDataFile::Undo() {
    FStorage->Undo();
}

void TTdbDataFile::UpdateDir() {
    FStorage->UpdateDir();
}

void TTdbDataFile::RaiseReadError() const {
    RaiseEngineError(kTdbErrReadFile, {FFileName});
}

void TTdbDataFile::RaiseWriteError() const {
    RaiseEngineError(kTdbErrWriteFile, {FFileName});
}

bool TTdbDataFile::Encrypts() const noexcept {
    return FCryptor != nullptr && FCryptor->GetEncryption() != nullptr &&
           FCryptor->GetEncryptionMethod() != emNone &&
           FCryptor->GetEncryptionMethod() != emProtection;
}

// ---- Byte transfers ----

namespace {

// Calls piece(pageNo, offset, done, count) for each part of [pos, pos + size) that one page of
// pageSize bytes holds, in order.
template <typename Piece>
void ForEachPagePiece(std::int64_t pos, std::size_t size, std::int64_t pageSize, Piece&& piece) {
    std::size_t done = 0;
    while (done < size) {
        const std::int64_t at = pos + static_cast<std::int64_t>(done);
        const auto pageNo = static_cast<std::int32_t>(at / pageSize);
        const auto offset = static_cast<std::int32_t>(at % pageSize);
        const std::size_t count = std::min(size - done, static_cast<std::size_t>(pageSize - offset));
        piece(pageNo, offset, done, count);
        done += count;
    }
}

}  // namespace

void TTdbDataFile::ReadBytes(std::int64_t pos, std::span<std::byte> buffer) {
    try {
        ForEachPagePiece(
            pos, buffer.size(), FPageSize,
            [&](std::int32_t pageNo, std::int32_t offset, std::size_t done, std::size_t count) {
                if (FPage->PageNo() != pageNo)
                    FPage->LoadPage(pageNo);
                FPage->CopyTo(offset, buffer.subspan(done, count));
            });
    } catch (const ETdbPageManager&) {
        RaiseReadError();
    }
}

void TTdbDataFile::WriteBytes(std::int64_t pos, std::span<const std::byte> buffer) {
    ForEachPagePiece(
        pos, buffer.size(), FPageSize,
        [&](std::int32_t pageNo, std::int32_t offset, std::size_t done, std::size_t count) {
            if (FPage->PageNo() != pageNo) {
                // A page past the end is made, not read.
                if (pageNo >= FStorage->GetPageCount())
                    FPage->InitPage(pageNo);
                else
                    FPage->LoadPage(pageNo);
            }
            FPage->CopyFrom(buffer.subspan(done, count), offset);
        });
}

std::int32_t TTdbDataFile::ReadInt32At(std::int64_t pos) {
    std::array<std::byte, 4> image;
    ReadBytes(pos, image);
    return LoadLE<std::int32_t>(image.data());
}

void TTdbDataFile::WriteInt32At(std::int64_t pos, std::int32_t value) {
    std::array<std::byte, 4> image;
    StoreLE<std::int32_t>(image.data(), value);
    WriteBytes(pos, image);
}

std::int64_t TTdbDataFile::ExactFileSize() const {
    const std::int64_t size = FStorage->GetSize();
    const std::int64_t tileSize = FFileSystem.GetPageSize();
    if (size <= 0 || tileSize <= 0)
        return size;
    const std::int64_t lastTile = size - std::min(size, tileSize);
    std::vector<std::byte> tile(static_cast<std::size_t>(size - lastTile));
    const std::int32_t read = FStorage->ReadDirect(lastTile, tile);
    // Nothing on disk there: the cache has grown the file beyond what was flushed.
    return read <= 0 ? size : lastTile + read;
}

// ---- Index names ----

void TTdbDataFile::ReadIndexNames() {
    const std::int64_t offset = GetIndexNameTableOffset();
    std::vector<std::byte> table(static_cast<std::size_t>(GetIndexNameTableSize()));
    ReadBytes(offset, table);
    THeaderReader r(table);
    const int count = r.UInt16();
    if (count > MaxIndexNames(FLevel))
        RaiseCorruptHeader();
    std::vector<std::u16string> names;
    for (int i = 0; i < count; ++i) {
        if (FLevel >= 5)
            names.push_back(r.FixedWideString(kIndexNameLength));
        else
            names.push_back(FCollation->ToWide(r.ShortString(kIndexNameLength)));
    }
    FIndexNames = std::move(names);
}

void TTdbDataFile::WriteIndexNames() {
    if (static_cast<int>(FIndexNames.size()) > MaxIndexNames(FLevel))
        RaiseEngineError(kTdbErrTooManyIndexes);
    THeaderWriter w;
    w.UInt16(static_cast<std::uint16_t>(FIndexNames.size()));
    for (const std::u16string& name : FIndexNames) {
        if (FLevel >= 5)
            w.FixedWideString(name, kIndexNameLength);
        else
            w.ShortString(FCollation->ToAnsi(name), kIndexNameLength);
    }
    w.Zeros(static_cast<std::size_t>(GetIndexNameTableSize()) - w.Size());
    try {
        WriteBytes(GetIndexNameTableOffset(), w.Data());
    } catch (const ETdbPageManager&) {
        RaiseWriteError();
    }
}

void TTdbDataFile::DeleteIndexName(int indexNo) {
    if (indexNo >= 1 && indexNo <= static_cast<int>(FIndexNames.size()))
        FIndexNames.erase(FIndexNames.begin() + (indexNo - 1));
}

// ---- Record ids ----

std::int32_t TTdbDataFile::ReadNextRecordId() {
    const std::int64_t offset = GetNextRecordIdOffset();
    if (offset >= 0)
        FNextRecordId = ReadInt32At(offset);
    return FNextRecordId;
}

void TTdbDataFile::WriteNextRecordId() {
    const std::int64_t offset = GetNextRecordIdOffset();
    if (offset < 0)
        return;
    try {
        WriteInt32At(offset, FNextRecordId);
    } catch (const ETdbPageManager&) {
        RaiseWriteError();
    }
}

std::int32_t TTdbDataFile::ObtainNewRecordId() {
    const std::int32_t recordId = ReadNextRecordId();
    // Modular, as the stored field is: the id after the largest is the smallest.
    FNextRecordId = static_cast<std::int32_t>(static_cast<std::uint32_t>(recordId) + 1u);
    WriteNextRecordId();
    return recordId;
}

void TTdbDataFile::RevokeRecordId(std::int32_t recordId) {
    const std::int32_t stored = ReadNextRecordId();
    if (stored == static_cast<std::int32_t>(static_cast<std::uint32_t>(recordId) + 1u)) {
        FNextRecordId = recordId;
        WriteNextRecordId();
    }
}

// ---- Opening ----

TTdbDataFile::THeaderInfo TTdbDataFile::OpenHeader(bool readOnly, bool exclusive,
                                                   TdwCryptor& cryptor,
                                                   TTdbExpressionFactory& factory,
                                                   std::u16string& collationName,
                                                   TTdbTableDefinition& def) {
    Close();
    THeaderInfo info;
    try {
        FCryptor = &cryptor;
        FStorage =
            std::make_unique<TTdbClientStorage>(FPageManager, FFileSystem, FClientHdl, nullptr);
        FStorage->SetName(FFileName);
        FStorage->Open(readOnly, exclusive);
        FPage = FStorage->CreatePageSite();
        FPageSize = FStorage->GetPageSize();
        info.FileSize = ExactFileSize();

        std::array<std::byte, 6> start{};
        if (info.FileSize < 4)
            RaiseEngineError(kTdbErrOldVersion);
        ReadBytes(0, std::span(start).first(static_cast<std::size_t>(std::min<std::int64_t>(
                         info.FileSize, static_cast<std::int64_t>(start.size())))));
        if (LoadLE<std::int32_t>(start.data()) != kTdbDataFileSignature)
            RaiseEngineError(kTdbErrOldVersion);
        if (info.FileSize < kLevelOffset + 2)
            RaiseCorruptHeader();
        const std::int16_t level = LoadLE<std::int16_t>(start.data() + kLevelOffset);
        if (level < 1 || level > kTdbMaxTableLevel)
            RaiseCorruptHeader();
        FLevel = level;

        if (level >= 5) {
            OpenNewLevel(cryptor, factory, info, def);
            collationName = def.CollationName;
        } else {
            def.CollationName = collationName;
            OpenOldLevel(cryptor, factory, info, def);
        }
        RepairRecordCount(readOnly, info);

        // Links to "@" are links to this very table.
        const std::u16string tableName = TableNameFromFileName(FFileName);
        for (int i = 0; i < def.Columns.GetCount(); ++i) {
            if (auto* adl = dynamic_cast<TTdbAdlColumnDef*>(def.Columns.GetColumnDef(i))) {
                if (adl->LinkedTable == u"@")
                    adl->LinkedTable = tableName;
            }
        }
        const TTdbColumnDef* recordId = def.Columns.FindFirst(ctAutoInc);
        FRecordIdPosition = recordId ? recordId->Position : -1;
        FRecordSize = static_cast<std::uint16_t>(def.Columns.GetRecordSize());
    } catch (...) {
        Close();
        throw;
    }
    return info;
}

void TTdbDataFile::OpenNewLevel(TdwCryptor& cryptor, TTdbExpressionFactory& factory,
                                THeaderInfo& info, TTdbTableDefinition& def) {
    if (info.FileSize < kDefinitionOffset)
        RaiseCorruptHeader();
    std::vector<std::byte> fixed(static_cast<std::size_t>(kDefinitionOffset));
    ReadBytes(0, fixed);
    cryptor.SetEncryptionMethod(
        MethodFromHeaderCode(static_cast<std::uint8_t>(fixed[kMethodOffset])));
    if (!cryptor.Initialize())
        RaiseEngineError(kTdbErrInvalidCredentials);
    info.RecordCount = LoadLE<std::int32_t>(fixed.data() + kNewRecordCountOffset);
    FNextRecordId = LoadLE<std::int32_t>(fixed.data() + kNewNextRecordIdOffset);
    ReadIndexNames();

    const std::int32_t length = LoadLE<std::int32_t>(fixed.data() + kDefinitionLengthOffset);
    if (length <= 0 || length > info.FileSize - kDefinitionOffset ||
        (kDefinitionOffset + length) % kNewRecordAlignment != 0)
        RaiseCorruptHeader();
    std::vector<std::byte> block(static_cast<std::size_t>(length));
    ReadBytes(kDefinitionOffset, block);
    cryptor.DecryptBlock(block);
    std::u16string password;
    try {
        password = cryptor.GetPassword();
    } catch (const EdwCryptor&) {
        RaiseEngineError(kTdbErrInvalidCredentials);
    }
    try {
        ParseDefinition(block, FLevel, factory, password, def, FRecordSize);
    } catch (const ETdbEngine& e) {
        if (e.Code() == kTdbErrInvalidCredentials || e.Code() == kTdbErrCorruptHeader)
            throw;
        // Anything else the definition leads to (a collation or type it names that cannot be
        // made) leaves a header this system cannot use.
        RaiseCorruptHeader();
    }
    info.RecordStart = kDefinitionOffset + length;
}

void TTdbDataFile::OpenOldLevel(TdwCryptor& cryptor, TTdbExpressionFactory& factory,
                                THeaderInfo& info, TTdbTableDefinition& def) {
    FCollation = &TTdbCollation::Get(def.CollationName);
    TTdbOldHeader header;
    THeaderReader reader(
        [this](std::int64_t pos, std::span<std::byte> buffer) { ReadBytes(pos, buffer); },
        kLevelOffset + 2, info.FileSize);
    try {
        ParseOldHeader(reader, FLevel, *FCollation, factory, header);
    } catch (const ETdbEngine& e) {
        if (e.Code() == kTdbErrOldVersion || e.Code() == kTdbErrCorruptHeader || e.Code() == kTdbErrReadFile)
            throw;
        RaiseCorruptHeader();
    }

    // The password field decides the method; the key's password must be the stored one.
    const std::string& marker = header.Password;
    TdwEncryptionMethod method = emNone;
    if (marker.empty())
        method = emNone;
    else if (SameAsciiText(marker, kFastMarker))
        method = emFast;
    else if (SameAsciiText(marker, kBlowfishMarker))
        method = emBlowfish;
    else if (SameAsciiText(marker, kRijndaelMarker))
        method = emRijndael;
    else if (FLevel == 4)
        method = emProtection;
    else
        method = cryptor.CanBeClassic() ? emClassic1 : emProtection;
    cryptor.SetEncryptionMethod(method);
    if (method == emProtection || method == emClassic1) {
        std::string expected;
        try {
            expected = CutPassword(FCollation->ToAnsi(cryptor.GetPassword()));
        } catch (const EdwCryptor&) {
            RaiseEngineError(kTdbErrInvalidCredentials);
        }
        if (FLevel < 4)
            expected =
                UpperAscii(FCollation->ToAnsi(FCollation->ToUpper(FCollation->ToWide(expected))));
        if (expected != marker)
            RaiseEngineError(kTdbErrInvalidCredentials);
    }
    if (!cryptor.Initialize())
        RaiseEngineError(kTdbErrInvalidCredentials);
    const auto columnCount = static_cast<std::int16_t>(header.Definition.Columns.GetCount());
    if (FLevel == 4) {
        std::array<std::byte, 80> checkText = header.CheckText;
        cryptor.DecryptBlock(checkText);
        if (!IsOldCheckText(checkText, header.RecordSize, columnCount))
            RaiseEngineError(kTdbErrInvalidCredentials);
    }

    FRecordSize = header.RecordSize;
    FIndexNames = std::move(header.IndexNames);
    FNextRecordId = header.NextRecordId;
    FOldNextRecordIdOffset = header.HasRecordId ? header.NextRecordIdOffset : -1;
    info.RecordStart = header.RecordStart;
    info.Ranges = std::move(header.Ranges);
    info.RecordCount = header.RecordCount;
    def.Capacity = header.Capacity;
    def.Columns = std::move(header.Definition.Columns);
    def.Checks = std::move(header.Definition.Checks);
    def.Keys = std::move(header.Definition.Keys);
    def.ForeignKeys = std::move(header.Definition.ForeignKeys);
    def.Types.Clear();
}

std::int32_t TTdbDataFile::FittedRecordCount(std::int32_t count, std::int64_t recordStart,
                                             std::int64_t fileSize) const {
    const std::int64_t slots =
        FRecordSize == 0 ? 0 : std::max<std::int64_t>(fileSize - recordStart, 0) / FRecordSize;
    if (count >= 0 && count <= slots)
        return count;
    const auto fitted = static_cast<std::int32_t>(std::min<std::int64_t>(slots, INT32_MAX));
    FPageManager.LogMessage(2, u"Data File",
                            u"Record count " + NumberText(count) + u" of " + QuotedText(FFileName) +
                                u" does not fit the file; lowered to " + NumberText(fitted));
    return fitted;
}

// A count the file cannot hold - the header of a flush that stopped before the records it
// counts were written - is lowered to the slots there are. Levels 1 to 4 write it back, as
// they always have; from level 5 on the lowered count stays in memory until the next change
// writes the header under a write lock, since writing at open could overwrite the header of
// a flush that another process is finishing.
void TTdbDataFile::RepairRecordCount(bool readOnly, THeaderInfo& info) {
    const std::int32_t fitted =
        FittedRecordCount(info.RecordCount, info.RecordStart, info.FileSize);
    if (fitted == info.RecordCount)
        return;
    info.RecordCount = fitted;
    if (readOnly || FLevel >= 5)
        return;
    try {
        WriteInt32At(GetRecordCountOffset(), info.RecordCount);
        FStorage->Flush();
    } catch (const ETdbPageManager&) {
        RaiseWriteError();
    }
}

// ---- Creating ----

std::vector<std::byte> TTdbDataFile::NewLevelHeader(TdwCryptor& cryptor,
                                                    const TTdbTableDefinition& def) {
    const std::u16string tableName = TableNameFromFileName(FFileName);
    std::vector<std::byte> definition =
        SerializeDefinition(FLevel, def, tableName, cryptor.GetPassword());
    const std::int32_t length = DefinitionBlockLength(definition.size());
    definition.resize(static_cast<std::size_t>(length), std::byte{0});
    cryptor.EncryptBlock(definition);

    THeaderWriter w;
    w.Int32(kTdbDataFileSignature);
    w.Int16(FLevel);
    w.Int8(ToPublicMethod(cryptor.GetEncryptionMethod()));
    w.Int32(0);
    w.Int32(0);
    w.Int32(FNextRecordId);
    w.Int32(0);
    w.UInt16(0);
    w.Zeros(static_cast<std::size_t>(kIndexNameTableSize) - 2);
    w.Int32(length);
    w.Bytes(definition);
    return std::move(w.Data());
}

std::vector<std::byte> TTdbDataFile::OldLevelHeader(TdwCryptor& cryptor,
                                                    const TTdbTableDefinition& def,
                                                    std::span<const TTdbValueRange> ranges) {
    const TTdbCollation& collation = TTdbCollation::Get(def.CollationName);
    std::string password;
    switch (cryptor.GetEncryptionMethod()) {
        case emProtection:
        case emClassic1:
        case emClassic5:
            password = collation.ToAnsi(cryptor.GetPassword());
            break;
        case emFast:
            password = kFastMarker;
            break;
        case emBlowfish:
            password = kBlowfishMarker;
            break;
        case emRijndael:
            password = kRijndaelMarker;
            break;
        case emNone:
            break;
    }
    if (FLevel < 4)
        password = UpperAscii(collation.ToAnsi(collation.ToUpper(collation.ToWide(password))));
    password = CutPassword(std::move(password));
    std::array<std::byte, 80> checkText =
        MakeOldCheckText(static_cast<std::uint16_t>(def.Columns.GetRecordSize()),
                         static_cast<std::int16_t>(def.Columns.GetCount()));
    cryptor.EncryptBlock(checkText);
    return SerializeOldHeader(FLevel, def, ranges, password, checkText, FNextRecordId,
                              TableNameFromFileName(FFileName), FFileName);
}

std::int64_t TTdbDataFile::CreateHeader(std::int16_t level, TdwCryptor& cryptor,
                                        TTdbTableDefinition& def,
                                        std::span<const TTdbValueRange> ranges) {
    Close();
    if (level < 1 || level > kTdbMaxTableLevel)
        RaiseEngineError(kTdbErrUnsupportedFeature, {FFileName, std::u16string(u"Table level")});
    // Opening refuses a capacity below 1: a file made with one could never be read again.
    if (def.Capacity < 1)
        RaiseEngineError(kTdbErrInvalidParameter, {std::u16string(u"Capacity")});
    const TdwEncryptionMethod method = cryptor.GetEncryptionMethod();
    if (level <= 3 && method >= emClassic5)
        RaiseEngineError(kTdbErrUnsupportedFeature, {FFileName, std::u16string(u"Strong encryption")});
    if (level >= 4 && (method == emClassic1 || method == emClassic5))
        RaiseEngineError(kTdbErrUnsupportedFeature,
                         {FFileName, std::u16string(u"Classic encryption")});
    if (!cryptor.Initialize())
        RaiseEngineError(kTdbErrInvalidPassword);
    TTdbColumnDefs::CheckLimits(def.Columns.GetCount(), def.Columns.GetRecordSize());
    if (def.Columns.GetCount() == 0 || def.Columns.GetRecordSize() == 0)
        RaiseEngineError(kTdbErrUnsupportedFeature,
                         {FFileName, std::u16string(u"Table without columns")});

    FLevel = level;
    FCryptor = &cryptor;
    auto* recordId = dynamic_cast<TTdbRecordIdColumnDef*>(def.Columns.FindFirst(ctAutoInc));
    FNextRecordId = recordId ? recordId->StartValue : 0;
    FCollation = &TTdbCollation::Get(def.CollationName);

    // Everything that can be refused is refused before the file exists.
    std::vector<std::byte> header;
    try {
        header = level >= 5 ? NewLevelHeader(cryptor, def) : OldLevelHeader(cryptor, def, ranges);
    } catch (const EdwCryptor&) {
        FLevel = -1;
        RaiseEngineError(kTdbErrInvalidPassword);
    } catch (...) {
        FLevel = -1;
        throw;
    }
    if (FFileSystem.FileExists(FFileName)) {
        FLevel = -1;
        RaiseEngineError(kTdbErrFileExists, {FFileName});
    }

    bool created = false;
    try {
        FStorage =
            std::make_unique<TTdbClientStorage>(FPageManager, FFileSystem, FClientHdl, nullptr);
        FStorage->SetName(FFileName);
        FStorage->SetPageSize(kNewFilePageSize);
        try {
            FStorage->NewStorage();
        } catch (const ETdbPageManager&) {
            RaiseWriteError();
        }
        created = true;
        FPage = FStorage->CreatePageSite();
        FPageSize = FStorage->GetPageSize();
        try {
            WriteBytes(0, header);
            FStorage->SetPageCount(static_cast<std::int32_t>(
                (static_cast<std::int64_t>(header.size()) - 1) / kNewFilePageSize + 1));
            FStorage->Flush();
        } catch (const ETdbPageManager&) {
            RaiseWriteError();
        }
    } catch (...) {
        if (FStorage && FStorage->IsOpen()) {
            try {
                FStorage->Undo();
            } catch (...) {
                // The file is deleted below; its cached pages no longer matter.
            }
        }
        Close();
        if (created)
            FFileSystem.DeleteFile(FFileName);
        throw;
    }
    FRecordSize = static_cast<std::uint16_t>(def.Columns.GetRecordSize());
    FRecordIdPosition = recordId ? recordId->Position : -1;
    if (level < 5) {
        FOldNextRecordIdOffset = recordId ? static_cast<std::int64_t>(header.size()) - 4 : -1;
    }
    return static_cast<std::int64_t>(header.size());
}

}  // namespace tdb
