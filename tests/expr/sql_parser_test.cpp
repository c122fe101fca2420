// Conditions as data: each text with the normalised text it reads back as, the
// shape of its tree where precedence matters, or the compiler error it raises.
#include "expr/sql_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "types/calendar.h"

namespace tdb {
namespace {

std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

std::unique_ptr<TTdbSearchCondition> Parse(std::u16string_view text, bool localFormats = false) {
    TSqlParser parser;
    parser.SetAllowLocalFormats(localFormats, u',');
    parser.InitParsing(text);
    return parser.ParseCondition();
}

// The tree with every chain of one precedence in brackets and every
// left-to-right step of arithmetic in square brackets, so that a wrong
// grouping shows even where the normalised text cannot.
std::u16string Shape(const TTdbSearchCondition& condition);

std::u16string Shape(const TTdbExpression& expression);
std::u16string Shape(const TTdbXorTerm& term);
std::u16string Shape(const TTdbBooleanTerm& term);
std::u16string Shape(const TTdbBooleanFactor& factor);

std::u16string Shape(const TTdbTerm& term) {
    std::u16string out = term.FFactor->GetSqlText();
    for (const TTdbTermOperand& operand : term.FOperands) {
        std::u16string_view op;
        switch (operand.FOperator) {
            case TTdbDataBinaryOperator::Multiply:
                op = u" * ";
                break;
            case TTdbDataBinaryOperator::Divide:
                op = u" / ";
                break;
            case TTdbDataBinaryOperator::IntDivide:
                op = u" DIV ";
                break;
            default:
                op = u" MOD ";
                break;
        }
        out = u"[" + out + std::u16string(op) + operand.FFactor->GetSqlText() + u"]";
    }
    return out;
}

std::u16string Shape(const TTdbExpression& expression) {
    std::u16string out = Shape(*expression.FTerm);
    for (const TTdbExpressionOperand& operand : expression.FOperands) {
        const char16_t* op = operand.FOperator == TTdbDataBinaryOperator::Add ? u" + " : u" - ";
        out = u"[" + out + op + Shape(*operand.FTerm) + u"]";
    }
    return out;
}

std::u16string Shape(const TTdbBooleanFactor& factor) {
    std::u16string out = factor.FIsNot ? u"NOT " : u"";
    if (factor.FComparisonOperator == tcoNone) {
        return out + u"(" + Shape(*factor.FSearchCondition) + u")";
    }
    // The comparison as written, with its left operand's grouping shown.
    const std::u16string text = factor.GetSqlText().substr(out.size());
    const std::u16string left = factor.FExpressionLeft->GetSqlText();
    return out + Shape(*factor.FExpressionLeft) + text.substr(left.size());
}

template <typename TList>
std::u16string Chain(const TList& items, std::u16string_view op) {
    if (items.size() == 1) {
        return Shape(*items.front());
    }
    std::u16string out = u"{";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? u"" : std::u16string(op)) + Shape(*items[i]);
    }
    return out + u"}";
}

std::u16string Shape(const TTdbBooleanTerm& term) {
    return Chain(term.FFactors, u" AND ");
}

std::u16string Shape(const TTdbXorTerm& term) {
    return Chain(term.FTerms, u" XOR ");
}

std::u16string Shape(const TTdbSearchCondition& condition) {
    return Chain(condition.FTerms, u" OR ");
}

struct AcceptedCase {
    std::u16string_view Text;
    std::u16string_view Normal;
    std::u16string_view Shape = {};  // checked when given
};

