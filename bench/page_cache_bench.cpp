// What the page cache costs and saves: a cached page load and read beside a bare 4-byte pread of
// the same bytes, and, with a cache much smaller than the file, a load that misses beside a bare
// pread of the tile it has to read.
//
// The peers call the operating system directly, which nothing else outside the platform layer
// does; here that is the point of the measurement.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/byte_image.h"
#include "platform/text.h"
#include "storage/os_file_system.h"
#include "storage/page_manager.h"

namespace {

constexpr int32_t kTile = 8192;
constexpr int32_t kTiles = 512;  // 4 MiB: stays in the system's cache, so the layer shows
constexpr int32_t kSmallCacheKB = 64 * kTile / 1024;  // an eighth of the file

class CacheFile {
public:
    CacheFile() {
        std::random_device random;
        dir_ = std::filesystem::temp_directory_path() /
               ("zenkalo-bench-" + std::to_string(::getpid()) + "-" + std::to_string(random()));
        std::filesystem::create_directory(dir_);
        path_ = (dir_ / "tiles.bin").string();
        const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        std::vector<std::byte> tile(kTile);
        for (int32_t i = 0; i < kTiles; ++i) {
            for (int32_t at = 0; at < kTile; at += 4) {
                tdb::StoreLE<int32_t>(tile.data() + at, i * kTile + at);
            }
            if (::pwrite(fd, tile.data(), tile.size(), int64_t{i} * kTile) < 0) {
                break;
            }
        }
        ::close(fd);
    }
    ~CacheFile() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    const std::string& Path() const { return path_; }

private:
    std::filesystem::path dir_;
    std::string path_;
};

const CacheFile& File() {
    static CacheFile file;
    return file;
}

// A private cache with one client of the file, sized in kilobytes.
struct Cache {
    explicit Cache(int32_t cacheKB) {
        pageManager.RegisterClient(1, cacheKB);
        storage = std::make_unique<tdb::TTdbClientStorage>(pageManager, fileSystem, 1, nullptr);
        storage->SetName(tdb::FromUtf8(File().Path()));
        storage->Open(true, false);
        site = storage->CreatePageSite();
    }
    tdb::TTdbPageManager pageManager;
    tdb::TdwOSFileSystem fileSystem;
    std::unique_ptr<tdb::TTdbClientStorage> storage;
    std::unique_ptr<tdb::TTdbStoragePageSite> site;
};

// Pages in an order the cache cannot predict, the same for every benchmark.
std::vector<int32_t> PageOrder() {
    std::vector<int32_t> order(4096);
    std::mt19937 random(7);
    for (auto& page : order) {
        page = static_cast<int32_t>(random() % kTiles);
    }
    return order;
}

void BM_CacheHitLoadAndRead(benchmark::State& state) {
    Cache cache(2 * kTiles * kTile / 1024);
    const auto order = PageOrder();
    for (int32_t page = 0; page < kTiles; ++page) {
        cache.site->LoadPage(page);  // warm
    }
    size_t i = 0;
    for (auto _ : state) {
        const int32_t page = order[i++ % order.size()];
        cache.site->LoadPage(page);
        benchmark::DoNotOptimize(cache.site->ReadInt32(100));
    }
    state.counters["reads"] = cache.storage->ReadCount() - kTiles;
}
BENCHMARK(BM_CacheHitLoadAndRead);

void BM_PreadFourBytes(benchmark::State& state) {
    const int fd = ::open(File().Path().c_str(), O_RDONLY | O_CLOEXEC);
    const auto order = PageOrder();
    size_t i = 0;
    std::byte value[4];
    for (auto _ : state) {
        const int32_t page = order[i++ % order.size()];
        benchmark::DoNotOptimize(::pread(fd, value, sizeof value, int64_t{page} * kTile + 100));
        benchmark::DoNotOptimize(tdb::LoadLE<int32_t>(value));
    }
    ::close(fd);
}
BENCHMARK(BM_PreadFourBytes);

void BM_CacheMissLoadAndRead(benchmark::State& state) {
    Cache cache(kSmallCacheKB);
    const auto order = PageOrder();
    size_t i = 0;
    for (auto _ : state) {
        const int32_t page = order[i++ % order.size()];
        cache.site->LoadPage(page);
        benchmark::DoNotOptimize(cache.site->ReadInt32(100));
    }
    state.counters["tile_reads_per_load"] = benchmark::Counter(
        static_cast<double>(cache.storage->ReadCount()) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_CacheMissLoadAndRead);

void BM_PreadTile(benchmark::State& state) {
    const int fd = ::open(File().Path().c_str(), O_RDONLY | O_CLOEXEC);
    const auto order = PageOrder();
    std::vector<std::byte> tile(kTile);
    size_t i = 0;
    for (auto _ : state) {
        const int32_t page = order[i++ % order.size()];
        benchmark::DoNotOptimize(::pread(fd, tile.data(), tile.size(), int64_t{page} * kTile));
        benchmark::DoNotOptimize(tdb::LoadLE<int32_t>(tile.data() + 100));
    }
    ::close(fd);
}
BENCHMARK(BM_PreadTile);

}  // namespace
