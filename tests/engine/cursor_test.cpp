// Cursors over an audit table shared by two sessions: order, range, filters, marks and the
// answers a client of the call interface sees, also after the other session's changes.
#include "engine/cursor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "index/index_text.h"
#include "shared_sessions.h"
#include "table_audit.h"

namespace tdb {
namespace {

using audit::TRow;

class CursorTest : public ::testing::Test {
protected:
    CursorTest() : shared_(2, TableArgs()) {
        mine_ = std::make_unique<TTdbCursor>(1, shared_.Session(1), shared_.RltnIdx(1), u"Mine");
        other_ = std::make_unique<TTdbCursor>(2, shared_.Session(0), shared_.RltnIdx(0), u"Other");
        mine_->Open();
        other_->Open();
    }
    static TTdbCreateTableArgs TableArgs() {
        TTdbCreateTableArgs args = audit::AuditTableArgs(u"Audit");
        args.IndexDefs.Add(std::make_unique<TTdbSortDef>(
            ParseIndexSpecification(u"ByNameCode", u"Name, Code", args.ColumnDefs, 6, false)));
        return args;
    }
    ~CursorTest() override {
        mine_.reset();
        other_.reset();
    }

    std::string LastError(std::size_t i = 1) { return shared_.LastError(i); }
    // Appends through the cursor's edit flow; the new record number.
    std::int32_t Add(TTdbCursor& cursor, const TRow& row) {
        EXPECT_EQ(cursor.Append(), 0) << LastError();
        std::vector<std::byte> record(static_cast<std::size_t>(cursor.RecordSize()));
        cursor.GetRecord(record);
        audit::SetRow(cursor.Relation(), record, row);
        cursor.SetRecord(record);
        EXPECT_EQ(cursor.AppendConfirm(), 0) << LastError();
        return cursor.GetRecordNo();
    }
    void AddAll(TTdbCursor& cursor, const std::vector<TRow>& rows) {
        for (const TRow& row : rows)
            Add(cursor, row);
    }
    TRow Current(TTdbCursor& cursor) {
        std::vector<std::byte> record(static_cast<std::size_t>(cursor.RecordSize()));
        cursor.GetRecord(record);
        return audit::ReadRow(cursor.Relation(), record);
    }
    // The codes the cursor shows from the first record on.
    std::vector<std::int32_t> Codes(TTdbCursor& cursor) {
        std::vector<std::int32_t> codes;
        for (std::int16_t r = cursor.First(); r >= 0; r = cursor.Next())
            codes.push_back(Current(cursor).Code);
        return codes;
    }
    void Change(TTdbCursor& cursor, const TRow& row) {
        ASSERT_EQ(cursor.Edit(), 0) << LastError();
        std::vector<std::byte> record(static_cast<std::size_t>(cursor.RecordSize()));
        cursor.GetRecord(record);
        audit::SetRow(cursor.Relation(), record, row);
        cursor.SetRecord(record);
        ASSERT_EQ(cursor.EditConfirm(), 0) << LastError();
    }

