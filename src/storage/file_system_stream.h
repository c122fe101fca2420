// The stream over one file of a file system, which raises exceptions where the
// file system returns codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/stream.h"
#include "storage/file_system.h"

namespace tdb {

// Open mode that makes the constructor create the file instead of opening it.
inline constexpr int32_t kFileModeCreate = 0xFF00;

class TdwFileSystemStream : public TdwStream {
public:
    // Creates (mode kFileModeCreate) or opens the file; raises EdwFileAlreadyExistsError or
    // EdwFileCreateError, EdwFileNotFoundError or EdwFileOpenError.
    TdwFileSystemStream(std::u16string_view file_name, int32_t mode, TdwFileSystem& file_system);
    // Takes over a handle the file system opened; it is closed with the stream.
    TdwFileSystemStream(int32_t handle, TdwFileSystem& file_system);
    ~TdwFileSystemStream() override;
    TdwFileSystemStream(const TdwFileSystemStream&) = delete;
    TdwFileSystemStream& operator=(const TdwFileSystemStream&) = delete;

    int32_t Read(std::span<std::byte> buffer) override;
    int32_t Write(std::span<const std::byte> buffer) override;
    int64_t Seek(int64_t offset, TdwSeekOrigin origin) override;

    // True when locked, false when the range is locked elsewhere; raises EdwStreamError when the
    // file system fails otherwise.
    bool LockRange(int64_t start_pos, int64_t length, bool for_write);
    void UnlockRange(int64_t start_pos, int64_t length, bool for_write);
    // Whether anybody, this stream included, holds a lock overlapping the range.
    bool IsRangeLocked(int64_t start_pos, int64_t length);

    const std::u16string& FileName() const { return FFileName; }
    int32_t Handle() const { return FHandle; }
    TdwFileSystem& FileSystem() const { return FFileSystem; }

private:
    std::u16string FFileName;
    int32_t FHandle = -1;
    int64_t FPosition = 0;
    TdwFileSystem& FFileSystem;
};

}  // namespace tdb
