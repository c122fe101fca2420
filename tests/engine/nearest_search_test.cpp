// The nearest search the search window runs on every key stroke: typing the beginning of a name
// lands on the first name that begins with it, also where a locale collation ranks another name
// between the typed text and that one, and otherwise on the next greater key.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "../index/allocation_counter.h"
#include "../types/settlement_names.h"
#include "engine/accessor.h"
#include "faulty_database.h"
#include "table_audit.h"

namespace tdb {
namespace {

// Accepts the records whose Name is not the rejected one.
class RejectName : public TTdbCondition {
public:
    RejectName(TTdbRelation& table, std::u16string name)
        : TTdbCondition(u"reject"), table_(table), name_(std::move(name)) {}
    using TTdbCondition::Evaluate;
    TTdbExpressionSyntax GetKind() const override { return tesTablePL; }
    std::unique_ptr<TTdbCondition> Clone() const override {
        return std::make_unique<RejectName>(table_, name_);
    }
    void Prepare(const TTdbRltnIdxSet&, TTdbRltnIdx, std::uint32_t) override {}
    void Unprepare() override {}
    TTdbTruthValue Evaluate(TTdbRltnIdxSet&) override { return tvUnknown; }
    TTdbTruthValue Evaluate(TTdbRltnIdx, std::span<const std::byte> record) override {
        return audit::ReadRow(table_, record).Name == name_ ? tvFalse : tvTrue;
    }
    int FindBestIndexAndBounds(TTdbRltnIdx, std::vector<std::byte>&,
                               std::vector<std::byte>&) override {
        return -1;
    }

private:
    TTdbRelation& table_;
    std::u16string name_;
};

struct TPlace {
    std::int32_t Code;
    std::u16string Name;
    std::u16string Word;
};

// A table of settlements: Code, Name under the Hungarian collation, the same name as an ANSI
// String, and Word under the built-in collation.
class NearestSearchTest : public testing::FaultyDatabaseTest {
protected:
    void Open(TTdbCreateTableArgs args) {
        ASSERT_EQ(Catalog().CreateTable(args), 0) << LastError();
        const int rltnIdx = Catalog().OpenTable(args.StoragePath, {}, TTdbCatalog::kAllWriteRights,
                                                false, false, false);
        ASSERT_GT(rltnIdx, 0) << LastError();
        table_ = &dynamic_cast<TTdbBaseTable&>(*Catalog().GetRelation(rltnIdx));
        accessor_ = std::make_unique<TTdbAccessor>(*table_);
    }

    static TTdbCreateTableArgs SettlementArgs(bool varSize) {
        TTdbCreateTableArgs args;
        args.StoragePath = u"Places";
        args.Capacity = 100;
        args.ColumnDefs.Add(TTdbColumnDef::CreateColumnDef(
            u"Code", TTdbDataType::GetDataType(ctInteger, false), 0));
        args.ColumnDefs.Add(TTdbColumnDef::CreateStringColumnDef(
            u"Name", TTdbDataType::GetStringType(ctWideString, true, 30, u"Hungarian"), 0,
            u"Hungarian"));
        args.ColumnDefs.Add(TTdbColumnDef::CreateStringColumnDef(
            u"AnsiName", TTdbDataType::GetStringType(ctString, true, 30, u"Hungarian"), 0,
            u"Hungarian"));
        args.ColumnDefs.Add(TTdbColumnDef::CreateStringColumnDef(
            u"Word", TTdbDataType::GetStringType(ctWideString, true, 30, u""), 0, u""));
        for (const auto& [index, text] : {std::pair{u"ByName", u"Name"},
                                          {u"ByAnsiName", u"AnsiName"},
                                          {u"ByWord", u"Word"},
                                          {u"ByCodeName", u"Code, Name"},
                                          {u"ByNameCode", u"Name, Code"}}) {
            auto def = std::make_unique<TTdbSortDef>(
                ParseIndexSpecification(index, text, args.ColumnDefs, 6, false));
            def->IsVarSize = varSize;
            def->UpdateSize(6);
            args.IndexDefs.Add(std::move(def));
        }
        return args;
    }

