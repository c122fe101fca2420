// A new file in a scratch directory of its own, over a private page cache, for a benchmark's
// tree; the directory goes when the object does.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <system_error>

#include "platform/text.h"
#include "storage/os_file_system.h"
#include "storage/page_manager.h"

namespace tdb::bench {

class TScratchStorage {
public:
    TScratchStorage(std::u16string_view fileName, std::int32_t cacheKB) {
        std::random_device device;
        dir_ = std::filesystem::temp_directory_path() /
               ("zenkalo-bench-" + std::to_string(::getpid()) + "-" + std::to_string(device()));
        std::filesystem::create_directory(dir_);
        fileSystem_ = std::make_unique<TdwOSFileSystem>(FromUtf8(dir_.string()));
        pageManager_.RegisterClient(1, cacheKB);
        storage_ = std::make_unique<TTdbClientStorage>(pageManager_, *fileSystem_, 1, nullptr);
        storage_->SetName(fileName);
        storage_->NewStorage();
    }
    ~TScratchStorage() {
        storage_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    TScratchStorage(const TScratchStorage&) = delete;
    TScratchStorage& operator=(const TScratchStorage&) = delete;

    TTdbClientStorage& Storage() { return *storage_; }

private:
    std::filesystem::path dir_;
    std::unique_ptr<TdwOSFileSystem> fileSystem_;
    TTdbPageManager pageManager_;
    std::unique_ptr<TTdbClientStorage> storage_;
};

}  // namespace tdb::bench
