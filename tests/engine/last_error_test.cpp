// Checks the session's last-error record: what it stores, what it logs, and
// that reporting an error never raises a new one.
#include "engine/last_error.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/error_tables.h"

namespace tdb {
namespace {

struct LogLine {
    int level;
    std::u16string subSystem;
    std::u16string text;
    bool operator==(const LogLine&) const = default;
};

class RecordingLog : public TTdbLog {
public:
    void LogMessage(int level, std::u16string_view subSystem,
                    std::u16string_view msgText) override {
        lines.push_back({level, std::u16string(subSystem), std::u16string(msgText)});
    }
    std::vector<LogLine> lines;
};

class ThrowingLog : public TTdbLog {
public:
    void LogMessage(int, std::u16string_view, std::u16string_view) override {
        throw std::runtime_error("disk full");
    }
};

class LastErrorTest : public ::testing::Test {
protected:
    RecordingLog log_;
    TTdbLastError errors_{&log_};
};

TEST_F(LastErrorTest, StoresLogsAndReturnsTheNegatedCode) {
    EXPECT_EQ(errors_.SetLastError(88, {u"Irsz"}), -88);
    EXPECT_EQ(errors_.LastErrorCode(), 88);
    EXPECT_EQ(errors_.LastErrorMsg(), u"Table \"Irsz\" not found");
    EXPECT_EQ(errors_.SetLastErrorMsg(104, u"Table is locked by another session"), -104);
    EXPECT_EQ(errors_.SetLastErrorFormat(7, u"row %d", {3}), -7);
    EXPECT_EQ(errors_.LastErrorMsg(), u"row 3");
    const std::vector<LogLine> expected = {
        {2, u"Error 88", u"Table \"Irsz\" not found"},
        {2, u"Error 104", u"Table is locked by another session"},
        {2, u"Error 7", u"row 3"},
    };
    EXPECT_EQ(log_.lines, expected);
}

TEST_F(LastErrorTest, RecordNotFoundIsStoredButNotLogged) {
    EXPECT_EQ(errors_.SetLastError(kTdbErrRecordNotFound), -19);
    EXPECT_EQ(errors_.LastErrorCode(), 19);
    EXPECT_EQ(errors_.LastErrorMsg(), u"Record not found");
    EXPECT_TRUE(log_.lines.empty());
}

TEST_F(LastErrorTest, NonCriticalErrorKeepsTheErrorAlreadyStored) {
    // Without a stored error the operation must still fail.
    EXPECT_EQ(errors_.SetLastErrorMsg(kTdbErrNonCritical, u"x"), -9999);
    EXPECT_EQ(errors_.LastErrorCode(), 0);

    errors_.SetLastError(1, {u"Irsz.tdbt"});
    log_.lines.clear();
    EXPECT_EQ(errors_.SetLastErrorMsg(kTdbErrNonCritical, u"x"), -1);
    EXPECT_EQ(errors_.SetLastError(kTdbErrNonCritical, {u"x"}), -1);
    EXPECT_EQ(errors_.SetLastErrorFormat(kTdbErrNonCritical, u"%d", {}), -1);
    EXPECT_EQ(errors_.SetLastError(MakeNonCriticalError()), -1);
    EXPECT_EQ(errors_.SetLastCompilerError(
                  ETdbCompilerError(kTdbErrNonCritical, u"", u"U", u"line", 4, 5)),
              -1);
    EXPECT_EQ(errors_.LastErrorCode(), 1);
    EXPECT_EQ(errors_.LastErrorMsg(), u"Cannot open file \"Irsz.tdbt\"");
    EXPECT_TRUE(errors_.LastErrorLine().empty());
    EXPECT_TRUE(log_.lines.empty());
}

TEST_F(LastErrorTest, FormatThatDoesNotFitIsStoredAsInvalidErrorMessage) {
    struct Case {
        const char* name;
        std::int16_t code;
        TdbFormatArgs args;
        std::u16string expected;
    };
    const Case cases[] = {
        {"missing", 1, {}, u"Invalid error message: Cannot open file \"%s\""},
        {"text for %d",
         189,
         {u"a", 1, 2},
         u"Invalid error message: String type has a length of %d, which is outside the "
         u"allowed range of %d to %d"},
        {"integer for %s", 88, {5}, u"Invalid error message: Table \"%s\" not found"},
        {"surplus ignored", 19, {u"x", 1}, u"Record not found"},
        {"three integers",
         189,
         {0, 1, 255},
         u"String type has a length of 0, which is outside the allowed range of 1 to 255"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errors_.SetLastError(c.code, c.args), -c.code) << c.name;
        EXPECT_EQ(errors_.LastErrorMsg(), c.expected) << c.name;
    }
    EXPECT_EQ(errors_.SetLastErrorFormat(44, u"%s and %s", {u"one"}), -44);
    EXPECT_EQ(errors_.LastErrorMsg(), u"Invalid error message: %s and %s");
}

TEST_F(LastErrorTest, CompilerErrorCopiesPositionWithTabsAsBlanks) {
    const ETdbCompilerError e(25, u"Syntax error in expression \"x\"", u"Filter", u"\tTELEP =\t'A",
                              3, 9);
    EXPECT_EQ(errors_.SetLastError(e), -25);  // through the std::exception form
    EXPECT_EQ(errors_.LastErrorCode(), 25);
    EXPECT_EQ(errors_.LastErrorMsg(), u"Syntax error in expression \"x\"");
    EXPECT_EQ(errors_.LastErrorUnitName(), u"Filter");
    EXPECT_EQ(errors_.LastErrorLine(), u" TELEP = 'A");
    EXPECT_EQ(errors_.LastErrorLineNo(), 3);
    EXPECT_EQ(errors_.LastErrorPos(), 9);

    // Positions beyond the record's 16 bits stick to the ends.
    errors_.SetLastCompilerError(ETdbCompilerError(25, u"m", u"U", u"l", 70000, -4));
    EXPECT_EQ(errors_.LastErrorLineNo(), 65535);
    EXPECT_EQ(errors_.LastErrorPos(), 0);
}

TEST_F(LastErrorTest, AnyExceptionBecomesALastError) {
    struct Case {
        const char* name;
        std::exception_ptr exception;
        std::int16_t code;
        std::u16string message;
    };
    const Case cases[] = {
        {"engine", std::make_exception_ptr(ETdbEngine(104, u"locked")), 104, u"locked"},
        {"own root class", std::make_exception_ptr(Exception(u"Gy\u0151r")), kTdbErrException,
         u"Exception: Gy\u0151r"},
        {"standard", std::make_exception_ptr(std::runtime_error("Gy\xC5\x91r")), kTdbErrException,
         u"Exception: Gy\u0151r"},
        {"out of memory", std::make_exception_ptr(std::bad_alloc()), kTdbErrOutOfMemory,
         u"Not enough memory"},
        {"not a std::exception", std::make_exception_ptr(42), kTdbErrUnknown,
         u"Unknown error: exception of unknown type"},
    };
    for (const auto& c : cases) {
        std::int16_t result = 0;
        try {
            std::rethrow_exception(c.exception);
        } catch (...) {
            result = errors_.SetLastErrorFromCurrentException();
        }
        EXPECT_EQ(result, -c.code) << c.name;
        EXPECT_EQ(errors_.LastErrorCode(), c.code) << c.name;
        EXPECT_EQ(errors_.LastErrorMsg(), c.message) << c.name;
    }
    EXPECT_EQ(errors_.SetLastError(std::logic_error("bad")), -kTdbErrException);
    EXPECT_EQ(errors_.LastErrorMsg(), u"Exception: bad");
}

TEST_F(LastErrorTest, CodeWithoutPositiveNumberStillReportsFailure) {
    EXPECT_EQ(errors_.SetLastErrorMsg(-25, u"negated"), -25);
    EXPECT_EQ(errors_.LastErrorCode(), 25);
    EXPECT_EQ(errors_.SetLastErrorMsg(0, u"none"), -kTdbErrUnknown);
    EXPECT_EQ(errors_.LastErrorCode(), kTdbErrUnknown);
    EXPECT_EQ(errors_.LastErrorMsg(), u"none");
}

TEST_F(LastErrorTest, ClearResetsEverythingAndNothingIsLeftToRaise) {
    errors_.SetLastCompilerError(ETdbCompilerError(25, u"m", u"Filter", u"line", 2, 3));
    const auto stored = errors_.CreateLastErrorExc();
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->Code(), 25);
    EXPECT_EQ(stored->Message(), u"m");

