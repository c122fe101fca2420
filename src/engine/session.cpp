// The local session: where a database location leads, which file systems serve it, and what is
// set up and torn down around the catalog.
#include "engine/session.h"

#include <array>
#include <cstddef>
#include <vector>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "platform/directory.h"
#include "platform/exception.h"
#include "platform/file.h"
#include "platform/random.h"
#include "platform/text.h"
#include "storage/data_file.h"
#include "storage/os_file_system.h"
#include "storage/page_manager.h"
#include "types/column_def.h"
#include "types/data_type.h"

namespace tdb {

namespace {

// The call interface's answer when a database cannot be created where it was asked for.
constexpr std::int16_t kCreateDatabaseFailed = -54;
// Column option of a table key: it is kept out of what listings show.
constexpr TTdbColumnOptions kKeyColumnOptions = 0x10;
constexpr std::uint32_t kCompoundFileSignature = 0x39E47581;

bool IsDelimiter(char16_t c) {
    return c == u'/' || c == u'\\';
}

// An absolute path without "." and ".." steps and without a trailing delimiter, so that one
// directory is registered with the page manager under one name and its own name can be told.
std::u16string NormalizedLocation(std::u16string_view location) {
    std::u16string path(location);
    if (path.empty() || !IsDelimiter(path.front())) {
        path = platform::CurrentDirectory() + u"/" + path;
    }
    std::vector<std::u16string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = start;
        while (end < path.size() && !IsDelimiter(path[end])) {
            ++end;
        }
        const std::u16string_view part = std::u16string_view(path).substr(start, end - start);
        if (part == u"..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != u".") {
            parts.emplace_back(part);
        }
        start = end + 1;
    }
    std::u16string normalized;
    for (const auto& part : parts) {
        normalized += u'/';
        normalized += part;
    }
    return normalized.empty() ? std::u16string(u"/") : normalized;
}

std::u16string DirectoryOf(std::u16string_view path) {
    std::size_t start = FileNameStart(path);
    while (start > 1 && IsDelimiter(path[start - 1])) {
        --start;
    }
    return std::u16string(path.substr(0, start));
}

// The compound file of a single-file database begins with its signature. A file that cannot
// be read now is judged by its name: a table another user holds exclusively must still lead to
// its directory, while an unreadable database file must not open the directory around it.
bool IsCompoundFile(std::u16string_view path) {
    const platform::FileHandle handle =
        platform::OpenFile(path, platform::kAccessRead | platform::kShareDenyNone);
    if (handle == platform::kInvalidFileHandle) {
        return SameAsciiText(FileExtension(path), TTdbLocalSession::kSingleFileExtension);
    }
    std::array<std::byte, 4> head{};
    const auto read = platform::ReadFile(handle, 0, head);
    platform::CloseFile(handle);
    if (read != static_cast<std::int64_t>(head.size())) {
        return false;
    }
    std::uint32_t value = 0;
    for (std::size_t i = head.size(); i-- > 0;) {
        value = (value << 8) | std::to_integer<std::uint32_t>(head[i]);
    }
    return value == kCompoundFileSignature;
}

// A directory database announces itself by a small file named after the directory; readers of
// the directory only look for it, so failing to write it is no reason to refuse the open.
void CreateControlFile(const std::u16string& location) {
    const std::u16string_view dirName =
        std::u16string_view(location).substr(FileNameStart(location));
    if (dirName.empty()) {
        return;
    }
    const std::u16string_view extension = FileExtension(dirName);
    std::u16string path = location;
    path += u'/';
    path += dirName.substr(0, dirName.size() - extension.size());
    path += TTdbLocalSession::kSingleFileExtension;
    if (platform::FileExists(path) || platform::DirectoryExists(path)) {
        return;
    }
    const platform::FileHandle handle = platform::CreateFile(path);
    if (handle == platform::kInvalidFileHandle) {
        return;
    }
    std::string text;
    for (const char16_t c : TTdbLocalSession::kControlFileText) {
        text += static_cast<char>(c);
    }
    platform::WriteFile(handle, 0, std::as_bytes(std::span(text.data(), text.size())));
    platform::CloseFile(handle);
}

const TTdbDataType* WideString(std::int32_t length) {
    return TTdbDataType::GetStringType(ctWideString, false, length, u"", 6);
}

TTdbCreateTableArgs SystemTableArgs(std::u16string name, std::int32_t capacity,
                                    std::int16_t encryptionMethod, std::u16string_view key) {
    TTdbCreateTableArgs args;
    args.StoragePath = std::move(name);
    args.EncryptionMethod = encryptionMethod;
    args.Key = std::u16string(key);
    args.Level = 6;
    args.Capacity = capacity;
    return args;
}

}  // namespace

