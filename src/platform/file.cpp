// Files with engine semantics on top of POSIX descriptors.
//
// Byte-range locks:
// - LockRange takes an exclusive, non-blocking lock that conflicts with every other handle, also
//   with other handles of this process. It is an open-file-description lock (F_OFD_SETLK): the
//   kernel drops it when the handle is closed or its process dies, and O_CLOEXEC keeps it from
//   leaking into programs this process starts.
// - The kernel lets a handle re-lock (and silently merge) ranges it already holds, so each handle
//   keeps the list of ranges it holds: an overlapping request is refused with 33, and an unlock
//   must name a held range exactly. Without that, "try to lock, then unlock" as a probe would
//   release the caller's own real lock.
// - A lock of length 0 is refused with 87 and locks nothing: the kernel reads length 0 as "to the
//   end of the file and beyond", which would shut every other lock of the file out.
// - Locks are advisory: reads and writes into a range another handle locked succeed.
//
// Share modes use five reserved bytes at B = 2^62, far above any engine lock (the engine places
// its locks by 32-bit positions), which never extend the file:
//   B+0 held shared by every handle with read access     B+2 ... that denies read (0x10, 0x30)
//   B+1 held shared by every handle with write access    B+3 ... that denies write (0x10, 0x20)
//   B+4 the gate, held exclusively only while an open checks the markers and takes its own.
// An open conflicts when another handle holds the marker opposite to one of its own wishes (read
// access vs. B+2, write access vs. B+3, deny read vs. B+0, deny write vs. B+1). Only openers that
// come through this unit are excluded; a plain open() by another program is not. A file that may
// only be read is opened O_RDONLY: it takes its markers without the gate (a small race between
// concurrent openers) and can only carry shared locks, which do not exclude each other.
#include "platform/file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/error.h"
#include "platform/file_internal.h"
#include "platform/text.h"

namespace tdb::platform {
namespace {

constexpr off_t kMarkerRead = static_cast<off_t>(kShareMarkerBase);
constexpr off_t kMarkerWrite = kMarkerRead + 1;
constexpr off_t kMarkerDenyRead = kMarkerRead + 2;
constexpr off_t kMarkerDenyWrite = kMarkerRead + 3;
constexpr off_t kGate = kMarkerRead + 4;
constexpr uint64_t kLargestLockEnd = uint64_t{1} << 63;

struct HeldRange {
    uint64_t start;
    uint64_t length;
};

struct OpenHandle {
    explicit OpenHandle(int descriptor) : fd(descriptor) {}
    ~OpenHandle() { ::close(fd); }
    OpenHandle(const OpenHandle&) = delete;
    OpenHandle& operator=(const OpenHandle&) = delete;

    const int fd;
    bool may_read = false;
    bool may_write = false;
    bool kernel_writable = false;  // opened O_RDWR: can carry exclusive locks
    std::mutex lock_mutex;
    std::vector<HeldRange> held;  // guarded by lock_mutex
};

// The descriptor is the handle. A closed handle leaves the table at once, but the descriptor is
// closed only when the last operation still running on it returns, so a number the kernel hands
// out again never reaches a call made with the old handle.
class HandleTable {
public:
    void Add(std::shared_ptr<OpenHandle> handle) {
        std::unique_lock guard(mutex_);
        handles_[handle->fd] = std::move(handle);
    }

    std::shared_ptr<OpenHandle> Find(FileHandle handle) {
        std::shared_lock guard(mutex_);
        auto it = handles_.find(handle);
        return it == handles_.end() ? nullptr : it->second;
    }

    std::shared_ptr<OpenHandle> Remove(FileHandle handle) {
        std::unique_lock guard(mutex_);
        auto it = handles_.find(handle);
        if (it == handles_.end()) {
            return nullptr;
        }
        auto found = std::move(it->second);
        handles_.erase(it);
        return found;
    }

private:
    std::shared_mutex mutex_;
    std::unordered_map<FileHandle, std::shared_ptr<OpenHandle>> handles_;
};

HandleTable& Handles() {
    static HandleTable table;
    return table;
}

std::shared_ptr<OpenHandle> FindHandle(FileHandle handle) {
    auto found = Handles().Find(handle);
    if (!found) {
        SetLastError(kErrorInvalidHandle);
    }
    return found;
}

int SetByteLock(int fd, int command, short type, off_t start, off_t length) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    int result;
    do {
        result = ::fcntl(fd, command, &fl);
    } while (result == -1 && errno == EINTR && command == F_OFD_SETLKW);
    return result;
}

// Whether a handle other than fd holds a lock on the byte; -1 when the query itself failed.
int HeldByOthers(int fd, off_t byte) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    if (::fcntl(fd, F_OFD_GETLK, &fl) == -1) {
        return -1;
    }
    return fl.l_type != F_UNLCK ? 1 : 0;
}

