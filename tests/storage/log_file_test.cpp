// The log file: the form of its lines in both formats, appending, and rotation through its
// generations.
#include "storage/log_file.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "storage/file_errors.h"
#include "test_support.h"

namespace tdb {
namespace {

using tdb::testing::ReadBytes;
using tdb::testing::TempDir;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(LogFileTest, WritesOneLinePerMessageInEitherFormat) {
    TempDir dir;
    {
        TdwLog log(dir.Name("pm.log"));
        log.LogMessage(1, u"Page Manager", u"Storage \"a\" opened.");
        log.LogMessage(2, u"Page Manager", u"two\nlines");
        log.LogMessage(3, u"Services", u"ő failed");
    }
    {
        TdwLog log(dir.Name("pm.log"));  // appends
        log.LogMessage(0, u"x", u"again");
    }
    const auto lines = Lines(ReadBytes(dir.Path() / "pm.log"));
    ASSERT_EQ(lines.size(), 4u);
    const std::string time = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("Info " + time + R"( Storage "a" opened\.)")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("Warning " + time + " two lines")))
        << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex("Error " + time + " ő failed"))) << lines[2];
    EXPECT_TRUE(std::regex_match(lines[3], std::regex("Info " + time + " again"))) << lines[3];

    TdwLog csv(dir.Name("pm.csv"), TdwLogFormat::Csv);
    csv.LogMessage(2, u"Page Manager", u"plain");
    csv.LogMessage(3, u"Page Manager", u"a;b \"c\"");
    csv.Close();
    const auto rows = Lines(ReadBytes(dir.Path() / "pm.csv"));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(std::regex_match(rows[0], std::regex("Warning;" + time + ";Page Manager;plain")))
        << rows[0];
    EXPECT_TRUE(
        std::regex_match(rows[1], std::regex("Error;" + time + R"(;Page Manager;"a;b ""c""")")))
        << rows[1];
}

TEST(LogFileTest, RotatesThroughItsGenerations) {
    TempDir dir;
    const int64_t maxSize = 200;
    TdwLog log(dir.Name("pm.log"), TdwLogFormat::Text, maxSize, 3);
    EXPECT_EQ(log.GenerationName(2), dir.Name("pm.2.log"));
    for (int i = 0; i < 40; ++i) {
        log.LogMessage(1, u"Page Manager", u"message " + std::u16string(1, u'A' + i % 26));
    }
    log.Close();
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "pm.3.log"));
    std::vector<std::string> all;
    for (const char* name : {"pm.2.log", "pm.1.log", "pm.log"}) {
        const std::string text = ReadBytes(dir.Path() / name);
        EXPECT_LE(static_cast<int64_t>(text.size()), maxSize) << name;
        EXPECT_FALSE(text.empty()) << name;
        for (const auto& line : Lines(text)) {
            all.push_back(line);
        }
    }
    // The kept lines are the newest, in order, the last one in the current file.
    ASSERT_FALSE(all.empty());
    EXPECT_LT(all.size(), 40u);
    for (size_t i = 0; i < all.size(); ++i) {
        const int expected = static_cast<int>(40 - all.size() + i) % 26;
        EXPECT_EQ(all[i].back(), static_cast<char>('A' + expected)) << all[i];
    }
}

TEST(LogFileTest, AFileThatCannotBeMadeIsReportedAndNeverRaisesWhileLogging) {
    TempDir dir;
    TdwLog log(dir.Name("missing/pm.log"));
    EXPECT_THROW(log.Open(), EdwInOutError);
    log.LogMessage(3, u"Page Manager", u"lost");
    EXPECT_FALSE(log.IsOpen());
    EXPECT_NE(log.LastError(), 0);
}

}  // namespace
}  // namespace tdb
