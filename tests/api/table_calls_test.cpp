// Table handles through the call interface alone: the slot table and its limits, the answers of
// handles that lead nowhere, and a random workload whose every step each cursor must show as a
// model of the table predicts, with the writer in another session and in another process.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "../engine/probe_process.h"
#include "../engine/table_audit.h"
#include "../platform/test_support.h"
#include "api/call_interface.h"
#include "api/handles.h"
#include "engine/catalog.h"
#include "engine/session.h"

namespace tdb::api {
namespace {

using audit::TRow;

// A session of the call interface with the audit table open.
struct TApiSession {
    std::int16_t SessHdl = 0;
    std::int16_t RltnHdl = 0;

    void Open(const testing::TempDir& dir, bool create) {
        SessHdl = TdbCreateSession(u"");
        ASSERT_GT(SessHdl, 0);
        ASSERT_EQ(TdbSessOpenDb(SessHdl, dir.Name().c_str(), u"", u"", 0, 0), 0);
        if (create) {
            TTdbCreateTableArgs args = audit::AuditTableArgs(u"Audit");
            ASSERT_EQ(ClassifySession(SessHdl).Local->Catalog().CreateTable(args), 0);
        }
        RltnHdl = TdbSessOpenTable(SessHdl, u"Audit", u"", kTdbRightsWrite, false, false);
        ASSERT_GT(RltnHdl, 0) << LastError();
    }
    void Close() {
        if (SessHdl > 0)
            TdbSessDelete(SessHdl);
        SessHdl = 0;
    }
    std::string LastError() const {
        std::int16_t code = 0;
        std::array<char16_t, 256> text{};
        TdbSessGetLastError(SessHdl, code, text.data(), 255);
        return std::to_string(code) + " " + ToUtf8(text.data());
    }
};

// Reading and writing records of a cursor through its handle.
class TApiCursor {
public:
    explicit TApiCursor(std::int16_t tableHdl) : hdl_(tableHdl) {
        record_.resize(
            static_cast<std::size_t>(std::max<std::int16_t>(TdbTableGetRecordSize(tableHdl), 0)));
    }
    std::int16_t Hdl() const { return hdl_; }
    TRow Current(TTdbRelation& relation) {
        EXPECT_EQ(TdbTableGetRecord(hdl_, record_.data(), Size()), 0);
        return audit::ReadRow(relation, record_);
    }
    // Writes Row into the record begun by Begin (an append or an edit) and confirms it.
    std::int16_t Write(TTdbRelation& relation, const TRow& row, bool append) {
        const std::int16_t begun = append ? TdbTableAppend(hdl_) : TdbTableEdit(hdl_);
        if (begun != 0)
            return begun;
        EXPECT_EQ(TdbTableGetRecord(hdl_, record_.data(), Size()), 0);
        audit::SetRow(relation, record_, row);
        EXPECT_EQ(TdbTableSetRecord(hdl_, record_.data(), Size()), 0);
        return append ? TdbTableAppendConfirm(hdl_) : TdbTableEditConfirm(hdl_);
    }

private:
    std::int32_t Size() const { return static_cast<std::int32_t>(record_.size()); }
    std::int16_t hdl_;
    std::vector<std::byte> record_;
};

class TableCallsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(first_.Open(dir_, true)); }
    void TearDown() override {
        second_.Close();
        first_.Close();
    }
    TTdbRelation& Relation(const TApiSession& session) {
        return *ClassifyRelation(session.RltnHdl).Relation;
    }

    testing::TempDir dir_;
    TApiSession first_;
    TApiSession second_;
};