    errors_.ClearLastError();
    EXPECT_EQ(errors_.LastErrorCode(), 0);
    EXPECT_TRUE(errors_.LastErrorMsg().empty());
    EXPECT_TRUE(errors_.LastErrorLine().empty());
    EXPECT_TRUE(errors_.LastErrorUnitName().empty());
    EXPECT_EQ(errors_.LastErrorPos(), 0);
    EXPECT_EQ(errors_.LastErrorLineNo(), 0);
    EXPECT_EQ(errors_.CreateLastErrorExc(), nullptr);
}

TEST_F(LastErrorTest, EvaluationPositionReplacesTabs) {
    errors_.SetLastError(44, {u"x"});
    errors_.SetLastErrorPos(u"IRSZ\t> 1000", 6);
    EXPECT_EQ(errors_.LastErrorLine(), u"IRSZ > 1000");
    EXPECT_EQ(errors_.LastErrorPos(), 6);
    EXPECT_EQ(errors_.LastErrorCode(), 44);
}

TEST(LastErrorLogTest, FailingOrMissingLogDoesNotHideTheError) {
    ThrowingLog throwing;
    TTdbLastError withBrokenLog(&throwing);
    EXPECT_EQ(withBrokenLog.SetLastError(88, {u"Irsz"}), -88);
    EXPECT_EQ(withBrokenLog.LastErrorMsg(), u"Table \"Irsz\" not found");

    TTdbLastError withoutLog;
    EXPECT_EQ(withoutLog.SetLastError(1, {u"a"}), -1);
    EXPECT_EQ(withoutLog.LastErrorCode(), 1);
}

}  // namespace
}  // namespace tdb