struct ShareRequest {
    bool read = false;
    bool write = false;
    bool deny_read = false;
    bool deny_write = false;
};

bool DecodeMode(int32_t mode, ShareRequest& request) {
    switch (mode & 0x03) {
        case kAccessRead:
            request.read = true;
            break;
        case kAccessWrite:
            request.write = true;
            break;
        case kAccessReadWrite:
            request.read = request.write = true;
            break;
        default:
            return false;
    }
    switch (mode & 0xF0) {
        // The compatibility mode lets nobody else in, as exclusive does.
        case kShareCompat:
        case kShareExclusive:
            request.deny_read = request.deny_write = true;
            break;
        case kShareDenyWrite:
            request.deny_write = true;
            break;
        case kShareDenyRead:
            request.deny_read = true;
            break;
        case kShareDenyNone:
            break;
        default:
            return false;
    }
    return true;
}

// Checks the markers of the other handles and takes this handle's own; false with the last
// error set on a conflict or a failure. The caller holds the gate when the descriptor can.
bool TakeShareMarkers(int fd, const ShareRequest& request) {
    const std::pair<bool, off_t> checks[] = {
        {request.read, kMarkerDenyRead},
        {request.write, kMarkerDenyWrite},
        {request.deny_read, kMarkerRead},
        {request.deny_write, kMarkerWrite},
    };
    for (const auto& [wanted, byte] : checks) {
        if (!wanted) {
            continue;
        }
        const int held = HeldByOthers(fd, byte);
        if (held < 0) {
            SetLastErrorFromErrno(errno);
            return false;
        }
        if (held > 0) {
            SetLastError(kErrorSharingViolation);
            return false;
        }
    }
    const std::pair<bool, off_t> own[] = {
        {request.read, kMarkerRead},
        {request.write, kMarkerWrite},
        {request.deny_read, kMarkerDenyRead},
        {request.deny_write, kMarkerDenyWrite},
    };
    for (const auto& [wanted, byte] : own) {
        if (wanted && SetByteLock(fd, F_OFD_SETLK, F_RDLCK, byte, 1) == -1) {
            SetLastErrorFromErrno(errno);
            return false;
        }
    }
    return true;
}

class Gate {
public:
    explicit Gate(int fd) : fd_(fd) {
        taken_ = SetByteLock(fd, F_OFD_SETLKW, F_WRLCK, kGate, 1) == 0;
        error_ = taken_ ? 0 : errno;
    }
    ~Gate() {
        if (taken_) {
            SetByteLock(fd_, F_OFD_SETLK, F_UNLCK, kGate, 1);
        }
    }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;
    bool Taken() const { return taken_; }
    int Error() const { return error_; }

private:
    int fd_;
    bool taken_;
    int error_;
};

bool PermissionRefused(int error_number) {
    return error_number == EACCES || error_number == EPERM || error_number == EROFS;
}

// The reason a call on a path failed: a missing file in an existing directory (which a create
// would have made) or a missing directory, told apart as the engine expects.
void SetPathError(int error_number, const std::string& path, bool creating) {
    if (error_number == ENOENT && !creating && ParentExists(path)) {
        SetLastErrorWithErrno(kErrorFileNotFound, error_number);
    } else if (error_number == ENOENT) {
        SetLastErrorWithErrno(kErrorPathNotFound, error_number);
    } else {
        SetLastErrorFromErrno(error_number);
    }
}