TEST_F(TableCallsTest, TheSlotTableHolds255CursorsAndHandlesThatLeadNowhereAnswer101) {
    std::vector<std::int16_t> handles;
    for (int i = 0; i < 255; ++i) {
        const std::int16_t hdl = TdbTableCreate(first_.RltnHdl, u"VCLTable_For_Audit");
        ASSERT_GT(hdl, 0) << i;
        handles.push_back(hdl);
    }
    EXPECT_EQ(TdbTableCreate(first_.RltnHdl, u"One too many"), kTdbOutOfMemory);
    ASSERT_EQ(TdbTableDelete(handles[100]), 0);
    EXPECT_EQ(TdbTableCreate(first_.RltnHdl, u"Again"), handles[100]) << "the freed slot";
    EXPECT_EQ(TdbTableCreate(-5, u"No relation"), kTdbInvalidRelationHandle);

    // Closing the session's database empties every slot of its cursors.
    const std::int16_t kept = handles[7];
    ASSERT_EQ(TdbSessCloseDb(first_.SessHdl), 0);
    bool exact = false;
    std::array<std::byte, 64> buffer{};
    std::array<char16_t, 16> text{};
    for (const std::int16_t hdl : {std::int16_t{0}, kept, std::int16_t{256}, std::int16_t{-1}}) {
        SCOPED_TRACE(hdl);
        EXPECT_EQ(TdbTableFirst(hdl), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableLast(hdl), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableMoveBy(hdl, 1), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableGetRecNo(hdl), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableSetRecNo(hdl, 1), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableGetRowCount(hdl), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableGetRecord(hdl, buffer.data(), 64), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableSetRecord(hdl, buffer.data(), 64), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableSetIndex(hdl, u"ByName", false), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableGetAccess(hdl, text.data(), 15), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableLocateRec2(hdl, u"ByName", buffer.data(), 64, 1, exact),
                  kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableLocateRec3(hdl, u"Code = 1", 5), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableSetSQLFilter(hdl, u"Code = 1", 1, false), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableActivateFilter(hdl, true), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableAppend(hdl), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableEditConfirm(hdl), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableDeleteRec(hdl), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableAddMark(hdl, 1), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableCompareBookmarks(hdl, u"", 1, 2), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableRefresh(hdl, true), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableEmpty(hdl), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableLock(hdl, 1, 0), kTdbInvalidTableHandle);
        EXPECT_EQ(TdbTableDelete(hdl), kTdbInvalidTableHandle);
    }
}

