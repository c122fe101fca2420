// What the file tests of several layers share: a scratch directory per test and a child process
// that runs the file probe, so that locks and share modes are checked between real processes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tdb::testing {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::u16string Name(const std::string& relative = {}) const;  // the path of an entry, UTF-16

private:
    std::filesystem::path path_;
};

void WriteBytes(const std::filesystem::path& path, const std::string& bytes);
std::string ReadBytes(const std::filesystem::path& path);

// Runs a program to its end: its first line of output (empty when it wrote none) and its exit
// status as the shell reports it (-1 when it could not be started).
struct ProgramAnswer {
    std::string firstLine;
    int status = -1;
};
ProgramAnswer RunProgram(const std::vector<std::string>& arguments);

// The positive count an environment variable asks for (more rounds of a randomized test than
// a normal run makes), else the fallback.
inline int CountFromEnvironment(const char* name, int fallback) {
    const char* text = std::getenv(name);
    const int value = text != nullptr ? std::atoi(text) : 0;
    return value > 0 ? value : fallback;
}

// The little-endian number at Pos of a file's bytes, for readers of layouts in tests: they
// must not lean on the engine's own helpers.
template <typename T>
T Le(const std::string& bytes, std::size_t pos) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        value |= std::uint64_t{static_cast<unsigned char>(bytes.at(pos + i))} << (8 * i);
    return static_cast<T>(value);
}

// The bytes of a text, for the span-taking read and write calls.
inline std::span<const std::byte> Bytes(std::string_view text) {
    return std::as_bytes(std::span(text.data(), text.size()));
}

// The file probe in a child process. Its commands run in order and each answers one line:
//   open PATH MODE   -> "open ok" | "open error CODE"
//   create PATH      -> "create ok" | "create error CODE"
//   lock START LEN   -> "lock RESULT CODE" (through the handle opened last)
// Then it says "ready" and holds its handles until its input closes or it is killed.
class ProbeProcess {
public:
    explicit ProbeProcess(const std::vector<std::string>& commands);
    ~ProbeProcess();
    ProbeProcess(const ProbeProcess&) = delete;
    ProbeProcess& operator=(const ProbeProcess&) = delete;

    // The answers, up to (not including) "ready".
    const std::vector<std::string>& Answers() const { return answers_; }
    void Kill();    // SIGKILL, then waits until the process is gone
    void Finish();  // closes its input and waits for it to exit

private:
    int pid_ = -1;
    int to_child_ = -1;
    std::vector<std::string> answers_;
};

}  // namespace tdb::testing
