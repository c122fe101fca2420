// Directory operations and directory search over opendir/readdir.
#include "platform/directory.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file_internal.h"
#include "platform/text.h"

namespace tdb::platform {

struct DirectorySearch::State {
    DIR* dir = nullptr;  // null when the search named a single entry
    std::u16string pattern;
    ~State() {
        if (dir != nullptr) {
            ::closedir(dir);
        }
    }
};

DirectorySearch::DirectorySearch(std::unique_ptr<State> state) : state_(std::move(state)) {}
DirectorySearch::~DirectorySearch() = default;

namespace {

std::u32string CodePoints(std::u16string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            out.push_back(0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                          (static_cast<char32_t>(text[i + 1]) - 0xDC00));
            ++i;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// Greedy matching with one backtrack point: linear in practice, never exponential.
bool Matches(const std::u32string& name, const std::u32string& pattern) {
    size_t n = 0;
    size_t p = 0;
    size_t star = std::u32string::npos;
    size_t resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == U'?' || pattern[p] == name[n])) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == U'*') {
            star = p++;
            resume = n;
        } else if (star != std::u32string::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == U'*') {
        ++p;
    }
    return p == pattern.size();
}

bool HasWildcards(std::u16string_view pattern) {
    return pattern.find_first_of(u"*?") != std::u16string_view::npos;
}

// False for entries a search does not report: neither a regular file nor a directory.
bool Describe(std::u16string name, const struct stat& st, FindData& found) {
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        return false;
    }
    found.Name = std::move(name);
    found.Size = S_ISDIR(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
    found.Attr = S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrArchive;
    if ((st.st_mode & 0222) == 0) {
        found.Attr |= kAttrReadOnly;
    }
    found.Time = PackDateTime(static_cast<int64_t>(st.st_mtime));
    return true;
}

void SetNotFound(const std::string& path, int error_number) {
    if (error_number == ENOENT && ParentExists(path)) {
        SetLastErrorWithErrno(kErrorFileNotFound, error_number);
    } else if (error_number == ENOENT || error_number == ENOTDIR) {
        SetLastErrorWithErrno(kErrorPathNotFound, error_number);
    } else {
        SetLastErrorFromErrno(error_number);
    }
}

}  // namespace

bool MatchesPattern(std::u16string_view name, std::u16string_view pattern) {
    const std::u32string n = CodePoints(name);
    const std::u32string p = CodePoints(pattern);
    if (Matches(n, p)) {
        return true;
    }
    // "name.*" also finds "name", and "*.*" therefore every name, as callers expect.
    return p.size() >= 2 && p.substr(p.size() - 2) == U".*" &&
           Matches(n, p.substr(0, p.size() - 2));
}

int32_t PackDateTime(int64_t unix_seconds) {
    const time_t seconds = static_cast<time_t>(unix_seconds);
    struct tm local {};
    if (localtime_r(&seconds, &local) == nullptr || local.tm_year < 80) {
        return (1 << 5 | 1) << 16;
    }
    const uint32_t year = static_cast<uint32_t>(local.tm_year - 80) & 0x7F;
    const uint32_t date = year << 9 | static_cast<uint32_t>(local.tm_mon + 1) << 5 |
                          static_cast<uint32_t>(local.tm_mday);
    const uint32_t time = static_cast<uint32_t>(local.tm_hour) << 11 |
                          static_cast<uint32_t>(local.tm_min) << 5 |
                          static_cast<uint32_t>(local.tm_sec / 2);
    return static_cast<int32_t>(date << 16 | time);
}

std::unique_ptr<DirectorySearch> FindFirst(std::u16string_view path, FindData& found) {
    std::string native;
    if (!NativePath(path, native)) {
        return nullptr;
    }
    const auto slash = native.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string(".")
                                  : slash == 0               ? std::string("/")
                                                             : native.substr(0, slash);
    const std::string pattern = slash == std::string::npos ? native : native.substr(slash + 1);
    auto state = std::make_unique<DirectorySearch::State>();

    if (pattern.empty() || !HasWildcards(FromUtf8(pattern))) {
        // One entry by name: the directory itself for "dir/", else the named file or directory.
        const std::string target = pattern.empty() ? directory : native;
        struct stat st {};
        if (::stat(target.c_str(), &st) == -1) {
            SetNotFound(target, errno);
            return nullptr;
        }
        std::string name = pattern;
        if (pattern.empty()) {
            const auto last = directory.rfind('/');
            name = last == std::string::npos || directory == "/" ? directory
                                                                 : directory.substr(last + 1);
        }
        if (!Describe(FromUtf8(name), st, found)) {
            SetLastError(kErrorFileNotFound);
            return nullptr;
        }
        SetLastError(kErrorSuccess);
        return std::make_unique<DirectorySearch>(std::move(state));
    }

    state->dir = ::opendir(directory.c_str());
    if (state->dir == nullptr) {
        const int error_number = errno;
        SetLastErrorWithErrno(error_number == ENOENT ? kErrorPathNotFound : MapErrno(error_number),
                              error_number);
        return nullptr;
    }
    state->pattern = FromUtf8(pattern);
    auto search = std::make_unique<DirectorySearch>(std::move(state));
    if (!FindNext(*search, found)) {
        SetLastError(kErrorFileNotFound);
        return nullptr;
    }
    return search;
}