// Opens the descriptor, O_RDWR where permitted so that it can carry exclusive locks.
int OpenDescriptor(const std::string& path, const ShareRequest& request, int extra_flags,
                   bool& kernel_writable) {
    kernel_writable = true;
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | extra_flags, 0666);
    if (fd == -1 && PermissionRefused(errno) && !request.write && (extra_flags & O_CREAT) == 0) {
        kernel_writable = false;
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd == -1) {
        SetPathError(errno, path, (extra_flags & O_CREAT) != 0);
    }
    return fd;
}

FileHandle OpenShared(std::u16string_view path, const ShareRequest& request, bool create) {
    std::string native;
    if (!NativePath(path, native)) {
        return kInvalidFileHandle;
    }
    bool kernel_writable = false;
    const int fd = OpenDescriptor(native, request, create ? O_CREAT : 0, kernel_writable);
    if (fd == -1) {
        return kInvalidFileHandle;
    }
    auto handle = std::make_shared<OpenHandle>(fd);
    handle->may_read = request.read;
    handle->may_write = request.write;
    handle->kernel_writable = kernel_writable;
    {
        std::unique_ptr<Gate> gate;
        if (kernel_writable) {
            gate = std::make_unique<Gate>(fd);
            if (!gate->Taken()) {
                SetLastErrorFromErrno(gate->Error());
                return kInvalidFileHandle;
            }
        }
        if (!TakeShareMarkers(fd, request)) {
            return kInvalidFileHandle;
        }
    }
    // Emptying only after the share check keeps a file that is in use elsewhere intact. A file
    // that is empty already is left alone: emptying it would make some file systems write it
    // out at close, as if it had replaced an older one.
    struct stat status {};
    if (create && (::fstat(fd, &status) == -1 || status.st_size > 0) && ::ftruncate(fd, 0) == -1) {
        SetLastErrorFromErrno(errno);
        return kInvalidFileHandle;
    }
    Handles().Add(handle);
    SetLastError(kErrorSuccess);
    return fd;
}

bool Overlaps(const HeldRange& a, uint64_t start, uint64_t length) {
    return start < a.start + a.length && a.start < start + length;
}

// Holds the gate of a file and knows whether any handle has it open; deleting or renaming while
// holding it keeps new openers waiting until the name is gone.
class InUseProbe {
public:
    explicit InUseProbe(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd_ == -1 && PermissionRefused(errno)) {
            fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        } else if (fd_ != -1) {
            // Released with the descriptor, after the caller's unlink or rename.
            SetByteLock(fd_, F_OFD_SETLKW, F_WRLCK, kGate, 1);
        }
        if (fd_ == -1) {
            return;  // a directory, a missing file or an unreadable one: nothing to honour
        }
        for (off_t byte : {kMarkerRead, kMarkerWrite, kMarkerDenyRead, kMarkerDenyWrite}) {
            if (HeldByOthers(fd_, byte) > 0) {
                in_use_ = true;
            }
        }
    }
    ~InUseProbe() {
        if (fd_ != -1) {
            ::close(fd_);
        }
    }
    InUseProbe(const InUseProbe&) = delete;
    InUseProbe& operator=(const InUseProbe&) = delete;
    bool InUse() const { return in_use_; }

private:
    int fd_ = -1;
    bool in_use_ = false;
};

// The open handle for a transfer at position, or null with the last error set: read-only access
// is enforced here because every descriptor that can carry locks is opened for writing.
std::shared_ptr<OpenHandle> ForTransfer(FileHandle handle, bool write, int64_t position) {
    auto open = FindHandle(handle);
    if (!open) {
        return nullptr;
    }
    if (!(write ? open->may_write : open->may_read)) {
        SetLastError(kErrorAccessDenied);
        return nullptr;
    }
    if (position < 0) {
        SetLastError(kErrorNegativeSeek);
        return nullptr;
    }
    return open;
}

}  // namespace

bool NativePath(std::u16string_view path, std::string& native) {
    if (path.find(u'\0') != std::u16string_view::npos) {
        SetLastError(kErrorInvalidName);
        return false;
    }
    native = ToUtf8(path);
    return true;
}

namespace {

// The directory a native path names its file in: "." for a bare name.
std::string ParentDirectory(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".")
           : slash == 0               ? std::string("/")
                                      : path.substr(0, slash);
}

}  // namespace