    void SetText(std::span<std::byte> record, std::u16string_view column,
                 std::u16string_view text) {
        const int no = table_->FindColumn(column, false);
        if (no < 1)
            return;  // a table without that column
        const TTdbColumnDef& def = *table_->ColumnDefs().GetColumnDef(no - 1);
        TTdbDataValue value;
        def.DataType->SetReference(value, record.data() + def.Position);
        def.DataType->SetWideString(value, text);
    }
    std::u16string Text(std::span<const std::byte> record, std::u16string_view column) {
        const TTdbColumnDef& def =
            *table_->ColumnDefs().GetColumnDef(table_->FindColumn(column, false) - 1);
        TTdbDataValue value;
        def.DataType->SetReference(value, const_cast<std::byte*>(record.data()) + def.Position);
        return def.DataType->GetWideString(value);
    }
    void Add(const TPlace& place) {
        ASSERT_EQ(accessor_->Append(), 0) << LastError();
        std::span<std::byte> record = accessor_->RecordPtr();
        audit::SetRow(*table_, record, {place.Code, place.Name});
        SetText(record, u"AnsiName", place.Name);
        SetText(record, u"Word", place.Word);
        ASSERT_EQ(accessor_->Post(), 0) << LastError();
    }

    // The nearest search as the cursor asks it: the first Given components of a record that
    // holds Code and Text in every text column. Exact asks for an exact search, and a nearest
    // one answers through it whether the landing equals the search key.
    std::int32_t Nearest(std::u16string_view index, int given, std::int32_t code,
                         std::u16string_view text, bool& exact) {
        const TTdbIndexNo indexNo = table_->FindIndexByName(index);
        const TTdbIndexFile& file = *table_->GetIndexFile(indexNo);
        std::vector<std::byte> record(static_cast<std::size_t>(table_->GetRecordSize()));
        table_->InitRecord(record, false);
        audit::SetRow(*table_, record, {code, std::u16string(text)});
        SetText(record, u"AnsiName", text);
        SetText(record, u"Word", text);
        key_.assign(static_cast<std::size_t>(file.IndSize()), std::byte{0});
        table_->Keys().CompleteIndexInfo(file.IndexDef(), given, false, record, 1, key_);
        return accessor_->LocateRecord2(indexNo, key_, given, exact);
    }
    std::u16string CurrentText(std::u16string_view column) {
        return Text(accessor_->RecordPtr(), column);
    }
    std::int32_t CurrentCode() { return audit::ReadRow(*table_, accessor_->RecordPtr()).Code; }

    TTdbBaseTable* table_ = nullptr;
    std::unique_ptr<TTdbAccessor> accessor_;
    std::vector<std::byte> key_;
};

const std::vector<TPlace> kPlaces = {
    {1000, u"Bonyhád", u"Ewa"},     {1000, u"Bonnya", u"Éva"},          {2000, u"Bonnya", u"Eva"},
    {3000, u"Borsodnádasd", u"Fa"}, {4000, u"Bodrogkeresztúr", u"Abc"}, {5000, u"Őcsény", u"Ózd"},
    {6000, u"Öcs", u"Zala"},        {7000, u"Zsámbék", u"Zsámbék"},     {8000, u"Bonyhád", u"Kő"},
};

class NearestSearchCases : public NearestSearchTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        Open(SettlementArgs(GetParam()));
        for (const TPlace& place : kPlaces)
            Add(place);
    }
};

