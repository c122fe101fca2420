// The table dataset over real tables: opening, the buffer window a grid sees, index selection
// and key search, the engine filter, editing, and what another cursor's changes do to it.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dataset/tdb_database.h"
#include "dataset/tdb_table.h"
#include "messages.h"
#include "postal_table.h"

namespace dataset {
namespace {

using tdb::testing::TempDir;
using testing::MakePostalTable;
using testing::TPostalRow;

std::string U8(const std::u16string& text) {
    return tdb::ToUtf8(text);
}

// A grid's view: the TELEP values of the rows its window holds.
class TRowsLink : public TDataLink {
public:
    std::vector<std::u16string> Rows() {
        std::vector<std::u16string> rows;
        const std::int32_t active = ActiveRecord();
        for (std::int32_t i = 0; i < RecordCount(); ++i) {
            SetActiveRecord(i);
            rows.push_back(DataSet()->FieldByName(u"TELEP").AsString());
        }
        SetActiveRecord(active);
        return rows;
    }
    int changes = 0;

protected:
    void DataSetChanged() override { ++changes; }
};

// Counts how often the engine filter is installed.
class TCountingTable : public TTdbTable {
public:
    using TTdbTable::TTdbTable;
    int installs = 0;

protected:
    void InstallFilter(const std::u16string& text, const std::u16string& words,
                       std::uint8_t options) override {
        ++installs;
        TTdbTable::InstallFilter(text, words, options);
    }
};

const std::vector<TPostalRow> kSmall = {
    {u"7150", u"Bonyhád", u"74"},   {u"8096", u"Bonnya", u"84"},
    {u"2093", u"Budajenő", u"26"},  {u"1007", u"Budapest", u"1"},
    {u"2040", u"Budaörs", u"23"},   {u"2011", u"Budakalász", u"26"},
    {u"6000", u"Kecskemét", u"76"}, {u"4024", u"Debrecen", u"52"},
    {u"9021", u"Győr", u"96"},      {u"7621", u"Pécs", u"72"},
    {u"6720", u"Szeged", u"62"},    {u"8000", u"Székesfehérvár", u"22"},
};

// kSmall in name order under the Hungarian collation, where "ny" is one letter after "n".
const std::vector<std::u16string> kSmallByName = {
    u"Bonyhád",  u"Bonnya", u"Budajenő",  u"Budakalász", u"Budaörs", u"Budapest",
    u"Debrecen", u"Győr",   u"Kecskemét", u"Pécs",       u"Szeged",  u"Székesfehérvár",
};

class TableTest : public ::testing::Test {
protected:
    void Make(const std::vector<TPostalRow>& rows, bool required = false) {
        MakePostalTable(dir_.Name(), rows, required);
    }

    TTdbTable& Open(std::unique_ptr<TTdbTable> made = nullptr) {
        database_ = std::make_unique<TTdbDatabase>(nullptr);
        database_->SetName(u"TdbDatabase1");
        database_->SetLocation(dir_.Name());
        table_ = made ? std::move(made) : std::make_unique<TTdbTable>(nullptr);
        table_->SetName(u"Table1");
        table_->SetDatabaseName(u"TdbDatabase1");
        table_->SetTableName(u"Irsz");
        table_->SetIndexName(u"TELEP");
        table_->Open();
        return *table_;
    }

    std::u16string Telep() { return table_->FieldByName(u"TELEP").AsString(); }

    // Another dataset on Irsz through the database of that name, in index order when one is
    // named.
    static std::unique_ptr<TTdbTable> Another(const std::u16string& database,
                                              const std::u16string& index = {}) {
        auto other = std::make_unique<TTdbTable>(nullptr);
        other->SetName(u"Table2");
        other->SetDatabaseName(database);
        other->SetTableName(u"Irsz");
        other->SetIndexName(index);
        other->Open();
        return other;
    }