TEST_F(TableCallsTest, RecordsFieldsSearchesLocksAndMarks) {
    const std::int16_t hdl = TdbTableCreate(first_.RltnHdl, u"VCLTable_For_Audit");
    ASSERT_GT(hdl, 0);
    TApiCursor cursor(hdl);
    TTdbRelation& relation = Relation(first_);
    for (const TRow& row : {TRow{3000, u"Eger"}, TRow{1000, u"Budapest"}, TRow{7000, u"Pécs"}})
        ASSERT_EQ(cursor.Write(relation, row, true), 0) << first_.LastError();
    EXPECT_EQ(TdbTableGetNumFields(hdl), 3);
    EXPECT_EQ(TdbTableGetFieldNo(hdl, u"name"), 3);
    EXPECT_EQ(TdbTableGetFieldNo(hdl, u"Audit.Name"), 0);
    EXPECT_EQ(TdbTableGetDataType(hdl, 2), ctInteger);
    TTdbFieldSpec spec{};
    EXPECT_EQ(TdbTableGetFieldSpec(hdl, 9, spec), kTdbUnknownColumn);
    EXPECT_EQ(TdbTableGetRltnHdl(hdl), first_.RltnHdl);
    EXPECT_EQ(TdbTableCanModify(hdl), 1);
    EXPECT_EQ(TdbTableGetAutoNo(hdl), 3) << "the last append is current";

    std::vector<std::byte> record(static_cast<std::size_t>(TdbTableGetRecordSize(hdl)));
    EXPECT_EQ(TdbTableGetRecord(hdl, record.data(), 3), kTdbBufferTooSmall);
    ASSERT_EQ(TdbTableSetIndex(hdl, u"ByName", false), 0);
    std::array<char16_t, 32> access{};
    ASSERT_EQ(TdbTableGetAccess(hdl, access.data(), 31), 0);
    EXPECT_EQ(std::u16string(access.data()), u"ByName");
    // The nearest name at or after "C" is Eger.
    audit::SetRow(relation, record, {0, u"C"});
    bool exact = false;
    EXPECT_EQ(TdbTableLocateRec2(hdl, u"ByName", record.data(),
                                 static_cast<std::int32_t>(record.size()), 1, exact),
              1);
    EXPECT_FALSE(exact);
    EXPECT_EQ(cursor.Current(relation).Name, u"Eger");
    exact = true;
    EXPECT_EQ(TdbTableLocateRec2(hdl, u"ByName", record.data(),
                                 static_cast<std::int32_t>(record.size()), 1, exact),
              0);
    EXPECT_EQ(TdbTableLocateRec2(hdl, u"NoIndex", record.data(),
                                 static_cast<std::int32_t>(record.size()), 1, exact),
              kTdbIndexDoesNotExist);
    // Values as texts, of the current record and of a caller's record image.
    std::array<char16_t, 8> text{};
    EXPECT_EQ(TdbTableGetFieldAsString(hdl, 3, text.data(), 3), 4);
    EXPECT_EQ(std::u16string(text.data()), u"Ege") << "cut at the buffer";
    EXPECT_EQ(TdbTableGetFieldAsString(hdl, 9, text.data(), 7), kTdbUnknownColumn);
    ASSERT_EQ(TdbTableInitRecord(hdl, record.data(), static_cast<std::int32_t>(record.size())), 0);
    ASSERT_EQ(TdbTableSetFieldInRecord(hdl, record.data(), static_cast<std::int32_t>(record.size()),
                                       3, u"Pécs"),
              0);
    exact = true;
    EXPECT_EQ(TdbTableLocateRec2(hdl, u"ByName", record.data(),
                                 static_cast<std::int32_t>(record.size()), 1, exact),
              3);
    EXPECT_EQ(TdbTableSetFieldInRecord(hdl, record.data(), static_cast<std::int32_t>(record.size()),
                                       2, u"many"),
              kTdbUnknownColumn)
        << "no number";
    std::array<char16_t, 64> problem{};
    EXPECT_EQ(TdbRltnCheckIndex(first_.RltnHdl, u"ByName", problem.data(), 63), 1);
    EXPECT_EQ(TdbRltnCheckIndex(first_.RltnHdl, u"NoIndex", problem.data(), 63),
              kTdbIndexDoesNotExist);
    EXPECT_EQ(TdbTableLocateRec3(hdl, u"Code = 7000", 5), 1);
    EXPECT_EQ(TdbTableGetRecNo(hdl), 3);
    EXPECT_EQ(TdbTableLocateRec3(hdl, u"Code = = 7000", 5), kTdbInvalidSearchCondition);
    EXPECT_EQ(TdbTableSetWordFilter(hdl, u"Words", u"Eger", 1), kTdbInvalidSearchCondition);
    EXPECT_EQ(TdbTableGetSequenceNo(hdl), 3);
    EXPECT_EQ(TdbTableSetSequenceNo(hdl, 1), 1);
    EXPECT_EQ(cursor.Current(relation).Name, u"Budapest");
    EXPECT_EQ(TdbTableIsSequenced(hdl), 1);

    // Locks nest and give back one at a time.
    ASSERT_EQ(TdbTableLock(hdl, 2, 1), 0);
    EXPECT_EQ(relation.CountWriteLocks(), 1);
    ASSERT_EQ(TdbTableUnlock(hdl, 2), 0);
    EXPECT_EQ(relation.CountWriteLocks(), 0);
    EXPECT_EQ(TdbTableUnlock(hdl, 1), 0) << "nothing held: nothing to give back";

    EXPECT_EQ(TdbTableAddMark(hdl, 9), kTdbRecordDoesNotExist);
    ASSERT_EQ(TdbTableAddMark(hdl, 2), 0);
    ASSERT_EQ(TdbTableAddMark(hdl, 3), 0);
    EXPECT_EQ(TdbTableIsMarked(hdl, 2), 1);
    EXPECT_EQ(TdbTableIsMarked(hdl, 1), 0);
    ASSERT_EQ(TdbTableFirst(hdl), 1);
    EXPECT_EQ(TdbTableGotoMark(hdl, 1, true), 1);
    EXPECT_EQ(cursor.Current(relation).Name, u"Budapest");
    EXPECT_EQ(TdbTableDeleteMarkedRecs(hdl), 2);
    EXPECT_EQ(TdbTableGetRowCount(hdl), 1);
    EXPECT_EQ(TdbTableIsMarked(hdl, 1), 0);
    ASSERT_EQ(TdbTableEmpty(hdl), 0);
    EXPECT_EQ(TdbTableGetRowCount(hdl), 0);
    EXPECT_EQ(TdbTableFirst(hdl), kTdbRecordDoesNotExist);
    EXPECT_EQ(TdbTableDelete(hdl), 0);
}

