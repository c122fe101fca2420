// The services object: its starting settings, the session log with its generations and line
// layout, the private directory, the choice of file system and the missing-compiler stand-ins.
#include "engine/services.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "platform/directory.h"
#include "platform/text.h"
#include "storage/os_file_system.h"
#include "storage/page_manager.h"
#include "test_support.h"

namespace tdb {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

std::vector<std::string> Lines(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadBytes(path));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class ServicesTest : public ::testing::Test {
protected:
    ServicesTest() {
        services_.FStation = 4711;
        services_.SetPrivateDir(dir_.Name());
    }

    std::filesystem::path Generation(int n) const {
        return dir_.Path() / ("TdbLog4711_0" + std::to_string(n) + ".txt");
    }

    TempDir dir_;
    TTdbPageManager pageManager_;
    TTdbServices services_{3, pageManager_};
};

TEST(ServicesStartTest, StartsWithTheDocumentedSettings) {
    TTdbPageManager pageManager;
    TTdbServices services(5, pageManager);
    EXPECT_EQ(services.FSessionHdl, 5);
    EXPECT_FALSE(services.FCaseSensitive);
    EXPECT_EQ(services.FDecimalChar, u',');
    EXPECT_TRUE(services.FAutoCreateIndexes);
    EXPECT_EQ(services.FIsolationLevel, tilNone);
    EXPECT_TRUE(services.FDoRead);
    EXPECT_EQ(services.FLockingTimeout, 0);
    EXPECT_EQ(services.DefBlobBlockSize, 512);
    EXPECT_EQ(services.DefIndPageSize, 4096);
    EXPECT_EQ(services.LogLevel(), 0);
    EXPECT_EQ(services.LogFileName(), u"");
    EXPECT_EQ(services.DatabaseType(), dbtDbDirectory);
    EXPECT_EQ(services.DataFileSystem(), nullptr);
    EXPECT_EQ(services.LockFileSystem(), nullptr);
    EXPECT_EQ(services.OSFileSystem(), nullptr);
    EXPECT_EQ(services.PrivateDir(), platform::TempDirectory() + u"/");
    EXPECT_EQ(&services.PageManager(), &pageManager);
}

TEST_F(ServicesTest, PrivateDirectoryAlwaysEndsInADelimiter) {
    services_.SetPrivateDir(u"/var/tmp/zk");
    EXPECT_EQ(services_.PrivateDir(), u"/var/tmp/zk/");
    services_.SetPrivateDir(u"/var/tmp/zk/");
    EXPECT_EQ(services_.PrivateDir(), u"/var/tmp/zk/");
    services_.SetPrivateDir(u"");
    EXPECT_EQ(services_.PrivateDir(), platform::TempDirectory() + u"/");
}

TEST_F(ServicesTest, OpeningTheLogMovesEveryGenerationUpAndDropsTheOldest) {
    for (int n = 1; n <= 5; ++n) {
        WriteBytes(Generation(n), "generation " + std::to_string(n) + "\n");
    }
    services_.SetLogLevel(1);
    EXPECT_EQ(services_.LogFileName(), FromUtf8(Generation(1).string()));
    for (int n = 2; n <= 5; ++n) {
        EXPECT_EQ(ReadBytes(Generation(n)), "generation " + std::to_string(n - 1) + "\n");
    }
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "TdbLog4711_06.txt"));
    const auto lines = Lines(Generation(1));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("TableDB log file opened"), std::string::npos);

    // Raising the level of an open log keeps its file.
    services_.SetLogLevel(3);
    EXPECT_EQ(ReadBytes(Generation(2)), "generation 1\n");
    EXPECT_EQ(Lines(Generation(1)).size(), 1u);
}