TEST_P(NearestSearchCases, LandsOnTheFirstEntryThatBeginsWithTheText) {
    struct TCase {
        const char16_t* Index;
        int Given;
        std::int32_t Code;
        const char16_t* Text;
        const char16_t* Column;    // the column the landing is told by
        const char16_t* Landing;   // nullptr: nothing found
        std::int32_t LandingCode;  // 0: any
        bool Exact;
    };
    const std::vector<TCase> cases = {
        // «Bonyhád» ranks between «Bonn» and «Bonnya» ("nny" is "ny"+"ny").
        {u"ByName", 1, 0, u"Bonn", u"Name", u"Bonnya", 1000, false},
        {u"ByName", 1, 0, u"bonn", u"Name", u"Bonnya", 1000, false},
        {u"ByAnsiName", 1, 0, u"Bonn", u"AnsiName", u"Bonnya", 1000, false},
        {u"ByName", 1, 0, u"Bonny", u"Name", u"Bonnya", 1000, false},
        {u"ByName", 1, 0, u"Bony", u"Name", u"Bonyhád", 0, false},
        {u"ByName", 1, 0, u"Bonnya", u"Name", u"Bonnya", 1000, true},
        // No name begins with it: the next greater key.
        {u"ByName", 1, 0, u"Boo", u"Name", u"Borsodnádasd", 0, false},
        {u"ByName", 1, 0, u"", u"Name", u"Bodrogkeresztúr", 0, false},
        {u"ByName", 1, 0, u"Zsz", u"Name", nullptr, 0, false},
        // «Öcs» sorts below «Őcs» only by its accent, and matching ignores accents.
        {u"ByName", 1, 0, u"Őcs", u"Name", u"Öcs", 0, false},
        {u"ByName", 1, 0, u"Őcsé", u"Name", u"Őcsény", 0, false},
        // The built-in collation ranks «Eva» and «Éva» below «Évá» by their accents, and «Ewa»
        // after all three.
        {u"ByWord", 1, 0, u"Évá", u"Word", u"Eva", 0, false},
        {u"ByWord", 1, 0, u"Ew", u"Word", u"Ewa", 0, false},
        // The text is the last given component: only its own group counts.
        {u"ByCodeName", 2, 2000, u"Bonn", u"Name", u"Bonnya", 2000, false},
        {u"ByCodeName", 2, 1000, u"Bonn", u"Name", u"Bonnya", 1000, false},
        {u"ByCodeName", 2, 3000, u"Bonn", u"Name", u"Borsodnádasd", 3000, false},
        {u"ByCodeName", 1, 1000, u"", u"Name", u"Bonyhád", 1000, true},
        // The text is not the last given component: the first key at or after it, as ever.
        {u"ByNameCode", 2, 0, u"Bonn", u"Name", u"Bonyhád", 1000, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(ToUtf8(std::u16string(c.Index) + u" «" + c.Text + u"» " +
                            std::u16string(1, static_cast<char16_t>(u'0' + c.Given))));
        ASSERT_EQ(accessor_->GotoRecord(8), 0);
        bool exact = false;
        const std::int32_t found = Nearest(c.Index, c.Given, c.Code, c.Text, exact);
        if (c.Landing == nullptr) {
            EXPECT_EQ(found, 0);
            EXPECT_EQ(accessor_->RecordNo(), 8) << "a search that finds nothing stays";
            continue;
        }
        ASSERT_GT(found, 0);
        EXPECT_EQ(accessor_->RecordNo(), found);
        EXPECT_EQ(ToUtf8(CurrentText(c.Column)), ToUtf8(c.Landing));
        if (c.LandingCode != 0) {
            EXPECT_EQ(CurrentCode(), c.LandingCode);
        }
        EXPECT_EQ(exact, c.Exact);
    }
}

// A completion that breaks the text's own digraph sorts far below it: «ÁcSSZ» is c, sz, sz while
// «Ácss» is cs, s, so every «Ács…» lies between the text's lower bound and its key. Only the
// names that begin with the text count, wherever they lie: by such a completion, or by an
// accent under its very letters.
TEST_P(NearestSearchCases, NamesBelowTheTextByABrokenDigraphOrAnAccentAreFound) {
    struct TStep {
        std::int32_t Code;  // 0: no name added before the search
        const char16_t* Added;
        const char16_t* Text;
        const char16_t* Landing;
    };
    const std::vector<TStep> steps = {
        {100, u"Ácsbáfalu", u"Ácss", nullptr},
        {200, u"Ácsszent", u"Ácss", u"Ácsszent"},
        {300, u"Ácsmező", u"Ácss", u"Ácsszent"},
        {400, u"Acsb", u"Ácsb", u"Acsb"},
        {500, u"Acss", u"Ácss", u"Acss"},
        // Sorted by the broken digraph, yet its letters cut as «ÁcSS» are c, s, s: no match.
        {600, u"ÁcSSZa", u"Ácss", u"Acss"},
        {0, nullptr, u"Ácsm", u"Ácsmező"},
        {0, nullptr, u"ácsSZ", u"Ácsszent"},
    };
    for (const TStep& step : steps) {
        if (step.Added != nullptr)
            Add({step.Code, step.Added, step.Added});
        SCOPED_TRACE(ToUtf8(std::u16string(u"«") + step.Text + u"»"));
        bool exact = false;
        const std::int32_t found = Nearest(u"ByName", 1, 0, step.Text, exact);
        ASSERT_GT(found, 0);
        if (step.Landing != nullptr)
            EXPECT_EQ(ToUtf8(CurrentText(u"Name")), ToUtf8(step.Landing));
        else
            EXPECT_EQ(ToUtf8(CurrentText(u"Name")), ToUtf8(u"Bodrogkeresztúr"))
                << "no name begins with it: the next greater key";
    }
}

TEST_P(NearestSearchCases, RejectedRecordsAreSkippedAndExactSearchesStayAsTheyWere) {
    bool exact = true;
    EXPECT_EQ(Nearest(u"ByName", 1, 0, u"Bonn", exact), 0) << "no entry equals the text";
    exact = false;
    accessor_->SetFilter(std::make_unique<RejectName>(*table_, u"Bonnya"));
    ASSERT_GT(Nearest(u"ByName", 1, 0, u"Bonn", exact), 0);
    EXPECT_EQ(ToUtf8(CurrentText(u"Name")), "Bonyhád")
        << "nothing accepted begins with it: the next greater key that is";
    accessor_->SetFilter(std::make_unique<RejectName>(*table_, u"Öcs"));
    ASSERT_GT(Nearest(u"ByName", 1, 0, u"Őcs", exact), 0);
    EXPECT_EQ(ToUtf8(CurrentText(u"Name")), "Őcsény");
    accessor_->SetFilter(std::make_unique<RejectName>(*table_, u"Bonyhád"));
    ASSERT_GT(Nearest(u"ByCodeName", 2, 1000, u"Bonn", exact), 0);
    EXPECT_EQ(ToUtf8(CurrentText(u"Name")), "Bonnya");
    EXPECT_EQ(CurrentCode(), 1000);
}

// A search per key stroke: once the accessor's buffers have grown, neither the plain landing
// nor the walk of a prefix range allocates.
TEST_P(NearestSearchCases, SearchesAllocateNothingOnceWarm) {
    if (!testing::CanCountAllocations())
        GTEST_SKIP() << "allocations are counted only under the address sanitizer";
    const TTdbIndexNo byName = table_->FindIndexByName(u"ByName");
    const TTdbIndexFile& file = *table_->GetIndexFile(byName);
    std::vector<std::vector<std::byte>> keys;
    for (const char16_t* text : {u"Bonn", u"Őcs", u"Boo", u"Zsz", u"Bonnya", u"B"}) {
        std::vector<std::byte> record(static_cast<std::size_t>(table_->GetRecordSize()));
        table_->InitRecord(record, false);
        audit::SetRow(*table_, record, {0, text});
        keys.emplace_back(static_cast<std::size_t>(file.IndSize()));
        table_->Keys().CompleteIndexInfo(file.IndexDef(), 1, false, record, 1, keys.back());
    }
    std::int32_t landings = 0;
    const auto searchAll = [&] {
        for (const auto& key : keys) {
            bool exact = false;
            landings += accessor_->LocateRecord2(byName, key, 1, exact) > 0 ? 1 : 0;
        }
    };
    searchAll();
    EXPECT_EQ(testing::AllocationsIn(searchAll), 0);
    EXPECT_EQ(landings, 10);
}

INSTANTIATE_TEST_SUITE_P(NearestSearch, NearestSearchCases, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Variable" : "Fixed"; });

// Every prefix of every settlement name of the postal-code list: the landing is the first name
// in index order that begins with it, and where none does, the first name at or after it.
TEST_F(NearestSearchTest, EveryPrefixOfEverySettlementNameLandsOnTheFirstNameBeginningWithIt) {
    Open(audit::AuditTableArgs(u"Audit"));
    const std::vector<std::u16string> names = test_data::SettlementNames();
    ASSERT_GT(names.size(), 3000u);
    std::vector<audit::TRow> rows;
    for (const std::u16string& name : names) {
        // Matching counts letters; the truth below counts code units.
        for (const char16_t c : name)
            ASSERT_TRUE(c < 0x300 || c > 0x36F) << "a combining mark in " << ToUtf8(name);
        rows.push_back({static_cast<std::int32_t>(rows.size()), name});
    }
    ASSERT_EQ(audit::AppendRows(*table_, rows), "");
    ASSERT_EQ(table_->Flush(false), 0) << LastError();

    const TTdbIndexNo byName = table_->FindIndexByName(u"ByName");
    accessor_->SetAccess(byName, false);
    std::vector<std::u16string> ordered;
    for (std::int16_t r = accessor_->First(); r == 0; r = accessor_->Next())
        ordered.push_back(audit::ReadRow(*table_, accessor_->RecordPtr()).Name);
    ASSERT_EQ(ordered.size(), names.size());

    const TTdbColumnDef& column =
        *table_->ColumnDefs().GetColumnDef(table_->FindColumn(u"Name", false) - 1);
    const auto& type = static_cast<const TTdbStringType&>(*column.DataType);
    const TTdbCollation& collation = type.GetCollation();
    const TStrCmpOptions options = type.GetStrCmpOptions();
    // A name begins with a text when as many of its first letters equal the text, case and
    // accents ignored: the first position of each such class of beginnings.
    using TBeginning = std::pair<std::size_t, std::u16string>;
    const auto beginningLess = [&](const TBeginning& a, const TBeginning& b) {
        if (a.first != b.first)
            return a.first < b.first;
        return collation.Compare(a.second, b.second, options & scoCaseSensitive) < 0;
    };
    std::map<TBeginning, std::size_t, decltype(beginningLess)> firstBeginning(beginningLess);
    std::set<std::u16string> prefixes;
    for (std::size_t at = 0; at < ordered.size(); ++at) {
        for (std::size_t length = 1; length <= ordered[at].size(); ++length) {
            std::u16string prefix = ordered[at].substr(0, length);
            firstBeginning.emplace(TBeginning{length, prefix}, at);
            prefixes.insert(std::move(prefix));
        }
    }

    int failures = 0;
    for (const std::u16string& prefix : prefixes) {
        std::optional<std::size_t> expected;
        if (const auto found = firstBeginning.find(TBeginning{prefix.size(), prefix});
            found != firstBeginning.end()) {
            expected = found->second;
            ASSERT_TRUE(
                collation.Matches(ordered[found->second], prefix + u"%", u'%', u'_', 0, options))
                << ToUtf8(prefix);
        } else {
            const auto next = std::partition_point(
                ordered.begin(), ordered.end(), [&](const std::u16string& name) {
                    return collation.Compare(name, prefix, options) < 0;
                });
            if (next != ordered.end())
                expected = static_cast<std::size_t>(next - ordered.begin());
        }
        bool exact = false;
        const std::int32_t recNo = Nearest(u"ByName", 1, 0, prefix, exact);
        const std::u16string landing =
            recNo > 0 ? audit::ReadRow(*table_, accessor_->RecordPtr()).Name : u"(none)";
        const std::u16string wanted = expected ? ordered[*expected] : u"(none)";
        const bool exactRight =
            recNo <= 0 || exact == (collation.Compare(landing, prefix, options) == 0);
        if ((landing != wanted || !exactRight) && ++failures <= 20) {
            ADD_FAILURE() << "«" << ToUtf8(prefix) << "» lands on «" << ToUtf8(landing)
                          << "», not «" << ToUtf8(wanted) << "»" << (exactRight ? "" : " (exact)");
        }
    }
    EXPECT_EQ(failures, 0) << "of " << prefixes.size() << " prefixes";
}

}  // namespace
}  // namespace tdb
