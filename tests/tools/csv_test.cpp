// Separated values: quoting only where needed, and reading back what was written.
#include "tools/csv.h"

#include <gtest/gtest.h>

namespace tdb::tools {
namespace {

TEST(Csv, FieldsSplitAndJoinWithQuotesOnlyWhereNeeded) {
    struct TCase {
        std::string Line;
        std::vector<std::string> Fields;
    };
    const TCase cases[] = {
        {"2093;Budajenő;26", {"2093", "Budajenő", "26"}},
        {"8127;Aba;", {"8127", "Aba", ""}},
        {"\"a;b\";\"say \"\"hi\"\"\"", {"a;b", "say \"hi\""}},
        {"", {""}},
    };
    std::vector<std::string> fields;
    for (const TCase& c : cases) {
        ASSERT_TRUE(SplitCsvLine(c.Line, ';', fields)) << c.Line;
        EXPECT_EQ(fields, c.Fields) << c.Line;
        EXPECT_EQ(JoinCsvLine(fields, ';'), c.Line);
    }
    EXPECT_FALSE(SplitCsvLine("\"never closed;1", ';', fields));
    EXPECT_EQ(JoinCsvLine({"a,b", "c"}, ','), "\"a,b\",c");
}

}  // namespace
}  // namespace tdb::tools
