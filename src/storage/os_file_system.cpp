// The operating system's file system on top of the platform layer's files and directories.
#include "storage/os_file_system.h"

#include <limits>
#include <optional>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/text.h"
#include "storage/file_errors.h"

namespace tdb {
namespace {

constexpr int32_t kOSPageSize = 8192;
constexpr int32_t kShareBits = 0x70;

// Removes the last level of a directory path; the root stays the root.
void RemoveLevel(std::u16string& directory) {
    const auto slash = directory.rfind(u'/');
    if (slash == std::u16string::npos) {
        // A relative base of one level: its parent is the current directory, then further up.
        if (directory == u".") {
            directory = u"..";
        } else if (directory == u"..") {
            directory = u"../..";
        } else {
            directory = u".";
        }
    } else if (slash == 0) {
        directory = u"/";
    } else {
        directory.resize(slash);
    }
}

// Passes the record's current entry on, unless its attributes exclude it.
void Describe(TdwFindFileRec& rec) {
    rec.Time = rec.FindData.Time;
    rec.Size = rec.FindData.Size;
    rec.Attr = rec.FindData.Attr;
    rec.Name = rec.FindData.Name;
}

bool SkipExcluded(TdwFindFileRec& rec) {
    while ((rec.FindData.Attr & rec.ExcludeAttr) != 0) {
        if (!platform::FindNext(*rec.FindHandle, rec.FindData)) {
            return false;
        }
    }
    Describe(rec);
    return true;
}

// A transfer the file system refuses before touching the file: a position before the start
// positions nowhere (0 bytes, as a failed seek does), a count beyond 32 bits cannot be reported.
std::optional<int32_t> RefusedTransfer(int64_t pos, size_t count) {
    if (pos < 0) {
        platform::SetLastError(platform::kErrorNegativeSeek);
        return 0;
    }
    if (count > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        platform::SetLastError(platform::kErrorInvalidParameter);
        return -1;
    }
    return std::nullopt;
}

}  // namespace

TdwOSFileSystem::TdwOSFileSystem() : TdwFileSystem(u'/') {}

TdwOSFileSystem::TdwOSFileSystem(std::u16string_view base_directory) : TdwFileSystem(u'/') {
    SetBaseDirectory(base_directory);
}

void TdwOSFileSystem::SetBaseDirectory(std::u16string_view base_directory) {
    FBaseDirectory = base_directory;
    while (FBaseDirectory.size() > 1 && FBaseDirectory.back() == u'/') {
        FBaseDirectory.pop_back();
    }
}

std::u16string TdwOSFileSystem::GetBaseDirectory() const {
    return FBaseDirectory;
}

int32_t TdwOSFileSystem::GetPageSize() const {
    return kOSPageSize;
}

void TdwOSFileSystem::SetPageSize(int32_t) {}

void TdwOSFileSystem::SetLastError(int32_t error_code) {
    platform::SetLastError(error_code);
}

bool TdwOSFileSystem::SupportsExclusiveFiles() const {
    return true;
}

int32_t TdwOSFileSystem::GetLastError() const {
    return platform::GetLastError();
}

std::u16string TdwOSFileSystem::ExpandFileName(std::u16string_view file_name) const {
    if (FBaseDirectory.empty() || file_name.starts_with(u'/')) {
        return std::u16string(file_name);
    }
    std::u16string base = FBaseDirectory;
    std::u16string_view rest = file_name;
    for (;;) {
        if (rest.starts_with(u"./")) {
            rest.remove_prefix(2);
        } else if (rest.starts_with(u"../")) {
            rest.remove_prefix(3);
            RemoveLevel(base);
        } else if (rest == u".") {
            rest = {};
        } else if (rest == u"..") {
            rest = {};
            RemoveLevel(base);
        } else {
            break;
        }
    }
    if (base == u"/") {
        return u"/" + std::u16string(rest);
    }
    return base + u"/" + std::u16string(rest);
}

int32_t TdwOSFileSystem::CreateFile(std::u16string_view file_path) {
    return platform::CreateFile(ExpandFileName(file_path));
}

int32_t TdwOSFileSystem::OpenFile(std::u16string_view file_path, int32_t mode) {
    if (FPhysicallyExclusive) {
        // Every sharing request becomes exclusive: a deny-write request kept as it was would
        // still let other processes read the files of an exclusively opened database.
        mode = (mode & ~kShareBits) | platform::kShareExclusive;
    }
    return platform::OpenFile(ExpandFileName(file_path), mode);
}

int32_t TdwOSFileSystem::FileRead(int32_t handle, int64_t pos, std::span<std::byte> data) {
    if (auto refused = RefusedTransfer(pos, data.size())) {
        return *refused;
    }
    return static_cast<int32_t>(platform::ReadFile(handle, pos, data));
}

int32_t TdwOSFileSystem::FileWrite(int32_t handle, int64_t pos, std::span<const std::byte> data) {
    if (auto refused = RefusedTransfer(pos, data.size())) {
        return *refused;
    }
    return static_cast<int32_t>(platform::WriteFile(handle, pos, data));
}

int64_t TdwOSFileSystem::GetFileSize(int32_t handle) {
    const int64_t size = platform::GetFileSize(handle);
    if (size < 0) {
        const int32_t code = platform::GetLastError();
        throw Exception(u"Windows cannot determine file size (" + FromUtf8(std::to_string(code)) +
                        u").");
    }
    return size;
}

void TdwOSFileSystem::SetFileSize(int32_t handle, int64_t size) {
    // Files only grow by writing; a size beyond the end leaves the file alone.
    if (GetFileSize(handle) > size && !platform::SetFileLength(handle, size)) {
        throw EdwInOutError(u"Cannot set end of of file", platform::GetLastError());
    }
}

bool TdwOSFileSystem::EndOfFile(int32_t handle, int64_t pos) {
    return pos >= GetFileSize(handle);
}

bool TdwOSFileSystem::GetFileId(std::u16string_view file_path, platform::FileId& id) {
    return platform::GetFileId(ExpandFileName(file_path), id);
}

bool TdwOSFileSystem::GetFileId(int32_t handle, platform::FileId& id) {
    return platform::GetFileId(handle, id);
}

bool TdwOSFileSystem::SyncFile(int32_t handle, std::u16string_view file_path) {
    return platform::SyncFile(handle) && platform::SyncParentDirectory(ExpandFileName(file_path));
}

bool TdwOSFileSystem::SyncData(int32_t handle) {
    return platform::SyncFile(handle);
}

bool TdwOSFileSystem::RelaxShareMode(int32_t handle, int32_t mode) {
    // A physically exclusive database keeps every file to itself.
    return FPhysicallyExclusive || platform::RelaxShareMode(handle, mode);
}

void TdwOSFileSystem::CloseFile(int32_t handle) {
    if (IsValidHandle(handle)) {
        platform::CloseFile(handle);
    }
}

// Only the low 32 bits of the positions count: the lock layouts of the stored files were laid out
// that way and every process sharing them must agree. A range whose truncated length is 0 is
// refused (result -1) instead of being taken as "to the end of the file".
int32_t TdwOSFileSystem::LockFile(int32_t handle, int64_t start_pos, int64_t end_pos, bool) {
    const uint32_t offset = static_cast<uint32_t>(start_pos);
    const uint32_t length =
        static_cast<uint32_t>(static_cast<uint64_t>(end_pos) - static_cast<uint64_t>(start_pos));
    return platform::LockRange(handle, offset, length);
}

void TdwOSFileSystem::UnlockFile(int32_t handle, int64_t start_pos, int64_t end_pos, bool) {
    const uint32_t offset = static_cast<uint32_t>(start_pos);
    const uint32_t length =
        static_cast<uint32_t>(static_cast<uint64_t>(end_pos) - static_cast<uint64_t>(start_pos));
    platform::UnlockRange(handle, offset, length);
}

bool TdwOSFileSystem::CreateDir(std::u16string_view dir_path) {
    return platform::CreateDirectory(ExpandFileName(dir_path));
}

bool TdwOSFileSystem::RemoveDir(std::u16string_view dir_path) {
    return platform::RemoveDirectory(ExpandFileName(dir_path));
}

bool TdwOSFileSystem::FindFirstFile(std::u16string_view path, int32_t attr,
                                    TdwFindFileRec& find_file_rec) {
    find_file_rec.FindHandle.reset();
    // Hidden, system and volume entries and directories are found only when asked for.
    find_file_rec.ExcludeAttr =
        ~attr & (kAttrHidden | kAttrSystem | kAttrVolumeId | kAttrDirectory);
    find_file_rec.FindHandle = platform::FindFirst(ExpandFileName(path), find_file_rec.FindData);
    if (!find_file_rec.FindHandle) {
        return false;
    }
    if (!SkipExcluded(find_file_rec)) {
        find_file_rec.FindHandle.reset();
        platform::SetLastError(platform::kErrorFileNotFound);
        return false;
    }
    return true;
}

bool TdwOSFileSystem::FindNextFile(TdwFindFileRec& find_file_rec) {
    if (!find_file_rec.FindHandle) {
        platform::SetLastError(platform::kErrorNoMoreFiles);
        return false;
    }
    return platform::FindNext(*find_file_rec.FindHandle, find_file_rec.FindData) &&
           SkipExcluded(find_file_rec);
}

void TdwOSFileSystem::FindFileClose(TdwFindFileRec& find_file_rec) {
    find_file_rec.FindHandle.reset();
}

bool TdwOSFileSystem::DeleteFile(std::u16string_view file_name) {
    return platform::DeleteFile(ExpandFileName(file_name));
}

int32_t TdwOSFileSystem::Clear() {
    return 0;
}

bool TdwOSFileSystem::RenameFile(std::u16string_view old_name, std::u16string_view new_name) {
    return platform::RenameFile(ExpandFileName(old_name), ExpandFileName(new_name));
}

// Creates every missing level, so that a file can be created at the end of the path.
bool TdwOSFileSystem::ForcePath(std::u16string_view dir_path) {
    const std::u16string full = ExpandFileName(dir_path);
    for (size_t end = 1; end <= full.size(); ++end) {
        if (end < full.size() && full[end] != u'/') {
            continue;
        }
        const std::u16string level = full.substr(0, end);
        if (level.back() == u'/' || level.ends_with(u"/.") || level.ends_with(u"/..") ||
            level == u"." || level == u"..") {
            continue;
        }
        if (!platform::CreateDirectory(level)) {
            if (platform::GetLastError() != platform::kErrorAlreadyExists) {
                return false;
            }
            platform::FindData found;
            if (!platform::FindFirst(level + u"/", found) || (found.Attr & kAttrDirectory) == 0) {
                platform::SetLastError(platform::kErrorAlreadyExists);
                return false;
            }
        }
    }
    return true;
}

}  // namespace tdb