bool FindNext(DirectorySearch& search, FindData& found) {
    auto& state = search.Get();
    if (state.dir == nullptr) {
        SetLastError(kErrorNoMoreFiles);
        return false;
    }
    const int dir_fd = ::dirfd(state.dir);
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(state.dir);
        if (entry == nullptr) {
            if (errno != 0) {
                SetLastErrorFromErrno(errno);
            } else {
                SetLastError(kErrorNoMoreFiles);
            }
            return false;
        }
        const std::string_view raw(entry->d_name);
        if (raw == "." || raw == "..") {
            continue;
        }
        std::u16string name = FromUtf8(raw);
        if (!MatchesPattern(name, state.pattern)) {
            continue;
        }
        struct stat st {};
        if (::fstatat(dir_fd, entry->d_name, &st, 0) == -1) {
            continue;  // vanished meanwhile, or a dangling link
        }
        if (Describe(std::move(name), st, found)) {
            SetLastError(kErrorSuccess);
            return true;
        }
    }
}

bool CreateDirectory(std::u16string_view path) {
    std::string native;
    if (!NativePath(path, native)) {
        return false;
    }
    if (::mkdir(native.c_str(), 0777) == -1) {
        // ENOENT can only mean a missing parent here.
        const int error_number = errno;
        SetLastErrorWithErrno(error_number == ENOENT ? kErrorPathNotFound : MapErrno(error_number),
                              error_number);
        return false;
    }
    return true;
}

bool RemoveDirectory(std::u16string_view path) {
    std::string native;
    if (!NativePath(path, native)) {
        return false;
    }
    if (::rmdir(native.c_str()) == -1) {
        const int error_number = errno;
        if (error_number == EEXIST || error_number == ENOTEMPTY) {
            SetLastErrorWithErrno(kErrorDirectoryNotEmpty, error_number);
        } else {
            SetNotFound(native, error_number);
        }
        return false;
    }
    return true;
}

namespace {

// 0 when the name leads nowhere (or to something stat cannot read).
mode_t ModeOf(std::u16string_view path) {
    if (path.empty() || path.find(u'\0') != std::u16string_view::npos) {
        return 0;
    }
    struct stat st {};
    return ::stat(ToUtf8(path).c_str(), &st) == 0 ? st.st_mode : 0;
}

}  // namespace

bool ForceDirectories(std::u16string_view path) {
    while (path.size() > 1 && path.back() == u'/') {
        path.remove_suffix(1);
    }
    if (path.empty()) {
        SetLastError(kErrorInvalidName);
        return false;
    }
    const mode_t mode = ModeOf(path);
    if (S_ISDIR(mode)) {
        return true;
    }
    if (mode != 0) {
        SetLastError(kErrorAlreadyExists);
        return false;
    }
    const auto slash = path.rfind(u'/');
    if (slash != std::u16string_view::npos && slash > 0 &&
        !ForceDirectories(path.substr(0, slash))) {
        return false;
    }
    // Another process may make the same directory between the test and here.
    return CreateDirectory(path) ||
           (GetLastError() == kErrorAlreadyExists && DirectoryExists(path));
}

bool FileExists(std::u16string_view path) {
    const mode_t mode = ModeOf(path);
    return mode != 0 && !S_ISDIR(mode);
}

bool DirectoryExists(std::u16string_view path) {
    return S_ISDIR(ModeOf(path));
}

std::u16string TempDirectory() {
    const char* tmpdir = std::getenv("TMPDIR");
    std::u16string dir = tmpdir != nullptr ? FromUtf8(tmpdir) : std::u16string();
    if (dir.empty() || !DirectoryExists(dir)) {
        dir = u"/tmp";
    }
    while (dir.size() > 1 && dir.back() == u'/') {
        dir.pop_back();
    }
    return dir;
}

std::u16string CurrentDirectory() {
    char buffer[PATH_MAX];
    if (::getcwd(buffer, sizeof buffer) == nullptr) {
        return {};
    }
    return FromUtf8(buffer);
}

}  // namespace tdb::platform