    TempDir dir_;
    std::unique_ptr<TTdbDatabase> database_;
    std::unique_ptr<TTdbTable> table_;
};

TEST_F(TableTest, OpensWithTheColumnsIndexesAndVersion) {
    Make(kSmall);
    TTdbTable& table = Open();
    ASSERT_TRUE(table.Active());
    EXPECT_TRUE(database_->Connected());
    ASSERT_EQ(table.FieldCount(), 3);
    EXPECT_EQ(table.Fields(0).FieldName(), u"IRSZ");
    EXPECT_EQ(table.Fields(1).FieldName(), u"TELEP");
    EXPECT_EQ(table.Fields(1).DataType(), TFieldType::ftWideString);
    EXPECT_EQ(table.Fields(1).Size(), 38);
    EXPECT_EQ(table.Fields(2).Size(), 2);
    ASSERT_EQ(table.IndexDefs().size(), 2u);
    EXPECT_EQ(table.IndexDefs()[0].Name, u"TELEP");
    EXPECT_EQ(table.IndexDefs()[0].Fields, u"TELEP");
    EXPECT_EQ(table.IndexDefs()[1].Fields, u"IRSZ");
    EXPECT_EQ(table.Version(), u"6.1.8/8.1.2");
    EXPECT_EQ(table.RecordCount(), 12);
    EXPECT_TRUE(table.CanModify());
    EXPECT_EQ(table.Collation(), u"Hungarian");
    EXPECT_EQ(Telep(), u"Bonyhád");
    EXPECT_TRUE(table.Bof());
    table.Close();
    EXPECT_EQ(database_->DataSetCount(), 0);
}

TEST_F(TableTest, FirstOnAnEmptyTableIsBothBeginningAndEnd) {
    Make({});
    TTdbTable& table = Open();
    table.First();
    EXPECT_TRUE(table.Bof());
    EXPECT_TRUE(table.Eof());
    EXPECT_TRUE(table.IsEmpty());
    EXPECT_EQ(table.RecordCount(), 0);
    EXPECT_TRUE(table.FieldByName(u"TELEP").IsNull());
    table.Last();
    EXPECT_TRUE(table.Bof() && table.Eof());
}

TEST_F(TableTest, AGridWindowFollowsNavigation) {
    Make(kSmall);
    TTdbTable& table = Open();
    TDataSource source;
    source.SetDataSet(&table);
    TRowsLink grid;
    grid.SetDataSource(&source);
    grid.SetBufferCount(5);
    auto names = [](int from, int count) {
        return std::vector<std::u16string>(kSmallByName.begin() + from,
                                           kSmallByName.begin() + from + count);
    };
    EXPECT_EQ(grid.Rows(), names(0, 5));
    EXPECT_EQ(grid.ActiveRecord(), 0);

    // Walking down past the window's end scrolls it.
    for (int i = 1; i < 7; ++i) {
        table.Next();
        EXPECT_EQ(Telep(), kSmallByName[i]);
        EXPECT_EQ(table.RecNo(), i + 1);
    }
    EXPECT_EQ(grid.Rows(), names(2, 5));
    EXPECT_EQ(grid.ActiveRecord(), 4);

    table.Last();
    EXPECT_TRUE(table.Eof());
    EXPECT_EQ(Telep(), u"Székesfehérvár");
    EXPECT_EQ(grid.Rows(), names(7, 5));
    table.Next();
    EXPECT_TRUE(table.Eof());
    EXPECT_EQ(Telep(), u"Székesfehérvár");

    EXPECT_EQ(table.MoveBy(-8), -8);
    EXPECT_EQ(Telep(), u"Budakalász");
    EXPECT_EQ(table.MoveBy(-10), -3);
    EXPECT_TRUE(table.Bof());
    EXPECT_EQ(Telep(), u"Bonyhád");
    EXPECT_EQ(table.RecNo(), 1);
    EXPECT_EQ(grid.Rows()[0], u"Bonyhád");

    table.SetRecNo(10);
    EXPECT_EQ(Telep(), u"Pécs");
    grid.SetBufferCount(2);
    EXPECT_EQ(grid.RecordCount(), 2);
    EXPECT_EQ(Telep(), u"Pécs");
}

TEST_F(TableTest, FindNearestLandsOnTheFirstNameBeginningWithTheText) {
    Make(kSmall);
    TTdbTable& table = Open();
    const struct {
        std::u16string text;
        std::u16string landing;
    } cases[] = {
        {u"", u"Bonyhád"},      {u"Buda", u"Budajenő"}, {u"Budap", u"Budapest"},
        {u"budaö", u"Budaörs"}, {u"Bonn", u"Bonnya"},   {u"Bony", u"Bonyhád"},
        {u"Ce", u"Debrecen"},   {u"Sz", u"Szeged"},     {u"Zz", u"Székesfehérvár"},
        {u"Győ", u"Győr"},
    };
    for (const auto& c : cases) {
        table.FindNearest({c.text});
        EXPECT_EQ(Telep(), c.landing) << "typed " << U8(c.text);
    }
    // Beyond every key the last record shows.
    table.FindNearest({std::u16string(u"Zzz")});
    EXPECT_TRUE(table.Eof());
}

TEST_F(TableTest, ChangingTheIndexKeepsTheRecordAndTheSameNameDoesNothing) {
    Make(kSmall);
    TTdbTable& table = Open();
    table.FindNearest({std::u16string(u"Kecs")});
    ASSERT_EQ(Telep(), u"Kecskemét");
    int scrolls = 0;
    table.AfterScroll = [&](TDataSet&) { ++scrolls; };
    table.SetIndexName(u"TELEP");
    EXPECT_EQ(scrolls, 0);
    table.SetIndexName(u"IRSZ");
    EXPECT_EQ(Telep(), u"Kecskemét");
    table.Next();
    EXPECT_EQ(table.FieldByName(u"IRSZ").AsString(), u"6720");
    table.SetIndexFieldNames(u"TELK");
    EXPECT_EQ(table.IndexName(), u"");
    EXPECT_EQ(Telep(), u"Szeged");
    table.SetIndexName(u"TELEP.tdbi");
    EXPECT_EQ(Telep(), u"Szeged");
    EXPECT_EQ(MessageOf([&] { table.SetIndexName(u"NINCS"); }), u"The index NINCS does not exist");
    EXPECT_EQ(table.IndexName(), u"TELEP.tdbi");
}

TEST_F(TableTest, FindKeyFindsEqualKeysOnlyAndAMissKeepsThePosition) {
    Make(kSmall);
    TTdbTable& table = Open();
    table.FindNearest({std::u16string(u"Győ")});
    EXPECT_FALSE(table.FindKey({std::u16string(u"Budakeszi")}));
    EXPECT_EQ(Telep(), u"Győr");
    EXPECT_FALSE(table.FindKey({std::u16string(u"Buda")}));
    EXPECT_EQ(Telep(), u"Győr");
    EXPECT_TRUE(table.FindKey({std::u16string(u"Budapest")}));
    EXPECT_EQ(table.FieldByName(u"IRSZ").AsString(), u"1007");
    EXPECT_EQ(MessageOf([&] {
                  table.FindKey({std::u16string(u"a"), std::u16string(u"b")});
              }),
              u"Active index has only 1 fields");
    table.SetIndexName(u"");
    EXPECT_EQ(MessageOf([&] { table.FindKey({std::u16string(u"Budapest")}); }),
              u"GotoKey needs an active index");
}

TEST_F(TableTest, SetKeyAndRangesUseTheKeyBuffers) {
    Make(kSmall);
    TTdbTable& table = Open();
    table.SetKey();
    EXPECT_EQ(table.State(), TDataSetState::dsSetKey);
    table.FieldByName(u"TELEP").SetAsString(u"Deb");
    EXPECT_EQ(table.FieldByName(u"TELEP").AsString(), u"Deb");
    table.GotoNearest();
    EXPECT_EQ(table.State(), TDataSetState::dsBrowse);
    EXPECT_EQ(Telep(), u"Debrecen");

    table.SetRange({std::u16string(u"Buda")}, {std::u16string(u"Budapest")});
    EXPECT_EQ(table.RecordCount(), 4);
    EXPECT_EQ(Telep(), u"Budajenő");
    table.Last();
    EXPECT_EQ(Telep(), u"Budapest");
    table.CancelRange();
    EXPECT_EQ(Telep(), u"Budapest");
    EXPECT_EQ(table.RecordCount(), 12);
}

TEST_F(TableTest, FilterTextsAreCompiledWhenSwitchedOn) {
    Make(kSmall);
    auto counting = std::make_unique<TCountingTable>(nullptr);
    TCountingTable& counted = *counting;
    TTdbTable& table = Open(std::move(counting));
    table.FindNearest({std::u16string(u"Pécs")});

    table.SetFilter(u"TELEP = 'Buda*'");
    EXPECT_EQ(Telep(), u"Pécs") << "a text alone changes nothing";
    table.SetFiltered(true);
    EXPECT_EQ(counted.installs, 1);
    EXPECT_EQ(table.RecordCount(), 4);
    EXPECT_EQ(Telep(), u"Budajenő");
    table.Next();
    table.SetFilter(u"TELEP = 'Buda*'");
    EXPECT_EQ(counted.installs, 1) << "the same text is not installed again";
    table.SetFiltered(false);
    EXPECT_EQ(table.RecordCount(), 12);
    EXPECT_EQ(Telep(), u"Bonyhád");
    table.SetFiltered(true);
    EXPECT_EQ(counted.installs, 1) << "switching on again reuses the installed condition";
    EXPECT_EQ(table.RecordCount(), 4);

    table.SetFiltered(false);
    table.SetFilter(u"TELEP = ");
    try {
        table.SetFiltered(true);
        FAIL() << "a text that does not compile was taken";
    } catch (const ETableDBError& e) {
        EXPECT_EQ(e.TdbError(), -44);
        EXPECT_TRUE(e.Message().starts_with(u"Setting filter: Search-condition is invalid. "))
            << U8(e.Message());
        EXPECT_GT(e.Message().size(), 46u) << "the compiler's message follows";
    }
    EXPECT_FALSE(table.Filtered());
    EXPECT_EQ(table.Filter(), u"TELEP = ");
    EXPECT_EQ(table.RecordCount(), 12);

    table.SetFilter(u"");
    table.SetFiltered(true);
    EXPECT_EQ(table.RecordCount(), 12) << "an empty text shows every record";
}

TEST_F(TableTest, AnEventFilterCountsOnlyTheRecordsItAccepts) {
    Make(kSmall);
    TTdbTable& table = Open();
    table.SetOnFilterRecord([](TDataSet& set, bool& accept) {
        accept = set.FieldByName(u"TELK").AsString().size() == 2 &&
                 set.FieldByName(u"TELK").AsString()[0] == u'2';
    });
    EXPECT_EQ(table.RecordCount(), 12) << "not filtered yet";
    table.SetFiltered(true);
    EXPECT_EQ(table.RecordCount(), 4);
    std::vector<std::u16string> seen;
    for (table.First(); !table.Eof(); table.Next())
        seen.push_back(Telep());
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"Budajenő", u"Budakalász", u"Budaörs",
                                                 u"Székesfehérvár"}));
}

