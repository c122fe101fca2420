// A random run of catalog and table operations, applied both to the engine and to a small model
// of what the database should hold; after every step the two must agree. Refused operations are
// part of the run and must change nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "../platform/test_support.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "engine/session.h"
#include "storage/page_manager.h"
#include "table_audit.h"
#include "types/collation.h"

namespace tdb {
namespace {

using testing::TempDir;

// The index texts the run makes indexes from.
const std::vector<std::u16string> kIndexTexts = {u"Name", u"Code", u"-Name", u"Code, Name"};

struct TModelTable {
    std::vector<audit::TRow> Rows;
    std::map<std::u16string, std::u16string> Indexes;  // name -> index text
    bool Open = false;
};

// Where a row sorts under an index text: component by component (names under the Hungarian
// collation), then by record number.
bool SortsBefore(const std::u16string& text, const audit::TRow& a, std::int32_t aNo,
                 const audit::TRow& b, std::int32_t bNo) {
    static const TTdbCollation& hungarian = TTdbCollation::Get(u"Hungarian");
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(u',', start);
        if (end == std::u16string::npos)
            end = text.size();
        std::u16string_view item = std::u16string_view(text).substr(start, end - start);
        while (!item.empty() && item.front() == u' ')
            item.remove_prefix(1);
        const bool descending = !item.empty() && item.front() == u'-';
        if (descending)
            item.remove_prefix(1);
        int order = item == u"Name" ? hungarian.Compare(a.Name, b.Name, hungarian.Options())
                                    : (a.Code > b.Code) - (a.Code < b.Code);
        if (descending)
            order = -order;
        if (order != 0)
            return order < 0;
        start = end + 1;
    }
    return aNo < bNo;
}

class CatalogModelTest : public ::testing::Test {
protected:
    CatalogModelTest() { OpenSession(); }
    ~CatalogModelTest() override { session_->Uninitialize(); }

    void OpenSession() {
        session_ = std::make_unique<TTdbLocalSession>(&pm_);
        ASSERT_EQ(session_->Initialize(1), 0);
        Catalog().SetLocation(dir_.Name());
        Catalog().SetExclusive(true);
        ASSERT_EQ(session_->OpenDb(), 0) << LastError();
    }
    void ReopenSession() {
        session_->Uninitialize();
        OpenSession();
        for (auto& [name, table] : model_)
            table.Open = false;
    }