TEST(SqlParser, AcceptsTheGrammarAndWritesNormalisedText) {
    const std::vector<AcceptedCase> cases = {
        // Plain comparisons, case and blanks.
        {u"TELEP = 'Buda*'", u"TELEP = 'Buda*'"},
        {u"irsz>='1000'and telep<>'x'", u"irsz >= '1000' AND telep <> 'x'"},
        {u"X = 'it''s'", u"X = 'it''s'"},
        {u"A != 1 OR A < 1 OR A <= 1 OR A > 1", u"A <> 1 OR A < 1 OR A <= 1 OR A > 1"},
        {u"Nev-2 = 3", u"Nev-2 = 3"},
        {u"A = 1 -- the rest\n", u"A = 1"},
        {u"A /* x */ = // y\n 1", u"A = 1"},
        // Precedence and associativity.
        {u"A - B - C = 1", u"A - B - C = 1", u"[[A - B] - C] = 1"},
        {u"A - B + C = 1", u"A - B + C = 1", u"[[A - B] + C] = 1"},
        {u"A / B / C = 1", u"A / B / C = 1", u"[[A / B] / C] = 1"},
        {u"A / B * C = 1", u"A / B * C = 1", u"[[A / B] * C] = 1"},
        {u"A DIV B MOD C % D = 1", u"A DIV B MOD C MOD D = 1", u"[[[A DIV B] MOD C] MOD D] = 1"},
        {u"A + B * C - D = 1", u"A + B * C - D = 1", u"[[A + [B * C]] - D] = 1"},
        {u"A || B + 'x' = 'y'", u"A + B + 'x' = 'y'", u"[[A + B] + 'x'] = 'y'"},
        {u"-A * +B = - 1", u"-A * +B = -1", u"[-A * +B] = -1"},
        {u"A - -1 = 2", u"A - -1 = 2", u"[A - -1] = 2"},
        {u"(A + 1) * 2 > 2", u"(A + 1) * 2 > 2", u"[(A + 1) * 2] > 2"},
        {u"NOT A = 1 OR B = 2", u"NOT A = 1 OR B = 2", u"{NOT A = 1 OR B = 2}"},
        {u"A = 1 OR B = 1 AND C = 1", u"A = 1 OR B = 1 AND C = 1", u"{A = 1 OR {B = 1 AND C = 1}}"},
        {u"A = 1 OR B = 1 XOR C = 1", u"A = 1 OR B = 1 XOR C = 1", u"{A = 1 OR {B = 1 XOR C = 1}}"},
        {u"A = 1 AND B = 1 XOR C = 1", u"A = 1 AND B = 1 XOR C = 1",
         u"{{A = 1 AND B = 1} XOR C = 1}"},
        {u"A = 1 XOR B = 1 XOR C = 1 OR D = 1", u"A = 1 XOR B = 1 XOR C = 1 OR D = 1",
         u"{{A = 1 XOR B = 1 XOR C = 1} OR D = 1}"},
        {u"IRSZ >= '1000' Xor TELEP = 'Buda*'", u"IRSZ >= '1000' XOR TELEP = 'Buda*'"},
        {u"NOT (A = 1 OR B = 2) AND C = 3", u"NOT (A = 1 OR B = 2) AND C = 3",
         u"{NOT ({A = 1 OR B = 2}) AND C = 3}"},
        {u"((A = 1))", u"((A = 1))", u"((A = 1))"},
        {u"NOT (A + 1) > 2", u"NOT (A + 1) > 2"},
        {u"((A + 1)) > 2", u"((A + 1)) > 2"},
        {u"((A + 1) > 2)", u"((A + 1) > 2)"},
        // NOT before the factor and before the operator both toggle.
        {u"A NOT = 1", u"NOT A = 1"},
        {u"NOT A NOT LIKE 'x%'", u"A LIKE 'x%'"},
        // BETWEEN, IN, LIKE, IS NULL, HAS.
        {u"A BETWEEN 1 AND 2 AND B = 3", u"A BETWEEN 1 AND 2 AND B = 3",
         u"{A BETWEEN 1 AND 2 AND B = 3}"},
        {u"A not between B - 1 and B + 1", u"NOT A BETWEEN B - 1 AND B + 1"},
        {u"A IN (1,2 , 'x', B + 1)", u"A IN (1, 2, 'x', B + 1)"},
        {u"A NOT IN (NULL)", u"NOT A IN (NULL)"},
        {u"A LIKE 'x!%%' ESCAPE '!'", u"A LIKE 'x!%%' ESCAPE '!'"},
        {u"A like 'x' escape ''''", u"A LIKE 'x' ESCAPE ''''"},
        {u"a is null or b IS NOT null", u"a IS NULL OR b IS NOT NULL"},
        {u"A has 'b'", u"A HAS 'b'"},
        // Literals of every form, parameters and names.
        {u"A = TRUE OR B = false OR D = NULL", u"A = TRUE OR B = FALSE OR D = NULL"},
        {u"D = 02.03.2015 AND T = 12:30 AND S = 02.03.2015_12:30:05",
         u"D = 02.03.2015 AND T = 12:30 AND S = 02.03.2015_12:30:05"},
        {u"F = 1.5 OR F = 2E-3 OR F = 1.5e10", u"F = 1.5 OR F = 2E-3 OR F = 1.5e10"},
        {u"D = date '2.3.2015' OR T = Time '12:30' OR S = TIMESTAMP '02.03.2015_12:30'",
         u"D = DATE '2.3.2015' OR T = TIME '12:30' OR S = TIMESTAMP '02.03.2015_12:30'"},
        {u"Date = 1 AND Time = Timestamp", u"Date = 1 AND Time = Timestamp"},
        {u"X = '' OR X = '\u0151'", u"X = '' OR X = '\u0151'"},
        {u":From = :to_2", u":From = :to_2"},
        {u"[x y] = $Select OR \"Xor\" = \"a\"\"b\"",
         u"\"x y\" = \"Select\" OR \"Xor\" = \"a\"\"b\""},
        {u"[Len] = 1 AND [N\u00E9v] = 2", u"\"Len\" = 1 AND \"N\u00E9v\" = 2"},
        // table.column: the table's path and ".dat" go.
        {u"Irsz.Telep = 1", u"Irsz.Telep = 1"},
        {u"[C:\\data\\irsz.dat].Telep = 'x'", u"irsz.Telep = 'x'"},
        {u"\"../x/Irsz.DAT\".\"a b\" = 1", u"Irsz.\"a b\" = 1"},
        {u"[a.dat.b].c = 1", u"\"a.dat.b\".c = 1"},
        // SQL functions, synonyms written by their first name.
        {u"ABS(-x) > 1 AND ceiling(x) = floor(x)", u"ABS(-x) > 1 AND CEILING(x) = FLOOR(x)"},
        {u"length(a) = len(b) + char_length(c)", u"LEN(a) = LEN(b) + CHAR_LENGTH(c)"},
        {u"now > T AND today = D AND Current_Timestamp > S",
         u"CURRENT_TIME > T AND CURRENT_DATE = D AND CURRENT_TIMESTAMP > S"},
        {u"COUNT(*) > 1 AND count(A) > 1", u"COUNT(*) > 1 AND COUNT(A) > 1"},
        {u"STR(X, 10, 2, ',', ' ', '.') = 'a' AND STR(X) = 'b'",
         u"STR(X, 10, 2, ',', ' ', '.') = 'a' AND STR(X) = 'b'"},
        {u"LTRIM(a) = LTRIM(a, 'x')", u"LTRIM(a) = LTRIM(a, 'x')"},
        {u"exchange(a, 'x', 'y') = fillstr(a, '.', 10)",
         u"EXCHANGE(a, 'x', 'y') = FILLSTR(a, '.', 10)"},
        {u"ROUND(SQRT(x) * EXP(1), 2) > LOG(INT(FRAC(x)))",
         u"ROUND(SQRT(x) * EXP(1), 2) > LOG(INT(FRAC(x)))"},
        // Special forms.
        {u"CAST(A AS integer) = 1 AND CAST(B as Date) = D",
         u"CAST(A AS INTEGER) = 1 AND CAST(B AS DATE) = D"},
        {u"EXTRACT(year FROM D) = 2015 OR extract(MilliSecond from T) = 0",
         u"EXTRACT(YEAR FROM D) = 2015 OR EXTRACT(MILLISECOND FROM T) = 0"},
        {u"SUBSTRING(S FROM 2 FOR 3) = SUBSTRING(S from 2)",
         u"SUBSTRING(S FROM 2 FOR 3) = SUBSTRING(S FROM 2)"},
        {u"TRIM(S) = TRIM(leading 'x' from S) OR TRIM(BOTH FROM S) = TRIM(TRAILING ' ' FROM S)",
         u"TRIM(S) = TRIM(LEADING 'x' FROM S) OR TRIM(BOTH FROM S) = TRIM(TRAILING ' ' FROM S)"},
        {u"CURRENTRECORDID([c:\\x\\Irsz.dat]) = 1", u"CURRENTRECORDID(Irsz) = 1"},
        // Data functions go by any name that is no SQL function.
        {u"Pos('a', S) > 0 AND NewGuid() <> G", u"Pos('a', S) > 0 AND NewGuid() <> G"},
        {u"[abs](x) = date(1)", u"\"abs\"(x) = date(1)"},
        // CASE in both forms, signed.
        {u"CASE WHEN A = 1 OR B = 2 THEN 'x' ELSE 'y' END = 'x'",
         u"CASE WHEN A = 1 OR B = 2 THEN 'x' ELSE 'y' END = 'x'"},
        {u"case A when 1 then 'x' when 2 then 'y' end = 'x'",
         u"CASE A WHEN 1 THEN 'x' WHEN 2 THEN 'y' END = 'x'"},
        {u"-CASE WHEN (A > 0) THEN A END < 0", u"-CASE WHEN (A > 0) THEN A END < 0"},
    };
    for (const AcceptedCase& c : cases) {
        const std::string label = Narrow(c.Text);
        try {
            const std::unique_ptr<TTdbSearchCondition> tree = Parse(c.Text);
            const std::u16string normal = tree->GetSqlText();
            EXPECT_EQ(Narrow(normal), Narrow(c.Normal)) << label;
            EXPECT_EQ(normal, c.Normal) << label;
            if (!c.Shape.empty()) {
                EXPECT_EQ(Narrow(Shape(*tree)), Narrow(c.Shape)) << label;
            }
            // The normalised text reads back as itself, and as the same tree.
            const std::unique_ptr<TTdbSearchCondition> again = Parse(normal);
            EXPECT_EQ(again->GetSqlText(), normal) << label;
            EXPECT_EQ(Shape(*again), Shape(*tree)) << label;
        } catch (const ETdbEngine& e) {
            ADD_FAILURE() << label << ": " << Narrow(e.Message());
        }
    }
}