TEST_F(TableTest, EditingWritesThroughTheEngine) {
    Make(kSmall);
    TTdbTable& table = Open();
    table.FindNearest({std::u16string(u"Győr")});
    table.Edit();
    EXPECT_EQ(table.State(), TDataSetState::dsEdit);
    table.FieldByName(u"TELK").SetAsString(u"95");
    EXPECT_TRUE(table.Modified());
    table.Post();
    EXPECT_EQ(table.State(), TDataSetState::dsBrowse);
    EXPECT_EQ(table.FieldByName(u"TELK").AsString(), u"95");

    // A new record takes its place in index order; the fields left empty stay empty.
    table.Append();
    EXPECT_EQ(table.State(), TDataSetState::dsInsert);
    table.FieldByName(u"TELEP").SetAsString(u"Eger");
    table.Post();
    EXPECT_EQ(Telep(), u"Eger");
    EXPECT_TRUE(table.FieldByName(u"TELK").IsNull());
    EXPECT_EQ(table.RecordCount(), 13);
    table.Prior();
    EXPECT_EQ(Telep(), u"Debrecen");

    // Cancelling an insert returns to the record that was current.
    table.FindNearest({std::u16string(u"Pécs")});
    table.Insert();
    table.FieldByName(u"TELEP").SetAsString(u"Abony");
    table.Cancel();
    EXPECT_EQ(table.State(), TDataSetState::dsBrowse);
    EXPECT_EQ(Telep(), u"Pécs");
    EXPECT_EQ(table.RecordCount(), 13);

    table.Delete();
    EXPECT_EQ(table.RecordCount(), 12);
    EXPECT_EQ(Telep(), u"Szeged");
    EXPECT_FALSE(table.FindKey({std::u16string(u"Pécs")}));

    // A browse action posts a modified edit first.
    table.Edit();
    table.FieldByName(u"IRSZ").SetAsString(u"6721");
    table.Next();
    EXPECT_EQ(table.State(), TDataSetState::dsBrowse);
    EXPECT_TRUE(table.FindKey({std::u16string(u"Szeged")}));
    EXPECT_EQ(table.FieldByName(u"IRSZ").AsString(), u"6721");
}