bool ParentExists(const std::string& path) {
    struct stat st {};
    return ::stat(ParentDirectory(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

FileHandle OpenFile(std::u16string_view path, int32_t mode) {
    ShareRequest request;
    if (!DecodeMode(mode, request)) {
        SetLastError(kErrorInvalidParameter);
        return kInvalidFileHandle;
    }
    return OpenShared(path, request, false);
}

FileHandle CreateFile(std::u16string_view path) {
    ShareRequest request;
    DecodeMode(kAccessReadWrite | kShareExclusive, request);
    return OpenShared(path, request, true);
}

bool CloseFile(FileHandle handle) {
    if (!Handles().Remove(handle)) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

int64_t ReadFile(FileHandle handle, int64_t position, std::span<std::byte> data) {
    auto open = ForTransfer(handle, false, position);
    if (!open) {
        return -1;
    }
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pread(open->fd, data.data() + done, data.size() - done,
                                  static_cast<off_t>(position) + static_cast<off_t>(done));
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetLastErrorFromErrno(errno);
            return done == 0 ? -1 : static_cast<int64_t>(done);
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

int64_t WriteFile(FileHandle handle, int64_t position, std::span<const std::byte> data) {
    auto open = ForTransfer(handle, true, position);
    if (!open) {
        return -1;
    }
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pwrite(open->fd, data.data() + done, data.size() - done,
                                   static_cast<off_t>(position) + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetLastErrorFromErrno(errno);
            return done == 0 ? -1 : static_cast<int64_t>(done);
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

int64_t GetFileSize(FileHandle handle) {
    auto open = FindHandle(handle);
    if (!open) {
        return -1;
    }
    struct stat st {};
    if (::fstat(open->fd, &st) == -1) {
        SetLastErrorFromErrno(errno);
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

bool SetFileLength(FileHandle handle, int64_t length) {
    auto open = FindHandle(handle);
    if (!open) {
        return false;
    }
    if (!open->may_write) {
        SetLastError(kErrorAccessDenied);
        return false;
    }
    if (length < 0) {
        SetLastError(kErrorNegativeSeek);
        return false;
    }
    if (::ftruncate(open->fd, static_cast<off_t>(length)) == -1) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

int LockRange(FileHandle handle, uint64_t start, uint64_t length) {
    auto open = FindHandle(handle);
    if (!open) {
        return -1;
    }
    const bool reaches_markers =
        start < kShareMarkerBase + kShareMarkerCount && kShareMarkerBase < start + length;
    if (length == 0 || start >= kLargestLockEnd || length > kLargestLockEnd - start ||
        reaches_markers) {
        SetLastError(kErrorInvalidParameter);
        return -1;
    }
    std::scoped_lock guard(open->lock_mutex);
    for (const auto& held : open->held) {
        if (Overlaps(held, start, length)) {
            SetLastError(kErrorLockViolation);
            return 0;
        }
    }
    const short type = open->kernel_writable ? F_WRLCK : F_RDLCK;
    if (SetByteLock(open->fd, F_OFD_SETLK, type, static_cast<off_t>(start),
                    static_cast<off_t>(length)) == -1) {
        const int error_number = errno;
        if (error_number == EAGAIN || error_number == EACCES) {
            SetLastErrorWithErrno(kErrorLockViolation, error_number);
            return 0;
        }
        SetLastErrorFromErrno(error_number);
        return -1;
    }
    open->held.push_back({start, length});
    return 1;
}

bool UnlockRange(FileHandle handle, uint64_t start, uint64_t length) {
    auto open = FindHandle(handle);
    if (!open) {
        return false;
    }
    std::scoped_lock guard(open->lock_mutex);
    auto it = std::find_if(open->held.begin(), open->held.end(), [&](const HeldRange& held) {
        return held.start == start && held.length == length;
    });
    if (it == open->held.end()) {
        SetLastError(kErrorNotLocked);
        return false;
    }
    if (SetByteLock(open->fd, F_OFD_SETLK, F_UNLCK, static_cast<off_t>(start),
                    static_cast<off_t>(length)) == -1) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    open->held.erase(it);
    return true;
}

bool DeleteFile(std::u16string_view path) {
    std::string native;
    if (!NativePath(path, native)) {
        return false;
    }
    InUseProbe probe(native);
    if (probe.InUse()) {
        SetLastError(kErrorSharingViolation);
        return false;
    }
    if (::unlink(native.c_str()) == -1) {
        const int error_number = errno;
        if (error_number == ENOENT && !ParentExists(native)) {
            SetLastErrorWithErrno(kErrorPathNotFound, error_number);
        } else {
            SetLastErrorFromErrno(error_number);
        }
        return false;
    }
    return true;
}

bool RenameFile(std::u16string_view old_path, std::u16string_view new_path) {
    std::string old_native;
    std::string new_native;
    if (!NativePath(old_path, old_native) || !NativePath(new_path, new_native)) {
        return false;
    }
    InUseProbe probe(old_native);
    if (probe.InUse()) {
        SetLastError(kErrorSharingViolation);
        return false;
    }
    int result =
        ::renameat2(AT_FDCWD, old_native.c_str(), AT_FDCWD, new_native.c_str(), RENAME_NOREPLACE);
    if (result == -1 && errno == EINVAL) {
        // A file system without RENAME_NOREPLACE: check first, accepting the small race.
        struct stat st {};
        if (::lstat(new_native.c_str(), &st) == 0) {
            SetLastErrorWithErrno(kErrorAlreadyExists, EEXIST);
            return false;
        }
        result = ::rename(old_native.c_str(), new_native.c_str());
    }
    if (result == -1) {
        const int error_number = errno;
        if (error_number == ENOENT && ParentExists(old_native) && ParentExists(new_native)) {
            SetLastErrorWithErrno(kErrorFileNotFound, error_number);
        } else if (error_number == ENOENT) {
            SetLastErrorWithErrno(kErrorPathNotFound, error_number);
        } else {
            SetLastErrorFromErrno(error_number);
        }
        return false;
    }
    return true;
}

bool RelaxShareMode(FileHandle handle, int32_t mode) {
    auto open = FindHandle(handle);
    if (!open) {
        return false;
    }
    ShareRequest request;
    if (!DecodeMode(mode, request)) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    const std::pair<bool, off_t> markers[] = {
        {request.deny_read, kMarkerDenyRead},
        {request.deny_write, kMarkerDenyWrite},
    };
    for (const auto& [kept, byte] : markers) {
        if (!kept && SetByteLock(open->fd, F_OFD_SETLK, F_UNLCK, byte, 1) == -1) {
            SetLastErrorFromErrno(errno);
            return false;
        }
    }
    return true;
}

namespace {

void ToFileId(const struct stat& st, FileId& id) {
    id.device = static_cast<uint64_t>(st.st_dev);
    id.inode = static_cast<uint64_t>(st.st_ino);
}

}  // namespace

bool GetFileId(std::u16string_view path, FileId& id) {
    std::string native;
    if (!NativePath(path, native)) {
        return false;
    }
    struct stat st {};
    if (::stat(native.c_str(), &st) == -1) {
        SetPathError(errno, native, false);
        return false;
    }
    ToFileId(st, id);
    return true;
}

bool GetFileId(FileHandle handle, FileId& id) {
    auto open = FindHandle(handle);
    if (!open) {
        return false;
    }
    struct stat st {};
    if (::fstat(open->fd, &st) == -1) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    ToFileId(st, id);
    return true;
}

bool SyncFile(FileHandle handle) {
    auto open = FindHandle(handle);
    if (!open) {
        return false;
    }
    int result;
    do {
        result = ::fdatasync(open->fd);
    } while (result == -1 && errno == EINTR);
    if (result == -1) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

bool SyncParentDirectory(std::u16string_view path) {
    std::string native;
    if (!NativePath(path, native)) {
        return false;
    }
    const int fd = ::open(ParentDirectory(native).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    int result;
    do {
        result = ::fsync(fd);
    } while (result == -1 && errno == EINTR);
    const int error_number = errno;
    ::close(fd);
    // Some file systems cannot sync a directory at all; their entries are as durable as they get.
    if (result == -1 && error_number != EINVAL && error_number != EROFS) {
        SetLastErrorFromErrno(error_number);
        return false;
    }
    return true;
}

}  // namespace tdb::platform
