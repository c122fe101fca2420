// Directories: creating and removing them, and searching them with wildcard patterns in the
// style the engine's callers write ("*.*" for every name, "?" for one character).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tdb::platform {

// Attribute bits of a found entry.
inline constexpr int32_t kAttrReadOnly = 0x01;
inline constexpr int32_t kAttrHidden = 0x02;
inline constexpr int32_t kAttrSystem = 0x04;
inline constexpr int32_t kAttrVolumeId = 0x08;
inline constexpr int32_t kAttrDirectory = 0x10;
inline constexpr int32_t kAttrArchive = 0x20;

// One entry of a directory search.
struct FindData {
    std::u16string Name;  // without its directory
    int64_t Size = 0;
    int32_t Attr = 0;
    int32_t Time = 0;  // modification time, local, as a packed date-time (see PackDateTime)
};

// An open directory search; closed when destroyed.
class DirectorySearch {
public:
    struct State;
    explicit DirectorySearch(std::unique_ptr<State> state);
    ~DirectorySearch();
    DirectorySearch(const DirectorySearch&) = delete;
    DirectorySearch& operator=(const DirectorySearch&) = delete;
    State& Get() { return *state_; }

private:
    std::unique_ptr<State> state_;
};

// Starts a search for "directory/pattern" (a pattern without a directory searches the current
// one). Returns the first matching entry, or null with 2 (no match) or 3 (no such directory).
// "." and ".." are never returned, nor entries that are neither files nor directories. A pattern
// without wildcards names one entry, and an empty pattern ("dir/") the directory itself.
std::unique_ptr<DirectorySearch> FindFirst(std::u16string_view path, FindData& found);

// The next matching entry; false with 18 when there is none.
bool FindNext(DirectorySearch& search, FindData& found);

// Whether a name matches a pattern: "*" any run of characters, "?" exactly one; a pattern that
// ends in ".*" also matches the name without an extension, so "*.*" matches every name. Case
// matters, as it does when the file is opened.
bool MatchesPattern(std::u16string_view name, std::u16string_view pattern);

// Packs a local time into the 32-bit date-time of the engine's directory entries: date in the
// high word (years since 1980 << 9 | month << 5 | day), time in the low word (hour << 11 |
// minute << 5 | seconds / 2). Times before 1980 give 1980-01-01 00:00.
int32_t PackDateTime(int64_t unix_seconds);

bool CreateDirectory(std::u16string_view path);  // 183 when the name exists
bool RemoveDirectory(std::u16string_view path);  // 145 when it is not empty

// Creates a directory together with every missing directory above it; true also when it exists
// already. Fails with 183 when the name, or one above it, is a file.
bool ForceDirectories(std::u16string_view path);

// Whether a name leads (links followed) to an existing file that is not a directory, or to an
// existing directory. Neither touches the last error.
bool FileExists(std::u16string_view path);
bool DirectoryExists(std::u16string_view path);

// The directory for temporary files: TMPDIR when that names a directory, else "/tmp"; without a
// trailing delimiter.
std::u16string TempDirectory();

// The process's current directory; empty when it cannot be told (it was removed).
std::u16string CurrentDirectory();

}  // namespace tdb::platform