TEST_F(TableCallsTest, AnotherSessionsChangesEditLocksAndSortOrders) {
    ASSERT_NO_FATAL_FAILURE(second_.Open(dir_, false));
    TApiCursor mine(TdbTableCreate(first_.RltnHdl, u"Mine"));
    TApiCursor theirs(TdbTableCreate(second_.RltnHdl, u"Theirs"));
    ASSERT_EQ(mine.Write(Relation(first_), {2000, u"Cegléd"}, true), 0);
    ASSERT_EQ(mine.Write(Relation(first_), {1000, u"Cegléd"}, true), 0);
    EXPECT_EQ(TdbSessRegisterModifications(second_.SessHdl), 1);
    EXPECT_EQ(TdbSessRegisterModifications(second_.SessHdl), 0) << "taken in already";
    EXPECT_EQ(TdbTableRefresh(theirs.Hdl(), false), 1);
    EXPECT_EQ(TdbTableGetRowCount(theirs.Hdl()), 2);
    EXPECT_EQ(TdbSessRegisterModifications(-3), kTdbInvalidSessionHandle);

    // An order by columns finds the index that gives it, or makes one.
    ASSERT_EQ(TdbTableSetSortOrder(theirs.Hdl(), u"Name, Code"), 0) << second_.LastError();
    ASSERT_EQ(TdbTableFirst(theirs.Hdl()), 1);
    EXPECT_EQ(theirs.Current(Relation(second_)).Code, 1000);
    EXPECT_EQ(TdbTableSetSortOrder(theirs.Hdl(), u"Nowhere"), kTdbInvalidIndexDefinition);

    // With edit locks the record another session edits is refused; without them both may edit.
    ClassifySession(second_.SessHdl).Local->Services().FLockingTimeout = 0;
    ASSERT_EQ(TdbTableSetRecNo(mine.Hdl(), 1), 1);
    ASSERT_EQ(TdbTableEdit(mine.Hdl()), 0);
    ASSERT_EQ(TdbTableSetRecNo(theirs.Hdl(), 1), 1);
    EXPECT_EQ(TdbTableEdit(theirs.Hdl()), kTdbAccessNotPossible);
    ASSERT_EQ(TdbRltnActivateEditLocks(first_.RltnHdl, false), 0);
    ASSERT_EQ(TdbRltnActivateEditLocks(second_.RltnHdl, false), 0);
    ASSERT_EQ(TdbTableEditCancel(mine.Hdl()), 0);
    ASSERT_EQ(TdbTableEdit(mine.Hdl()), 0);
    EXPECT_EQ(TdbTableEdit(theirs.Hdl()), 0);
    EXPECT_EQ(TdbTableEditCancel(theirs.Hdl()), 0);
    EXPECT_EQ(TdbTableEditCancel(mine.Hdl()), 0);
    EXPECT_EQ(TdbRltnActivateEditLocks(0, true), kTdbInvalidRelationHandle);
}

