// The engine's record-file streams: failures come back as small negative error numbers instead of
// exceptions, and the file is reopened on demand after an error closed it.
//
// A stream belongs to one user at a time; it is not safe to share between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/encryption.h"
#include "storage/file_system.h"

namespace tdb {

// Error numbers of the streams; operations return 0 (or a positive value) or the negated number.
inline constexpr int16_t kStreamCannotOpen = 1;
inline constexpr int16_t kStreamReadError = 2;
inline constexpr int16_t kStreamWriteError = 3;  // also create, cut and erase
inline constexpr int16_t kStreamLockError = 6;
inline constexpr int16_t kStreamLocked = 9;  // region locked, or the lock wait timed out

class TTdbStream {
public:
    virtual ~TTdbStream();

    // Slots in their fixed order.
    virtual int16_t Reset(std::u16string_view name, uint8_t access) = 0;
    virtual int16_t Rewrite(std::u16string_view name, uint8_t access, int32_t rights) = 0;
    virtual int16_t Close() = 0;
    virtual int16_t ReadNBytes(int64_t ab, std::span<std::byte> v, bool encrypted) = 0;
    virtual int16_t WriteNBytes(int64_t ab, std::span<const std::byte> v, bool encrypted) = 0;
    virtual int16_t TestNBytes(int64_t ab, std::span<const std::byte> v) = 0;
    virtual int64_t Size() = 0;
    virtual int16_t Cut(int64_t pos) = 0;
    virtual int16_t Erase() = 0;
    virtual int16_t Lock() = 0;
    virtual void Unlock() = 0;
    virtual bool LockRange(int64_t start_pos, int64_t length, bool for_write) = 0;
    virtual void UnlockRange(int64_t start_pos, int64_t length, bool for_write) = 0;
    virtual bool IsRangeLocked(int64_t start_pos, int64_t length) = 0;

    // The error number of the last operation, 0 when it succeeded.
    int16_t Error() const { return FError; }

    // The encryption of the table the file belongs to; borrowed, null for none.
    TTdbEncryption* Encryption() const { return FEncryption; }
    void SetEncryption(TTdbEncryption* encryption) { FEncryption = encryption; }

protected:
    TTdbStream() = default;

    int16_t FError = 0;
    TTdbEncryption* FEncryption = nullptr;
    // Holds the encrypted copy of outgoing data; it only grows, so writes stop allocating.
    std::vector<std::byte> FEncryptBuffer;
};

// How long Lock keeps trying: after a refused try it sleeps 100 + a random 0 to 99 milliseconds
// and tries again, at most MaxRetries times.
struct TdwLockRetry {
    int32_t MaxRetries = 1000;
    std::function<void(uint32_t milliseconds)> Sleep;  // empty: the platform's sleep
};

class TdwFileSystemTdbStream : public TTdbStream {
public:
    explicit TdwFileSystemTdbStream(TdwFileSystem& file_system);
    ~TdwFileSystemTdbStream() override;
    TdwFileSystemTdbStream(const TdwFileSystemTdbStream&) = delete;
    TdwFileSystemTdbStream& operator=(const TdwFileSystemTdbStream&) = delete;

    int16_t Reset(std::u16string_view name, uint8_t access) override;
    // Rights is accepted for the interface and not used.
    int16_t Rewrite(std::u16string_view name, uint8_t access, int32_t rights) override;
    int16_t Close() override;
    int16_t ReadNBytes(int64_t ab, std::span<std::byte> v, bool encrypted) override;
    int16_t WriteNBytes(int64_t ab, std::span<const std::byte> v, bool encrypted) override;
    int16_t TestNBytes(int64_t ab, std::span<const std::byte> v) override;
    int64_t Size() override;
    int16_t Cut(int64_t pos) override;
    int16_t Erase() override;
    // The file lock on byte 0, counted: only the outermost Lock takes it (result 0), nested calls
    // return 1, and only the matching outermost Unlock releases it.
    int16_t Lock() override;
    void Unlock() override;
    bool LockRange(int64_t start_pos, int64_t length, bool for_write) override;
    void UnlockRange(int64_t start_pos, int64_t length, bool for_write) override;
    bool IsRangeLocked(int64_t start_pos, int64_t length) override;

    void SetLockRetry(TdwLockRetry retry) { FLockRetry = std::move(retry); }

    int32_t Handle() const { return FHandle; }
    const std::u16string& FileName() const { return FFileName; }
    int32_t LockCount() const { return FLockCount; }

private:
    bool EnsureOpen();
    void CloseHandle();
    int16_t Fail(int16_t error);
    int16_t Write(int64_t ab, std::span<const std::byte> v);

    TdwFileSystem& FFileSystem;
    int32_t FHandle = -1;
    std::u16string FFileName;
    int32_t FFileMode = 0;
    int32_t FLockCount = 0;
    TdwLockRetry FLockRetry;
};

}  // namespace tdb
