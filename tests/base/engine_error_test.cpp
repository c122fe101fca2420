// Checks the engine exception classes and the helpers that raise them.
#include "base/engine_error.h"

#include <gtest/gtest.h>

#include <string>

#include "base/error_tables.h"

namespace tdb {
namespace {

// Runs Raise and returns what it threw; fails the test for anything else.
template <typename Raise>
ETdbEngine Caught(Raise raise) {
    try {
        raise();
    } catch (const ETdbEngine& e) {
        return e;
    } catch (...) {
        ADD_FAILURE() << "an exception other than ETdbEngine escaped";
        return ETdbEngine(0, u"");
    }
    ADD_FAILURE() << "nothing was raised";
    return ETdbEngine(0, u"");
}

TEST(EngineErrorTest, RaisesWithTheFormattedMessage) {
    const ETdbEngine e = Caught([] { RaiseEngineError(88, {u"Irsz"}); });
    EXPECT_EQ(e.Code(), 88);
    EXPECT_EQ(e.Message(), u"Table \"Irsz\" not found");
    EXPECT_STREQ(e.what(), "Table \"Irsz\" not found");

    const ETdbEngine german = Caught([] { RaiseEngineError(190); });
    EXPECT_STREQ(german.what(), "Ung\xC3\xBCltige Relationstabelle");
}

TEST(EngineErrorTest, ArgumentsThatDoNotFitLeaveTheBareFormat) {
    struct Case {
        const char* name;
        std::int16_t code;
        TdbFormatArgs args;
        std::u16string expected;
    };
    const Case cases[] = {
        {"missing", 1, {}, u"Cannot open file \"%s\""},
        {"too few",
         81,
         {u"5", u"SmallInt"},
         u"Value %s of type %s exceeds the allowed range from %s to %s"},
        {"text for %d",
         189,
         {u"a", u"b", u"c"},
         u"String type has a length of %d, which is outside the allowed range of %d to %d"},
        {"integer for %s", 88, {5}, u"Table \"%s\" not found"},
        {"surplus ignored", 19, {u"x"}, u"Record not found"},
        {"empty slot", 15, {u"x"}, u""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EngineErrorMessage(c.code, c.args), c.expected) << c.name;
        const ETdbEngine e = Caught([&] { RaiseEngineError(c.code, c.args); });
        EXPECT_EQ(e.Code(), c.code) << c.name;
        EXPECT_EQ(e.Message(), c.expected) << c.name;
    }
}

TEST(EngineErrorTest, NonCriticalErrorHasItsFixedText) {
    const ETdbEngine e = Caught([] { RaiseNonCritical(); });
    EXPECT_EQ(e.Code(), kTdbErrNonCritical);
    EXPECT_NE(e.Message().find(u"on-critical internal exception"), std::u16string::npos);
    EXPECT_EQ(EngineErrorMessage(kTdbErrNonCritical, {u"ignored"}), e.Message());
}

TEST(EngineErrorTest, CompilerErrorCarriesItsPosition) {
    try {
        RaiseCompilerError(25, {u"TELEP = "}, u"Filter", u"TELEP =\t", 1, 8);
        FAIL() << "nothing was raised";
    } catch (const ETdbEngine& e) {
        EXPECT_EQ(e.Code(), 25);
        EXPECT_EQ(e.Message(), u"Syntax error in expression \"TELEP = \"");
        const auto* compilerError = dynamic_cast<const ETdbCompilerError*>(&e);
        ASSERT_NE(compilerError, nullptr);
        EXPECT_EQ(compilerError->ErrorUnitName(), u"Filter");
        EXPECT_EQ(compilerError->ErrorLine(), u"TELEP =\t");
        EXPECT_EQ(compilerError->ErrorLineNo(), 1);
        EXPECT_EQ(compilerError->ErrorCharNo(), 8);
    }
}

TEST(EngineErrorTest, CheckEngineResultPassesSuccessAndRaisesFailure) {
    for (std::int16_t ok : {0, 1, 254, 32767}) {
        EXPECT_EQ(CheckEngineResult(static_cast<std::int16_t>(ok)), ok);
    }
    struct Case {
        std::int16_t result;
        std::int16_t code;
        std::u16string message;
    };
    const Case cases[] = {
        {-19, 19, u"Record not found"},
        // No arguments to fill in: the format stands as the message.
        {-1, 1, u"Cannot open file \"%s\""},
        {-104, 104, u"Table is locked by another session"},
        {-32768, kTdbErrUnknown, u"Unknown error: engine result -32768"},
    };
    for (const auto& c : cases) {
        const ETdbEngine e = Caught([&] { CheckEngineResult(c.result); });
        EXPECT_EQ(e.Code(), c.code) << c.result;
        EXPECT_EQ(e.Message(), c.message) << c.result;
    }
    EXPECT_EQ(Caught([] { CheckEngineResult(-9999); }).Message(), MakeNonCriticalError().Message());
}

}  // namespace
}  // namespace tdb
