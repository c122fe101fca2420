// What the B-tree tests share: a tree over a private page cache in a scratch directory, entry
// layouts with their comparisons, and reading the raw pages of the file.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/byte_image.h"
#include "index/btree.h"
#include "platform/error.h"
#include "platform/text.h"
#include "storage/os_file_system.h"
#include "storage/page_manager.h"
#include "test_support.h"
#include "tree_file_fixture.h"
#include "types/collation.h"

namespace tdb::btreetest {

using Entry = std::vector<std::byte>;

// Every entry starts with its 32-bit record number.
inline std::int32_t RecNo(const Entry& e) {
    return LoadLE<std::int32_t>(e.data());
}

// Record number and a 32-bit key, padded to Size.
inline Entry IntEntry(std::int32_t recNo, std::int32_t key, std::size_t size = 12) {
    Entry e(size);
    StoreLE<std::int32_t>(e.data(), recNo);
    StoreLE<std::int32_t>(e.data() + 4, key);
    return e;
}

inline std::int32_t IntKey(const Entry& e) {
    return LoadLE<std::int32_t>(e.data() + 4);
}

// Key, then record number; equal keys clear Unique.
inline bool IntLess(std::span<const std::byte> a, std::span<const std::byte> b, bool& unique,
                    TStrCmpOptions, const TTdbSortDef*) {
    const auto ka = LoadLE<std::int32_t>(a.data() + 4);
    const auto kb = LoadLE<std::int32_t>(b.data() + 4);
    if (ka != kb) {
        return ka < kb;
    }
    unique = false;
    return LoadLE<std::int32_t>(a.data()) < LoadLE<std::int32_t>(b.data());
}

// A string key: a 16-bit length and UTF-16 units after the record number.
inline Entry StringEntry(std::int32_t recNo, std::u16string_view text, std::size_t size) {
    Entry e(size);
    const std::size_t room = (size - 6) / 2;
    const std::size_t length = std::min(text.size(), room);
    StoreLE<std::int32_t>(e.data(), recNo);
    StoreLE<std::uint16_t>(e.data() + 4, static_cast<std::uint16_t>(length));
    for (std::size_t i = 0; i < length; ++i) {
        StoreLE<std::uint16_t>(e.data() + 6 + 2 * i, static_cast<std::uint16_t>(text[i]));
    }
    return e;
}

inline std::u16string_view StringKey(std::span<const std::byte> e, char16_t (&buffer)[128]) {
    const std::size_t room = std::min<std::size_t>((e.size() - 6) / 2, 128);
    const std::size_t length = std::min<std::size_t>(LoadLE<std::uint16_t>(e.data() + 4), room);
    for (std::size_t i = 0; i < length; ++i) {
        buffer[i] = static_cast<char16_t>(LoadLE<std::uint16_t>(e.data() + 6 + 2 * i));
    }
    return {buffer, length};
}

inline TTdbTreeLess CollationLess(const TTdbCollation& collation) {
    return [&collation](std::span<const std::byte> a, std::span<const std::byte> b, bool& unique,
                        TStrCmpOptions, const TTdbSortDef*) {
        char16_t ba[128];
        char16_t bb[128];
        const int c = collation.Compare(StringKey(a, ba), StringKey(b, bb), collation.Options());
        if (c != 0) {
            return c < 0;
        }
        unique = false;
        return LoadLE<std::int32_t>(a.data()) < LoadLE<std::int32_t>(b.data());
    };
}

// The tree's order for the reference containers.
struct ModelLess {
    TTdbTreeLess less;
    bool operator()(const Entry& a, const Entry& b) const {
        bool unique = true;
        return less(a, b, unique, 0, nullptr);
    }
};

inline std::int32_t OffsetFor(std::int16_t version) {
    return version >= 4 ? 6 : 0;
}

// The operating system's file system, with writes that fail while FailWrites is set.
class FailingFileSystem : public TdwOSFileSystem {
public:
    using TdwOSFileSystem::TdwOSFileSystem;

    bool FailWrites = false;

    std::int32_t FileWrite(std::int32_t handle, std::int64_t pos,
                           std::span<const std::byte> data) override {
        if (FailWrites) {
            platform::SetLastError(5);
            return -1;
        }
        return TdwOSFileSystem::FileWrite(handle, pos, data);
    }
};

// A B-tree in its own file over a private page cache.
class BTreeFixture : public testing::TreeFileFixture<TTdbBTree, FailingFileSystem> {
protected:
    BTreeFixture() : TreeFileFixture(u"tree.ind") {}

    void Create(std::int16_t version, std::int32_t entrySize, std::int32_t pageSize,
                TTdbTreeLess less) {
        NewStorage();
        version_ = version;
        less_ = std::move(less);
        tree_ = std::make_unique<TTdbBTree>(*storage_, version, OffsetFor(version), less_);
        tree_->SetItemSize(entrySize);
        tree_->New(pageSize, nullptr);
    }

    void OpenAgain(bool readOnly = false) {
        OpenStorage(readOnly);
        tree_ = std::make_unique<TTdbBTree>(*storage_, version_, OffsetFor(version_), less_);
        tree_->Open(nullptr);
    }

    void Reopen() {
        CloseAll();
        OpenAgain();
    }

    TTdbBTree& Tree() { return *tree_; }

    TTdbTreeLess less_;
    std::int16_t version_ = 6;
};

using testing::I16;
using testing::I32;
using testing::PutI16;
using testing::PutI32;

}  // namespace tdb::btreetest