TEST_F(TableTest, WritingOutsideEditStateAndRequiredFieldsAreRefused) {
    Make(kSmall, true);
    TTdbTable& table = Open();
    EXPECT_EQ(MessageOf([&] { table.FieldByName(u"TELK").SetAsString(u"11"); }),
              u"Dataset not in edit or insert mode");
    table.FieldByName(u"TELEP").SetDisplayLabel(u"Település");
    table.Append();
    table.FieldByName(u"IRSZ").SetAsString(u"1111");
    EXPECT_EQ(MessageOf([&] { table.Post(); }), u"Field 'Település' must have a value");
    EXPECT_EQ(table.State(), TDataSetState::dsInsert) << "the user can correct the record";
    table.Cancel();
    EXPECT_EQ(table.RecordCount(), 12);
}

TEST_F(TableTest, DeletingTheOnlyRecordLeavesTheDataSetEmptyAtItsEnd) {
    Make({{u"3300", u"Eger", u"36"}});
    TTdbTable& table = Open();
    table.Delete();
    EXPECT_TRUE(table.IsEmpty());
    EXPECT_TRUE(table.Eof());
    EXPECT_EQ(table.RecordCount(), 0);
    EXPECT_EQ(MessageOf([&] { table.Delete(); }),
              u"Cannot perform this operation on an empty dataset");
}