struct RejectedCase {
    std::u16string_view Text;
    std::int16_t Code;
    std::int32_t Line;
    std::int32_t Column;
    std::u16string_view Message = {};  // checked when given
};

TEST(SqlParser, RejectsWithCompilerErrorsAndTheirPlace) {
    const std::vector<RejectedCase> cases = {
        // Left-over text is an error now rather than silently dropped.
        {u"A = 1 B = 2", kTdbErrTokenExpected, 1, 7,
         u"\"<end of statement>\" expected but \"B\" found"},
        {u"A = 1;", kTdbErrTokenExpected, 1, 6},
        {u"A = 1,5", kTdbErrTokenExpected, 1, 6},
        {u"(A = 1) = B", kTdbErrTokenExpected, 1, 9},
        {u"A = 1 AMD B = 2", kTdbErrTokenExpected, 1, 7},
        // Scanner errors pass through.
        {u"X = 'abc", kTdbErrTokenExpected, 1, 5},
        {u"N\u00E9v-2 = 3", kTdbErrCharNotAllowed, 1, 2},
        // Incomplete texts.
        {u"", kTdbErrTokenExpected, 1, 1,
         u"\"<identifier>\" expected but \"<end of statement>\" found"},
        {u"X", kTdbErrTokenExpected, 1, 2, u"\"=\" expected but \"<end of statement>\" found"},
        {u"X = ", kTdbErrTokenExpected, 1, 5},
        {u"X = NUMERIC", kTdbErrTokenExpected, 1, 5},
        {u"X ! 1", kTdbErrTokenExpected, 1, 3, u"\"=\" expected but \"!\" found"},
        {u"A = 1 XOR", kTdbErrTokenExpected, 1, 10},
        {u"NOT NOT A = 1", kTdbErrTokenExpected, 1, 5},
        {u"A BETWEEN 1 OR 2", kTdbErrTokenExpected, 1, 13, u"\"AND\" expected but \"OR\" found"},
        {u"A IN 1", kTdbErrTokenExpected, 1, 6},
        {u"A IN (1, 2", kTdbErrTokenExpected, 1, 11},
        {u"A IS 1", kTdbErrTokenExpected, 1, 6, u"\"NULL\" expected but \"1\" found"},
        {u"Irsz. = 1", kTdbErrTokenExpected, 1, 7},
        // The reading that got further is reported.
        {u"(A = 1 OR B = 2", kTdbErrTokenExpected, 1, 16,
         u"\")\" expected but \"<end of statement>\" found"},
        {u"(A + 1 > 2", kTdbErrTokenExpected, 1, 11},
        // Literal typing.
        {u"X = 1.2.3.4", kTdbErrExpressionNotComplete, 1, 5, u"Expression not complete"},
        {u"X = 1E999", kTdbErrInvalidNumber, 1, 5, u"\"1E999\" is not a valid number"},
        {u"X = 1e-999", kTdbErrInvalidNumber, 1, 5},
        {u"X =\n 31.02.2015", kTdbErrInvalidTimestamp, 2, 2,
         u"\"31.02.2015\" is not a valid timestamp"},
        {u"X = 25:61", kTdbErrInvalidTimestamp, 1, 5},
        {u"X = 02.03.2015_12:61", kTdbErrInvalidTimestamp, 1, 5},
        {u"X = 1_", kTdbErrInvalidTimestamp, 1, 5},
        {u"X = DATE 'x'", kTdbErrInvalidTimestamp, 1, 10, u"\"x\" is not a valid timestamp"},
        {u"X = TIME '12.30.15'", kTdbErrInvalidTimestamp, 1, 10},
        {u"X = TIMESTAMP '12:30:61'", kTdbErrInvalidTimestamp, 1, 15},
        // LIKE's escape is one character.
        {u"A LIKE 'x' ESCAPE 'ab'", kTdbErrSyntax, 1, 19, u"Syntax error in expression \"ab\""},
        {u"A LIKE 'x' ESCAPE ''", kTdbErrSyntax, 1, 19},
        {u"A LIKE 'x' ESCAPE B", kTdbErrSyntax, 1, 19},
        // Special forms.
        {u"EXTRACT(CENTURY FROM D) = 1", kTdbErrUnknownIdentifier, 1, 9,
         u"Unknown identifier \"CENTURY\""},
        {u"EXTRACT([YEAR] FROM D) = 1", kTdbErrUnknownIdentifier, 1, 9},
        {u"EXTRACT(YEAR OF D) = 1", kTdbErrTokenExpected, 1, 14},
        {u"CAST(X AS TEXT) = 1", kTdbErrUnknownIdentifier, 1, 11},
        {u"CAST(X) = 1", kTdbErrTokenExpected, 1, 7, u"\"AS\" expected but \")\" found"},
        {u"SUBSTRING(S, 1) = 'a'", kTdbErrTokenExpected, 1, 12},
        {u"TRIM(LEADING 'x' S) = 'a'", kTdbErrTokenExpected, 1, 18},
        {u"CURRENTRECORDID('Irsz') = 1", kTdbErrSyntax, 1, 17,
         u"Argument to CurrentRecordId must be a table name literal"},
        {u"CURRENTRECORDID(1) = 1", kTdbErrSyntax, 1, 17},
        {u"ABS = 1", kTdbErrTokenExpected, 1, 5, u"\"(\" expected but \"=\" found"},
        {u"NOW() = 1", kTdbErrTokenExpected, 1, 4},
        {u"Pos('a', S = 1", kTdbErrTokenExpected, 1, 12},
        // CASE.
        {u"CASE A END = 1", kTdbErrTokenExpected, 1, 8, u"\"WHEN\" expected but \"END\" found"},
        {u"CASE END = 1", kTdbErrTokenExpected, 1, 6},
        {u"CASE WHEN A = 1 THEN 1 = 1", kTdbErrTokenExpected, 1, 24},
        {u"CASE WHEN A THEN 1 END = 1", kTdbErrTokenExpected, 1, 13},
        {u"CASE A WHEN 1 1 END = 1", kTdbErrTokenExpected, 1, 15},
        // Subqueries and full-text predicates are refused.
        {u"EXISTS (SELECT A FROM T)", kTdbErrSyntax, 1, 1,
         u"Subqueries and full-text predicates are not supported in conditions: \"EXISTS\""},
        {u"NOT exists (1)", kTdbErrSyntax, 1, 5},
        {u"A IN (SELECT A FROM T)", kTdbErrSyntax, 1, 7},
        {u"A = ANY (SELECT A FROM T)", kTdbErrSyntax, 1, 5},
        {u"A > all (1)", kTdbErrSyntax, 1, 5},
        {u"A <> SOME (1)", kTdbErrSyntax, 1, 6},
        {u"CONTAINS(A, 'x')", kTdbErrSyntax, 1, 1},
    };
    for (const RejectedCase& c : cases) {
        const std::string label = Narrow(c.Text);
        try {
            const std::unique_ptr<TTdbSearchCondition> tree = Parse(c.Text);
            ADD_FAILURE() << "no error for " << label << ", read as " << Narrow(tree->GetSqlText());
        } catch (const ETdbCompilerError& e) {
            EXPECT_EQ(e.Code(), c.Code) << label << ": " << Narrow(e.Message());
            EXPECT_EQ(e.ErrorLineNo(), c.Line) << label;
            EXPECT_EQ(e.ErrorCharNo(), c.Column) << label;
            if (!c.Message.empty()) {
                EXPECT_EQ(Narrow(e.Message()), Narrow(c.Message)) << label;
            }
        }
    }
}

