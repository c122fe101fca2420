// Accessors over an audit table: every order, range and filter walked against a model of the
// visible records, and the edge cases of moving, editing and deleting under an accessor.
#include "engine/accessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/session.h"
#include "faulty_database.h"
#include "probe_process.h"
#include "shared_sessions.h"
#include "table_audit.h"

namespace tdb {
namespace {

// A filter that runs a test function on the record image; the condition language comes later.
class LambdaCondition : public TTdbCondition {
public:
    using Test = std::function<TTdbTruthValue(std::span<const std::byte>)>;
    explicit LambdaCondition(Test test) : TTdbCondition(u"test"), test_(std::move(test)) {}
    using TTdbCondition::Evaluate;
    TTdbExpressionSyntax GetKind() const override { return tesTablePL; }
    std::unique_ptr<TTdbCondition> Clone() const override {
        return std::make_unique<LambdaCondition>(test_);
    }
    void Prepare(const TTdbRltnIdxSet&, TTdbRltnIdx, std::uint32_t) override {}
    void Unprepare() override {}
    TTdbTruthValue Evaluate(TTdbRltnIdxSet&) override { return tvUnknown; }
    TTdbTruthValue Evaluate(TTdbRltnIdx, std::span<const std::byte> record) override {
        return test_(record);
    }
    int FindBestIndexAndBounds(TTdbRltnIdx, std::vector<std::byte>&,
                               std::vector<std::byte>&) override {
        return -1;
    }

private:
    Test test_;
};

class AccessorTest : public testing::FaultyDatabaseTest {
protected:
    AccessorTest() {
        TTdbCreateTableArgs args = audit::AuditTableArgs(u"Audit");
        EXPECT_EQ(Catalog().CreateTable(args), 0) << LastError();
        const int rltnIdx =
            Catalog().OpenTable(u"Audit", {}, TTdbCatalog::kAllWriteRights, false, false, false);
        EXPECT_GT(rltnIdx, 0) << LastError();
        table_ = &dynamic_cast<TTdbBaseTable&>(*Catalog().GetRelation(rltnIdx));
        byName_ = table_->FindIndexByName(u"ByName");
        byCode_ = table_->FindIndexByName(u"ByCode");
    }

    TTdbBaseTable& Table() { return *table_; }
    audit::TRow Row(TTdbAccessor& accessor) {
        return audit::ReadRow(Table(), accessor.RecordPtr());
    }
    // Appends through the edit flow; the new record number.
    std::int32_t Add(TTdbAccessor& accessor, const audit::TRow& row) {
        EXPECT_EQ(accessor.Append(), 0) << LastError();
        audit::SetRow(Table(), accessor.RecordPtr(), row);
        EXPECT_EQ(accessor.Post(), 0) << LastError();
        return accessor.RecordNo();
    }
    void AddCodes(TTdbAccessor& accessor, std::initializer_list<std::int32_t> codes) {
        for (std::int32_t code : codes)
            Add(accessor, {code, audit::SettlementName(static_cast<std::uint32_t>(code))});
    }
public:
    static std::unique_ptr<TTdbCondition> Filter(std::function<bool(std::int32_t code)> accept,
                                                 TTdbRelation& table) {
        return std::make_unique<LambdaCondition>(
            [accept, &table](std::span<const std::byte> record) {
                return accept(audit::ReadRow(table, record).Code) ? tvTrue : tvFalse;
            });
    }

protected:
    std::vector<std::int32_t> Walk(TTdbAccessor& accessor, bool backwards) {
        std::vector<std::int32_t> seen;
        for (std::int16_t r = backwards ? accessor.Last() : accessor.First(); r == 0;
             r = backwards ? accessor.Prior() : accessor.Next())
            seen.push_back(accessor.RecordNo());
        return seen;
    }