TEST_F(TableTest, ARecordDeletedThroughAnotherCursorCannotBeEdited) {
    Make(kSmall);
    TTdbTable& table = Open();
    const auto another = Another(u"TdbDatabase1", u"TELEP");
    TTdbTable& other = *another;
    table.FindNearest({std::u16string(u"Győr")});
    other.FindNearest({std::u16string(u"Győr")});
    other.Delete();
    EXPECT_EQ(Telep(), u"Győr") << "the buffer keeps what was shown";
    for (auto action : {+[](TTdbTable& t) { t.Edit(); }, +[](TTdbTable& t) { t.Delete(); }}) {
        EXPECT_EQ(MessageOf([&] { action(table); }), u"This record has been deleted");
    }
    table.Refresh();
    EXPECT_NE(Telep(), u"Győr");
    EXPECT_EQ(table.RecordCount(), 11);
}

TEST_F(TableTest, ABufferFollowsItsRecordWhenADeleteMovesIt) {
    Make(kSmall);
    TTdbTable& table = Open();
    TDataSource source;
    source.SetDataSet(&table);
    TRowsLink grid;
    grid.SetDataSource(&source);
    grid.SetBufferCount(12);
    ASSERT_EQ(grid.RecordCount(), 12);

    // Bonyhád is the first record of the file: deleting it moves the last one, Székesfehérvár,
    // into its place while the grid still holds both.
    const auto another = Another(u"TdbDatabase1");
    TTdbTable& other = *another;
    ASSERT_EQ(other.FieldByName(u"TELEP").AsString(), u"Bonyhád");
    other.Delete();

    table.Last();
    ASSERT_EQ(Telep(), u"Székesfehérvár");
    table.Edit();
    table.FieldByName(u"TELK").SetAsString(u"21");
    table.Post();
    other.SetIndexName(u"TELEP");
    ASSERT_TRUE(other.FindKey({std::u16string(u"Székesfehérvár")}));
    EXPECT_EQ(other.FieldByName(u"TELK").AsString(), u"21");
    EXPECT_EQ(other.RecordCount(), 11);
}

