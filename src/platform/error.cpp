// Mapping of errno to the engine's platform error codes and their texts.
#include "platform/error.h"

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/text.h"

namespace tdb::platform {
namespace {

thread_local int32_t t_code = 0;
thread_local int t_errno = 0;

// strerror_r comes in two shapes; both overloads make the call portable between them.
[[maybe_unused]] const char* StrErrorResult(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* StrErrorResult(const char* result, const char*) {
    return result;
}

std::u16string ErrnoText(int error_number) {
    char buffer[256] = {};
    return FromUtf8(StrErrorResult(strerror_r(error_number, buffer, sizeof buffer), buffer));
}

// The errno that best explains a code when no failure of this thread is at hand.
int RepresentativeErrno(int32_t code) {
    switch (code) {
        case kErrorSuccess:
            return 0;
        case kErrorFileNotFound:
            return ENOENT;
        case kErrorPathNotFound:
            return ENOTDIR;
        case kErrorTooManyOpenFiles:
            return EMFILE;
        case kErrorAccessDenied:
            return EACCES;
        case kErrorInvalidHandle:
            return EBADF;
        case kErrorNotEnoughMemory:
            return ENOMEM;
        case kErrorNotSameDevice:
            return EXDEV;
        case kErrorInvalidParameter:
            return EINVAL;
        case kErrorDiskFull:
            return ENOSPC;
        case kErrorDirectoryNotEmpty:
            return ENOTEMPTY;
        case kErrorAlreadyExists:
            return EEXIST;
        case kErrorFilenameTooLong:
            return ENAMETOOLONG;
        case kErrorIoDevice:
            return EIO;
        default:
            return -1;
    }
}

// Codes that this layer produces itself, not from an errno.
std::u16string_view OwnText(int32_t code) {
    switch (code) {
        case kErrorNoMoreFiles:
            return u"No more files";
        case kErrorGeneralFailure:
            return u"General failure";
        case kErrorSharingViolation:
            return u"The file is in use by another handle whose share mode excludes this access";
        case kErrorLockViolation:
            return u"A range of the file is locked by another handle";
        case kErrorNegativeSeek:
            return u"Negative file position";
        case kErrorNotLocked:
            return u"The range is not locked by this handle";
        case kErrorInvalidName:
            return u"The name contains a character a file name cannot hold";
        default:
            return {};
    }
}

}  // namespace

int32_t GetLastError() noexcept {
    return t_code;
}

void SetLastError(int32_t code) noexcept {
    t_code = code;
    t_errno = 0;
}

void SetLastErrorWithErrno(int32_t code, int error_number) noexcept {
    t_code = code;
    t_errno = error_number;
}

void SetLastErrorFromErrno(int error_number) noexcept {
    SetLastErrorWithErrno(MapErrno(error_number), error_number);
}

int32_t MapErrno(int error_number) noexcept {
    switch (error_number) {
        case 0:
            return kErrorSuccess;
        case ENOENT:
            return kErrorFileNotFound;
        case ENOTDIR:
        case ELOOP:
            return kErrorPathNotFound;
        case EMFILE:
        case ENFILE:
            return kErrorTooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return kErrorAccessDenied;
        case EBADF:
            return kErrorInvalidHandle;
        case ENOMEM:
            return kErrorNotEnoughMemory;
        case EXDEV:
            return kErrorNotSameDevice;
        case ETXTBSY:
        case EBUSY:
            return kErrorSharingViolation;
        case EAGAIN:
            return kErrorLockViolation;
        case EINVAL:
        case EOVERFLOW:
            return kErrorInvalidParameter;
        case ENOSPC:
        case EDQUOT:
            return kErrorDiskFull;
        case ENOTEMPTY:
            return kErrorDirectoryNotEmpty;
        case EEXIST:
            return kErrorAlreadyExists;
        case ENAMETOOLONG:
            return kErrorFilenameTooLong;
        case EIO:
            return kErrorIoDevice;
        default:
            return kErrorGeneralFailure;
    }
}

std::u16string ErrorText(int32_t code) {
    if (code == t_code && t_errno != 0) {
        return ErrnoText(t_errno);
    }
    if (auto own = OwnText(code); !own.empty()) {
        return std::u16string(own);
    }
    if (int e = RepresentativeErrno(code); e >= 0) {
        return ErrnoText(e);
    }
    return u"Unknown error " + FromUtf8(std::to_string(code));
}

}  // namespace tdb::platform