TEST_F(ServicesTest, OpeningTheLogWithGapsInTheGenerationsLosesNothing) {
    WriteBytes(Generation(2), "two\n");
    WriteBytes(Generation(4), "four\n");
    services_.SetLogLevel(1);
    EXPECT_FALSE(std::filesystem::exists(Generation(2)));
    EXPECT_EQ(ReadBytes(Generation(3)), "two\n");
    EXPECT_EQ(ReadBytes(Generation(5)), "four\n");
}

TEST_F(ServicesTest, LinesCarryTimeLevelAndSubsystemInFixedColumns) {
    services_.SetLogLevel(2);
    services_.LogMessage(2, u"Catalog", u"table opened\r\nsecond line");
    services_.LogMessage(3, u"Catalog", u"too detailed for level 2");
    services_.LogMessage(1, u"ALongerSubsystemNameThan20", u"kept whole");
    services_.SetLogLevel(0);
    services_.LogMessage(1, u"Catalog", u"after closing");

    const auto lines = Lines(Generation(1));
    ASSERT_EQ(lines.size(), 4u);
    const std::string time = R"( \d\d \d\d:\d\d:\d\d)";
    const std::regex expected[] = {
        std::regex(time + R"( 1            Services TableDB log file opened)"),
        std::regex(time + R"( 2             Catalog table opened  second line)"),
        std::regex(time + R"( 1ALongerSubsystemNameThan20 kept whole)"),
        std::regex(time + R"( 1            Services TableDB log file closed)"),
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], expected[i])) << lines[i];
    }
    EXPECT_EQ(services_.LogFileName(), u"");
}

TEST_F(ServicesTest, LevelsOutsideTheRangeAreClamped) {
    services_.SetLogLevel(9);
    EXPECT_EQ(services_.LogLevel(), 4);
    services_.LogMessage(4, u"Index", u"detail");
    services_.SetLogLevel(-3);
    EXPECT_EQ(services_.LogLevel(), 0);
    EXPECT_EQ(Lines(Generation(1)).size(), 3u);
}

TEST_F(ServicesTest, StoredErrorsAreLoggedThroughTheSessionLog) {
    services_.SetLogLevel(2);
    EXPECT_EQ(services_.SetLastError(kTdbErrFileNotFound, {u"/data/Irsz.tdbt"}), -37);
    EXPECT_EQ(services_.LastError().LastErrorMsg(),
              u"File not found or access denied: \"/data/Irsz.tdbt\"");
    const auto lines = Lines(Generation(1));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find(" 2            Error 37 File not found or access denied: "
                            "\"/data/Irsz.tdbt\""),
              std::string::npos)
        << lines[1];
}

TEST_F(ServicesTest, EveryFormOfLastErrorAnswersTheNegatedCode) {
    EXPECT_EQ(services_.SetLastError(kTdbErrFileInUse), -130);
    EXPECT_EQ(services_.LastError().LastErrorMsg(), u"The file is in use by another user");
    EXPECT_EQ(services_.SetLastError(ETdbEngine(kTdbErrNotSupported, u"not here")), -187);
    EXPECT_EQ(services_.LastError().LastErrorMsg(), u"not here");
    // An exception that says the error is recorded already keeps the stored one.
    EXPECT_EQ(services_.SetLastError(MakeNonCriticalError()), -187);
    EXPECT_EQ(services_.LastError().LastErrorMsg(), u"not here");
    try {
        throw std::runtime_error("disk gone");
    } catch (...) {
        EXPECT_EQ(services_.SetLastErrorFromCurrentException(), -123);
    }
    const auto again = services_.LastError().CreateLastErrorExc();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->Code(), 123);
    services_.ClearLastError();
    EXPECT_EQ(services_.LastError().LastErrorCode(), 0);
    EXPECT_EQ(services_.LastError().CreateLastErrorExc(), nullptr);
}

