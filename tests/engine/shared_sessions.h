// Sessions of one process on one table, sharing the process's page cache, each with its own
// entry in the table's lock file: the first makes the table.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/base_table.h"
#include "engine/catalog.h"
#include "engine/session.h"
#include "platform/text.h"
#include "test_support.h"

namespace tdb::testing {

class TSharedSessions {
public:
    TSharedSessions(int count, TTdbCreateTableArgs args) {
        const std::u16string name = args.StoragePath;
        for (int i = 0; i < count; ++i) {
            auto session = std::make_unique<TTdbLocalSession>(&pageManager_);
            EXPECT_EQ(session->Initialize(1), 0);
            session->Catalog().SetLocation(dir_.Name());
            session->Catalog().SetExclusive(false);
            EXPECT_EQ(session->OpenDb(), 0);
            if (i == 0) {
                EXPECT_EQ(session->Catalog().CreateTable(args), 0);
            }
            const int rltnIdx = session->Catalog().OpenTable(name, {}, TTdbCatalog::kAllWriteRights,
                                                             false, false, false);
            EXPECT_GT(rltnIdx, 0);
            rltnIdxs_.push_back(rltnIdx);
            // A table that did not open fails the test above; its place stays empty.
            tables_.push_back(
                rltnIdx > 0 ? dynamic_cast<TTdbBaseTable*>(session->Catalog().GetRelation(rltnIdx))
                            : nullptr);
            sessions_.push_back(std::move(session));
        }
    }
    ~TSharedSessions() {
        for (auto& session : sessions_)
            session->Uninitialize();
    }
    TSharedSessions(const TSharedSessions&) = delete;
    TSharedSessions& operator=(const TSharedSessions&) = delete;

    TTdbLocalSession& Session(std::size_t i) { return *sessions_[i]; }
    TTdbBaseTable& Table(std::size_t i) { return *tables_[i]; }
    int RltnIdx(std::size_t i) const { return rltnIdxs_[i]; }
    std::string LastError(std::size_t i) {
        return ToUtf8(sessions_[i]->Services().LastError().LastErrorMsg());
    }

private:
    TempDir dir_;
    TTdbPageManager pageManager_;
    std::vector<std::unique_ptr<TTdbLocalSession>> sessions_;
    std::vector<TTdbBaseTable*> tables_;
    std::vector<int> rltnIdxs_;
};

}  // namespace tdb::testing