    TTdbBaseTable* table_ = nullptr;
    TTdbIndexNo byName_ = -1;
    TTdbIndexNo byCode_ = -1;
};

TEST_F(AccessorTest, DeletingElsewhereMovesPositionsAndBookmarks) {
    TTdbAccessor writer(Table());
    AddCodes(writer, {10, 20, 30, 40, 50, 60, 70, 80, 90, 100});
    TTdbAccessor onLast(Table());
    TTdbAccessor onDeleted(Table());
    TTdbAccessor byCode(Table());
    ASSERT_EQ(onLast.GotoRecord(10), 0);
    ASSERT_EQ(onDeleted.GotoRecord(3), 0);
    byCode.SetAccess(byCode_, false);
    ASSERT_EQ(byCode.GotoRecord(3), 0);
    TTdbBookmarkList list;
    for (std::int32_t recNo : {3, 10, 5})
        list.Append(recNo);
    onLast.SetBookmarks(list);
    int told = 0;
    onLast.OnRecordDeleted = [&](TTdbAccessor&, std::int32_t d, std::int32_t m) {
        EXPECT_EQ(d, 3);
        EXPECT_EQ(m, 10);
        ++told;
    };

    ASSERT_EQ(writer.GotoRecord(3), 0);
    ASSERT_EQ(writer.DeleteRecord(), 0) << LastError();
    EXPECT_EQ(told, 1);
    EXPECT_EQ(onLast.RecordNo(), 3) << "the record moved into the deleted slot";
    EXPECT_EQ(Row(onLast).Code, 100);
    EXPECT_EQ(onLast.Bookmarks().Count(), 2);
    EXPECT_EQ(onLast.Bookmarks().Find(3), 1) << "the entry of the moved record follows it";
    EXPECT_EQ(onLast.Bookmarks().Find(5), 2);
    EXPECT_EQ(onDeleted.RecordNo(), 4) << "stored tables go on with the next number";
    EXPECT_TRUE(onDeleted.RecordWasDeleted());
    EXPECT_EQ(Row(byCode).Code, 40) << "index order goes on with the next key";
    EXPECT_EQ(byCode.Next(), 0);
    EXPECT_EQ(Row(byCode).Code, 50);

    // Deleting the last slot moves nothing, yet an accessor on it must leave it.
    onLast.OnRecordDeleted = nullptr;
    ASSERT_EQ(onLast.GotoRecord(9), 0);
    ASSERT_EQ(writer.GotoRecord(9), 0);
    ASSERT_EQ(writer.DeleteRecord(), 0) << LastError();
    EXPECT_EQ(onLast.RecordNo(), 8);
    EXPECT_EQ(writer.RecordNo(), 8);

    // A record being appended elsewhere stays the new one: the table reports "nothing moved"
    // as record 0, which is also the number of a new record.
    TTdbAccessor appending(Table());
    ASSERT_EQ(appending.Append(), 0) << LastError();
    ASSERT_EQ(writer.GotoRecord(8), 0);
    ASSERT_EQ(writer.DeleteRecord(), 0) << LastError();
    EXPECT_EQ(appending.RecordNo(), 0);
    EXPECT_EQ(appending.WorkRecordNo(), 0);
    EXPECT_EQ(appending.EditState(), esAppend);
    audit::SetRow(Table(), appending.RecordPtr(), {777, u"Tata"});
    ASSERT_EQ(appending.Post(), 0) << LastError();
    EXPECT_EQ(Row(appending).Code, 777);
    EXPECT_EQ(Table().GetRecordCount(), 8);
}

TEST_F(AccessorTest, RangesIncludeEveryDuplicateOfTheirBounds) {
    TTdbAccessor accessor(Table());
    AddCodes(accessor, {3000, 1000, 2000, 2000, 4000, 2000, 1000});
    struct Case {
        std::u16string lower, upper;
        bool reverse;
        std::vector<std::int32_t> codes;
    } cases[] = {
        {u"1000", u"2000", false, {1000, 1000, 2000, 2000, 2000}},
        {u"2000", u"2000", true, {2000, 2000, 2000}},
        {u"1500", u"", false, {2000, 2000, 2000, 3000, 4000}},
        {u"", u"1000", true, {1000, 1000}},
        {u"4500", u"", false, {}},
    };
    for (const Case& c : cases) {
        accessor.SetRange(byCode_, c.lower, c.upper, u';');
        accessor.SetAccess(byCode_, c.reverse);
        accessor.SetRange(byCode_, c.lower, c.upper, u';');
        std::vector<std::int32_t> codes;
        for (std::int32_t recNo : Walk(accessor, false)) {
            ASSERT_EQ(accessor.GotoRecord(recNo), 0);
            codes.push_back(Row(accessor).Code);
        }
        if (c.reverse)
            std::reverse(codes.begin(), codes.end());
        EXPECT_EQ(codes, c.codes) << ToUtf8(c.lower) << ".." << ToUtf8(c.upper);
        EXPECT_EQ(accessor.RecordCount(), static_cast<std::int32_t>(c.codes.size()));
    }
    accessor.SetRange(kTdbAccessRecordNo, u"2", u"4", u';');
    EXPECT_EQ(Walk(accessor, true), (std::vector<std::int32_t>{4, 3, 2}));
    EXPECT_EQ(accessor.RecordCount(), 3);
    EXPECT_THROW(accessor.SetRange(kTdbAccessRecordNo, u"x", u"", u';'), ETdbEngine);
}

TEST_F(AccessorTest, FiltersAndRevalidation) {
    TTdbAccessor accessor(Table());
    AddCodes(accessor, {1, 2, 3, 4, 5, 6});
    accessor.SetFilter(Filter([](std::int32_t) { return false; }, Table()));
    EXPECT_EQ(accessor.First(), kTdbNoRecord);
    EXPECT_EQ(accessor.Last(), kTdbNoRecord);
    EXPECT_EQ(accessor.RecordCount(), 0);

    // Sequence numbers count every record passed, accepted or not.
    accessor.SetFilter(Filter([](std::int32_t code) { return code % 2 == 0; }, Table()));
    ASSERT_EQ(accessor.First(), 0);
    EXPECT_EQ(accessor.RecordNo(), 2);
    EXPECT_EQ(accessor.GetSequenceNo(), 2);
    ASSERT_EQ(accessor.Next(), 0);
    EXPECT_EQ(accessor.GetSequenceNo(), 4);
    EXPECT_EQ(accessor.RecordCount(), 3);

    // The current record stops passing: MoveBy(0) goes on to the next one, or the last.
    int limit = 7;
    accessor.SetFilter(Filter([&limit](std::int32_t code) { return code < limit; }, Table()));
    ASSERT_EQ(accessor.GotoRecord(3), 0);
    limit = 3;
    EXPECT_EQ(accessor.MoveBy(0), 0);
    EXPECT_EQ(accessor.RecordNo(), 2);
    limit = 5;
    ASSERT_EQ(accessor.GotoRecord(5), 0);
    EXPECT_EQ(accessor.MoveBy(0), 0);
    EXPECT_EQ(accessor.RecordNo(), 4) << "nothing after it passes: the last that does";
    limit = 7;
    accessor.SetFilter(Filter([&limit](std::int32_t code) { return code != 3; }, Table()));
    ASSERT_EQ(accessor.GotoRecord(3), 0);
    EXPECT_EQ(accessor.MoveBy(0), 0);
    EXPECT_EQ(accessor.RecordNo(), 4);

    // A failing evaluation: First passes over it, Next stops with its error.
    accessor.SetFilter(std::make_unique<LambdaCondition>([&](std::span<const std::byte> record) {
        if (audit::ReadRow(Table(), record).Code == 2)
            RaiseEngineError(kTdbErrTypeMismatch);
        return tvTrue;
    }));
    ASSERT_EQ(accessor.GotoRecord(1), 0);
    EXPECT_EQ(accessor.Next(), -kTdbErrTypeMismatch);
    accessor.SetAccess(kTdbAccessRecordNo, true);
    ASSERT_EQ(accessor.GotoRecord(3), 0);
    EXPECT_EQ(accessor.Next(), -kTdbErrTypeMismatch);
    accessor.SetFilter(std::make_unique<LambdaCondition>([&](std::span<const std::byte> record) {
        if (audit::ReadRow(Table(), record).Code == 6)
            RaiseEngineError(kTdbErrTypeMismatch);
        return tvTrue;
    }));
    EXPECT_EQ(accessor.First(), 0);
    EXPECT_EQ(accessor.RecordNo(), 5);
}

TEST_F(AccessorTest, GotoRecordZeroAndPostingAfterMovingAway) {
    TTdbAccessor accessor(Table());
    AddCodes(accessor, {1, 2, 3});
    ASSERT_EQ(accessor.GotoRecord(2), 0);
    EXPECT_EQ(accessor.GotoRecord(0), kTdbNoRecord) << "browsing";
    EXPECT_EQ(accessor.GotoRecord(4), kTdbNoRecord);
    EXPECT_EQ(accessor.GotoRecord(-2), kTdbNoRecord);
    ASSERT_EQ(accessor.Edit(), 0) << LastError();
    EXPECT_EQ(accessor.GotoRecord(0), kTdbNoRecord) << "editing a stored record";

    audit::SetRow(Table(), accessor.RecordPtr(), {22, u"Kettő"});
    ASSERT_EQ(accessor.GotoRecord(3), 0);
    EXPECT_EQ(accessor.Post(), kTdbNoRecord);
    EXPECT_EQ(session_->Services().LastError().LastErrorCode(), kTdbErrRecordNotFound);
    EXPECT_EQ(accessor.EditState(), esEdit) << "the edit is kept";
    ASSERT_EQ(accessor.GotoRecord(2), 0);
    EXPECT_EQ(Row(accessor).Code, 22) << "the edited values are still there";
    // Another accessor may not edit the record meanwhile.
    TTdbAccessor other(Table());
    ASSERT_EQ(other.GotoRecord(2), 0);
    EXPECT_EQ(other.Edit(), -kTdbErrRecordBeingEdited);
    ASSERT_EQ(accessor.Post(), 0) << LastError();
    EXPECT_EQ(Row(other).Code, 22);
    EXPECT_EQ(other.Edit(), 0) << "the record lock was given back";
    EXPECT_EQ(other.Cancel(), 0);

    ASSERT_EQ(accessor.Append(), 0);
    ASSERT_EQ(accessor.GotoRecord(1), 0);
    EXPECT_EQ(accessor.GotoRecord(0), 0) << "appending";
    EXPECT_EQ(accessor.RecordNo(), 0);
    EXPECT_EQ(accessor.GetSequenceNo(), -2);
    EXPECT_EQ(accessor.Cancel(), 0);
}

TEST_F(AccessorTest, CancellingAnAppendGivesTheRecordIdBack) {
    TTdbAccessor accessor(Table());
    AddCodes(accessor, {1});
    ASSERT_EQ(accessor.GotoRecord(1), 0);
    ASSERT_EQ(accessor.Append(), 0);
    const std::int32_t reserved = accessor.GetRecordId();
    EXPECT_EQ(reserved, 2);
    EXPECT_EQ(accessor.Cancel(), 0);
    EXPECT_EQ(accessor.RecordNo(), 1) << "back where the append started";
    EXPECT_EQ(accessor.EditState(), esBrowse);
    ASSERT_EQ(accessor.Append(), 0);
    EXPECT_EQ(accessor.GetRecordId(), reserved);
    audit::SetRow(Table(), accessor.RecordPtr(), {7, u"Hét"});
    ASSERT_EQ(accessor.Post(), 0);
    EXPECT_EQ(accessor.GetRecordId(), reserved);
    EXPECT_EQ(Table().GetRecordCount(), 2);

    // A duplicate takes the values and a record id of its own.
    ASSERT_EQ(accessor.AppendDuplicate(), 0);
    ASSERT_EQ(accessor.Post(), 0);
    EXPECT_EQ(Row(accessor), (audit::TRow{7, u"Hét"}));
    EXPECT_EQ(accessor.GetRecordId(), reserved + 1);

    Table().SetRights(0x0002);
    EXPECT_EQ(accessor.Append(), -34);
    EXPECT_EQ(accessor.EditState(), esBrowse);
    Table().SetRights(0x0001);
    EXPECT_EQ(accessor.Edit(), -kTdbErrNoWriteRight);
}

// A filter in the condition language picks the index and range that serve it: its records come
// in that index's order, as a scan and as a bookmark list.
TEST_F(AccessorTest, AStaticFilterScansTheIndexRangeThatServesIt) {
    TTdbAccessor writer(Table());
    AddCodes(writer, {5000, 2500, 3900, 1200, 2000, 4000, 4100, 3000, 2500, 7000});
    std::unique_ptr<TTdbCondition> condition = session_->Services().CreateCondition(
        u"Code BETWEEN 2000 AND 4000", tesTableSQL, Table().GetLevel());
    TTdbAccessor accessor(Table());
    accessor.SetBestAccess(*condition);
    EXPECT_EQ(accessor.AccessType(), tatIndex);
    EXPECT_EQ(accessor.CurrentIndexNo(), byCode_);
    EXPECT_TRUE(accessor.HasRange());
    // Code order, duplicates by record number: 2000, 2500, 2500, 3000, 3900, 4000.
    const std::vector<std::int32_t> expected{5, 2, 9, 8, 3, 6};
    EXPECT_EQ(Walk(accessor, false), expected) << "the range alone";
    accessor.SetFilter(condition->Clone());
    EXPECT_EQ(Walk(accessor, false), expected) << "with the filter";

    TTdbBookmarkList list;
    TTdbAccessor scanner(Table());
    scanner.AppendBookmarks(*condition, nullptr, list);
    std::vector<std::int32_t> listed;
    for (std::int32_t at = list.FindFirst(); at >= 0; at = list.FindNext(at))
        listed.push_back(list.Item(at));
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(scanner.AccessType(), tatRecordNo);

    // A condition no index serves keeps the order and leaves the scan to the filter.
    std::unique_ptr<TTdbCondition> unserved = session_->Services().CreateCondition(
        u"Code + 0 = 2500", tesTableSQL, Table().GetLevel());
    TTdbAccessor plain(Table());
    plain.SetBestAccess(*unserved);
    EXPECT_EQ(plain.AccessType(), tatRecordNo);
    plain.SetFilter(std::move(unserved));
    EXPECT_EQ(Walk(plain, false), (std::vector<std::int32_t>{2, 9}));
}

TEST_F(AccessorTest, AnEditThatLeavesTheFilterMovesOn) {
    TTdbAccessor accessor(Table());
    AddCodes(accessor, {100, 200, 300, 400});
    accessor.SetAccess(byCode_, false);
    accessor.SetFilter(Filter([](std::int32_t code) { return code < 1000; }, Table()));
    ASSERT_EQ(accessor.First(), 0);
    ASSERT_EQ(accessor.Next(), 0);
    ASSERT_EQ(accessor.Edit(), 0);
    audit::SetRow(Table(), accessor.RecordPtr(), {5000, Row(accessor).Name});
    ASSERT_EQ(accessor.Post(), 0) << LastError();
    EXPECT_FALSE(accessor.IsValidRecord());
    EXPECT_EQ(accessor.MoveBy(0), 0);
    EXPECT_EQ(Row(accessor).Code, 300);
    EXPECT_EQ(Walk(accessor, false).size(), 3u);
}

TEST_F(AccessorTest, SequenceNumbersAndOrderChanges) {
    TTdbAccessor accessor(Table());
    AddCodes(accessor, {50, 40, 30, 20, 10});
    for (bool reverse : {false, true}) {
        accessor.SetAccess(byCode_, reverse);
        for (std::int32_t seq = 1; seq <= 5; ++seq) {
            const std::int32_t recNo = accessor.GotoSequenceNo(seq);
            ASSERT_GT(recNo, 0) << seq;
            EXPECT_EQ(Row(accessor).Code, reverse ? 60 - 10 * seq : 10 * seq);
            accessor.GotoRecord(recNo);  // forgets the number
            accessor.GotoRecord(-1);
            accessor.GotoRecord(recNo);
            EXPECT_EQ(accessor.GetSequenceNo(), seq) << "reverse " << reverse;
        }
    }
    accessor.SetAccess(kTdbAccessRecordNo, false);
    EXPECT_EQ(accessor.GotoSequenceNo(4), 4);
    EXPECT_EQ(accessor.GotoSequenceNo(6), kTdbNoRecord);

    TTdbBookmarkList list;
    for (std::int32_t recNo : {4, 2, 5})
        list.Append(recNo);
    accessor.SetBookmarks(list);
    accessor.SetAccess(kTdbAccessBookmarks, false);
    EXPECT_EQ(accessor.RecordNo(), 4) << "the current record is listed";
    EXPECT_EQ(accessor.GetSequenceNo(), 1);
    EXPECT_EQ(Walk(accessor, true), (std::vector<std::int32_t>{5, 2, 4}));
    EXPECT_EQ(accessor.GotoSequenceNo(2), 2);
    EXPECT_THROW(accessor.SetAccess(TTdbSortNo{40}, false), ETdbEngine);
    EXPECT_THROW(accessor.SetAccess(TTdbSortNo{77}, false), ETdbEngine);
    EXPECT_EQ(accessor.LocateRecord(40, u"x", u';'), -kTdbErrIndexCorrupt);

    // Push and Pop bring back order and position; the index cannot go while it is used.
    accessor.SetAccess(byName_, true);
    ASSERT_EQ(accessor.GotoRecord(3), 0);
    accessor.Push();
    accessor.SetAccess(kTdbAccessRecordNo, false);
    ASSERT_EQ(accessor.First(), 0);
    accessor.Pop();
    EXPECT_EQ(accessor.AccessType(), tatIndex);
    EXPECT_EQ(accessor.RecordNo(), 3);
    EXPECT_FALSE(accessor.CanRemoveIndex(byName_));
    EXPECT_TRUE(accessor.CanRemoveIndex(byCode_));

    TTdbAccessor copy(Table());
    copy.TakeOver(accessor, tomCopy);
    EXPECT_EQ(copy.RecordNo(), 3);
    EXPECT_EQ(copy.AccessType(), tatIndex);
    EXPECT_TRUE(copy.Reverse());
    EXPECT_EQ(Walk(copy, false), Walk(accessor, false));
}

TEST_F(AccessorTest, SearchesAndCommonRecords) {
    TTdbAccessor accessor(Table());
    AddCodes(accessor, {300, 100, 200, 200, 400});
    EXPECT_EQ(accessor.LocateRecord(byCode_, u"200", u';'), 1);
    EXPECT_EQ(Row(accessor).Code, 200);
    EXPECT_EQ(accessor.RecordNo(), 3) << "the first of the duplicates";
    EXPECT_EQ(accessor.LocateRecord(byCode_, u"250", u';'), 0);
    EXPECT_EQ(accessor.RecordNo(), 3);

    TTdbIndexFile& index = *Table().GetIndexFile(byCode_);
    std::vector<std::byte> key(static_cast<std::size_t>(index.IndSize()));
    std::vector<std::byte> record(static_cast<std::size_t>(Table().GetRecordSize()));
    const auto search = [&](std::int32_t code, bool exact) {
        Table().InitRecord(record, false);
        audit::SetRow(Table(), record, {code, u""});
        Table().Keys().CalcIndexInfo(index.IndexDef(), record, 0, key);
        const std::int32_t recNo = accessor.LocateRecord2(byCode_, key, 1, exact);
        return std::pair{recNo, exact};
    };
    EXPECT_EQ(search(250, false), (std::pair{1, false})) << "the nearest after it";
    EXPECT_EQ(search(200, false), (std::pair{3, true}));
    EXPECT_EQ(search(250, true), (std::pair{0, true}));
    EXPECT_EQ(accessor.RecordNo(), 3) << "a failed search keeps the position";
    EXPECT_EQ(search(500, false).first, 0);
    accessor.SetFilter(Filter([](std::int32_t code) { return code != 200; }, Table()));
    EXPECT_EQ(search(150, false), (std::pair{1, false})) << "filtered records are passed";

    TTdbAccessor other(Table());
    other.SetAccess(byCode_, true);
    accessor.SetFilter(Filter([](std::int32_t code) { return code < 250; }, Table()));
    ASSERT_EQ(accessor.GotoRecord(5), 0);
    EXPECT_TRUE(accessor.FindFirstCommonRecord(other, false));
    EXPECT_EQ(accessor.RecordNo(), 5) << "stays without Move";
    EXPECT_TRUE(accessor.FindFirstCommonRecord(other, true));
    EXPECT_EQ(Row(accessor).Code, 200);
    accessor.SetFilter(Filter([](std::int32_t) { return false; }, Table()));
    EXPECT_FALSE(accessor.FindFirstCommonRecord(other, true));

    LambdaCondition big([&](std::span<const std::byte> r) {
        return audit::ReadRow(Table(), r).Code >= 300 ? tvTrue : tvFalse;
    });
    TTdbBookmarkList list;
    accessor.SetFilter(nullptr);
    accessor.AppendBookmarks(big, nullptr, list);
    EXPECT_EQ(list.Count(), 2);
    list.Append(2);
    accessor.RemoveBookmarks(big, list);
    EXPECT_EQ(list.Count(), 1);
    list.Append(1);
    accessor.IntersectBookmarks(big, list);
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Item(list.FindFirst()), 1);
}

std::string LastErrorOf(TTdbAccessor& accessor) {
    return ToUtf8(accessor.Services().LastError().LastErrorMsg());
}

// Appends through the edit flow; the new record number.
std::int32_t AddRow(TTdbAccessor& accessor, const audit::TRow& row) {
    EXPECT_EQ(accessor.Append(), 0) << LastErrorOf(accessor);
    audit::SetRow(accessor.Relation(), accessor.RecordPtr(), row);
    EXPECT_EQ(accessor.Post(), 0) << LastErrorOf(accessor);
    return accessor.RecordNo();
}

std::vector<std::int32_t> WalkOf(TTdbAccessor& accessor, bool backwards) {
    std::vector<std::int32_t> seen;
    for (std::int16_t r = backwards ? accessor.Last() : accessor.First(); r == 0;
         r = backwards ? accessor.Prior() : accessor.Next())
        seen.push_back(accessor.RecordNo());
    return seen;
}

// What writes the table in a random walk: an accessor's edit flow, or another process.
struct TWalkWriter {
    std::function<std::int32_t(std::uint32_t n)> Append;  // RowFor(N); the new record number
    std::function<bool(std::int32_t recNo, std::uint32_t n)> Edit;
    std::function<bool(std::int32_t recNo)> Delete;
};

TWalkWriter AccessorWriter(TTdbAccessor& writer) {
    return {[&writer](std::uint32_t n) { return AddRow(writer, audit::RowFor(n)); },
            [&writer](std::int32_t recNo, std::uint32_t n) {
                if (writer.GotoRecord(recNo) != 0 || writer.Edit() != 0)
                    return false;
                audit::SetRow(writer.Relation(), writer.RecordPtr(), audit::RowFor(n));
                return writer.Post() == 0;
            },
            [&writer](std::int32_t recNo) {
                return writer.GotoRecord(recNo) == 0 && writer.DeleteRecord() == 0;
            }};
}

// Random appends, edits and deletes through Writer, with every order walked through Reader
// against a model of the table after each step. The writer may be another session or process.
void RandomWalk(const TWalkWriter& writer, TTdbAccessor& reader, int steps) {
    auto& table = dynamic_cast<TTdbBaseTable&>(reader.Relation());
    const TTdbIndexNo byName = table.FindIndexByName(u"ByName");
    const TTdbIndexNo byCode = table.FindIndexByName(u"ByCode");
    std::mt19937 random(20240611);
    const auto draw = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    std::vector<audit::TRow> model;  // by record number
    std::uint32_t next = 0;
    for (int i = 0; i < 100; ++i) {
        model.push_back(audit::RowFor(++next));
        ASSERT_EQ(writer.Append(next), static_cast<std::int32_t>(model.size()));
    }
    for (int step = 0; step < steps; ++step) {
        const int choice = draw(0, 9);
        const auto count = static_cast<std::int32_t>(model.size());
        if (choice < 2 || count < 5) {
            model.push_back(audit::RowFor(++next));
            ASSERT_EQ(writer.Append(next), count + 1) << "step " << step;
        } else if (choice < 4) {
            const std::int32_t recNo = draw(1, count);
            model[static_cast<std::size_t>(recNo - 1)] = audit::RowFor(++next);
            ASSERT_TRUE(writer.Edit(recNo, next)) << "step " << step;
        } else if (choice < 6) {
            const std::int32_t recNo = draw(1, count);
            ASSERT_TRUE(writer.Delete(recNo)) << "step " << step;
            model[static_cast<std::size_t>(recNo - 1)] = model.back();
            model.pop_back();
        }

        // The order to walk, with a range and a filter drawn at random.
        const int order = draw(0, 2);
        const bool reverse = draw(0, 1) == 1;
        const bool filtered = draw(0, 1) == 1;
        const std::int32_t low = 1000 + draw(0, 40) * 100;
        const std::int32_t high = low + draw(0, 20) * 100;
        const bool ranged = order != 1 && draw(0, 2) == 0;
        const auto accept = [](const audit::TRow& row) { return row.Code % 300 != 0; };
        std::vector<std::int32_t> expected;
        if (order == 1) {
            for (std::int32_t recNo : audit::IndexOrder(table, byName))
                expected.push_back(recNo);
        } else {
            for (std::int32_t recNo = 1; recNo <= static_cast<std::int32_t>(model.size()); ++recNo)
                expected.push_back(recNo);
            if (order == 2)
                std::stable_sort(expected.begin(), expected.end(), [&](auto a, auto b) {
                    return model[static_cast<std::size_t>(a - 1)].Code <
                           model[static_cast<std::size_t>(b - 1)].Code;
                });
        }
        std::erase_if(expected, [&](std::int32_t recNo) {
            const audit::TRow& row = model[static_cast<std::size_t>(recNo - 1)];
            if (filtered && !accept(row))
                return true;
            if (!ranged)
                return false;
            const std::int32_t key = order == 2 ? row.Code : recNo;
            const std::int32_t from = order == 2 ? low : (low - 1000) / 100 + 1;
            const std::int32_t to = order == 2 ? high : (high - 1000) / 100 + 1;
            return key < from || key > to;
        });
        if (reverse)
            std::reverse(expected.begin(), expected.end());

        const TTdbSortNo accessId = order == 0   ? kTdbAccessRecordNo
                                    : order == 1 ? byName
                                                 : byCode;
        reader.SetAccess(accessId, reverse);
        if (ranged) {
            const auto text = [](std::int32_t v) {
                const std::string s = std::to_string(v);
                return std::u16string(s.begin(), s.end());
            };
            if (order == 2)
                reader.SetRange(accessId, text(low), text(high), u';');
            else
                reader.SetRange(accessId, text((low - 1000) / 100 + 1),
                                text((high - 1000) / 100 + 1), u';');
        }
        reader.SetFilter(filtered
                             ? AccessorTest::Filter([](std::int32_t code) { return code % 300 != 0; },
                                                    table)
                             : nullptr);
        const std::string what = "step " + std::to_string(step) + " order " +
                                 std::to_string(order) + (reverse ? " reversed" : "") +
                                 (filtered ? " filtered" : "") + (ranged ? " ranged" : "");
        ASSERT_EQ(WalkOf(reader, false), expected) << what;
        std::vector<std::int32_t> backwards = WalkOf(reader, true);
        std::reverse(backwards.begin(), backwards.end());
        ASSERT_EQ(backwards, expected) << what;
        ASSERT_EQ(reader.RecordCount(), static_cast<std::int32_t>(expected.size())) << what;

        // Going to a record: valid exactly when the model shows it.
        const std::int32_t target = draw(1, static_cast<std::int32_t>(model.size()));
        ASSERT_EQ(reader.GotoRecord(target), 0);
        const bool visible = std::find(expected.begin(), expected.end(), target) != expected.end();
        ASSERT_EQ(reader.IsValidRecord(), visible) << what << " record " << target;
        if (visible && order != 1) {
            const auto at = std::find(expected.begin(), expected.end(), target);
            ASSERT_EQ(reader.Next(), at + 1 == expected.end() ? kTdbNoRecord : 0) << what;
            if (at + 1 != expected.end()) {
                ASSERT_EQ(reader.RecordNo(), *(at + 1)) << what;
            }
        }

        // The nearest and the exact search by code.
        reader.SetFilter(nullptr);
        reader.ClearRange();
        const std::int32_t code = 1000 + draw(0, 40) * 100;
        TTdbIndexFile& index = *table.GetIndexFile(byCode);
        std::vector<std::byte> key(static_cast<std::size_t>(index.IndSize()));
        std::vector<std::byte> record(static_cast<std::size_t>(table.GetRecordSize()));
        table.InitRecord(record, false);
        audit::SetRow(table, record, {code, u""});
        table.Keys().CalcIndexInfo(index.IndexDef(), record, 0, key);
        std::int32_t best = 0;
        for (std::int32_t recNo = 1; recNo <= static_cast<std::int32_t>(model.size()); ++recNo) {
            const std::int32_t c = model[static_cast<std::size_t>(recNo - 1)].Code;
            if (c >= code && (best == 0 || c < model[static_cast<std::size_t>(best - 1)].Code))
                best = recNo;
        }
        bool exact = false;
        ASSERT_EQ(reader.LocateRecord2(byCode, key, 1, exact), best) << what << " code " << code;
        if (best > 0) {
            ASSERT_EQ(exact, model[static_cast<std::size_t>(best - 1)].Code == code);
        }
        exact = true;
        const std::int32_t found = reader.LocateRecord2(byCode, key, 1, exact);
        ASSERT_EQ(found,
                  best > 0 && model[static_cast<std::size_t>(best - 1)].Code == code ? best : 0);
    }
    for (TTdbIndexNo no = 0; no <= table.GetLastIndexNo(); ++no)
        EXPECT_EQ(audit::IndexDisagreement(table, no), "") << no;
}

TEST_F(AccessorTest, RandomWalkAgreesWithModel) {
    TTdbAccessor writer(Table());
    TTdbAccessor reader(Table());
    RandomWalk(AccessorWriter(writer), reader, 300);
}

// Two sessions of one process on one audit table.
class AccessorSessionsTest : public ::testing::Test {
protected:
    AccessorSessionsTest() : shared_(2, audit::AuditTableArgs(u"Audit")) {
        tables_ = {&shared_.Table(0), &shared_.Table(1)};
    }
    std::string LastError(std::size_t i) { return shared_.LastError(i); }