// What the random workload does to the table, by whatever writes it: rows are RowFor(N). Each
// answers whether the step was done.
struct TWriter {
    std::function<std::int32_t(std::uint32_t n)> Append;  // the new record number, or ≤ 0
    std::function<bool(std::int32_t recNo, std::uint32_t n)> Edit;
    std::function<bool(std::int32_t recNo)> Delete;
};

// One cursor's view: in Code order (reversed or not), with or without the filter Code >= 5000.
struct TView {
    TApiCursor Cursor;
    bool Reverse;
    bool Filtered;
};

// The records of the model a view shows, as (record number, row), in its order: Code, then
// record number, as the index keeps equal keys.
std::vector<std::pair<std::int32_t, TRow>> Expected(const std::vector<TRow>& model,
                                                    const TView& view) {
    std::vector<std::pair<std::int32_t, TRow>> rows;
    for (std::size_t i = 0; i < model.size(); ++i)
        if (!view.Filtered || model[i].Code >= 5000)
            rows.emplace_back(static_cast<std::int32_t>(i + 1), model[i]);
    std::sort(rows.begin(), rows.end(), [&](const auto& a, const auto& b) {
        const auto ka = std::pair(a.second.Code, a.first);
        const auto kb = std::pair(b.second.Code, b.first);
        return view.Reverse ? kb < ka : ka < kb;
    });
    return rows;
}

void CheckViews(std::vector<TView>& views, TTdbRelation& relation, const std::vector<TRow>& model,
                bool deleted, int step) {
    for (std::size_t v = 0; v < views.size(); ++v) {
        SCOPED_TRACE("step " + std::to_string(step) + " view " + std::to_string(v));
        TView& view = views[v];
        const std::int16_t hdl = view.Cursor.Hdl();
        // The current record stays current while it is in view; only deletes renumber.
        const std::int32_t before = TdbTableGetRecNo(hdl);
        ASSERT_GE(TdbTableRefresh(hdl, true), 0);
        const auto expected = Expected(model, view);
        const bool inView = std::any_of(expected.begin(), expected.end(),
                                        [&](const auto& e) { return e.first == before; });
        if (!deleted && before > 0 && inView) {
            ASSERT_EQ(TdbTableGetRecNo(hdl), before);
        }
        std::vector<std::pair<std::int32_t, TRow>> shown;
        for (std::int16_t r = TdbTableFirst(hdl); r >= 0; r = TdbTableMoveBy(hdl, 1))
            shown.emplace_back(TdbTableGetRecNo(hdl), view.Cursor.Current(relation));
        ASSERT_EQ(shown.size(), expected.size());
        for (std::size_t i = 0; i < shown.size(); ++i) {
            ASSERT_EQ(shown[i].first, expected[i].first) << i;
            ASSERT_EQ(shown[i].second, expected[i].second) << i;
        }
        if (view.Filtered) {
            ASSERT_EQ(TdbTableGetRowCount(hdl), static_cast<std::int32_t>(expected.size()));
        }
        // Stand somewhere for the next step, to be kept there.
        if (!expected.empty()) {
            ASSERT_GT(TdbTableSetRecNo(hdl, expected[expected.size() / 2].first), 0);
        }
    }
}

void RandomWorkload(const TWriter& writer, std::vector<TView>& views, TTdbRelation& relation,
                    int steps, std::uint32_t seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::vector<TRow> model;  // by record number; a delete moves the last record into the slot
    for (int step = 0; step < steps; ++step) {
        const std::uint32_t action = rng() % 10;
        const std::uint32_t n = rng();
        if (action < 5 || model.empty()) {
            ASSERT_EQ(writer.Append(n), static_cast<std::int32_t>(model.size() + 1));
            model.push_back(audit::RowFor(n));
        } else if (action < 8) {
            const auto recNo = static_cast<std::int32_t>(1 + n % model.size());
            ASSERT_TRUE(writer.Edit(recNo, n / 7));
            model[static_cast<std::size_t>(recNo - 1)] = audit::RowFor(n / 7);
        } else {
            const auto recNo = static_cast<std::int32_t>(1 + n % model.size());
            ASSERT_TRUE(writer.Delete(recNo));
            model[static_cast<std::size_t>(recNo - 1)] = model.back();
            model.pop_back();
        }
        ASSERT_NO_FATAL_FAILURE(CheckViews(views, relation, model, action >= 8, step));
    }
}

