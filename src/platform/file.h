// Files as the engine needs them: handles opened with an access and a share mode, reads and
// writes at absolute 64-bit positions, and exclusive non-blocking byte-range locks.
//
// Every function reports failure through its result and leaves the reason in GetLastError().
// All functions may be called from several threads; a handle may be shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tdb::platform {

using FileHandle = int32_t;
inline constexpr FileHandle kInvalidFileHandle = -1;

// Open modes: the access in the low two bits, the sharing in bits 4 to 6.
inline constexpr int32_t kAccessRead = 0x00;
inline constexpr int32_t kAccessWrite = 0x01;
inline constexpr int32_t kAccessReadWrite = 0x02;
inline constexpr int32_t kShareCompat = 0x00;  // treated as exclusive
inline constexpr int32_t kShareExclusive = 0x10;
inline constexpr int32_t kShareDenyWrite = 0x20;
inline constexpr int32_t kShareDenyRead = 0x30;
inline constexpr int32_t kShareDenyNone = 0x40;

// First byte of the range every file reserves for the share-mode markers; no lock may touch
// [kShareMarkerBase, kShareMarkerBase + kShareMarkerCount).
inline constexpr uint64_t kShareMarkerBase = uint64_t{1} << 62;
inline constexpr uint64_t kShareMarkerCount = 5;

// Opens an existing file. Fails with 2 (missing), 3 (missing directory), 5 (no permission or a
// directory), 32 (another handle's share mode excludes this open, or this open's share mode
// excludes an existing handle) or 87 (a mode outside the table above).
FileHandle OpenFile(std::u16string_view path, int32_t mode);

// Creates a file, or empties an existing one, and opens it for reading and writing, exclusive.
// Fails with 32 when the existing file is open elsewhere (it is then left untouched).
FileHandle CreateFile(std::u16string_view path);

// Closes a handle; its locks and share markers go with it.
bool CloseFile(FileHandle handle);

// Reads up to data.size() bytes at position; fewer only at the end of the file. -1 on failure
// (also 5 for a handle opened without read access).
int64_t ReadFile(FileHandle handle, int64_t position, std::span<std::byte> data);

// Writes data at position, growing the file as needed. -1 on failure before anything was written;
// a short count when a later part failed (the reason is then in GetLastError()).
int64_t WriteFile(FileHandle handle, int64_t position, std::span<const std::byte> data);

// The size in bytes, or -1.
int64_t GetFileSize(FileHandle handle);

// Sets the length of the file (needs write access).
bool SetFileLength(FileHandle handle, int64_t length);

// Locks [start, start + length) exclusively without waiting. Results: 1 locked; 0 refused with 33
// because another handle or this one holds an overlapping range; -1 on any other failure (6 bad
// handle, 87 an empty range or one reaching into the share markers or beyond 2^63).
int LockRange(FileHandle handle, uint64_t start, uint64_t length);

// Releases a range exactly as it was locked through this handle; anything else fails with 158
// and releases nothing.
bool UnlockRange(FileHandle handle, uint64_t start, uint64_t length);

// Deletes a file; 32 when it is open anywhere (as an exclusive open would be refused).
bool DeleteFile(std::u16string_view path);

// Renames a file or directory; 183 when the new name exists, 32 when the file is open anywhere.
bool RenameFile(std::u16string_view old_path, std::u16string_view new_path);

// Lets others in as far as the share bits of mode allow, without closing the handle: the deny
// markers mode does not ask for are given up, none is taken (others may be in already), and
// the access stays as opened.
bool RelaxShareMode(FileHandle handle, int32_t mode);

// What makes a file itself, whatever name it is reached by: two names (hard links, or names
// that differ only where the file system ignores case) of one file give equal ids, two files
// never do while both exist.
struct FileId {
    uint64_t device = 0;
    uint64_t inode = 0;
    friend bool operator==(const FileId&, const FileId&) = default;
};

// The id of the file a name leads to (links followed); false with the last error when there is
// none (2 missing, 3 missing directory).
bool GetFileId(std::u16string_view path, FileId& id);
// The id of an open file.
bool GetFileId(FileHandle handle, FileId& id);

// Makes what was written to the file, and its size, durable.
bool SyncFile(FileHandle handle);
// Makes the entries of the directory that holds path durable: a created, renamed or grown file
// is then found under its name after a crash.
bool SyncParentDirectory(std::u16string_view path);

}  // namespace tdb::platform