TEST_F(ServicesTest, ALogThatCannotBeCreatedIsErrorThreeWithTheFileName) {
    services_.SetPrivateDir(dir_.Name("missing"));
    try {
        services_.SetLogLevel(1);
        FAIL() << "no error raised";
    } catch (const ETdbEngine& e) {
        EXPECT_EQ(e.Code(), kTdbErrWriteFile);
        EXPECT_EQ(e.Message(), u"Error while writing to file \"" + dir_.Name("missing") +
                                   u"/TdbLog4711_01.txt\"");
    }
    EXPECT_EQ(services_.LogLevel(), 0);
    EXPECT_EQ(services_.LogFileName(), u"");
}

TEST_F(ServicesTest, AnEmptyDirectoryMeansTheDataFileSystem) {
    TdwOSFileSystem data;
    TdwOSFileSystem os;
    services_.SetDataFileSystem(&data);
    services_.SetOSFileSystem(&os);
    EXPECT_EQ(services_.DetermineFileSystem(u""), &data);
    EXPECT_EQ(services_.DetermineFileSystem(u"/"), &data);
    EXPECT_EQ(services_.DetermineFileSystem(u"\\"), &data);
    EXPECT_EQ(services_.DetermineFileSystem(u"/data/"), &os);
    EXPECT_EQ(services_.DetermineFileSystem(u"/data"), &os);
}

class CountingFactory : public TTdbExpressionFactory {
public:
    std::unique_ptr<TTdbCalculation> CreateCalculation(std::u16string_view, TTdbExpressionSyntax,
                                                       std::int16_t) override {
        ++calls;
        return nullptr;
    }
    std::unique_ptr<TTdbCondition> CreateCondition(std::u16string_view, TTdbExpressionSyntax,
                                                   std::int16_t) override {
        ++calls;
        return nullptr;
    }
    int calls = 0;
};

void ExpectNotSupported(const std::function<void()>& action) {
    try {
        action();
        ADD_FAILURE() << "no error raised";
    } catch (const ETdbEngine& e) {
        EXPECT_EQ(e.Code(), kTdbErrNotSupported);
        EXPECT_EQ(e.Message(), u"This feature is not supported: expressions");
    }
}

TEST_F(ServicesTest, WithoutACompilerExpressionsKeepTheirSourceAndRefuseToRun) {
    auto condition = services_.CreateCondition(u"TELEP = 'Győr'", tesTableSQL, 6);
    ASSERT_NE(condition, nullptr);
    EXPECT_EQ(condition->GetSource(), u"TELEP = 'Győr'");
    EXPECT_EQ(condition->GetKind(), tesTableSQL);
    const auto copy = condition->Clone();
    EXPECT_EQ(copy->GetSource(), u"TELEP = 'Győr'");
    std::vector<std::byte> lower;
    std::vector<std::byte> upper;
    EXPECT_LT(condition->FindBestIndexAndBounds(1, lower, upper), 0);
    TTdbRltnIdxSet used;
    ExpectNotSupported([&] { condition->Prepare(used, 1, 0); });
    ExpectNotSupported([&] { condition->Evaluate(used); });
    ExpectNotSupported([&] { condition->Evaluate(1, {}); });
    condition->Unprepare();

    auto calculation = services_.CreateCalculation(u"IRSZ + 1", tesTablePL, 4);
    ASSERT_NE(calculation, nullptr);
    EXPECT_EQ(calculation->GetKind(), tesTablePL);
    EXPECT_TRUE(calculation->IsSame(*calculation->Clone()));
    EXPECT_FALSE(calculation->IsSame(*services_.CreateCalculation(u"IRSZ + 2", tesTablePL, 4)));
    EXPECT_FALSE(calculation->IsSame(*services_.CreateCalculation(u"IRSZ + 1", tesTableSQL, 4)));
    ExpectNotSupported([&] { calculation->Prepare(1, 0); });

    CountingFactory factory;
    services_.SetExpressionFactory(&factory);
    services_.CreateCondition(u"x", tesTableSQL, 6);
    services_.CreateCalculation(u"x", tesTableSQL, 6);
    EXPECT_EQ(factory.calls, 2);
}

}  // namespace
}  // namespace tdb
