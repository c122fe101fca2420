// The operating system's file system with calls that fail on demand, for tests of what the
// storage layer does when the disk lets it down.
#pragma once

#include <span>

#include "platform/error.h"
#include "platform/exception.h"
#include "storage/os_file_system.h"

namespace tdb::testing {

class FaultFileSystem : public TdwOSFileSystem {
public:
    using TdwOSFileSystem::TdwOSFileSystem;

    // After this many more successful calls the next ones fail (negative: never).
    int readsLeft = -1;
    int writesLeft = -1;
    int sizesLeft = -1;
    int syncsLeft = -1;
    // The write (sync, read, size) that many calls from now fails, once (negative: none).
    int writeToFail = -1;
    int syncToFail = -1;
    int readToFail = -1;
    int sizeToFail = -1;
    // Refuses to delete or make files, as a directory without write access does.
    bool deletesRefused = false;
    bool createsRefused = false;
    // Refuses every open for writing, as a read-only medium does.
    bool readOnlyMedium = false;
    // What was asked of the files, for tests that care how a result came about.
    int closes = 0;
    int opens = 0;
    int syncs = 0;

    int32_t FileRead(int32_t handle, int64_t pos, std::span<std::byte> data) override {
        if (Fails(readsLeft) || FailsOnce(readToFail)) {
            return -1;
        }
        return TdwOSFileSystem::FileRead(handle, pos, data);
    }

    int32_t FileWrite(int32_t handle, int64_t pos, std::span<const std::byte> data) override {
        if (Fails(writesLeft) || FailsOnce(writeToFail)) {
            return -1;
        }
        return TdwOSFileSystem::FileWrite(handle, pos, data);
    }

    int64_t GetFileSize(int32_t handle) override {
        if (Fails(sizesLeft) || FailsOnce(sizeToFail)) {
            throw Exception(u"The size cannot be read");
        }
        return TdwOSFileSystem::GetFileSize(handle);
    }

    bool SyncFile(int32_t handle, std::u16string_view filePath) override {
        ++syncs;
        if (Fails(syncsLeft) || FailsOnce(syncToFail)) {
            return false;
        }
        return TdwOSFileSystem::SyncFile(handle, filePath);
    }

    bool SyncData(int32_t handle) override {
        ++syncs;
        if (Fails(syncsLeft) || FailsOnce(syncToFail)) {
            return false;
        }
        return TdwOSFileSystem::SyncData(handle);
    }

    int32_t OpenFile(std::u16string_view filePath, int32_t mode) override {
        ++opens;
        if (readOnlyMedium && (mode & 3) != 0) {
            platform::SetLastError(5);
            SetLastError(5);
            return -1;
        }
        return TdwOSFileSystem::OpenFile(filePath, mode);
    }

    int32_t CreateFile(std::u16string_view filePath) override {
        if (createsRefused) {
            platform::SetLastError(5);
            SetLastError(5);
            return -1;
        }
        return TdwOSFileSystem::CreateFile(filePath);
    }

    bool DeleteFile(std::u16string_view fileName) override {
        if (deletesRefused) {
            platform::SetLastError(5);
            SetLastError(5);
            return false;
        }
        return TdwOSFileSystem::DeleteFile(fileName);
    }

    void CloseFile(int32_t handle) override {
        ++closes;
        TdwOSFileSystem::CloseFile(handle);
    }

private:
    static bool FailsOnce(int& countdown) {
        if (countdown == 0) {
            countdown = -1;
            platform::SetLastError(5);
            return true;
        }
        if (countdown > 0) {
            --countdown;
        }
        return false;
    }
    static bool Fails(int& left) {
        if (left == 0) {
            platform::SetLastError(5);
            return true;
        }
        if (left > 0) {
            --left;
        }
        return false;
    }
};

}  // namespace tdb::testing
