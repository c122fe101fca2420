// Tokens, keywords, scan errors with their place, and re-reading a stretch.
#include "expr/sql_scanner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/engine_error.h"
#include "base/engine_errors.h"

namespace tdb {
namespace {

using Token = std::pair<TSqlTokenType, std::u16string>;

std::vector<Token> ScanAll(std::u16string_view text, bool localFormats = false) {
    TSqlScanner scanner(text);
    scanner.SetLocalDecimalSeparator(localFormats, u',');
    std::vector<Token> tokens;
    do {
        scanner.NextToken();
        tokens.emplace_back(scanner.TokenType(), scanner.TokenText());
    } while (scanner.TokenType() != sqltEndOfStatement);
    return tokens;
}

struct ScanCase {
    std::u16string_view Text;
    std::vector<Token> Tokens;  // without the closing end of statement
};

TEST(SqlScanner, ReadsEveryTokenRule) {
    const std::vector<ScanCase> cases = {
        {u"", {}},
        {u" \t\r\n ", {}},
        {u"irsz>='1000'and telep<>'x'",
         {{sqltIdentifier, u"irsz"},
          {sqltGreaterOrEqual, u">="},
          {sqltString, u"1000"},
          {sqltAnd, u"and"},
          {sqltIdentifier, u"telep"},
          {sqltUnequal, u"<>"},
          {sqltString, u"x"}}},
        {u"X = 'it''s'", {{sqltIdentifier, u"X"}, {sqltEqual, u"="}, {sqltString, u"it's"}}},
        {u"''''", {{sqltString, u"'"}}},
        {u"''", {{sqltString, u""}}},
        {u"Nev-2_x=3", {{sqltIdentifier, u"Nev-2_x"}, {sqltEqual, u"="}, {sqltNumber, u"3"}}},
        {u"\u00C4\u00D6\u00DC\u00E4\u00F6\u00FC\u00DFz", {{sqltIdentifier, u"ÄÖÜäöüßz"}}},
        // XOR is a keyword; a column of that name has to be quoted.
        {u"Xor [Xor]", {{sqltXor, u"Xor"}, {sqltIdentifier, u"Xor"}}},
        {u"\"select \"\"a\"\"\"", {{sqltIdentifier, u"select \"a\""}}},
        {u"[C:\\data\\irsz.dat].Telep",
         {{sqltIdentifier, u"C:\\data\\irsz.dat"}, {sqltPeriod, u"."}, {sqltIdentifier, u"Telep"}}},
        {u"$Select-1 $x", {{sqltIdentifier, u"Select-1"}, {sqltIdentifier, u"x"}}},
        {u":Param_1 + :b", {{sqltParameter, u"Param_1"}, {sqltPlus, u"+"}, {sqltParameter, u"b"}}},
        {u"02.03.2015 12:30 2015.03.02_12:30:05 1.5e10 2E-3 7e+2 12",
         {{sqltNumber, u"02.03.2015"},
          {sqltNumber, u"12:30"},
          {sqltNumber, u"2015.03.02_12:30:05"},
          {sqltNumber, u"1.5e10"},
          {sqltNumber, u"2E-3"},
          {sqltNumber, u"7e+2"},
          {sqltNumber, u"12"}}},
        // Without local formats a comma always separates.
        {u"1,5", {{sqltNumber, u"1"}, {sqltComma, u","}, {sqltNumber, u"5"}}},
        // A minus after a number is the operator.
        {u"3-2", {{sqltNumber, u"3"}, {sqltMinus, u"-"}, {sqltNumber, u"2"}}},
        {u"(),;*.+-/%= > >= < <= <> ! != ||",
         {{sqltOpenParenthesis, u"("},
          {sqltCloseParenthesis, u")"},
          {sqltComma, u","},
          {sqltSemicolon, u";"},
          {sqltAsterisk, u"*"},
          {sqltPeriod, u"."},
          {sqltPlus, u"+"},
          {sqltMinus, u"-"},
          {sqltSlash, u"/"},
          {sqltPercent, u"%"},
          {sqltEqual, u"="},
          {sqltGreater, u">"},
          {sqltGreaterOrEqual, u">="},
          {sqltLess, u"<"},
          {sqltLessOrEqual, u"<="},
          {sqltUnequal, u"<>"},
          {sqltExclamation, u"!"},
          {sqltUnequal, u"!="},
          {sqltPlus, u"||"}}},
        {u"a -- rest = 1\nb // more\r\nc /* x\n * y */ d/**/e",
         {{sqltIdentifier, u"a"},
          {sqltIdentifier, u"b"},
          {sqltIdentifier, u"c"},
          {sqltIdentifier, u"d"},
          {sqltIdentifier, u"e"}}},
        {u"a/*/b*/", {{sqltIdentifier, u"a"}}},
        {u"NOT a IS NOT NULL ASCENDING descending",
         {{sqltNot, u"NOT"},
          {sqltIdentifier, u"a"},
          {sqltIs, u"IS"},
          {sqltNot, u"NOT"},
          {sqltNull, u"NULL"},
          {sqltAsc, u"ASCENDING"},
          {sqltDesc, u"descending"}}},
    };
    for (const ScanCase& c : cases) {
        std::vector<Token> expected = c.Tokens;
        expected.emplace_back(sqltEndOfStatement, u"");
        EXPECT_EQ(ScanAll(c.Text), expected) << std::string(c.Text.begin(), c.Text.end());
    }
}

TEST(SqlScanner, LocalDecimalSeparatorStaysInTheNumber) {
    const std::vector<Token> expected = {{sqltNumber, u"1,5"},
                                         {sqltComma, u","},
                                         {sqltNumber, u"2"},
                                         {sqltComma, u","},
                                         {sqltEndOfStatement, u""}};
    // "1,5," gives its last comma back to the list it stands in; a comma
    // between digits stays in the number.
    EXPECT_EQ(ScanAll(u"1,5, 2,", true), expected);
    EXPECT_EQ(ScanAll(u"1,2", true).front(), Token(sqltNumber, u"1,2"));
}

TEST(SqlScanner, KnowsEveryKeywordInAnyCase) {
    const std::u16string_view words[] = {u"ACTION",
                                         u"ADD",
                                         u"ALL",
                                         u"ALTER",
                                         u"AND",
                                         u"ANY",
                                         u"AS",
                                         u"ASC",
                                         u"ASCENDING",
                                         u"AT",
                                         u"BETWEEN",
                                         u"BOTH",
                                         u"BY",
                                         u"CASCADE",
                                         u"CASE",
                                         u"CHECK",
                                         u"COLLATE",
                                         u"COLUMN",
                                         u"CONSTRAINT",
                                         u"CONTAINING",
                                         u"CONTAINS",
                                         u"CORRESPONDING",
                                         u"CREATE",
                                         u"CROSS",
                                         u"DAT",
                                         u"DEFAULT",
                                         u"DELETE",
                                         u"DESC",
                                         u"DESCENDING",
                                         u"DICTIONARY",
                                         u"DIV",
                                         u"DISTINCT",
                                         u"DROP",
                                         u"ENCRYPTION",
                                         u"ELSE",
                                         u"END",
                                         u"ESCAPE",
                                         u"EXCEPT",
                                         u"EXISTS",
                                         u"FALSE",
                                         u"FOR",
                                         u"FOREIGN",
                                         u"FROM",
                                         u"FULL",
                                         u"FULLTEXTINDEX",
                                         u"GROUP",
                                         u"HAS",
                                         u"HAVING",
                                         u"IN",
                                         u"INDEX",
                                         u"INNER",
                                         u"INSERT",
                                         u"INTERSECT",
                                         u"INTO",
                                         u"IS",
                                         u"JOIN",
                                         u"KEY",
                                         u"LEADING",
                                         u"LEFT",
                                         u"LEVEL",
                                         u"LIKE",
                                         u"MOD",
                                         u"MODIFY",
                                         u"NO",
                                         u"NOT",
                                         u"NULL",
                                         u"NUMERIC",
                                         u"ON",
                                         u"OR",
                                         u"ORDER",
                                         u"OUTER",
                                         u"PASSWORD",
                                         u"PRECISION",
                                         u"PRIMARY",
                                         u"REFERENCES",
                                         u"RENAME",
                                         u"RIGHT",
                                         u"SELECT",
                                         u"SET",
                                         u"SOME",
                                         u"TABLE",
                                         u"THEN",
                                         u"TO",
                                         u"TOP",
                                         u"TRAILING",
                                         u"TRUE",
                                         u"UNION",
                                         u"UNIQUE",
                                         u"UPDATE",
                                         u"VALUES",
                                         u"WHEN",
                                         u"WHERE",
                                         u"XOR"};
    ASSERT_EQ(std::size(words), 93u);
    std::vector<int> seen(sqltXor + 1, 0);
    for (std::u16string_view word : words) {
        std::u16string lower(word);
        std::u16string mixed(word);
        for (std::size_t i = 0; i < word.size(); ++i) {
            lower[i] = static_cast<char16_t>(lower[i] - u'A' + u'a');
            if (i % 2 == 1) {
                mixed[i] = lower[i];
            }
        }
        const TSqlTokenType type = SqlKeywordType(word);
        ASSERT_GE(type, sqltAction) << std::string(word.begin(), word.end());
        EXPECT_EQ(SqlKeywordType(lower), type);
        EXPECT_EQ(ScanAll(mixed).front(), Token(type, mixed));
        ++seen[type];
        if (word != u"ASCENDING" && word != u"DESCENDING") {
            EXPECT_EQ(SqlTokenTypeName(type), word);
        }
    }
    // Every keyword token is reached, and only the two long sort words share
    // one: NUMERIC has a token of its own rather than standing for NULL.
    for (int type = sqltAction; type <= sqltXor; ++type) {
        EXPECT_EQ(seen[type], (type == sqltAsc || type == sqltDesc) ? 2 : 1) << type;
    }
    EXPECT_EQ(SqlKeywordType(u"ANDX"), sqltIdentifier);
    EXPECT_EQ(SqlKeywordType(u"AN"), sqltIdentifier);
    EXPECT_EQ(SqlKeywordType(u"\u00C4ND"), sqltIdentifier);
    EXPECT_EQ(SqlKeywordType(u"CORRESPONDINGS"), sqltIdentifier);
    EXPECT_EQ(SqlKeywordType(u""), sqltIdentifier);
}

TEST(SqlScanner, TokenPositionsCountRowsAndColumns) {
    TSqlScanner scanner(u"a =\n  'x'\r\n\t b");
    std::vector<std::tuple<std::int32_t, std::int32_t, std::size_t>> positions;
    for (scanner.NextToken(); scanner.TokenType() != sqltEndOfStatement; scanner.NextToken()) {
        const TSqlTextPosition& p = scanner.TokenPosition();
        positions.emplace_back(p.Line, p.Column, p.Offset);
    }
    const TSqlTextPosition& end = scanner.TokenPosition();
    positions.emplace_back(end.Line, end.Column, end.Offset);
    using P = std::tuple<std::int32_t, std::int32_t, std::size_t>;
    EXPECT_THAT(positions,
                testing::ElementsAre(P{1, 1, 0}, P{1, 3, 2}, P{2, 3, 6}, P{3, 3, 13}, P{3, 4, 14}));
}

struct ErrorCase {
    std::u16string_view Text;
    std::int16_t Code;
    std::int32_t Line;
    std::int32_t Column;
    std::u16string_view Message;
    std::u16string_view ErrorLine;
};

TEST(SqlScanner, RaisesCompilerErrorsWithTheirPlace) {
    const std::vector<ErrorCase> cases = {
        {u"X = 'abc", kTdbErrTokenExpected, 1, 5,
         u"\"'\" expected but \"<end of statement>\" found", u"X = 'abc"},
        {u"a = 1 and\n \"abc", kTdbErrTokenExpected, 2, 2,
         u"\"\"\" expected but \"<end of statement>\" found", u" \"abc"},
        {u"[abc", kTdbErrTokenExpected, 1, 1, u"\"]\" expected but \"<end of statement>\" found",
         u"[abc"},
        {u"a /* open\r\n", kTdbErrTokenExpected, 1, 3,
         u"\"*/\" expected but \"<end of statement>\" found", u"a /* open"},
        {u"N\u00E9v-2 = 3", kTdbErrCharNotAllowed, 1, 2,
         u"The character \"\u00E9\" is not allowed here", u"N\u00E9v-2 = 3"},
        {u"a = ?", kTdbErrCharNotAllowed, 1, 5, u"The character \"?\" is not allowed here",
         u"a = ?"},
        {u"x\n  = 12abc", kTdbErrCharNotAllowed, 2, 7, u"The character \"a\" is not allowed here",
         u"  = 12abc"},
        {u"1e", kTdbErrCharNotAllowed, 1, 2, u"The character \"e\" is not allowed here", u"1e"},
        {u"a | b", kTdbErrCharNotAllowed, 1, 3, u"The character \"|\" is not allowed here",
         u"a | b"},
        {u"a = : b", kTdbErrCharNotAllowed, 1, 5, u"The character \":\" is not allowed here",
         u"a = : b"},
        {u"$ = 1", kTdbErrCharNotAllowed, 1, 1, u"The character \"$\" is not allowed here",
         u"$ = 1"},
        {u"a\u00A0", kTdbErrCharNotAllowed, 1, 2, u"The character \"\u00A0\" is not allowed here",
         u"a\u00A0"},
        {u"a = \U0001F600", kTdbErrCharNotAllowed, 1, 5,
         u"The character \"\U0001F600\" is not allowed here", u"a = \U0001F600"},
    };
    for (const ErrorCase& c : cases) {
        const std::string label(c.Text.begin(), c.Text.end());
        TSqlScanner scanner(c.Text);
        try {
            for (int i = 0; i < 10; ++i) {
                scanner.NextToken();
            }
            ADD_FAILURE() << "no error for " << label;
        } catch (const ETdbCompilerError& e) {
            EXPECT_EQ(e.Code(), c.Code) << label;
            EXPECT_EQ(e.ErrorLineNo(), c.Line) << label;
            EXPECT_EQ(e.ErrorCharNo(), c.Column) << label;
            EXPECT_EQ(e.Message(), c.Message) << label;
            EXPECT_EQ(e.ErrorLine(), c.ErrorLine) << label;
        }
    }
}

TEST(SqlScanner, ParserErrorsNameTheCurrentToken) {
    TSqlScanner scanner(u"a\n  >= 'b'");
    scanner.NextToken();
    scanner.NextToken();
    try {
        scanner.RaiseExpected(u"=");
        ADD_FAILURE();
    } catch (const ETdbCompilerError& e) {
        EXPECT_EQ(e.Code(), kTdbErrTokenExpected);
        EXPECT_EQ(e.Message(), u"\"=\" expected but \">=\" found");
        EXPECT_EQ(e.ErrorLineNo(), 2);
        EXPECT_EQ(e.ErrorCharNo(), 3);
        EXPECT_EQ(e.ErrorLine(), u"  >= 'b'");
    }
    scanner.NextToken();
    scanner.NextToken();
    try {
        scanner.RaiseExpected(u")");
        ADD_FAILURE();
    } catch (const ETdbCompilerError& e) {
        EXPECT_EQ(e.Message(), u"\")\" expected but \"<end of statement>\" found");
        EXPECT_EQ(e.ErrorCharNo(), 9);
    }
    EXPECT_THROW(scanner.RaiseError(kTdbErrInvalidNumber, u"1.2.3.4"), ETdbCompilerError);
}

TEST(SqlScanner, RestoreRereadsFromTheSavedToken) {
    TSqlScanner scanner(u"( A + 1 )\n > 'it''s'");
    scanner.NextToken();
    scanner.SavePosition();
    std::vector<Token> first;
    for (scanner.NextToken(); scanner.TokenType() != sqltEndOfStatement; scanner.NextToken()) {
        first.emplace_back(scanner.TokenType(), scanner.TokenText());
    }
    scanner.RestorePosition();
    EXPECT_EQ(scanner.TokenType(), sqltOpenParenthesis);
    EXPECT_EQ(scanner.TokenPosition().Offset, 0u);
    std::vector<Token> second;
    for (scanner.NextToken(); scanner.TokenType() != sqltEndOfStatement; scanner.NextToken()) {
        second.emplace_back(scanner.TokenType(), scanner.TokenText());
    }
    EXPECT_EQ(first, second);
    EXPECT_EQ(second.back(), Token(sqltString, u"it's"));

    // A saved position in the middle keeps its row and column, and a new save replaces it.
    scanner.RestorePosition();
    scanner.NextToken();
    scanner.NextToken();
    scanner.NextToken();
    scanner.NextToken();
    scanner.NextToken();
    scanner.SavePosition();  // on ">"
    scanner.NextToken();
    scanner.RestorePosition();
    EXPECT_EQ(scanner.TokenType(), sqltGreater);
    EXPECT_EQ(scanner.TokenPosition().Line, 2);
    EXPECT_EQ(scanner.TokenPosition().Column, 2);
    scanner.NextToken();
    EXPECT_EQ(scanner.TokenText(), u"it's");
}

TEST(SqlScanner, RestoreRecoversAfterAReadingError) {
    TSqlScanner scanner(u"(a ? b");
    scanner.NextToken();
    scanner.SavePosition();
    scanner.NextToken();
    EXPECT_THROW(scanner.NextToken(), ETdbCompilerError);
    scanner.RestorePosition();
    EXPECT_EQ(scanner.TokenType(), sqltOpenParenthesis);
    scanner.NextToken();
    EXPECT_EQ(scanner.TokenText(), u"a");
}

}  // namespace
}  // namespace tdb