std::uint32_t Seed() {
    return static_cast<std::uint32_t>(testing::CountFromEnvironment("ZENKALO_API_SEED", 20261211));
}

TEST_F(TableCallsTest, ACursorOfAnotherSessionShowsEveryChangeAsTheModelHasIt) {
    ASSERT_NO_FATAL_FAILURE(second_.Open(dir_, false));
    TTdbRelation& relation = Relation(second_);
    TApiCursor writing(TdbTableCreate(first_.RltnHdl, u"Writer"));
    ASSERT_GT(writing.Hdl(), 0);
    TTdbRelation& written = Relation(first_);
    const TWriter writer{[&](std::uint32_t n) {
                             return writing.Write(written, audit::RowFor(n), true) == 0
                                        ? TdbTableGetRecNo(writing.Hdl())
                                        : -1;
                         },
                         [&](std::int32_t recNo, std::uint32_t n) {
                             return TdbTableSetRecNo(writing.Hdl(), recNo) == recNo &&
                                    writing.Write(written, audit::RowFor(n), false) == 0;
                         },
                         [&](std::int32_t recNo) {
                             return TdbTableSetRecNo(writing.Hdl(), recNo) == recNo &&
                                    TdbTableDeleteRec(writing.Hdl()) == 0;
                         }};
    std::vector<TView> views;
    for (const auto& [reverse, filtered] : {std::pair{false, false}, {true, true}}) {
        const std::int16_t hdl = TdbTableCreate(second_.RltnHdl, u"Reader");
        ASSERT_GT(hdl, 0);
        ASSERT_EQ(TdbTableSetIndex(hdl, u"ByCode", reverse), 0);
        if (filtered) {
            ASSERT_EQ(TdbTableSetSQLFilter(hdl, u"Code >= 5000", 15, false), 0);
        }
        views.push_back({TApiCursor(hdl), reverse, filtered});
    }
    RandomWorkload(writer, views, relation, testing::CountFromEnvironment("ZENKALO_API_STEPS", 150),
                   Seed());
}

TEST_F(TableCallsTest, ACursorShowsEveryChangeOfAnotherProcessAsTheModelHasIt) {
    testing::TProbeProcess probe(ZENKALO_SHARE_PROBE);
    ASSERT_EQ(probe.Ask("open " + dir_.Path().string() + " Audit"), "ok");
    const TWriter writer{
        [&](std::uint32_t n) {
            const std::string answer = probe.Ask("append " + std::to_string(n));
            return answer.rfind("ok ", 0) == 0 ? std::stoi(answer.substr(3)) : -1;
        },
        [&](std::int32_t recNo, std::uint32_t n) {
            return probe.Ask("replace " + std::to_string(recNo) + " " + std::to_string(n)) == "ok";
        },
        [&](std::int32_t recNo) { return probe.Ask("delete " + std::to_string(recNo)) == "ok"; }};
    std::vector<TView> views;
    for (const auto& [reverse, filtered] : {std::pair{false, true}, {true, false}}) {
        const std::int16_t hdl = TdbTableCreate(first_.RltnHdl, u"Reader");
        ASSERT_GT(hdl, 0);
        ASSERT_EQ(TdbTableSetIndex(hdl, u"ByCode", reverse), 0);
        if (filtered) {
            ASSERT_EQ(TdbTableSetSQLFilter(hdl, u"Code >= 5000", 1, false), 0);
        }
        views.push_back({TApiCursor(hdl), reverse, filtered});
    }
    RandomWorkload(writer, views, Relation(first_),
                   testing::CountFromEnvironment("ZENKALO_API_STEPS", 100), Seed() + 1);
}

}  // namespace
}  // namespace tdb::api