TEST(SqlParser, CountsTheArgumentsOfEveryFunction) {
    struct Arity {
        std::u16string_view Name;
        int Min;
        int Max;
    };
    const Arity functions[] = {
        {u"ABS", 1, 1},          {u"AVG", 1, 1},
        {u"CEILING", 1, 1},      {u"CHAR_LENGTH", 1, 1},
        {u"CHR", 1, 1},          {u"COUNT", 1, 1},
        {u"DIGITSTR", 1, 1},     {u"EXCHANGE", 3, 3},
        {u"EXP", 1, 1},          {u"FILLSTR", 2, 3},
        {u"FIRST", 1, 1},        {u"FLOOR", 1, 1},
        {u"FRAC", 1, 1},         {u"INT", 1, 1},
        {u"LAST", 1, 1},         {u"LEN", 1, 1},
        {u"LENGTH", 1, 1},       {u"LOG", 1, 1},
        {u"LOWER", 1, 1},        {u"LTRIM", 1, 2},
        {u"MAX", 1, 1},          {u"MIN", 1, 1},
        {u"NTIMES", 2, 2},       {u"RANDOM", 1, 1},
        {u"REALVAL", 1, 1},      {u"ROUND", 2, 2},
        {u"RTRIM", 1, 1},        {u"SQRT", 1, 1},
        {u"STR", 1, 6},          {u"SUM", 1, 1},
        {u"UPPER", 1, 1},        {u"CURRENT_DATE", 0, 0},
        {u"CURRENT_TIME", 0, 0}, {u"CURRENT_TIMESTAMP", 0, 0},
        {u"NOW", 0, 0},          {u"TODAY", 0, 0},
    };
    const auto call = [](std::u16string_view name, int count) {
        std::u16string text(name);
        if (count >= 0) {
            text += u"(";
            for (int i = 0; i < count; ++i) {
                text += i == 0 ? u"X" : u", X";
            }
            text += u")";
        }
        return text + u" = 1";
    };
    const auto errorOf = [](const std::u16string& text) -> std::u16string {
        try {
            Parse(text);
        } catch (const ETdbCompilerError& e) {
            return e.Message();
        }
        return u"accepted";
    };
    for (const Arity& f : functions) {
        const std::string label = Narrow(f.Name);
        if (f.Max == 0) {
            EXPECT_EQ(errorOf(call(f.Name, -1)), u"accepted") << label;
            EXPECT_EQ(errorOf(call(f.Name, 0)), u"\"=\" expected but \"(\" found") << label;
            continue;
        }
        for (int count = f.Min; count <= f.Max; ++count) {
            EXPECT_EQ(errorOf(call(f.Name, count)), u"accepted") << label << " " << count;
        }
        EXPECT_EQ(errorOf(call(f.Name, f.Max + 1)), u"\")\" expected but \",\" found") << label;
        if (f.Min > 1) {
            EXPECT_EQ(errorOf(call(f.Name, f.Min - 1)), u"\",\" expected but \")\" found") << label;
        }
        EXPECT_EQ(errorOf(call(f.Name, 0)), u"\"<identifier>\" expected but \")\" found") << label;
    }
}

