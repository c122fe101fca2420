// What the B+ tree tests share: a tree of byte-string items over a private page cache in a
// scratch directory, and a reader of its raw pages that walks the tree and the leaf chain
// without going through the tree's own code.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "index/bplus_tree.h"
#include "storage/page_manager.h"
#include "tree_file_fixture.h"

namespace tdb::bplustest {

using Item = std::vector<std::byte>;

inline Item MakeItem(std::string_view text) {
    Item item(text.size());
    std::memcpy(item.data(), text.data(), text.size());
    return item;
}

inline std::string Text(std::span<const std::byte> item) {
    return {reinterpret_cast<const char*>(item.data()), item.size()};
}

// Plain byte order, shorter first on a common prefix: the order of std::vector<std::byte>.
inline bool BytesLess(std::span<const std::byte> a, std::span<const std::byte> b, bool& unique,
                      TStrCmpOptions, const TTdbSortDef*) {
    const bool less = std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
    if (!less && !std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end())) {
        unique = false;
    }
    return less;
}

inline constexpr std::int32_t kOffset = 6;  // behind the index file's magic, as index files have it

// Items that sort by their number: "k00007", padded to Width with dots.
inline Item Numbered(int n, std::size_t width = 40) {
    std::string text = "k" + std::to_string(100000 + n).substr(1);
    text.resize(std::max(width, text.size()), '.');
    return MakeItem(text);
}

// A B+ tree in its own file over a private page cache.
class BPlusFixture : public testing::TreeFileFixture<TTdbBPlusTree> {
protected:
    BPlusFixture() : TreeFileFixture(u"tree.tdbi") {}

    void Create(std::int32_t pageSize, bool rejectEqual = false) {
        NewStorage();
        tree_ = std::make_unique<TTdbBPlusTree>(*storage_, kOffset, BytesLess);
        tree_->SetRejectEqual(rejectEqual);
        tree_->New(pageSize, nullptr);
    }

    void OpenAgain(bool readOnly = false, bool rejectEqual = false) {
        OpenStorage(readOnly);
        tree_ = std::make_unique<TTdbBPlusTree>(*storage_, kOffset, BytesLess);
        tree_->SetRejectEqual(rejectEqual);
        tree_->Open(nullptr);
    }

    void Reopen() {
        CloseAll();
        OpenAgain();
    }

    TTdbBPlusTree& Tree() { return *tree_; }

    struct Checked {
        std::int32_t items = 0;
        std::int32_t wrongSorts = 0;
    };
    // What the tree's own check counts.
    Checked Check() {
        Checked checked;
        tree_->Check(checked.items, checked.wrongSorts);
        return checked;
    }
};

using testing::EngineCode;
using testing::I32;
using testing::PutI32;
using testing::PutU16;
using testing::U16;

// The tree as its pages show it, read through a page site of its own storage.
struct RawTree {
    std::vector<Item> byDescent;     // the leaves' items, leaves in tree order
    std::vector<Item> byChain;       // from the first leaf along the next links
    std::vector<Item> byBackChain;   // from the last leaf along the previous links, reversed
    std::vector<std::int32_t> leaves;
    std::int32_t innerPages = 0;
    std::int32_t freePages = 0;
    // Separators that differ from the first item under them, and ones whose subtrees hold
    // items outside their bounds.
    std::int32_t misplaced = 0;
    // Shapes the tree never writes, since a reader may take an item from any page it reaches:
    // inner pages without a key, and leaves without an item other than the root.
    std::int32_t keylessInner = 0;
    std::int32_t emptyLeaves = 0;
};

class RawReader {
public:
    RawReader(TTdbClientStorage& storage, TTdbBPlusTree& tree)
        : site_(storage.CreatePageSite()), tree_(tree), pageSize_(tree.GetPageSize()) {}

    TTdbBPlusPage Load(std::int32_t pageNo, bool leaf) {
        site_->LoadPage(pageNo);
        return {site_->GetAddress(0), pageSize_, leaf};
    }

    RawTree Read() {
        RawTree raw;
        const std::int32_t height = tree_.GetHeight();
        if (height > 0) {
            Walk(tree_.GetRootPage(), 0, height, nullptr, nullptr, raw);
            for (std::int32_t pageNo = raw.leaves.front(); pageNo != 0;) {
                const TTdbBPlusPage leaf = Load(pageNo, true);
                for (std::int32_t k = 0; k < leaf.Count(); ++k) {
                    raw.byChain.emplace_back(leaf.Item(k).begin(), leaf.Item(k).end());
                }
                pageNo = leaf.NextLeaf();
                if (raw.byChain.size() > raw.byDescent.size() + 1) {
                    break;  // a cycle: the comparison fails anyway
                }
            }
            for (std::int32_t pageNo = raw.leaves.back(); pageNo != 0;) {
                const TTdbBPlusPage leaf = Load(pageNo, true);
                for (std::int32_t k = leaf.Count() - 1; k >= 0; --k) {
                    raw.byBackChain.emplace_back(leaf.Item(k).begin(), leaf.Item(k).end());
                }
                pageNo = leaf.PrevLeaf();
                if (raw.byBackChain.size() > raw.byDescent.size() + 1) {
                    break;
                }
            }
            std::reverse(raw.byBackChain.begin(), raw.byBackChain.end());
        }
        for (std::int32_t pageNo = tree_.GetFirstFreePage(); pageNo != 0;) {
            ++raw.freePages;
            site_->LoadPage(pageNo);
            pageNo = site_->ReadInt32(0);
            if (raw.freePages > tree_.GetPageCount()) {
                break;
            }
        }
        site_->UnloadPage();
        return raw;
    }

private:
    // Lower and upper bounds of the subtree (null: none): every item lies in [lower, upper].
    void Walk(std::int32_t pageNo, std::int32_t level, std::int32_t height, const Item* lower,
              const Item* upper, RawTree& raw) {
        const bool leaf = level == height - 1;
        const TTdbBPlusPage page = Load(pageNo, leaf);
        if (leaf) {
            raw.leaves.push_back(pageNo);
            if (page.Count() == 0 && level > 0) {
                ++raw.emptyLeaves;
            }
            for (std::int32_t k = 0; k < page.Count(); ++k) {
                Item item(page.Item(k).begin(), page.Item(k).end());
                if ((lower && item < *lower) || (upper && *upper < item)) {
                    ++raw.misplaced;
                }
                raw.byDescent.push_back(std::move(item));
            }
            return;
        }
        ++raw.innerPages;
        if (page.Count() == 0) {
            ++raw.keylessInner;
        }
        std::vector<Item> keys;
        std::vector<std::int32_t> children{page.Child(0)};
        for (std::int32_t k = 0; k < page.Count(); ++k) {
            keys.emplace_back(page.Key(k).begin(), page.Key(k).end());
            children.push_back(page.Child(k + 1));
        }
        for (std::size_t i = 0; i < children.size(); ++i) {
            Walk(children[i], level + 1, height, i == 0 ? lower : &keys[i - 1],
                 i < keys.size() ? &keys[i] : upper, raw);
        }
    }

    std::unique_ptr<TTdbStoragePageSite> site_;
    TTdbBPlusTree& tree_;
    std::int32_t pageSize_;
};

}  // namespace tdb::bplustest
