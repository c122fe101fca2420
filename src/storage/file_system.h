// The file-system interface every file of the engine is reached through: named files with
// integer handles, reads and writes at absolute positions, byte-range locks and directories.
//
// An implementation keeps no shared mutable state apart from the last error code, which is per
// thread: one object serves all tables of a database and is called from several sessions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/directory.h"
#include "platform/file.h"

namespace tdb {

// Attribute bits of directory entries and searches.
using platform::kAttrArchive;
using platform::kAttrDirectory;
using platform::kAttrHidden;
using platform::kAttrReadOnly;
using platform::kAttrSystem;
using platform::kAttrVolumeId;
inline constexpr int32_t kAttrAnyFile = 511;

// Error codes of file systems that are not the operating system's.
inline constexpr int32_t kNoLockingSupport = 1000;

// One directory search. The operating-system file system uses the fields up to FindData; the
// last three serve file systems that enumerate their own directories.
struct TdwFindFileRec {
    int32_t Time = 0;  // packed date-time: date in the high word, time in the low word
    int64_t Size = 0;
    int32_t Attr = 0;
    std::u16string Name;  // without its path
    int32_t ExcludeAttr = 0;
    std::unique_ptr<platform::DirectorySearch> FindHandle;
    platform::FindData FindData;
    int32_t DirIndex = 0;
    void* VirtDir = nullptr;  // the directory being enumerated, owned by its file system
    std::u16string PathPattern;
};

class TdwFileSystem {
public:
    virtual ~TdwFileSystem();
    TdwFileSystem(const TdwFileSystem&) = delete;
    TdwFileSystem& operator=(const TdwFileSystem&) = delete;

    // Slots in their fixed order; the base class implements 0, 4, 5 and 27.
    virtual std::u16string GetBaseDirectory() const;  // base class: just the delimiter
    virtual int32_t GetPageSize() const = 0;
    virtual void SetPageSize(int32_t page_size) = 0;
    virtual void SetLastError(int32_t error_code) = 0;
    virtual void Open();
    virtual void Close();
    virtual bool SupportsExclusiveFiles() const = 0;
    virtual int32_t GetLastError() const = 0;
    // Creators and openers return a negative handle on failure and leave the reason in
    // GetLastError(); they never raise.
    virtual int32_t CreateFile(std::u16string_view file_path) = 0;
    virtual int32_t OpenFile(std::u16string_view file_path, int32_t mode) = 0;
    virtual int32_t FileRead(int32_t handle, int64_t pos, std::span<std::byte> data) = 0;
    virtual int32_t FileWrite(int32_t handle, int64_t pos, std::span<const std::byte> data) = 0;
    virtual int64_t GetFileSize(int32_t handle) = 0;
    virtual void SetFileSize(int32_t handle, int64_t size) = 0;
    virtual bool EndOfFile(int32_t handle, int64_t pos) = 0;
    virtual void CloseFile(int32_t handle) = 0;
    // 1 locked, 0 refused because the range is locked, negative on any other failure.
    virtual int32_t LockFile(int32_t handle, int64_t start_pos, int64_t end_pos,
                             bool write_lock) = 0;
    virtual void UnlockFile(int32_t handle, int64_t start_pos, int64_t end_pos,
                            bool write_lock) = 0;
    virtual bool CreateDir(std::u16string_view dir_path) = 0;
    virtual bool RemoveDir(std::u16string_view dir_path) = 0;
    virtual bool FindFirstFile(std::u16string_view path, int32_t attr,
                               TdwFindFileRec& find_file_rec) = 0;
    virtual bool FindNextFile(TdwFindFileRec& find_file_rec) = 0;
    virtual void FindFileClose(TdwFindFileRec& find_file_rec) = 0;
    virtual bool DeleteFile(std::u16string_view file_name) = 0;
    virtual int32_t Clear() = 0;
    virtual bool RenameFile(std::u16string_view old_name, std::u16string_view new_name) = 0;
    virtual std::u16string ExpandFileName(std::u16string_view file_name) const = 0;
    virtual bool ForcePath(std::u16string_view dir_path);  // base class: true, nothing done

    // What the page cache tells files apart by: equal for two names of one file. False where
    // the file does not exist or the file system cannot tell (base class); files are then told
    // apart by their expanded names.
    virtual bool GetFileId(std::u16string_view file_path, platform::FileId& id);
    virtual bool GetFileId(int32_t handle, platform::FileId& id);
    // Makes the file's contents, its size and its directory entry durable, without closing
    // anything. Base class: true, nothing to do; false with the reason in GetLastError().
    virtual bool SyncFile(int32_t handle, std::u16string_view file_path);
    // Makes the file's contents and size durable, not its directory entry: for a file that
    // has long had its name. Base class: true, nothing to do.
    virtual bool SyncData(int32_t handle);
    // Lets other handles in as far as the share bits of mode allow, without closing the handle
    // (a file is created exclusive). Base class: true, nothing to do.
    virtual bool RelaxShareMode(int32_t handle, int32_t mode);

    // Properties.
    std::u16string BaseDirectory() const { return GetBaseDirectory(); }
    int32_t PageSize() const { return GetPageSize(); }
    int32_t LastError() const { return GetLastError(); }
    bool PhysicallyExclusive() const { return FPhysicallyExclusive; }
    void SetPhysicallyExclusive(bool value) { FPhysicallyExclusive = value; }
    char16_t PathDelimiter() const { return FPathDelimiter; }

    static bool IsValidHandle(int32_t handle) { return handle >= 0; }
    std::u16string GetErrorMessage(int32_t error_code) const;
    bool FileExists(std::u16string_view file_name);
    bool DirectoryExists(std::u16string_view dir_name);

    // Copies one file; a target that is an existing directory receives the file under its own
    // name. Never raises: false with the reason in GetLastError().
    bool CopyFile(std::u16string_view source, std::u16string_view target);

    // Copies the tree below src_dir_name of another file system into dst_dir_name of this one;
    // raises EdwInOutError when a directory or file cannot be made, opened, read or written.
    void CopyFrom(TdwFileSystem& file_system, std::u16string_view src_dir_name,
                  std::u16string_view dst_dir_name);

    // Appends a name to a directory path with exactly one delimiter between.
    std::u16string JoinPath(std::u16string_view directory, std::u16string_view name) const;

protected:
    explicit TdwFileSystem(char16_t path_delimiter = u'\\') : FPathDelimiter(path_delimiter) {}

    bool FPhysicallyExclusive = false;

private:
    void CopyTree(TdwFileSystem& file_system, std::u16string_view src_dir_name,
                  std::u16string_view dst_dir_name, std::span<std::byte> buffer);
    void CopyOneFile(TdwFileSystem& file_system, const std::u16string& source,
                     const std::u16string& target, std::span<std::byte> buffer);

    const char16_t FPathDelimiter;
};

}  // namespace tdb