TEST(SqlParser, TypesLiteralsBeforeTheyMeetAColumn) {
    struct LiteralCase {
        std::u16string_view Literal;
        bool LocalFormats;
        TTdbColumnType Type;
        std::u16string_view Value;  // the value's text form
        std::u16string_view Text;   // the text the literal keeps
    };
    const std::vector<LiteralCase> cases = {
        {u"12", false, ctBigInt, u"12", u"12"},
        {u"9223372036854775807", false, ctBigInt, u"9223372036854775807", u"9223372036854775807"},
        {u"9223372036854775808", false, ctFloat, u"9.22337203685478E18", u"9223372036854775808"},
        {u"1.5", false, ctFloat, u"1.5", u"1.5"},
        {u"2E-3", false, ctFloat, u"0.002", u"2E-3"},
        {u"1,5", true, ctFloat, u"1.5", u"1.5"},
        {u"02.03.2015", false, ctDate, u"02.03.2015", u"02.03.2015"},
        {u"02.03.2015", true, ctDate, u"02.03.2015", u"02.03.2015"},
        {u"12:30", false, ctTime, u"12:30:00.000", u"12:30"},
        {u"12:30:05,250", true, ctTime, u"12:30:05.250", u"12:30:05.250"},
        {u"02.03.2015_12:30", false, ctTimeStamp, u"02.03.2015_12:30:00.000", u"02.03.2015_12:30"},
        {u"'abc'", false, ctString, u"abc", u"abc"},
        {u"'\u00E9t'", false, ctString, u"\u00E9t", u"\u00E9t"},   // in the ANSI code page
        {u"'\u0151'", false, ctWideString, u"\u0151", u"\u0151"},  // not in it
        {u"TRUE", false, ctBoolean, u"True", u"TRUE"},
        {u"false", false, ctBoolean, u"False", u"FALSE"},
        {u"NULL", false, ctNull, u"", u""},
        {u"DATE '2015-03-02'", false, ctDate, u"02.03.2015", u"2015-03-02"},
        {u"TIME '12:30'", false, ctTime, u"12:30:00.000", u"12:30"},
        {u"TIMESTAMP '02.03.2015_12:30'", false, ctTimeStamp, u"02.03.2015_12:30:00.000",
         u"02.03.2015_12:30"},
    };
    for (const LiteralCase& c : cases) {
        const std::string label = Narrow(c.Literal);
        const std::unique_ptr<TTdbSearchCondition> tree =
            Parse(u"X = " + std::u16string(c.Literal), c.LocalFormats);
        const TTdbBooleanFactor& factor = *tree->FTerms.at(0)->FTerms.at(0)->FFactors.at(0);
        const auto* literal =
            dynamic_cast<const TTdbSimpleFactor*>(factor.FExpressionRight->FTerm->FFactor.get());
        ASSERT_NE(literal, nullptr) << label;
        ASSERT_EQ(literal->FType, sftLiteral) << label;
        ASSERT_NE(literal->FLiteralType, nullptr) << label;
        EXPECT_EQ(literal->FLiteralType->GetColumnType(), c.Type) << label;
        EXPECT_EQ(Narrow(literal->FLiteralType->ConvertToString(literal->FLiteralValue)),
                  Narrow(c.Value))
            << label;
        EXPECT_EQ(literal->FColumnNameOrLiteral, c.Text) << label;
    }

    // A string's type is as long as the literal, on a coarse grid.
    const std::unique_ptr<TTdbSearchCondition> tree = Parse(u"X = '123456789012345'");
    const auto* literal = static_cast<const TTdbSimpleFactor*>(
        tree->FTerms[0]->FTerms[0]->FFactors[0]->FExpressionRight->FTerm->FFactor.get());
    EXPECT_EQ(static_cast<const TTdbStringType*>(literal->FLiteralType)->GetMaxLength(), 20);
}