TTdbLocalSession::TTdbLocalSession(TTdbPageManager* pageManager)
    : FPageManager(pageManager != nullptr ? *pageManager : TTdbPageManager::Instance()) {}

TTdbLocalSession::~TTdbLocalSession() {
    Uninitialize();
}

bool TTdbLocalSession::GetIsOpen() const {
    return FServices && FServices->DataFileSystem() != nullptr;
}

std::int16_t TTdbLocalSession::Initialize(std::int16_t handle) {
    FConnectionId = -1;
    FHandle = handle;
    FServices = std::make_unique<TTdbServices>(handle, FPageManager);
    // Zero would read as "nobody" in a lock file.
    std::uint32_t station = 0;
    while (station == 0) {
        station = platform::Random(kStationNoRange);
    }
    FServices->FStation = station;
    FServices->FIDName = NumberText(station);
    FConnectionId = static_cast<std::int32_t>(station);
    FServices->SetLogLevel(0);
    FCatalog = std::make_unique<TTdbCatalog>(*FServices);
    FExpressions = std::make_unique<TTdbRecordConditionFactory>(
        [this](TTdbRltnIdx rltnIdx) { return FCatalog ? FCatalog->GetRelation(rltnIdx) : nullptr; });
    FServices->SetExpressionFactory(FExpressions.get());
    return 0;
}

void TTdbLocalSession::Uninitialize() {
    if (!FServices) {
        return;
    }
    try {
        CloseDb();
    } catch (...) {
        // The session goes away: there is nobody left to report the failure to, and its file
        // systems are released already.
    }
    FCatalog.reset();
    FServices.reset();
    FExpressions.reset();
}

TTdbNetParams TTdbLocalSession::DefaultNetParams() {
    TTdbNetParams params;
    params.StationNo = platform::Random(kStationNoRange);
    return params;
}

void TTdbLocalSession::SetNetParams(const TTdbNetParams& params) {
    // A station number of 0 would read as "nobody" in a lock file: the drawn one stays.
    if (params.StationNo != 0) {
        FServices->FStation = params.StationNo;
        FConnectionId = static_cast<std::int32_t>(params.StationNo);
    }
    FServices->FIDName = params.StationName.substr(0, TTdbNetParams::kMaxStationName);
    FServices->FGetCD = params.ReadOnlyDirs;
    FServices->FNetDrv = params.NetDirs;
    FServices->SetPrivateDir(params.PrivateDir);
    platform::ForceDirectories(FServices->PrivateDir());
}

