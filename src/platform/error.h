// Platform error codes of the file primitives: a per-thread last error in the numbering the
// engine tests (2, 33, 183, ...), with the text of the failure that produced it.
#pragma once

#include <cstdint>
#include <string>

namespace tdb::platform {

inline constexpr int32_t kErrorSuccess = 0;
inline constexpr int32_t kErrorFileNotFound = 2;
inline constexpr int32_t kErrorPathNotFound = 3;
inline constexpr int32_t kErrorTooManyOpenFiles = 4;
inline constexpr int32_t kErrorAccessDenied = 5;
inline constexpr int32_t kErrorInvalidHandle = 6;
inline constexpr int32_t kErrorNotEnoughMemory = 8;
inline constexpr int32_t kErrorNotSameDevice = 17;
inline constexpr int32_t kErrorNoMoreFiles = 18;
inline constexpr int32_t kErrorGeneralFailure = 31;
inline constexpr int32_t kErrorSharingViolation = 32;
inline constexpr int32_t kErrorLockViolation = 33;
inline constexpr int32_t kErrorInvalidParameter = 87;
inline constexpr int32_t kErrorInvalidName = 123;
inline constexpr int32_t kErrorDiskFull = 112;
inline constexpr int32_t kErrorNegativeSeek = 131;
inline constexpr int32_t kErrorDirectoryNotEmpty = 145;
inline constexpr int32_t kErrorNotLocked = 158;
inline constexpr int32_t kErrorAlreadyExists = 183;
inline constexpr int32_t kErrorFilenameTooLong = 206;
inline constexpr int32_t kErrorIoDevice = 1117;

// The calling thread's last error code.
int32_t GetLastError() noexcept;

// Sets the calling thread's last error; the text of the code then comes from the code alone.
void SetLastError(int32_t code) noexcept;

// The text for a code. For the calling thread's last error it is the operating system's text of
// the failure that produced it; for any other code a text that fits the code.
std::u16string ErrorText(int32_t code);

// Records errno as the calling thread's last error, mapped to a code.
void SetLastErrorFromErrno(int error_number) noexcept;

// Records a code together with the errno whose text explains it.
void SetLastErrorWithErrno(int32_t code, int error_number) noexcept;

// The code an errno value maps to.
int32_t MapErrno(int error_number) noexcept;

}  // namespace tdb::platform
