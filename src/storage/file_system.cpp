// The file-system base class: the operations every file system shares, built on the slots.
#include "storage/file_system.h"

#include <vector>

#include "platform/error.h"
#include "platform/text.h"
#include "storage/file_errors.h"

namespace tdb {
namespace {

constexpr size_t kCopyFileBlock = 4096;
constexpr size_t kCopyFromChunk = 32768;

// Closes a handle when a copy ends, by whatever path.
class HandleGuard {
public:
    HandleGuard(TdwFileSystem& file_system, int32_t handle)
        : file_system_(file_system), handle_(handle) {}
    ~HandleGuard() {
        if (TdwFileSystem::IsValidHandle(handle_)) {
            file_system_.CloseFile(handle_);
        }
    }
    HandleGuard(const HandleGuard&) = delete;
    HandleGuard& operator=(const HandleGuard&) = delete;

private:
    TdwFileSystem& file_system_;
    int32_t handle_;
};

class SearchGuard {
public:
    SearchGuard(TdwFileSystem& file_system, TdwFindFileRec& rec)
        : file_system_(file_system), rec_(rec) {}
    ~SearchGuard() { file_system_.FindFileClose(rec_); }
    SearchGuard(const SearchGuard&) = delete;
    SearchGuard& operator=(const SearchGuard&) = delete;

private:
    TdwFileSystem& file_system_;
    TdwFindFileRec& rec_;
};

std::u16string Quoted(std::u16string_view text, std::u16string_view name) {
    // Every copy failure reads: <text> "<name>".
    return std::u16string(text) + u" \"" + std::u16string(name) + u"\".";
}

}  // namespace

TdwFileSystem::~TdwFileSystem() = default;

std::u16string TdwFileSystem::GetBaseDirectory() const {
    return std::u16string(1, FPathDelimiter);
}

void TdwFileSystem::Open() {}

void TdwFileSystem::Close() {}

bool TdwFileSystem::ForcePath(std::u16string_view) {
    return true;
}

bool TdwFileSystem::GetFileId(std::u16string_view, platform::FileId&) {
    return false;
}

bool TdwFileSystem::GetFileId(int32_t, platform::FileId&) {
    return false;
}

bool TdwFileSystem::SyncFile(int32_t, std::u16string_view) {
    return true;
}

bool TdwFileSystem::SyncData(int32_t) {
    return true;
}

bool TdwFileSystem::RelaxShareMode(int32_t, int32_t) {
    return true;
}

std::u16string TdwFileSystem::GetErrorMessage(int32_t error_code) const {
    if (error_code == kNoLockingSupport) {
        return u"No locking support";
    }
    if (error_code > kNoLockingSupport) {
        return u"Unknown reason";
    }
    return platform::ErrorText(error_code);
}

bool TdwFileSystem::FileExists(std::u16string_view file_name) {
    TdwFindFileRec rec;
    const bool found = FindFirstFile(file_name, 0, rec);
    FindFileClose(rec);
    return found && (rec.Attr & kAttrDirectory) == 0;
}

bool TdwFileSystem::DirectoryExists(std::u16string_view dir_name) {
    if (dir_name.size() > 1 && dir_name.back() == FPathDelimiter) {
        dir_name.remove_suffix(1);
    }
    TdwFindFileRec rec;
    const bool found = FindFirstFile(dir_name, kAttrDirectory, rec);
    FindFileClose(rec);
    return found && (rec.Attr & kAttrDirectory) != 0;
}

std::u16string TdwFileSystem::JoinPath(std::u16string_view directory,
                                       std::u16string_view name) const {
    std::u16string path(directory);
    if (!path.empty() && path.back() != FPathDelimiter) {
        path.push_back(FPathDelimiter);
    }
    path.append(name);
    return path;
}

bool TdwFileSystem::CopyFile(std::u16string_view source, std::u16string_view target) {
    std::u16string target_name(target);
    if (DirectoryExists(target)) {
        const auto slash = source.rfind(FPathDelimiter);
        target_name = JoinPath(
            target, slash == std::u16string_view::npos ? source : source.substr(slash + 1));
    }
    const int32_t in = OpenFile(source, 0);
    if (!IsValidHandle(in)) {
        return false;
    }
    const int32_t out = CreateFile(target_name);
    bool result = false;
    if (IsValidHandle(out)) {
        std::byte block[kCopyFileBlock];
        for (int64_t pos = 0;; pos += static_cast<int64_t>(kCopyFileBlock)) {
            const int32_t read = FileRead(in, pos, block);
            if (read < 0) {
                break;  // a read error is a failed copy, not a short file
            }
            if (read > 0 &&
                FileWrite(out, pos, std::span(block, static_cast<size_t>(read))) != read) {
                break;
            }
            if (static_cast<size_t>(read) < kCopyFileBlock) {
                result = true;
                break;
            }
        }
    }
    // The reason of a failure survives the closing.
    const int32_t error = GetLastError();
    if (IsValidHandle(out)) {
        CloseFile(out);
    }
    CloseFile(in);
    SetLastError(error);
    return result;
}

void TdwFileSystem::CopyFrom(TdwFileSystem& file_system, std::u16string_view src_dir_name,
                             std::u16string_view dst_dir_name) {
    std::vector<std::byte> buffer(kCopyFromChunk);
    CopyTree(file_system, src_dir_name, dst_dir_name, buffer);
}

void TdwFileSystem::CopyTree(TdwFileSystem& file_system, std::u16string_view src_dir_name,
                             std::u16string_view dst_dir_name, std::span<std::byte> buffer) {
    TdwFindFileRec rec;
    SearchGuard search(file_system, rec);
    bool found =
        file_system.FindFirstFile(file_system.JoinPath(src_dir_name, u"*.*"), kAttrAnyFile, rec);
    while (found) {
        if (rec.Name != u"." && rec.Name != u"..") {
            const std::u16string source = file_system.JoinPath(src_dir_name, rec.Name);
            const std::u16string target = JoinPath(dst_dir_name, rec.Name);
            if ((rec.Attr & kAttrDirectory) != 0) {
                if (!CreateDir(target)) {
                    throw EdwInOutError(Quoted(u"Cannot create directory", target), GetLastError());
                }
                CopyTree(file_system, source, target, buffer);
            } else {
                CopyOneFile(file_system, source, target, buffer);
            }
        }
        found = file_system.FindNextFile(rec);
    }
}

void TdwFileSystem::CopyOneFile(TdwFileSystem& file_system, const std::u16string& source,
                                const std::u16string& target, std::span<std::byte> buffer) {
    const int32_t in = file_system.OpenFile(source, 0);
    if (!IsValidHandle(in)) {
        throw EdwInOutError(Quoted(u"Cannot open source file", source), file_system.GetLastError());
    }
    HandleGuard in_guard(file_system, in);
    const int32_t out = CreateFile(target);
    if (!IsValidHandle(out)) {
        throw EdwInOutError(Quoted(u"Cannot create file", target), GetLastError());
    }
    HandleGuard out_guard(*this, out);
    for (int64_t pos = 0;;) {
        const int32_t read = file_system.FileRead(in, pos, buffer);
        // A failed read or write would leave a silently shortened copy behind.
        if (read < 0) {
            throw EdwInOutError(Quoted(u"Cannot read file", source), file_system.GetLastError());
        }
        if (read == 0) {
            break;
        }
        if (FileWrite(out, pos, buffer.first(static_cast<size_t>(read))) != read) {
            throw EdwInOutError(Quoted(u"Cannot write file", target), GetLastError());
        }
        pos += read;
        if (static_cast<size_t>(read) < buffer.size()) {
            break;
        }
    }
}

}  // namespace tdb
