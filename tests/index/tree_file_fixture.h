// What the tree tests share: a tree in its own file over a private page cache in a scratch
// directory, and little-endian integers in a file image.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "base/byte_image.h"
#include "platform/text.h"
#include "storage/os_file_system.h"
#include "storage/page_manager.h"
#include "engine_code.h"
#include "test_support.h"

namespace tdb::testing {

inline std::int32_t I32(const std::string& bytes, std::size_t at) {
    return LoadLE<std::int32_t>(bytes.data() + at);
}
inline std::int32_t I16(const std::string& bytes, std::size_t at) {
    return LoadLE<std::int16_t>(bytes.data() + at);
}
inline std::int32_t U16(const std::string& bytes, std::size_t at) {
    return LoadLE<std::uint16_t>(bytes.data() + at);
}
inline void PutI32(std::string& bytes, std::size_t at, std::int32_t value) {
    StoreLE<std::int32_t>(bytes.data() + at, value);
}
inline void PutI16(std::string& bytes, std::size_t at, std::int32_t value) {
    StoreLE<std::int16_t>(bytes.data() + at, static_cast<std::int16_t>(value));
}
inline void PutU16(std::string& bytes, std::size_t at, std::int32_t value) {
    StoreLE<std::uint16_t>(bytes.data() + at, static_cast<std::uint16_t>(value));
}

// A tree of type Tree in the file Name over a private page cache. The tests' fixtures make the
// tree; this one holds the file, its storage and the tree, and closes them in order.
template <typename Tree, typename FileSystem = TdwOSFileSystem>
class TreeFileFixture : public ::testing::Test {
protected:
    explicit TreeFileFixture(std::u16string name) : name_(std::move(name)) {
        pm_.RegisterClient(1, 16384);
    }
    ~TreeFileFixture() override {
        tree_.reset();
        storage_.reset();
    }

    std::unique_ptr<TTdbClientStorage> MakeStorage() {
        auto storage = std::make_unique<TTdbClientStorage>(pm_, fs_, 1, nullptr);
        storage->SetName(name_);
        return storage;
    }

    // An empty file, with no tree yet.
    void NewStorage() {
        tree_.reset();
        storage_ = MakeStorage();
        storage_->NewStorage();
    }

    // Opens the file the way an index file does: page 0 first with a provisional page size.
    void OpenStorage(bool readOnly) {
        tree_.reset();
        storage_ = MakeStorage();
        storage_->SetPageSize(4096);
        storage_->Open(readOnly, false);
    }

    // Writes everything and lets go of the file.
    void CloseAll() {
        if (tree_) {
            tree_->Flush();
            tree_->Close();
        }
        tree_.reset();
        if (storage_) {
            storage_->Close();
        }
        storage_.reset();
    }

    std::filesystem::path FilePath() const { return dir_.Path() / ToUtf8(name_); }
    std::string FileBytes() const { return ReadBytes(FilePath()); }

    TempDir dir_;
    FileSystem fs_{dir_.Name()};
    TTdbPageManager pm_;
    std::u16string name_;
    std::unique_ptr<TTdbClientStorage> storage_;
    std::unique_ptr<Tree> tree_;
};

}  // namespace tdb::testing