TEST_F(TableTest, AConditionIsTestedOnTheCurrentRecord) {
    Make(kSmall);
    TTdbTable& table = Open();
    table.FindNearest({std::u16string(u"Szeged")});
    EXPECT_TRUE(table.IsConditionValid(u"TELK = '62'"));
    EXPECT_FALSE(table.IsConditionValid(u"TELK = '63'"));
    EXPECT_EQ(Telep(), u"Szeged");
    try {
        table.IsConditionValid(u"TELK = ");
        FAIL();
    } catch (const ETableDBError& e) {
        EXPECT_TRUE(e.Message().starts_with(u"Evaluating condition 'TELK = ': "))
            << U8(e.Message());
    }
}

TEST_F(TableTest, AnotherUsersEditLockRefusesTheEdit) {
    Make(kSmall);
    TTdbTable& table = Open();
    TTdbDatabase second(nullptr);
    second.SetName(u"TdbDatabase2");
    second.SetLocation(dir_.Name());
    second.SetLockingTimeout(200);
    const auto another = Another(u"TdbDatabase2");
    TTdbTable& other = *another;
    table.FindNearest({std::u16string(u"Pécs")});
    table.Edit();
    other.SetIndexName(u"TELEP");
    ASSERT_TRUE(other.FindKey({std::u16string(u"Pécs")}));
    try {
        other.Edit();
        FAIL() << "two users edit one record";
    } catch (const ETableDBError& e) {
        EXPECT_TRUE(e.Message().starts_with(u"Entering record: ")) << U8(e.Message());
    }
    EXPECT_EQ(other.State(), TDataSetState::dsBrowse);
    table.Cancel();
    other.Edit();
    EXPECT_EQ(other.State(), TDataSetState::dsEdit);
    other.Cancel();
}

TEST_F(TableTest, AFailedOpenKeepsTheDataSetClosed) {
    Make(kSmall);
    database_ = std::make_unique<TTdbDatabase>(nullptr);
    database_->SetName(u"TdbDatabase1");
    database_->SetLocation(dir_.Name());
    TTdbTable table(nullptr);
    table.SetName(u"Table1");
    table.SetDatabaseName(u"TdbDatabase1");
    table.SetTableName(u"Nincs");
    try {
        table.Open();
        FAIL();
    } catch (const ETableDBError& e) {
        EXPECT_TRUE(e.Message().starts_with(u"Opening table \"Nincs\": ")) << U8(e.Message());
    }
    EXPECT_FALSE(table.Active());
    EXPECT_EQ(database_->DataSetCount(), 0);
    table.SetTableName(u"");
    EXPECT_EQ(MessageOf([&] { table.Open(); }), u"No table name defined for \"Table1\".");
}

