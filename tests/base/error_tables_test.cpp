// Checks the engine message table and the result-code table against the texts
// users and peers see.
#include "base/error_tables.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/text.h"

namespace tdb {
namespace {

TEST(EngineMessageTableTest, FilledSlotsHoldTheirExactTexts) {
    struct Case {
        int code;
        std::u16string_view text;
    };
    const Case cases[] = {
        {1, u"Cannot open file \"%s\""},
        {19, u"Record not found"},
        {20,
         u"Module \"%s\" not found. (If this is a call to ExcecMacro, please replace it with a "
         u"direct call, since ExecMacro is not recommended. Read the online-help on ExecMacro)"},
        {52, u"Unknown error: %s"},
        {54, u"'=' missing"},
        {75, u"Expressions and statements must must not exceed 255 characters"},
        {81, u"Value %s of type %s exceeds the allowed range from %s to %s"},
        {112, u"Memo storage of tables \"%s\" is damaged. Try to repair the table"},
        {120, u"Cannot inititialize ODBC"},
        {123, u"Exception: %s"},
        {127, u"Array to large (up to 16 MB allowed)"},
        {135, u"%s"},
        {150, u"The value list contains more items the the column list"},
        {171, u"The maximimum capacity for \"%s\" is reached"},
        {174,
         u"The identifier \"%s\" is ambigous. Please prefix field names by the table and add a "
         u"dollar sign ($) to differentiate between fields and variables or procedures"},
        {181, u"The record ist not in edit mode (call NewRec or ModfiyRec)"},
        {189, u"String type has a length of %d, which is outside the allowed range of %d to %d"},
        {190, u"Ung\u00FCltige Relationstabelle"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EngineMessageFormat(c.code), c.text) << "slot " << c.code;
    }
}

TEST(EngineMessageTableTest, UnlistedAndOutOfRangeNumbersHaveNoText) {
    for (int code :
         {-1, 0, 15, 17, 21, 24, 27, 39, 40, 62, 63, 96, 100, 131, 148, 163, 191, 9999}) {
        EXPECT_TRUE(EngineMessageFormat(code).empty()) << "slot " << code;
    }
    int filled = 0;
    for (int code = 1; code <= kTdbEngineMessageSlots; ++code) {
        filled += EngineMessageFormat(code).empty() ? 0 : 1;
    }
    // 190 slots, 14 of them without a message.
    EXPECT_EQ(filled, 176);
}

TEST(ResultCodeTableTest, KeepsOrderAndTexts) {
    const auto table = ResultCodeTable();
    ASSERT_EQ(table.size(), 67u);
    EXPECT_EQ(table.front().Code, 1);
    EXPECT_EQ(table.front().Message, u"Unknown error");
    EXPECT_EQ(table[1].Code, 0);
    EXPECT_EQ(table.back().Code, -205);
    EXPECT_EQ(table.back().Message, u"Import failed");

    // A repeated code would hide its later entry from the linear search.
    std::set<int> codes;
    for (const auto& entry : table) {
        EXPECT_TRUE(codes.insert(entry.Code).second) << "code " << entry.Code;
        EXPECT_FALSE(entry.Message.empty()) << "code " << entry.Code;
    }
}

TEST(ResultCodeTableTest, LooksUpMessagesWithUnknownErrorAsFallback) {
    struct Case {
        int code;
        std::u16string_view text;
    };
    const Case cases[] = {
        {1, u"Unknown error"},
        {0, u"No error"},
        {-11, u"The record does not exist"},
        {-12, u"Wrong password"},
        {-44, u"Search-condition is invalid"},
        {-59, u"The SQL command has an error at row %d, column %d"},
        {-100, u"Error in TableDB Engine"},
        {-101, u"The table handle is invalid"},
        {-102,
         u"An error occured in the database engine. Please save your work and re-start the "
         u"application"},
        {-103, u"The passed buffer is too small for the data."},
        {-203, u"Unspecified error"},
        // Not in the table.
        {2, u"Unknown error"},
        {-4, u"Unknown error"},
        {-206, u"Unknown error"},
        {-9999, u"Unknown error"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ResultCodeMessage(c.code), c.text) << "code " << c.code;
    }
}

}  // namespace
}  // namespace tdb