    testing::TSharedSessions shared_;
    std::unique_ptr<TTdbCursor> mine_;
    std::unique_ptr<TTdbCursor> other_;
};

const std::vector<TRow> kRows = {{4000, u"Szeged"}, {1000, u"Budapest"}, {7000, u"Pécs"},
                                 {9000, u"Győr"},   {3000, u"Eger"},     {8000, u"Ács"},
                                 {2000, u"Cegléd"}, {6000, u"Ózd"}};

TEST_F(CursorTest, OrderPositionAndTheAnswersOfNavigation) {
    AddAll(*mine_, kRows);
    EXPECT_EQ(Codes(*mine_),
              (std::vector<std::int32_t>{4000, 1000, 7000, 9000, 3000, 8000, 2000, 6000}));
    ASSERT_EQ(mine_->SetIndex(u"ByName", false), 0) << LastError();
    // Hungarian order: Á after A, Ó and Ö after O.
    EXPECT_EQ(Codes(*mine_),
              (std::vector<std::int32_t>{8000, 1000, 2000, 3000, 9000, 6000, 7000, 4000}));
    ASSERT_EQ(mine_->SetIndex(u"ByName", true), 0);
    EXPECT_EQ(mine_->First(), 1);
    EXPECT_EQ(Current(*mine_).Code, 4000);
    EXPECT_EQ(mine_->MoveBy(2), 0);
    EXPECT_EQ(Current(*mine_).Code, 6000);
    const std::int32_t here = mine_->GetRecordNo();
    // The index in use again: no rebuild, the position stays.
    ASSERT_EQ(mine_->SetIndex(u"ByName", true), 0);
    EXPECT_EQ(mine_->GetRecordNo(), here);
    EXPECT_EQ(mine_->MoveBy(100), kTdbRecordDoesNotExist);
    EXPECT_EQ(mine_->SetRecordNo(here), here);
    EXPECT_EQ(mine_->SetRecordNo(99), kTdbRecordDoesNotExist);
    EXPECT_EQ(mine_->GetRecordNo(), here) << "a refused number keeps the position";
    EXPECT_EQ(mine_->SetRecordNo(-2), kTdbRecordDoesNotExist);
    EXPECT_EQ(mine_->SetIndex(u"NoSuchIndex", false), kTdbIndexDoesNotExist);
    EXPECT_EQ(mine_->GetAccessName(), u"ByName");
    EXPECT_EQ(mine_->GetRecordCount(), 8);

    // An order by column list finds the index that gives it.
    ASSERT_EQ(mine_->SetSortOrder(u"Code"), 0) << LastError();
    EXPECT_EQ(mine_->GetAccessName(), u"ByCode");
    EXPECT_EQ(mine_->SetSortOrder(u"NoColumn"), kTdbInvalidIndexDefinition);
    ASSERT_EQ(mine_->SetIndex(u"", false), 0);
    EXPECT_EQ(mine_->GetAccessName(), kTdbAccessNameRecordNo);
}

// Every step reads under a read lock, which takes in what other users wrote: a step sees their
// records at once, and the refresh rebuilds what depends on them.
TEST_F(CursorTest, OtherUsersChangesReachTheStepsAndTheRefresh) {
    AddAll(*mine_, {{1000, u"Budapest"}, {2000, u"Cegléd"}});
    ASSERT_EQ(mine_->SetUserSqlFilter(u"Code > 1500", tesTableSQL, 1, false), 0);
    ASSERT_EQ(mine_->First(), 1);
    Add(*other_, {3000, u"Eger"});
    EXPECT_EQ(mine_->Refresh(true), 1);
    EXPECT_EQ(mine_->Refresh(true), 0) << "nothing new";
    EXPECT_EQ(mine_->GetRecordCount(), 2);
    EXPECT_EQ(Codes(*mine_), (std::vector<std::int32_t>{2000, 3000}));
    Add(*other_, {4000, u"Eger"});
    EXPECT_EQ(Codes(*mine_), (std::vector<std::int32_t>{2000, 3000, 4000})) << "First refreshes";
}

TEST_F(CursorTest, AStaticFilterFollowsTheSortOrderAndTheRecordsWritten) {
    AddAll(*mine_, kRows);
    ASSERT_EQ(mine_->SetIndex(u"ByName", false), 0);
    ASSERT_EQ(mine_->SetUserSqlFilter(u"Code >= 3000", tesTableSQL, 1, false), 0) << LastError();
    EXPECT_EQ(mine_->ActiveFilterKind(), tfkStatic);
    EXPECT_EQ(Codes(*mine_), (std::vector<std::int32_t>{8000, 3000, 9000, 6000, 7000, 4000}));
    // Edited out of the filter: the cursor goes on with the next listed record.
    ASSERT_EQ(mine_->First(), 1);
    ASSERT_EQ(mine_->MoveBy(1), 0);
    ASSERT_EQ(Current(*mine_).Code, 3000);
    Change(*mine_, {1500, u"Eger"});
    EXPECT_EQ(Current(*mine_).Code, 9000);
    // An append that meets the condition joins the list at its place in name order.
    Add(*mine_, {5000, u"Baja"});
    EXPECT_EQ(Current(*mine_).Code, 5000);
    EXPECT_EQ(Codes(*mine_), (std::vector<std::int32_t>{8000, 5000, 9000, 6000, 7000, 4000}));
    // Another user's change reaches the list with the refresh of First.
    ASSERT_EQ(other_->SetRecordNo(2), 2);  // Budapest
    Change(*other_, {9500, u"Budapest"});
    EXPECT_EQ(Codes(*mine_), (std::vector<std::int32_t>{8000, 5000, 9500, 9000, 6000, 7000, 4000}));
    EXPECT_EQ(mine_->SetUserSqlFilter(u"Code >>> 1", tesTableSQL, 1, false),
              kTdbInvalidSearchCondition);
    EXPECT_FALSE(LastError().empty());
    EXPECT_EQ(mine_->SetUserSqlFilter(u"Code > 1", tesTableSQL, 3, false),
              kTdbInvalidSearchCondition)
        << "mode 3 only prepares";
}

// A static filter that the sort order's own index serves is listed as that index walks it, in
// either direction: equal names in record-number order (reversed when descending), as a sort of
// the list would put them.
TEST_F(CursorTest, AStaticFilterServedByTheSortIndexKeepsItsOrder) {
    AddAll(*mine_, kRows);
    Add(*mine_, {5000, u"Baja"});
    Add(*mine_, {5500, u"Baja"});
    const std::vector<std::int32_t> ascending{5000, 5500, 1000, 2000, 3000, 9000, 6000};
    for (const bool descending : {false, true}) {
        SCOPED_TRACE(descending);
        ASSERT_EQ(mine_->SetIndex(u"ByName", descending), 0);
        ASSERT_EQ(mine_->SetUserSqlFilter(u"Name >= 'B' AND Name < 'P'", tesTableSQL, 1, false), 0)
            << LastError();
        std::vector<std::int32_t> expected = ascending;
        if (descending)
            std::reverse(expected.begin(), expected.end());
        EXPECT_EQ(Codes(*mine_), expected);
    }
}

// A list that cannot be read for want of the table lock stays as it was.
TEST_F(CursorTest, AFilterThatCannotLockTheTableChangesNoList) {
    AddAll(*mine_, kRows);
    ASSERT_EQ(mine_->SetUserSqlFilter(u"Code >= 3000", tesTableSQL, 1, true), 0);
    ASSERT_EQ(mine_->CountMarks(), 6);
    ASSERT_EQ(shared_.Table(0).BeginWrite(true), 0);
    shared_.Table(1).SetLockWaitAttempts(1);
    for (const std::uint32_t mode : {1u, 3u, 6u, 7u}) {
        EXPECT_EQ(mine_->SetUserSqlFilter(u"Code >= 5000", tesTableSQL, mode, true),
                  kTdbInvalidSearchCondition)
            << mode;
        EXPECT_EQ(mine_->CountMarks(), 6) << mode;
    }
    shared_.Table(0).EndWrite();
}

TEST_F(CursorTest, SwitchingFiltersKeepsARecordThatStillMatches) {
    AddAll(*mine_, kRows);
    ASSERT_EQ(mine_->SetIndex(u"ByCode", false), 0);
    ASSERT_EQ(mine_->SetRecordNo(3), 3);  // Pécs, 7000
    ASSERT_EQ(mine_->SetUserSqlFilter(u"Code > 5000", tesTableSQL, 15, true), 0);
    EXPECT_EQ(mine_->ActiveFilterKind(), tfkNone) << "prepared only";
    mine_->ActivateFilter();
    EXPECT_EQ(mine_->ActiveFilterKind(), tfkIncremental);
    EXPECT_EQ(mine_->GetRecordNo(), 3);
    EXPECT_EQ(Codes(*mine_), (std::vector<std::int32_t>{6000, 7000, 8000, 9000}));
    // The order changes under the active filter and the filter stays.
    ASSERT_EQ(mine_->SetIndex(u"ByName", false), 0);
    EXPECT_EQ(Codes(*mine_), (std::vector<std::int32_t>{8000, 9000, 6000, 7000}));
    ASSERT_EQ(mine_->SetRecordNo(4), 4);  // Győr, 9000
    // A record the new filter drops gives way to the first one.
    ASSERT_EQ(mine_->SetUserSqlFilter(u"Code < 9000", tesTableSQL, 1, false), 0);
    EXPECT_EQ(Current(*mine_).Code, 8000);
    mine_->DeactivateFilter();
    EXPECT_EQ(mine_->UserFilterKind(), tfkStatic);
    EXPECT_EQ(mine_->CountMarks(), 7) << "the list went back to the prepared slot";
    EXPECT_EQ(Codes(*mine_).size(), 8u);
    // Locate answers without moving unless asked to.
    ASSERT_EQ(mine_->SetRecordNo(1), 1);
    EXPECT_EQ(mine_->Locate(u"Name = 'Ózd'", tesTableSQL, 0), 1);
    EXPECT_EQ(mine_->GetRecordNo(), 1);
    EXPECT_EQ(mine_->Locate(u"Name = 'Ózd'", tesTableSQL, 5), 1);
    EXPECT_EQ(Current(*mine_).Code, 6000);
    EXPECT_EQ(mine_->Locate(u"Name = 'Sehol'", tesTableSQL, 5), 0);
    EXPECT_EQ(mine_->Locate(u"Name = ", tesTableSQL, 5), kTdbInvalidSearchCondition);
}

TEST_F(CursorTest, MarksFollowMovedRecordsAndSurviveARefresh) {
    AddAll(*mine_, kRows);
    mine_->AddMark(2);
    mine_->AddMark(8);
    mine_->ToggleMark(5);
    mine_->ToggleMark(5);
    EXPECT_THROW(mine_->AddMark(9), ETdbEngine);
    EXPECT_FALSE(mine_->IsMarked(0));
    // The other session deletes record 1: record 8 moves into its slot.
    ASSERT_EQ(other_->SetRecordNo(1), 1);
    ASSERT_EQ(other_->DeleteRecord(), 0);
    EXPECT_EQ(mine_->Refresh(true), 1);
    std::vector<std::int32_t> marks;
    mine_->GetMarks(marks);
    EXPECT_EQ(marks, (std::vector<std::int32_t>{2, 1}));
    EXPECT_EQ(mine_->SetAccess(u"markierung", false), kTdbInvalidAccess);
    ASSERT_EQ(mine_->SetAccess(u"markierung", true), 0);
    EXPECT_EQ(mine_->GetAccessName(), kTdbAccessNameMarks);
    EXPECT_EQ(mine_->CountMarks(), 0) << "the marks are the order now";
    ASSERT_EQ(mine_->SetAccess(u"Nummer", true), 0);
    EXPECT_EQ(mine_->CountMarks(), 2);
    EXPECT_EQ(mine_->SetAccess(u"NoSuchIndex", true), kTdbInvalidAccess);
    ASSERT_EQ(mine_->SetIndex(u"ByCode", false), 0);
    ASSERT_EQ(mine_->First(), 1);
    EXPECT_EQ(mine_->GotoMark(1, false), 1);
    EXPECT_EQ(Current(*mine_).Code, 6000);
    EXPECT_EQ(mine_->GotoMark(1, false), kTdbRecordDoesNotExist);
    EXPECT_EQ(Current(*mine_).Code, 6000) << "the position stays";
    EXPECT_EQ(mine_->GotoMark(-1, false), 1);
    EXPECT_EQ(Current(*mine_).Code, 1000);
    EXPECT_EQ(mine_->GotoMark(-1, true), 1);
    EXPECT_EQ(Current(*mine_).Code, 6000);
    ASSERT_EQ(mine_->SortMarks(u"Name"), 0);
    mine_->GetMarks(marks);
    EXPECT_EQ(marks, (std::vector<std::int32_t>{2, 1})) << "Budapest before Ózd";
    ASSERT_EQ(mine_->SortMarks(u"-Code"), 0);
    mine_->GetMarks(marks);
    EXPECT_EQ(marks, (std::vector<std::int32_t>{1, 2}));
}

TEST_F(CursorTest, RangesAndBookmarksCompareInTheCursorsOrder) {
    AddAll(*mine_, {{1, u"Eger"}, {5, u"Eger"}, {3, u"Eger"}, {2, u"Baja"}, {4, u"Pécs"}});
    std::vector<std::byte> low(static_cast<std::size_t>(mine_->RecordSize()));
    std::vector<std::byte> high(low.size());
    audit::SetRow(mine_->Relation(), low, {0, u"Eger"});
    audit::SetRow(mine_->Relation(), high, {0, u"Eger"});
    EXPECT_EQ(mine_->SetUserRange(low, high, 1, 1), kTdbInvalidAccess) << "record-number order";
    ASSERT_EQ(mine_->SetIndex(u"ByNameCode", false), 0);
    // Only the first key item is given: every Code of Eger is in.
    ASSERT_EQ(mine_->SetUserRange(low, high, 1, 1), 0) << LastError();
    EXPECT_EQ(Codes(*mine_), (std::vector<std::int32_t>{1, 3, 5}));
    EXPECT_EQ(mine_->GetRecordCount(), 3);
    audit::SetRow(mine_->Relation(), high, {3, u"Eger"});
    ASSERT_EQ(mine_->SetUserRange(low, high, 1, 0), 0);
    EXPECT_EQ(Codes(*mine_), (std::vector<std::int32_t>{1, 3}));
    mine_->ClearUserRange();
    EXPECT_EQ(Codes(*mine_).size(), 5u);

    // Record 4 (Baja) before record 1 (Eger, 1) by name, after it by record number.
    EXPECT_EQ(mine_->CompareBookmarks(u"", 4, 1), 0);
    EXPECT_EQ(mine_->CompareBookmarks(u"", 1, 4), 2);
    EXPECT_EQ(mine_->CompareBookmarks(u"ByName", 1, 2), 1) << "equal names";
    EXPECT_EQ(mine_->CompareBookmarks(u"ByCode", 4, 1), 2);
    EXPECT_EQ(mine_->CompareBookmarks(u"NoSuchIndex", 4, 1), kTdbIndexDoesNotExist);
    EXPECT_EQ(mine_->CompareBookmarks(u"", 99, 1), 0);
    EXPECT_EQ(mine_->CompareBookmarks(u"", 1, 99), 2);
    ASSERT_EQ(mine_->SetIndex(u"ByName", true), 0);
    EXPECT_EQ(mine_->CompareBookmarks(u"", 4, 1), 2) << "reversed order";
    ASSERT_EQ(mine_->SetIndex(u"", false), 0);
    EXPECT_EQ(mine_->CompareBookmarks(u"", 4, 1), 2);
}

TEST_F(CursorTest, EditingAnswersAndNotifications) {
    AddAll(*mine_, kRows);
    EXPECT_EQ(mine_->AppendConfirm(), kTdbNotInEditMode);
    EXPECT_EQ(mine_->EditConfirm(), kTdbNotInEditMode);
    EXPECT_EQ(mine_->AppendCancel(), kTdbNotInEditMode);
    EXPECT_TRUE(mine_->CanModify());
    std::vector<std::int32_t> told;
    mine_->OnChangeProc = [&](std::int16_t tableHdl, std::int32_t deleted, std::int32_t moved) {
        EXPECT_EQ(tableHdl, 1);
        told = {deleted, moved};
    };
    ASSERT_EQ(mine_->SetRecordNo(2), 2);
    ASSERT_EQ(mine_->DeleteRecord(), 0);
    EXPECT_EQ(told, (std::vector<std::int32_t>{2, 8}));
    // A record another session edits cannot be edited here.
    ASSERT_EQ(other_->SetRecordNo(3), 3);
    ASSERT_EQ(other_->Edit(), 0);
    shared_.Session(1).Services().FLockingTimeout = 0;
    ASSERT_EQ(mine_->SetRecordNo(3), 3);
    EXPECT_EQ(mine_->Edit(), kTdbAccessNotPossible);
    EXPECT_EQ(other_->EditCancel(), 0);
    EXPECT_EQ(mine_->Edit(), 0);
    EXPECT_EQ(mine_->EditCancel(), 0);
    ASSERT_EQ(mine_->Append(), 0);
    EXPECT_EQ(mine_->AppendCancel(), 0);
    EXPECT_EQ(mine_->GetRecordCount(), 7);
}

}  // namespace
}  // namespace tdb
