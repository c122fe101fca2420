// The file system of the operating system: names resolve against a base directory with "/" as
// the delimiter, and files, locks and directories map onto the platform layer.
//
// Set the base directory before the object is shared between threads; everything else may be
// called from several threads at once.
#pragma once

#include "storage/file_system.h"

namespace tdb {

class TdwOSFileSystem : public TdwFileSystem {
public:
    TdwOSFileSystem();
    explicit TdwOSFileSystem(std::u16string_view base_directory);

    // Empty means no base directory: names are then used as they are.
    void SetBaseDirectory(std::u16string_view base_directory);

    std::u16string GetBaseDirectory() const override;
    int32_t GetPageSize() const override;
    void SetPageSize(int32_t page_size) override;
    void SetLastError(int32_t error_code) override;
    bool SupportsExclusiveFiles() const override;
    int32_t GetLastError() const override;
    int32_t CreateFile(std::u16string_view file_path) override;
    int32_t OpenFile(std::u16string_view file_path, int32_t mode) override;
    int32_t FileRead(int32_t handle, int64_t pos, std::span<std::byte> data) override;
    int32_t FileWrite(int32_t handle, int64_t pos, std::span<const std::byte> data) override;
    int64_t GetFileSize(int32_t handle) override;
    void SetFileSize(int32_t handle, int64_t size) override;
    bool EndOfFile(int32_t handle, int64_t pos) override;
    void CloseFile(int32_t handle) override;
    int32_t LockFile(int32_t handle, int64_t start_pos, int64_t end_pos, bool write_lock) override;
    void UnlockFile(int32_t handle, int64_t start_pos, int64_t end_pos, bool write_lock) override;
    bool CreateDir(std::u16string_view dir_path) override;
    bool RemoveDir(std::u16string_view dir_path) override;
    bool FindFirstFile(std::u16string_view path, int32_t attr,
                       TdwFindFileRec& find_file_rec) override;
    bool FindNextFile(TdwFindFileRec& find_file_rec) override;
    void FindFileClose(TdwFindFileRec& find_file_rec) override;
    bool DeleteFile(std::u16string_view file_name) override;
    int32_t Clear() override;
    bool RenameFile(std::u16string_view old_name, std::u16string_view new_name) override;
    std::u16string ExpandFileName(std::u16string_view file_name) const override;
    bool ForcePath(std::u16string_view dir_path) override;
    bool GetFileId(std::u16string_view file_path, platform::FileId& id) override;
    bool GetFileId(int32_t handle, platform::FileId& id) override;
    bool SyncFile(int32_t handle, std::u16string_view file_path) override;
    bool SyncData(int32_t handle) override;
    bool RelaxShareMode(int32_t handle, int32_t mode) override;

private:
    std::u16string FBaseDirectory;  // without a trailing delimiter, except the root itself
};

}  // namespace tdb