    testing::TSharedSessions shared_;
    std::vector<TTdbBaseTable*> tables_;
};

// The same workload written by one session and checked by another: each step reaches the
// reader through the lock file's change count and the move file.
TEST_F(AccessorSessionsTest, RandomWalkOfAnotherSessionAgreesWithModel) {
    TTdbAccessor writer(*tables_[0]);
    TTdbAccessor reader(*tables_[1]);
    RandomWalk(AccessorWriter(writer), reader, 150);
}

// Another session's delete moves the last record into the deleted slot and an append fills the
// old last slot again, all while this session edits (or is about to delete) the last record.
// The post must land on the record where it went, and the delete must not take the newcomer.
TEST_F(AccessorSessionsTest, AnEditOrDeleteFollowsItsRecordMovedByAnotherSession) {
    TTdbAccessor other(*tables_[0]);
    TTdbAccessor mine(*tables_[1]);
    for (std::uint32_t n = 1; n <= 5; ++n)
        ASSERT_GT(AddRow(other, {static_cast<std::int32_t>(n * 100), audit::SettlementName(n)}), 0);
    const auto moveLastAndRefill = [&](std::int32_t code) {
        ASSERT_EQ(other.GotoRecord(1), 0);
        ASSERT_EQ(other.DeleteRecord(), 0) << LastError(0);
        ASSERT_EQ(AddRow(other, {code, u"Zirc"}), 5);
    };

    ASSERT_EQ(mine.GotoRecord(5), 0);
    const std::int32_t id = mine.GetRecordId();
    ASSERT_EQ(mine.Edit(), 0) << LastError(1);
    moveLastAndRefill(900);
    audit::SetRow(*tables_[1], mine.RecordPtr(), {555, u"Tata"});
    ASSERT_EQ(mine.Post(), 0) << LastError(1);
    EXPECT_EQ(mine.RecordNo(), 1);
    EXPECT_EQ(mine.GetRecordId(), id);
    EXPECT_EQ(audit::ReadRows(*tables_[1]),
              (std::vector<audit::TRow>{{555, u"Tata"},
                                        {200, audit::SettlementName(2)},
                                        {300, audit::SettlementName(3)},
                                        {400, audit::SettlementName(4)},
                                        {900, u"Zirc"}}));

    // The record under the accessor moves: the delete follows it.
    ASSERT_EQ(mine.GotoRecord(5), 0);
    moveLastAndRefill(901);
    ASSERT_EQ(mine.DeleteRecord(), 0) << LastError(1);
    EXPECT_EQ(audit::ReadRows(*tables_[1]),
              (std::vector<audit::TRow>{{901, u"Zirc"},
                                        {200, audit::SettlementName(2)},
                                        {300, audit::SettlementName(3)},
                                        {400, audit::SettlementName(4)}}));
    // The record under the accessor goes: the delete takes nothing else.
    ASSERT_EQ(mine.GotoRecord(2), 0);
    ASSERT_EQ(other.GotoRecord(2), 0);
    ASSERT_EQ(other.DeleteRecord(), 0);
    EXPECT_EQ(mine.DeleteRecord(), -kTdbErrRecordNotFound);
    EXPECT_EQ(tables_[1]->GetRecordCount(), 3);
    for (TTdbIndexNo no = 0; no <= tables_[1]->GetLastIndexNo(); ++no)
        EXPECT_EQ(audit::IndexDisagreement(*tables_[1], no), "") << no;
}

// The same workload written by another process through its own session.
TEST(AccessorProcessTest, RandomWalkOfAnotherProcessAgreesWithModel) {
    testing::TempDir dir;
    testing::TProbeProcess probe(ZENKALO_SHARE_PROBE);
    ASSERT_EQ(probe.Ask("create " + dir.Path().string() + " Audit"), "ok");
    TTdbPageManager pageManager;
    TTdbLocalSession session(&pageManager);
    ASSERT_EQ(session.Initialize(1), 0);
    session.Catalog().SetLocation(dir.Name());
    session.Catalog().SetExclusive(false);
    ASSERT_EQ(session.OpenDb(), 0);
    const int rltnIdx =
        session.Catalog().OpenTable(u"Audit", {}, TTdbCatalog::kAllWriteRights, false, false, false);
    ASSERT_GT(rltnIdx, 0);
    {
        TTdbAccessor reader(*session.Catalog().GetRelation(rltnIdx));
        const TWalkWriter writer{
            [&](std::uint32_t n) {
                const std::string answer = probe.Ask("append " + std::to_string(n));
                return answer.rfind("ok ", 0) == 0 ? std::stoi(answer.substr(3)) : -1;
            },
            [&](std::int32_t recNo, std::uint32_t n) {
                return probe.Ask("replace " + std::to_string(recNo) + " " + std::to_string(n)) ==
                       "ok";
            },
            [&](std::int32_t recNo) { return probe.Ask("delete " + std::to_string(recNo)) == "ok"; }};
        RandomWalk(writer, reader, 100);
    }
    session.Uninitialize();
}

}  // namespace
}  // namespace tdb