    TTdbCatalog& Catalog() { return session_->Catalog(); }
    std::string LastError() { return ToUtf8(session_->Services().LastError().LastErrorMsg()); }
    TTdbBaseTable& Table(const std::u16string& name) {
        return dynamic_cast<TTdbBaseTable&>(*Catalog().FindRelation(name));
    }
    int Draw(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    std::u16string AnyName() { return u"T" + NumberText(Draw(0, 4)); }
    // A table of the model, open in the engine; empty when there is none.
    std::u16string OpenTableName() {
        std::vector<std::u16string> open;
        for (const auto& [name, table] : model_)
            if (table.Open)
                open.push_back(name);
        return open.empty()
                   ? std::u16string()
                   : open[static_cast<std::size_t>(Draw(0, static_cast<int>(open.size()) - 1))];
    }

    // One random step; its description.
    std::string Step();
    // Engine and model hold the same; a table that is closed is opened, compared and closed
    // again when All is set.
    void Compare(const std::string& step, bool all);
    void CompareTable(const std::string& step, const std::u16string& name);

    TTdbPageManager pm_;
    TempDir dir_;
    std::unique_ptr<TTdbLocalSession> session_;
    std::map<std::u16string, TModelTable> model_;
    std::mt19937 random_;
    std::uint32_t nextRow_ = 0;
};

std::string CatalogModelTest::Step() {
    const int choice = Draw(0, 99);
    const std::u16string name = AnyName();
    const bool exists = model_.contains(name);
    const std::string what = ToUtf8(name);
    if (choice < 10) {
        TTdbCreateTableArgs args = audit::AuditTableArgs(name);
        const std::int16_t result = Catalog().CreateTable(args);
        if (exists) {
            EXPECT_EQ(result, model_[name].Open ? -kTdbErrTableAlreadyOpen : -kTdbErrFileExists);
        } else {
            EXPECT_EQ(result, 0) << LastError();
            model_[name] = {{}, {{u"ByName", u"Name"}, {u"ByCode", u"Code"}}, false};
        }
        return "create " + what;
    }
    if (choice < 20) {
        const int rltnIdx =
            Catalog().OpenTable(name, {}, TTdbCatalog::kAllWriteRights, false, false, false);
        if (!exists)
            EXPECT_EQ(rltnIdx, -kTdbErrFileNotFound);
        else if (model_[name].Open)
            EXPECT_EQ(rltnIdx, -kTdbErrTableAlreadyOpen);
        else
            EXPECT_GT(rltnIdx, 0) << LastError();
        if (exists)
            model_[name].Open = true;
        return "open " + what;
    }
    if (choice < 26) {
        const std::u16string target = AnyName();
        const std::int16_t result = Catalog().RenameTable(name, target, {});
        if (!exists || model_.contains(target)) {
            EXPECT_LT(result, 0);
            return "rename refused " + what + " " + ToUtf8(target);
        }
        EXPECT_EQ(result, 0) << LastError();
        model_[target] = std::move(model_[name]);
        model_.erase(name);
        return "rename " + what + " " + ToUtf8(target);
    }
    if (choice < 31) {
        if (!exists) {
            EXPECT_EQ(Catalog().DeleteTable(name, {}), -kTdbErrFileNotFound);
            return "delete refused " + what;
        }
        // A table a view reads through is still in use.
        if (model_[name].Open && Draw(0, 1) == 0) {
            const int view = Catalog().OpenVirtualRelation(u"View", Catalog().FindRltnIdx(name));
            EXPECT_GT(view, 0) << LastError();
            EXPECT_EQ(Catalog().DeleteTable(name, {}), -kTdbErrTableStillAccessed);
            Catalog().CloseRelation(view);
            return "delete refused while viewed " + what;
        }
        EXPECT_EQ(Catalog().DeleteTable(name, {}), 0) << LastError();
        model_.erase(name);
        return "delete " + what;
    }
    if (choice < 32) {
        ReopenSession();
        return "reopen session";
    }
    std::u16string open = OpenTableName();
    if (open.empty()) {
        if (model_.empty())
            return "nothing to work on";
        auto it = model_.begin();
        std::advance(it, Draw(0, static_cast<int>(model_.size()) - 1));
        open = it->first;
        EXPECT_GT(Catalog().OpenTable(open, {}, TTdbCatalog::kAllWriteRights, false, false, false),
                  0)
            << LastError();
        it->second.Open = true;
    }
    TModelTable& table = model_[open];
    TTdbBaseTable& engine = Table(open);
    const std::string on = " on " + ToUtf8(open);
    if (choice < 40) {
        EXPECT_EQ(Catalog().TryCloseRelation(engine.RltnIdx()), 0) << LastError();
        table.Open = false;
        return "close" + on;
    }
    if (choice < 60) {
        std::vector<audit::TRow> rows;
        for (int i = Draw(1, 40); i > 0; --i)
            rows.push_back(audit::RowFor(nextRow_++));
        EXPECT_EQ(audit::AppendRows(engine, rows), "");
        EXPECT_EQ(engine.Flush(false), 0) << LastError();
        table.Rows.insert(table.Rows.end(), rows.begin(), rows.end());
        return "append " + std::to_string(rows.size()) + on;
    }
    if (choice < 70) {
        const std::u16string index = u"X" + NumberText(Draw(0, 2));
        if (Draw(0, 4) == 0) {
            EXPECT_THROW(ParseIndexSpecification(index, u"Name, Nope", engine.ColumnDefs(),
                                                 engine.GetLevel(), false),
                         ETdbEngine);
            // A definition past the parser, over a column the table does not have.
            TTdbSortDef wrong(index);
            wrong.AddItem(9, ctInteger, 4);
            wrong.UpdateSize(engine.GetLevel());
            const int count = engine.GetIndexCount();
            EXPECT_LT(engine.NewIndex(index, wrong, {}, 0), 0);
            EXPECT_EQ(engine.GetIndexCount(), count);
            return "bad index text" + on;
        }
        const std::u16string text = kIndexTexts[static_cast<std::size_t>(Draw(0, 3))];
        const std::int16_t result = engine.NewIndex(
            index,
            ParseIndexSpecification(index, text, engine.ColumnDefs(), engine.GetLevel(), false), {},
            0);
        if (table.Indexes.contains(index)) {
            EXPECT_EQ(result, -kTdbErrIndexAlreadyOpen);
            return "new index refused" + on;
        }
        EXPECT_GE(result, 0) << LastError();
        EXPECT_EQ(engine.Flush(false), 0);
        table.Indexes[index] = text;
        return "new index " + ToUtf8(index) + " " + ToUtf8(text) + on;
    }
    if (choice < 78) {
        const std::u16string index = Draw(0, 3) == 0 ? u"ByName" : u"X" + NumberText(Draw(0, 2));
        const TTdbIndexNo no = engine.FindIndexByName(index);
        if (!table.Indexes.contains(index)) {
            EXPECT_EQ(no, kTdbNoIndex);
            return "no index to remove" + on;
        }
        EXPECT_EQ(engine.RemoveInd(no), 0) << LastError();
        EXPECT_EQ(engine.Flush(false), 0);
        table.Indexes.erase(index);
        return "remove index " + ToUtf8(index) + on;
    }
    if (choice < 88) {
        EXPECT_EQ(engine.RegenIndex({}), 0) << LastError();
        return "regenerate" + on;
    }
    EXPECT_EQ(engine.ClearDat(), static_cast<std::int32_t>(table.Rows.size())) << LastError();
    table.Rows.clear();
    return "clear" + on;
}

void CatalogModelTest::CompareTable(const std::string& step, const std::u16string& name) {
    const TModelTable& expected = model_[name];
    TTdbBaseTable& table = Table(name);
    EXPECT_EQ(audit::ReadRows(table), expected.Rows) << step << ": " << ToUtf8(name);
    std::map<std::u16string, TTdbIndexNo> indexes;
    for (TTdbIndexNo no = 0; no <= table.GetLastIndexNo(); ++no) {
        const TTdbIndexFile* index = table.GetIndexFile(no);
        if (index == nullptr)
            continue;
        EXPECT_EQ(audit::IndexDisagreement(table, no), "") << step << ": " << LastError();
        if (!index->IsAutomatic())
            indexes[index->Name()] = no;
    }
    std::vector<std::u16string> names, expectedNames;
    for (const auto& [index, no] : indexes)
        names.push_back(index);
    for (const auto& [index, text] : expected.Indexes)
        expectedNames.push_back(index);
    ASSERT_EQ(names, expectedNames) << step << ": " << ToUtf8(name);
    for (const auto& [index, text] : expected.Indexes) {
        std::vector<std::int32_t> order(expected.Rows.size());
        std::iota(order.begin(), order.end(), 1);
        std::sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
            return SortsBefore(text, expected.Rows[static_cast<std::size_t>(a - 1)], a,
                               expected.Rows[static_cast<std::size_t>(b - 1)], b);
        });
        EXPECT_EQ(audit::IndexOrder(table, indexes[index]), order)
            << step << ": " << ToUtf8(name) << " by " << ToUtf8(text);
    }
}