std::int16_t TTdbLocalSession::OpenDb() {
    // Opening over an open database would keep its file systems registered and its catalog
    // running: it is closed first.
    if (GetIsOpen()) {
        const std::int16_t closed = CloseDbReporting();
        if (closed < 0) {
            return closed;
        }
    }
    TTdbCatalog& catalog = *FCatalog;
    std::u16string location = NormalizedLocation(catalog.Location());
    if (platform::FileExists(location)) {
        // Single-file databases need the compound file, which this engine cannot open yet; it
        // answers as for one that cannot be opened.
        if (IsCompoundFile(location)) {
            return FServices->SetLastError(kTdbErrFileNotFound, {location});
        }
        // A path to any file inside a directory database opens the directory.
        location = DirectoryOf(location);
    } else if (!platform::DirectoryExists(location)) {
        if (!FileExtension(location).empty()) {
            return FServices->SetLastError(kTdbErrFileNotFound, {location});
        }
        return FServices->SetLastError(kTdbErrFileNotFound,
                                       {location + std::u16string(kSingleFileExtension)});
    }
    catalog.SetLocation(location);

    {
        // One lock across looking up and registering, so that two sessions opening the same
        // directory end up sharing one file system.
        std::lock_guard lock(FPageManager.CriticalSection());
        TdwFileSystem* osFileSystem = FPageManager.GetFileSystem(location);
        if (osFileSystem == nullptr) {
            FPageManager.AddFileSystem(location, std::make_unique<TdwOSFileSystem>(location));
            osFileSystem = FPageManager.GetFileSystem(location);
        }
        FServices->SetOSFileSystem(osFileSystem);
        // The data file system is a reference of its own, released on its own.
        FServices->SetDataFileSystem(FPageManager.GetFileSystem(location));
    }
    FServices->SetDatabaseType(dbtDbDirectory);
    FServices->SetLockFileSystem(std::make_unique<TdwOSFileSystem>(location));
    CreateControlFile(location);

    try {
        catalog.Open();
    } catch (...) {
        const std::int16_t result = FServices->SetLastErrorFromCurrentException();
        CloseServices();
        return result;
    }
    return 0;
}

std::int16_t TTdbLocalSession::CloseDb() {
    if (!FCatalog) {
        return 0;
    }
    try {
        FCatalog->Close();
    } catch (...) {
        CloseServices();
        throw;
    }
    CloseServices();
    return 0;
}

std::int16_t TTdbLocalSession::CloseDbReporting() {
    try {
        return CloseDb();
    } catch (...) {
        return FServices->SetLastErrorFromCurrentException();
    }
}

void TTdbLocalSession::CloseServices() {
    if (!FServices) {
        return;
    }
    // Released, not closed: another session may still work in the same directory, and the page
    // manager closes a file system with its last reference.
    if (TdwFileSystem* data = FServices->DataFileSystem()) {
        FServices->SetDataFileSystem(nullptr);
        FPageManager.ReleaseFileSystem(data);
    }
    FServices->SetLockFileSystem(nullptr);
    if (TdwFileSystem* os = FServices->OSFileSystem()) {
        FServices->SetOSFileSystem(nullptr);
        FPageManager.ReleaseFileSystem(os);
    }
}

std::int16_t TTdbLocalSession::CreateDatabase(TTdbDatabaseType databaseType,
                                              std::u16string_view databaseName,
                                              TTdbManagementLevel managementLevel,
                                              std::int16_t encryptionMethod,
                                              std::u16string_view key) {
    if (GetIsOpen()) {
        throw Exception(std::u16string(u"Session must not be open to create a new database."));
    }
    if (databaseType == dbtSingleFile) {
        return FServices->SetLastError(kTdbErrNotSupported, {u"single-file databases"});
    }
    if (databaseName.empty() || !platform::ForceDirectories(databaseName)) {
        return kCreateDatabaseFailed;
    }
    if (managementLevel != tmlManaged) {
        return 0;
    }

    FCatalog->SetLocation(std::u16string(databaseName));
    std::int16_t result = OpenDb();
    if (result < 0) {
        return result;
    }
    try {
        TTdbCreateTableArgs tables =
            SystemTableArgs(u"sys_UserTables", 1000, encryptionMethod, key);
        tables.ColumnDefs.Add(u"Name", WideString(44), 0);
        tables.ColumnDefs.Add(u"FileName", WideString(255), 0);
        tables.ColumnDefs.Add(u"Key", WideString(40), kKeyColumnOptions);
        result = FCatalog->CreateTable(tables);
        if (result >= 0) {
            TTdbCreateTableArgs columns =
                SystemTableArgs(u"sys_UserColumns", 10000, encryptionMethod, key);
            columns.ColumnDefs.Add(u"Table", WideString(44), 0);
            columns.ColumnDefs.Add(u"Name", WideString(40), 0);
            columns.ColumnDefs.Add(u"DataType", TTdbDataType::GetDataType(ctSmallInt, false), 0);
            columns.ColumnDefs.Add(u"Param", TTdbDataType::GetDataType(ctInteger, false), 0);
            columns.ColumnDefs.Add(u"SelectOfLink", WideString(128), 0);
            columns.ColumnDefs.Add(u"RangeOrFormula", WideString(128), 0);
            columns.ColumnDefs.Add(u"Default", WideString(128), 0);
            result = FCatalog->CreateTable(columns);
        }
    } catch (...) {
        result = FServices->SetLastErrorFromCurrentException();
    }
    const std::int16_t closed = CloseDbReporting();
    return result < 0 ? result : closed;
}

