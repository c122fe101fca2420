// The file-system record stream: lazy reopening, error numbers, and the counted file lock.
#include "storage/tdb_stream.h"

#include <algorithm>
#include <exception>
#include <random>

#include "platform/clock.h"
#include "platform/error.h"

namespace tdb {
namespace {

constexpr uint32_t kLockSleepBase = 100;
constexpr uint32_t kLockSleepSpread = 100;

uint32_t LockSleep() {
    thread_local std::minstd_rand engine{std::random_device{}()};
    std::uniform_int_distribution<uint32_t> spread(0, kLockSleepSpread - 1);
    return kLockSleepBase + spread(engine);
}

}  // namespace

TTdbStream::~TTdbStream() = default;

TdwFileSystemTdbStream::TdwFileSystemTdbStream(TdwFileSystem& file_system)
    : FFileSystem(file_system) {}

TdwFileSystemTdbStream::~TdwFileSystemTdbStream() {
    CloseHandle();
}

int16_t TdwFileSystemTdbStream::Fail(int16_t error) {
    FError = error;
    return static_cast<int16_t>(-error);
}

void TdwFileSystemTdbStream::CloseHandle() {
    if (TdwFileSystem::IsValidHandle(FHandle)) {
        FFileSystem.CloseFile(FHandle);
    }
    FHandle = -1;
    // Closing drops the file lock with the handle; a count left behind would make the next Lock
    // report success without locking anything.
    FLockCount = 0;
}

bool TdwFileSystemTdbStream::EnsureOpen() {
    FError = 0;
    if (TdwFileSystem::IsValidHandle(FHandle)) {
        return true;
    }
    FHandle = FFileSystem.OpenFile(FFileName, FFileMode);
    if (!TdwFileSystem::IsValidHandle(FHandle)) {
        FHandle = -1;
        FError = kStreamCannotOpen;
        return false;
    }
    return true;
}

int16_t TdwFileSystemTdbStream::Reset(std::u16string_view name, uint8_t access) {
    CloseHandle();
    FFileName = name;
    FFileMode = access;
    return EnsureOpen() ? 0 : Fail(kStreamCannotOpen);
}

int16_t TdwFileSystemTdbStream::Rewrite(std::u16string_view name, uint8_t access, int32_t) {
    CloseHandle();
    FFileName = name;
    FFileMode = access;
    const int32_t created = FFileSystem.CreateFile(FFileName);
    if (!TdwFileSystem::IsValidHandle(created)) {
        return Fail(kStreamWriteError);
    }
    FFileSystem.CloseFile(created);
    return EnsureOpen() ? 0 : Fail(kStreamCannotOpen);
}

int16_t TdwFileSystemTdbStream::Close() {
    CloseHandle();
    FError = 0;
    return 0;
}

int16_t TdwFileSystemTdbStream::ReadNBytes(int64_t ab, std::span<std::byte> v, bool encrypted) {
    if (!EnsureOpen()) {
        return Fail(kStreamCannotOpen);
    }
    // A short read at the end of the file sets no error; a stale code must not be read as one.
    FFileSystem.SetLastError(0);
    const int32_t read = FFileSystem.FileRead(FHandle, ab, v);
    if (read != static_cast<int64_t>(v.size())) {
        if (FFileSystem.GetLastError() == platform::kErrorLockViolation) {
            return Fail(kStreamLocked);
        }
        CloseHandle();
        return Fail(kStreamReadError);
    }
    if (encrypted && FEncryption != nullptr) {
        FEncryption->DecryptBlock(v);
    }
    return 0;
}

int16_t TdwFileSystemTdbStream::Write(int64_t ab, std::span<const std::byte> v) {
    FFileSystem.SetLastError(0);
    const int32_t written = FFileSystem.FileWrite(FHandle, ab, v);
    if (written != static_cast<int64_t>(v.size())) {
        if (FFileSystem.GetLastError() == platform::kErrorLockViolation) {
            return Fail(kStreamLocked);
        }
        CloseHandle();
        return Fail(kStreamWriteError);
    }
    return 0;
}

int16_t TdwFileSystemTdbStream::WriteNBytes(int64_t ab, std::span<const std::byte> v,
                                            bool encrypted) {
    if (!EnsureOpen()) {
        return Fail(kStreamCannotOpen);
    }
    if (!encrypted || FEncryption == nullptr) {
        return Write(ab, v);
    }
    // The caller's data stays as it was: a copy is encrypted and written.
    if (FEncryptBuffer.size() < v.size()) {
        FEncryptBuffer.resize(v.size());
    }
    const std::span<std::byte> copy(FEncryptBuffer.data(), v.size());
    std::copy(v.begin(), v.end(), copy.begin());
    FEncryption->EncryptBlock(copy);
    return Write(ab, copy);
}

int16_t TdwFileSystemTdbStream::TestNBytes(int64_t ab, std::span<const std::byte> v) {
    return WriteNBytes(ab, v, false);
}

int64_t TdwFileSystemTdbStream::Size() {
    if (!EnsureOpen()) {
        return Fail(kStreamCannotOpen);
    }
    try {
        return FFileSystem.GetFileSize(FHandle);
    } catch (const std::exception&) {
        return Fail(kStreamReadError);
    }
}

int16_t TdwFileSystemTdbStream::Cut(int64_t pos) {
    if (!EnsureOpen()) {
        return Fail(kStreamCannotOpen);
    }
    try {
        FFileSystem.SetFileSize(FHandle, pos);
    } catch (const std::exception&) {
        return Fail(kStreamWriteError);
    }
    return 0;
}

int16_t TdwFileSystemTdbStream::Erase() {
    FError = 0;
    return FFileSystem.DeleteFile(FFileName) ? 0 : Fail(kStreamWriteError);
}

int16_t TdwFileSystemTdbStream::Lock() {
    if (!EnsureOpen()) {
        return Fail(kStreamCannotOpen);
    }
    if (FLockCount > 0) {
        ++FLockCount;
        return 1;
    }
    const bool write_lock = (FFileMode & 3) != 0;
    for (int32_t retries = 0;; ++retries) {
        const int32_t result = FFileSystem.LockFile(FHandle, 0, 1, write_lock);
        if (result > 0) {
            FLockCount = 1;
            return 0;
        }
        if (result < 0) {
            return Fail(kStreamLockError);
        }
        if (retries >= FLockRetry.MaxRetries) {
            return Fail(kStreamLocked);
        }
        const uint32_t pause = LockSleep();
        if (FLockRetry.Sleep) {
            FLockRetry.Sleep(pause);
        } else {
            platform::Sleep(pause);
        }
    }
}

void TdwFileSystemTdbStream::Unlock() {
    if (FLockCount <= 0) {
        return;  // nothing held: an unmatched Unlock must not release somebody's range
    }
    if (--FLockCount == 0 && TdwFileSystem::IsValidHandle(FHandle)) {
        FFileSystem.UnlockFile(FHandle, 0, 1, (FFileMode & 3) != 0);
    }
}

bool TdwFileSystemTdbStream::LockRange(int64_t start_pos, int64_t length, bool for_write) {
    if (!EnsureOpen()) {
        return false;
    }
    return FFileSystem.LockFile(FHandle, start_pos, start_pos + length, for_write) == 1;
}

void TdwFileSystemTdbStream::UnlockRange(int64_t start_pos, int64_t length, bool for_write) {
    if (TdwFileSystem::IsValidHandle(FHandle)) {
        FFileSystem.UnlockFile(FHandle, start_pos, start_pos + length, for_write);
    }
}

bool TdwFileSystemTdbStream::IsRangeLocked(int64_t start_pos, int64_t length) {
    // A stream that cannot even open its file cannot tell; it reports the range as taken, so a
    // caller never concludes that the holder of the range is gone.
    if (!EnsureOpen()) {
        return true;
    }
    if (FFileSystem.LockFile(FHandle, start_pos, start_pos + length, true) <= 0) {
        return true;
    }
    FFileSystem.UnlockFile(FHandle, start_pos, start_pos + length, true);
    return false;
}

}  // namespace tdb