// Random navigation and edits through grids of several heights against a model of the name
// order: the current record, the rows a grid shows around it, and the ends. New names sort after
// every settlement ("Zz" and digits), so the model needs no collation of its own.
TEST_F(TableTest, NavigationAndEditsKeepTheWindowAroundTheCurrentRecord) {
    Make(kSmall);
    TTdbTable& table = Open();
    TDataSource source;
    source.SetDataSet(&table);
    TRowsLink grid;
    grid.SetDataSource(&source);
    std::mt19937 random(
        static_cast<unsigned>(tdb::testing::CountFromEnvironment("ZENKALO_DATASET_SEED", 1234)));
    std::vector<std::u16string> model = kSmallByName;
    int pos = 0;
    int made = 0;
    const int steps = tdb::testing::CountFromEnvironment("ZENKALO_DATASET_STEPS", 400);
    for (int step = 0; step < steps; ++step) {
        const int n = static_cast<int>(model.size());
        const int op = static_cast<int>(random() % 10);
        switch (op) {
            case 0:
                table.First();
                pos = 0;
                break;
            case 1:
                table.Last();
                pos = n - 1;
                break;
            case 2: {
                const int by = static_cast<int>(random() % 9) - 4;
                const int target = std::clamp(pos + by, 0, n - 1);
                EXPECT_EQ(table.MoveBy(by), target - pos);
                if (by > 0) {
                    EXPECT_EQ(table.Eof(), pos + by > n - 1);
                }
                if (by < 0) {
                    EXPECT_EQ(table.Bof(), pos + by < 0);
                }
                pos = target;
                break;
            }
            case 3:
                pos = static_cast<int>(random() % n);
                table.SetRecNo(pos + 1);
                break;
            case 4:
                pos = static_cast<int>(random() % n);
                table.FindNearest({model[static_cast<std::size_t>(pos)]});
                break;
            case 5:
                grid.SetBufferCount(1 + static_cast<int>(random() % 7));
                break;
            case 6: {
                const std::u16string name =
                    u"Zz" + tdb::FromUtf8(std::to_string(100 + made++ % 900));
                if (random() % 2 == 0)
                    table.Append();
                else
                    table.Insert();
                table.FieldByName(u"TELEP").SetAsString(name);
                table.Post();
                const auto at = std::find_if(model.begin(), model.end(), [&](const auto& m) {
                    return m.starts_with(u"Zz") && m >= name;
                });
                pos = static_cast<int>(at - model.begin());
                model.insert(at, name);
                break;
            }
            case 7:
                table.Insert();
                table.FieldByName(u"TELEP").SetAsString(u"Abony");
                table.Cancel();
                break;
            case 8:
                if (n > 2) {
                    table.Delete();
                    model.erase(model.begin() + pos);
                    pos = std::min(pos, n - 2);
                }
                break;
            default:
                table.Refresh();
                break;
        }
        ASSERT_EQ(Telep(), model[static_cast<std::size_t>(pos)]) << "step " << step << " op " << op;
        ASSERT_EQ(table.RecNo(), pos + 1) << "step " << step << " op " << op;
        ASSERT_EQ(table.RecordCount(), static_cast<int>(model.size())) << "step " << step;
        const std::vector<std::u16string> rows = grid.Rows();
        const int active = grid.ActiveRecord();
        ASSERT_EQ(static_cast<int>(rows.size()),
                  std::min(grid.BufferCount(), static_cast<int>(model.size())))
            << "step " << step << " op " << op;
        ASSERT_TRUE(active >= 0 && active < static_cast<int>(rows.size())) << "step " << step;
        for (int i = 0; i < static_cast<int>(rows.size()); ++i)
            ASSERT_EQ(rows[static_cast<std::size_t>(i)],
                      model[static_cast<std::size_t>(pos - active + i)])
                << "step " << step << " op " << op << " row " << i;
    }
}

// Without a database component of its name, a dataset takes the name as the database's directory
// and makes one that goes when the dataset closes.
TEST_F(TableTest, ADataSetWithoutADatabaseComponentMakesItsOwn) {
    Make(kSmall);
    TTdbTable table(nullptr);
    table.SetDatabaseName(dir_.Name() + u"/");
    table.SetTableName(u"Irsz");
    table.Open();
    ASSERT_NE(table.Database(), nullptr);
    EXPECT_TRUE(table.Database()->Automatic());
    EXPECT_EQ(table.DatabaseName(), dir_.Name());
    EXPECT_EQ(table.RecordCount(), 12);
    table.Close();
    EXPECT_EQ(TTdbDatabase::FindDatabase(dir_.Name()), nullptr);
}

}  // namespace
}  // namespace dataset