std::int16_t TTdbLocalSession::DeleteDatabase(std::u16string_view databasePath,
                                              std::u16string_view key) {
    if (GetIsOpen()) {
        throw Exception(std::u16string(u"Session must not be open to delete a database."));
    }
    TTdbCatalog& catalog = *FCatalog;
    const bool exclusive = catalog.Exclusive();
    const bool readOnly = catalog.ReadOnly();
    const bool deepFlush = catalog.DeepFlush();
    catalog.SetLocation(std::u16string(databasePath));
    catalog.SetKey(std::u16string(key));
    catalog.SetExclusive(true);
    catalog.SetReadOnly(false);
    catalog.SetDeepFlush(false);
    const auto restoreMode = [&] {
        catalog.SetExclusive(exclusive);
        catalog.SetReadOnly(readOnly);
        catalog.SetDeepFlush(deepFlush);
    };

    std::int16_t result = OpenDb();
    if (result < 0) {
        restoreMode();
        return result;
    }
    try {
        catalog.OpenAllTables();
        // A table may hold on to another (a relation table); what is left after one pass goes in
        // the next, and there are never more passes than tables.
        const int rounds = catalog.RelationCount();
        for (int round = 0; round < rounds && catalog.RelationCount() > 0; ++round) {
            for (int rltnIdx = catalog.MaxRltnIdx(); rltnIdx >= 1; --rltnIdx) {
                if (catalog.IsValidRltnIdx(rltnIdx)) {
                    result = catalog.DeleteTable(rltnIdx);
                }
            }
        }
    } catch (...) {
        result = FServices->SetLastErrorFromCurrentException();
    }
    const std::u16string location = catalog.Location();
    const std::int16_t closed = CloseDbReporting();
    restoreMode();
    if (result < 0) {
        return result;
    }
    if (closed < 0) {
        return closed;
    }

    platform::FindData found;
    std::vector<std::u16string> files;
    if (auto search = platform::FindFirst(location + u"/*.*", found)) {
        do {
            if ((found.Attr & platform::kAttrDirectory) == 0) {
                files.push_back(location + u"/" + found.Name);
            }
        } while (platform::FindNext(*search, found));
    }
    for (const auto& file : files) {
        platform::DeleteFile(file);
    }
    return 0;
}

bool TTdbLocalSession::ReportProgress(const TTdbProgressCallback& progress) {
    if (progress && progress() != 0) {
        CtrlU.store(true, std::memory_order_relaxed);
    }
    return UserBreak();
}

std::int16_t TTdbLocalSession::CancelOperation() {
    const std::int16_t result = FServices->SetLastError(kTdbErrCanceled);
    ClearUserBreak();
    return result;
}

}  // namespace tdb
