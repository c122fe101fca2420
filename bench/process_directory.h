// Scratch directories of a benchmark process: each made empty on first use under the system's
// temporary directory and removed when the process ends.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace tdb::bench {

inline std::vector<std::filesystem::path>& MadeDirectories() {
    static std::vector<std::filesystem::path> made;
    return made;
}

inline std::filesystem::path MakeProcessDirectory(const std::string& name) {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("zenkalo_" + name + "_" + std::to_string(::getpid()));
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    if (MadeDirectories().empty()) {
        std::atexit([] {
            std::error_code ignored;
            for (const std::filesystem::path& made : MadeDirectories())
                std::filesystem::remove_all(made, ignored);
        });
    }
    MadeDirectories().push_back(path);
    return path;
}

}  // namespace tdb::bench