TEST(SqlParser, LocalFormatsReadTheDecimalSeparator) {
    EXPECT_EQ(Parse(u"X = 1,5", true)->GetSqlText(), u"X = 1.5");
    // Inside a list the separator stays part of a number it touches on both
    // sides; a blank after the comma keeps the items apart.
    EXPECT_EQ(Parse(u"X IN (1,5, 2)", true)->GetSqlText(), u"X IN (1.5, 2)");
    EXPECT_EQ(Parse(u"ROUND(X, 2) = 1", true)->GetSqlText(), u"ROUND(X, 2) = 1");
    // The normalised text reads back the same with local formats off.
    EXPECT_EQ(Parse(u"X IN (1.5, 2)")->GetSqlText(), u"X IN (1.5, 2)");
}

TEST(SqlParser, KeepsTheTreeForPreparation) {
    const std::unique_ptr<TTdbSearchCondition> tree = Parse(
        u"NOT A BETWEEN 1 AND 9 AND B LIKE 'x#%' ESCAPE '#' AND C IN (1, 2) AND "
        u"T.D IS NOT NULL AND E HAS :p AND (F = 1)");
    const auto& factors = tree->FTerms.at(0)->FTerms.at(0)->FFactors;
    ASSERT_EQ(factors.size(), 6u);

    EXPECT_TRUE(factors[0]->FIsNot);
    EXPECT_EQ(factors[0]->FComparisonOperator, tcoBetween);
    EXPECT_EQ(factors[0]->FExpressionRightEx->GetSqlText(), u"1");  // the lower bound
    EXPECT_EQ(factors[0]->FExpressionRight->GetSqlText(), u"9");

    EXPECT_EQ(factors[1]->FComparisonOperator, tcoLike);
    EXPECT_EQ(factors[1]->FLikeEscapeChar, u'#');

    EXPECT_EQ(factors[2]->FComparisonOperator, tcoIn);
    ASSERT_EQ(factors[2]->FValueSet->FValues.size(), 2u);

    EXPECT_EQ(factors[3]->FComparisonOperator, tcoIsNotNull);
    const auto* column =
        static_cast<const TTdbSimpleFactor*>(factors[3]->FExpressionLeft->FTerm->FFactor.get());
    EXPECT_EQ(column->FType, sftColumn);
    EXPECT_EQ(column->FTableName, u"T");
    EXPECT_EQ(column->FColumnNameOrLiteral, u"D");

    EXPECT_EQ(factors[4]->FComparisonOperator, tcoHas);
    const auto* parameter =
        static_cast<const TTdbSimpleFactor*>(factors[4]->FExpressionRight->FTerm->FFactor.get());
    EXPECT_EQ(parameter->FType, sftParameter);
    EXPECT_EQ(parameter->FParameterName, u"p");

    EXPECT_EQ(factors[5]->FComparisonOperator, tcoNone);
    ASSERT_NE(factors[5]->FSearchCondition, nullptr);
    EXPECT_EQ(factors[5]->FExpressionLeft, nullptr);

    // What the optimiser makes of «a = b OR (a IS NULL AND b IS NULL)» reads
    // back with that meaning.
    const std::unique_ptr<TTdbSearchCondition> equalNull = Parse(u"A = B AND C = 1");
    equalNull->FTerms[0]->FTerms[0]->FFactors[0]->FComparisonOperator = tcoEqualNull;
    EXPECT_EQ(equalNull->GetSqlText(), u"(A = B OR A IS NULL AND B IS NULL) AND C = 1");

    // Functions keep their id and the data of their special form.
    const std::unique_ptr<TTdbSearchCondition> calls =
        Parse(u"EXTRACT(week FROM D) = Pos('a', S) + TRIM(TRAILING '-' FROM S)");
    const TTdbBooleanFactor& call = *calls->FTerms[0]->FTerms[0]->FFactors[0];
    const auto* extract =
        static_cast<const TTdbSimpleFactor*>(call.FExpressionLeft->FTerm->FFactor.get());
    ASSERT_EQ(extract->FType, sftFunction);
    const auto* extractCall = dynamic_cast<const TSqlStdFunction*>(extract->FSqlFunction.get());
    ASSERT_NE(extractCall, nullptr);
    EXPECT_EQ(extractCall->FSqlFunction, sftExtract);
    EXPECT_EQ(extractCall->FExtractPart, sdpWeek);
    ASSERT_EQ(extractCall->FArguments.size(), 1u);
    const auto* pos =
        static_cast<const TTdbSimpleFactor*>(call.FExpressionRight->FTerm->FFactor.get());
    const auto* data = dynamic_cast<const TTablePlFunction*>(pos->FSqlFunction.get());
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->FName, u"Pos");
    EXPECT_EQ(data->FArguments.size(), 2u);
    const auto* trim = static_cast<const TTdbSimpleFactor*>(
        call.FExpressionRight->FOperands.at(0).FTerm->FFactor.get());
    const auto* trimCall = static_cast<const TSqlStdFunction*>(trim->FSqlFunction.get());
    EXPECT_EQ(trimCall->FTrimMode, sttTrailing);
    EXPECT_TRUE(trimCall->FHasTrimCharacters);
    EXPECT_EQ(trimCall->FTrimCharacters, u"-");
}

