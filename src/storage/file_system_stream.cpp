// The file stream: positioned reads and writes through its file system, failures as exceptions.
#include "storage/file_system_stream.h"

#include "platform/error.h"
#include "platform/text.h"
#include "storage/file_errors.h"

namespace tdb {

TdwFileSystemStream::TdwFileSystemStream(std::u16string_view file_name, int32_t mode,
                                         TdwFileSystem& file_system)
    : FFileName(file_system.ExpandFileName(file_name)), FFileSystem(file_system) {
    if (mode == kFileModeCreate) {
        FHandle = FFileSystem.CreateFile(file_name);
        if (!TdwFileSystem::IsValidHandle(FHandle)) {
            const int32_t code = FFileSystem.GetLastError();
            std::u16string message =
                u"Cannot create file \"" + FFileName + u"\". " + FFileSystem.GetErrorMessage(code);
            if (code == platform::kErrorAlreadyExists) {
                throw EdwFileAlreadyExistsError(std::move(message));
            }
            throw EdwFileCreateError(std::move(message));
        }
    } else {
        FHandle = FFileSystem.OpenFile(file_name, mode);
        if (!TdwFileSystem::IsValidHandle(FHandle)) {
            const int32_t code = FFileSystem.GetLastError();
            std::u16string message =
                u"Cannot open file \"" + FFileName + u"\". " + FFileSystem.GetErrorMessage(code);
            if (code == platform::kErrorFileNotFound) {
                throw EdwFileNotFoundError(std::move(message));
            }
            throw EdwFileOpenError(std::move(message));
        }
    }
}

TdwFileSystemStream::TdwFileSystemStream(int32_t handle, TdwFileSystem& file_system)
    : FHandle(handle), FFileSystem(file_system) {}

TdwFileSystemStream::~TdwFileSystemStream() {
    if (TdwFileSystem::IsValidHandle(FHandle)) {
        FFileSystem.CloseFile(FHandle);
    }
}

int32_t TdwFileSystemStream::Read(std::span<std::byte> buffer) {
    const int32_t count = FFileSystem.FileRead(FHandle, FPosition, buffer);
    // A failure must not move the position backwards.
    if (count > 0) {
        FPosition += count;
    }
    return count;
}

int32_t TdwFileSystemStream::Write(std::span<const std::byte> buffer) {
    const int32_t count = FFileSystem.FileWrite(FHandle, FPosition, buffer);
    if (count > 0) {
        FPosition += count;
    }
    return count;
}

int64_t TdwFileSystemStream::Seek(int64_t offset, TdwSeekOrigin origin) {
    switch (origin) {
        case TdwSeekOrigin::Beginning:
            FPosition = offset;
            break;
        case TdwSeekOrigin::Current:
            FPosition += offset;
            break;
        case TdwSeekOrigin::End:
            FPosition = FFileSystem.GetFileSize(FHandle) + offset;
            break;
    }
    return FPosition;
}

bool TdwFileSystemStream::LockRange(int64_t start_pos, int64_t length, bool for_write) {
    const int32_t result = FFileSystem.LockFile(FHandle, start_pos, start_pos + length, for_write);
    if (result == 0 || result == 1) {
        return result == 1;
    }
    throw EdwStreamError(u"Cannot lock storage \"" + FFileName + u"\"; error code = " +
                         FromUtf8(std::to_string(result)));
}

void TdwFileSystemStream::UnlockRange(int64_t start_pos, int64_t length, bool for_write) {
    FFileSystem.UnlockFile(FHandle, start_pos, start_pos + length, for_write);
}

bool TdwFileSystemStream::IsRangeLocked(int64_t start_pos, int64_t length) {
    if (FFileSystem.LockFile(FHandle, start_pos, start_pos + length, true) <= 0) {
        return true;
    }
    FFileSystem.UnlockFile(FHandle, start_pos, start_pos + length, true);
    return false;
}

}  // namespace tdb