void CatalogModelTest::Compare(const std::string& step, bool all) {
    std::vector<std::u16string> names = Catalog().GetTableNames();
    std::sort(names.begin(), names.end());
    std::vector<std::u16string> expected;
    int open = 0;
    for (const auto& [name, table] : model_) {
        expected.push_back(name);
        open += table.Open ? 1 : 0;
        EXPECT_EQ(Catalog().FindRltnIdx(name) != 0, table.Open) << step << ": " << ToUtf8(name);
    }
    ASSERT_EQ(names, expected) << step;
    ASSERT_EQ(Catalog().RelationCount(), open) << step;
    for (const auto& [name, table] : model_) {
        if (table.Open) {
            CompareTable(step, name);
        } else if (all) {
            const int rltnIdx =
                Catalog().OpenTable(name, {}, TTdbCatalog::kAllWriteRights, false, false, false);
            ASSERT_GT(rltnIdx, 0) << step << ": " << LastError();
            CompareTable(step, name);
            Catalog().CloseRelation(rltnIdx);
        }
    }
}

class CatalogModelRun : public CatalogModelTest,
                        public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(CatalogModelRun, RandomOperationsKeepEngineAndModelEqual) {
    random_.seed(GetParam());
    for (int i = 0; i < 400; ++i) {
        const std::string step = std::to_string(i) + ": " + Step();
        Compare(step, step.find("reopen") != std::string::npos);
        if (HasFatalFailure() || HasFailure())
            break;
    }
    ReopenSession();
    Compare("at the end", true);
}

INSTANTIATE_TEST_SUITE_P(Seeds, CatalogModelRun, ::testing::Values(20240611u, 7u, 1234567u));

}  // namespace
}  // namespace tdb