std::u16string Repeat(std::u16string_view part, int count) {
    std::u16string out;
    for (int i = 0; i < count; ++i) {
        out += part;
    }
    return out;
}

std::int16_t ErrorCodeOf(const std::u16string& text) {
    try {
        Parse(text);
    } catch (const ETdbCompilerError& e) {
        return e.Code();
    }
    return 0;
}

TEST(SqlParser, RefusesNestingBeyondTheLimitAndCopesWithLongTexts) {
    // Nesting within the limit parses and reads back.
    const std::u16string nested = Repeat(u"(", 60) + u"A = 1" + Repeat(u")", 60);
    EXPECT_EQ(Parse(nested)->GetSqlText(), nested);
    const std::u16string arithmetic = u"A = " + Repeat(u"(", 150) + u"1" + Repeat(u")", 150);
    EXPECT_EQ(Parse(arithmetic)->GetSqlText(), arithmetic);

    // Deeper nests fail with a compiler error instead of exhausting the stack.
    for (const std::u16string& deep : {
             Repeat(u"(", 100000) + u"A = 1" + Repeat(u")", 100000),
             u"A = " + Repeat(u"(", 100000) + u"1" + Repeat(u")", 100000),
             u"A = " + Repeat(u"ABS(", 100000) + u"1" + Repeat(u")", 100000),
             u"A = " + Repeat(u"CASE WHEN ", 100000),
             Repeat(u"(", 100000),
         }) {
        EXPECT_EQ(ErrorCodeOf(deep), kTdbErrExpressionTooLong) << deep.size();
    }
    try {
        Parse(u"A = " + Repeat(u"(", 1000));
        ADD_FAILURE();
    } catch (const ETdbCompilerError& e) {
        EXPECT_EQ(e.Message(), u"The expression is too long or contains too many nested levels");
    }

    // A nest that makes every level back out of a condition into an
    // expression reads each level a bounded number of times, not twice the
    // one inside it.
    std::u16string backtracking = u"A = 1";
    for (int i = 0; i < 40; ++i) {
        backtracking = u"(CASE WHEN " + backtracking + u" THEN 1 END) > 0";
    }
    EXPECT_EQ(Parse(backtracking)->GetSqlText(), backtracking);

    // Long chains are flat: no recursion per link.
    const std::u16string chain = u"A = 0" + Repeat(u" OR A = 1 AND B = 2 XOR C = 3", 20000);
    EXPECT_EQ(Parse(chain)->GetSqlText(), chain);
    const std::u16string sum = u"A = 0" + Repeat(u" + 1 * B", 50000);
    EXPECT_EQ(Parse(sum)->GetSqlText(), sum);

    // A literal beyond the longest string type keeps its whole text.
    const std::u16string text(100000, u'x');
    const std::unique_ptr<TTdbSearchCondition> tree = Parse(u"A = '" + text + u"'");
    EXPECT_EQ(tree->GetSqlText(), u"A = '" + text + u"'");
}

}  // namespace
}  // namespace tdb
