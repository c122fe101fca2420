// What the file-system layer costs over the bare system calls: 8192-byte positioned reads and
// writes through TdwOSFileSystem beside pread/pwrite on the same file, and a lock/unlock pair
// beside a bare open-file-description lock pair.
//
// The peers call the operating system directly, which nothing else outside the platform layer
// does; here that is the point of the measurement.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/text.h"
#include "storage/os_file_system.h"

namespace {

constexpr size_t kPageSize = 8192;
constexpr int64_t kPages = 2048;  // 16 MiB: stays in the page cache, so the layer shows

// One scratch file for all benchmarks, removed at exit.
class BenchFile {
public:
    BenchFile() {
        std::random_device random;
        dir_ = std::filesystem::temp_directory_path() /
               ("zenkalo-bench-" + std::to_string(::getpid()) + "-" + std::to_string(random()));
        std::filesystem::create_directory(dir_);
        path_ = (dir_ / "pages.bin").string();
        const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        std::vector<std::byte> page(kPageSize, std::byte{0x5A});
        for (int64_t i = 0; i < kPages; ++i) {
            if (::pwrite(fd, page.data(), page.size(), i * static_cast<int64_t>(kPageSize)) < 0) {
                break;
            }
        }
        ::close(fd);
    }
    ~BenchFile() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    const std::string& Path() const { return path_; }
    std::u16string Name() const { return tdb::FromUtf8(path_); }

private:
    std::filesystem::path dir_;
    std::string path_;
};

const BenchFile& File() {
    static BenchFile file;
    return file;
}

// The same scattered page order for the layer and its peer.
std::vector<int64_t> PagePositions() {
    std::vector<int64_t> positions(kPages);
    std::mt19937 order(42);
    for (auto& pos : positions) {
        pos = static_cast<int64_t>(order() % kPages) * static_cast<int64_t>(kPageSize);
    }
    return positions;
}

void BM_ReadPage_OSFileSystem(benchmark::State& state) {
    tdb::TdwOSFileSystem fs;
    const int32_t handle = fs.OpenFile(File().Name(), 0x42);
    const auto positions = PagePositions();
    std::array<std::byte, kPageSize> page{};
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fs.FileRead(handle, positions[i++ % positions.size()], page));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kPageSize));
    fs.CloseFile(handle);
}
BENCHMARK(BM_ReadPage_OSFileSystem);

void BM_ReadPage_RawPread(benchmark::State& state) {
    const int fd = ::open(File().Path().c_str(), O_RDWR | O_CLOEXEC);
    const auto positions = PagePositions();
    std::array<std::byte, kPageSize> page{};
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            ::pread(fd, page.data(), page.size(), positions[i++ % positions.size()]));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kPageSize));
    ::close(fd);
}
BENCHMARK(BM_ReadPage_RawPread);

void BM_WritePage_OSFileSystem(benchmark::State& state) {
    tdb::TdwOSFileSystem fs;
    const int32_t handle = fs.OpenFile(File().Name(), 0x42);
    const auto positions = PagePositions();
    std::array<std::byte, kPageSize> page{};
    page.fill(std::byte{0x33});
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fs.FileWrite(handle, positions[i++ % positions.size()], page));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kPageSize));
    fs.CloseFile(handle);
}
BENCHMARK(BM_WritePage_OSFileSystem);

void BM_WritePage_RawPwrite(benchmark::State& state) {
    const int fd = ::open(File().Path().c_str(), O_RDWR | O_CLOEXEC);
    const auto positions = PagePositions();
    std::array<std::byte, kPageSize> page{};
    page.fill(std::byte{0x33});
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            ::pwrite(fd, page.data(), page.size(), positions[i++ % positions.size()]));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kPageSize));
    ::close(fd);
}
BENCHMARK(BM_WritePage_RawPwrite);

void BM_LockUnlock_OSFileSystem(benchmark::State& state) {
    tdb::TdwOSFileSystem fs;
    const int32_t handle = fs.OpenFile(File().Name(), 0x42);
    for (auto _ : state) {
        benchmark::DoNotOptimize(fs.LockFile(handle, 100, 104, true));
        fs.UnlockFile(handle, 100, 104, true);
    }
    fs.CloseFile(handle);
}
BENCHMARK(BM_LockUnlock_OSFileSystem);

void BM_LockUnlock_RawOfdLock(benchmark::State& state) {
    const int fd = ::open(File().Path().c_str(), O_RDWR | O_CLOEXEC);
    struct flock fl {};
    fl.l_whence = SEEK_SET;
    fl.l_start = 100;
    fl.l_len = 4;
    for (auto _ : state) {
        fl.l_type = F_WRLCK;
        benchmark::DoNotOptimize(::fcntl(fd, F_OFD_SETLK, &fl));
        fl.l_type = F_UNLCK;
        ::fcntl(fd, F_OFD_SETLK, &fl);
    }
    ::close(fd);
}
BENCHMARK(BM_LockUnlock_RawOfdLock);

}  // namespace
