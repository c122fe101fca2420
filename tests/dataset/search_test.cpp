// The search window's request end to end: typing the beginning of a settlement name into
// FindNearest on the whole postal list lands where ICU's Hungarian collator, reading the list on
// its own, says: on the first name that begins with the text, although the collation's letters
// («ny», «sz») and accents rank other names between the text and the names that begin with it.
#include <gtest/gtest.h>
#include <unicode/coll.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>
#include <set>

#include "dataset/tdb_database.h"
#include "dataset/tdb_table.h"
#include "postal_table.h"

namespace dataset {
namespace {

using tdb::testing::TempDir;

icu::UnicodeString Icu(const std::u16string& text) {
    return icu::UnicodeString(text.data(), static_cast<int32_t>(text.size()));
}

class SampleSearchTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        rows_ = new std::vector<testing::TPostalRow>(testing::SampleRows());
        ASSERT_EQ(rows_->size(), 3570u);
        testing::MakePostalTable(dir_->Name(), *rows_);
    }
    static void TearDownTestSuite() {
        delete rows_;
        delete dir_;
    }

    void SetUp() override {
        database_ = std::make_unique<TTdbDatabase>(nullptr);
        database_->SetName(u"TdbDatabase1");
        database_->SetLocation(dir_->Name());
        table_ = std::make_unique<TTdbTable>(nullptr);
        table_->SetName(u"Table1");
        table_->SetDatabaseName(u"TdbDatabase1");
        table_->SetTableName(u"Irsz");
        table_->SetIndexName(u"TELEP");
        table_->Open();
    }

    static TempDir* dir_;
    static std::vector<testing::TPostalRow>* rows_;
    std::unique_ptr<TTdbDatabase> database_;
    std::unique_ptr<TTdbTable> table_;
};

TempDir* SampleSearchTest::dir_ = nullptr;
std::vector<testing::TPostalRow>* SampleSearchTest::rows_ = nullptr;

TEST_F(SampleSearchTest, EveryPrefixOfTwoHundredNamesLandsOnTheFirstNameBeginningWithIt) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> order(icu::Collator::createInstance(icu::Locale("hu"), status));
    std::unique_ptr<icu::Collator> letters(order->clone());
    ASSERT_TRUE(U_SUCCESS(status));
    // Beginning with a text ignores case and accents, as the index's collation does.
    letters->setStrength(icu::Collator::PRIMARY);

    std::vector<std::u16string> names;
    for (const auto& row : *rows_)
        names.push_back(row.Telep);
    std::stable_sort(names.begin(), names.end(), [&](const auto& a, const auto& b) {
        UErrorCode s = U_ZERO_ERROR;
        return order->compare(Icu(a), Icu(b), s) == UCOL_LESS;
    });
    std::vector<std::u16string> distinct(names);
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());

    auto begins = [&](const std::u16string& name, const std::u16string& prefix) {
        if (name.size() < prefix.size())
            return false;
        UErrorCode s = U_ZERO_ERROR;
        return letters->compare(Icu(name.substr(0, prefix.size())), Icu(prefix), s) == UCOL_EQUAL;
    };

    const std::size_t step = distinct.size() / 200;
    int searches = 0;
    for (std::size_t i = 0; i < distinct.size() && searches < 5000; i += step) {
        const std::u16string& name = distinct[i];
        for (std::size_t length = 1; length <= name.size(); ++length) {
            const std::u16string prefix = name.substr(0, length);
            const auto expected = std::find_if(names.begin(), names.end(),
                                               [&](const auto& n) { return begins(n, prefix); });
            ASSERT_NE(expected, names.end());
            table_->FindNearest({prefix});
            ++searches;
            EXPECT_EQ(table_->FieldByName(u"TELEP").AsString(), *expected)
                << "typed " << tdb::ToUtf8(prefix) << " of " << tdb::ToUtf8(name);
        }
    }
    EXPECT_GT(searches, 1000);
}

TEST_F(SampleSearchTest, TheSampleOpensInTheCollatorsOrder) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> order(icu::Collator::createInstance(icu::Locale("hu"), status));
    ASSERT_TRUE(U_SUCCESS(status));
    EXPECT_EQ(table_->RecordCount(), 3570);
    std::u16string previous;
    int count = 0;
    for (table_->First(); !table_->Eof(); table_->Next()) {
        const std::u16string name = table_->FieldByName(u"TELEP").AsString();
        if (count++ > 0) {
            UErrorCode s = U_ZERO_ERROR;
            ASSERT_NE(order->compare(Icu(previous), Icu(name), s), UCOL_GREATER)
                << tdb::ToUtf8(previous) << " before " << tdb::ToUtf8(name);
        }
        previous = name;
    }
    EXPECT_EQ(count, 3570);
}

}  // namespace
}  // namespace dataset
