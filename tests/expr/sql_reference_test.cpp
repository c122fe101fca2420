// Random conditions over small random records, evaluated by our conditions
// and by an independent evaluator (SQLite in memory, the same condition in a
// WHERE-like CASE): the three-valued results must agree.
//
// What is ours alone stays out of the generated conditions or is written for
// SQLite the way our conditions define it, each with its reason below:
// strings are lower-case ASCII letters (our built-in collation ignores case,
// SQLite's LIKE does too, its "=" does not), the "*" of partial comparison is
// never written, and LIKE, IN, BETWEEN and XOR are spelled out for SQLite.
//
// ZENKALO_EXPR_ROUNDS (conditions) and ZENKALO_EXPR_SEED make longer runs or
// replay a failure.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "../platform/test_support.h"
#include "base/engine_error.h"
#include "expr/sql_condition.h"
#include "memory_context.h"

namespace tdb {
namespace {

std::u16string Widen(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

constexpr int kRecords = 6;
const char* const kIntColumns[] = {"A", "B", "C"};
const char* const kStringColumns[] = {"S", "T"};

// One record: integers -3..3 and strings of one to three letters a..c, each
// NULL now and then.
struct TRecord {
    std::optional<int> Ints[3];
    std::optional<std::string> Strings[2];
};

// A condition in both spellings. Level says how tightly ours binds, so that
// only the parentheses our grammar needs are written: 0 OR, 1 XOR, 2 AND,
// 3 a factor. SQLite's text is parenthesised completely.
struct TText {
    std::string Ours;
    std::string Lite;
    int Level = 3;
    bool Predicate = false;  // a bare predicate NOT may precede
};

class TGenerator {
public:
    explicit TGenerator(std::uint32_t seed) : FRandom(seed) {}

    TRecord Record() {
        TRecord record;
        for (auto& value : record.Ints) {
            if (!Chance(5)) {
                value = Pick(-3, 3);
            }
        }
        for (auto& value : record.Strings) {
            if (!Chance(5)) {
                value = Word(false);
            }
        }
        return record;
    }

    TText Condition(int depth) {
        if (depth <= 0 || Chance(3)) {
            return Predicate();
        }
        switch (Pick(0, 4)) {
            case 0:
                return Connect(Condition(depth - 1), Condition(depth - 1), 0, " OR ");
            case 1:
                return Connect(Condition(depth - 1), Condition(depth - 1), 1, " XOR ");
            case 2:
            case 3:
                return Connect(Condition(depth - 1), Condition(depth - 1), 2, " AND ");
            default: {
                TText inner = Condition(depth - 1);
                TText text;
                text.Ours = "NOT " + (inner.Predicate ? inner.Ours : "(" + inner.Ours + ")");
                text.Lite = "(NOT " + inner.Lite + ")";
                return text;
            }
        }
    }

private:
    bool Chance(int oneIn) { return Pick(1, oneIn) == 1; }
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(FRandom); }

    std::string Word(bool pattern) {
        std::string word;
        const int length = Pick(1, 3);
        for (int i = 0; i < length; ++i) {
            const int kind = pattern ? Pick(0, 6) : 0;
            if (kind == 5) {
                word += '%';
            } else if (kind == 6) {
                word += '_';
            } else {
                word += static_cast<char>('a' + Pick(0, 2));
            }
        }
        return word;
    }

    static std::string Parenthesised(const TText& text, int level) {
        return text.Level >= level ? text.Ours : "(" + text.Ours + ")";
    }

    TText Connect(const TText& left, const TText& right, int level, const char* op) {
        TText text;
        // Now and then more parentheses than needed, which must not change anything.
        const bool extra = Chance(6);
        text.Ours = Parenthesised(left, extra ? 3 : level) + op + Parenthesised(right, level + 1);
        text.Level = level;
        if (level == 1) {
            // Neither side unknown: true when exactly one is; else unknown,
            // which "<>" of two truth values gives in SQLite too.
            text.Lite = "((" + left.Lite + ") <> (" + right.Lite + "))";
        } else {
            text.Lite = "(" + left.Lite + op + right.Lite + ")";
        }
        return text;
    }

    // An integer expression; the same text reads the same in both languages.
    std::string IntExpression(int depth, bool wantColumn) {
        if (depth <= 0 || Chance(2)) {
            if (wantColumn || !Chance(4)) {
                return kIntColumns[Pick(0, 2)];
            }
            return std::to_string(Pick(0, 3));
        }
        static const char* const kOps[] = {" + ", " - ", " * "};
        std::string left = IntExpression(depth - 1, wantColumn);
        std::string right = IntExpression(depth - 1, false);
        if (Chance(5)) {
            right = "-" + right;
        }
        const char* op = kOps[Pick(0, 2)];
        // Always parenthesised: the parser's own tests cover arithmetic precedence.
        return "(" + left + op + right + ")";
    }

    std::string StringLiteral() { return "'" + Word(false) + "'"; }

    TText Both(std::string text) {
        TText both;
        both.Lite = "(" + text + ")";
        both.Ours = std::move(text);
        both.Predicate = true;
        return both;
    }

    TText Predicate() {
        static const char* const kComparisons[] = {" = ", " <> ", " < ", " <= ", " > ", " >= "};
        const bool strings = Chance(3);
        const std::string left =
            strings ? std::string(kStringColumns[Pick(0, 1)]) : IntExpression(2, true);
        auto operand = [&]() -> std::string {
            if (strings) {
                return Chance(3) ? std::string(kStringColumns[Pick(0, 1)]) : StringLiteral();
            }
            return IntExpression(1, false);
        };
        switch (Pick(0, 9)) {
            case 0:
            case 1:
            case 2:
                return Both(left + kComparisons[Pick(0, 5)] + operand());
            case 3:
                // A NULL literal takes the type of what it meets: unknown.
                return Both(left + kComparisons[Pick(0, 5)] + "NULL");
            case 4: {
                // Ours: the upper bound first; when that is not true it is the
                // result, else the lower bound decides. Written so for SQLite,
                // which would give false for an unknown upper and a false lower.
                const std::string low = operand();
                const std::string high = operand();
                const bool negated = Chance(3);
                TText text;
                text.Ours = left + (negated ? " NOT" : "") + " BETWEEN " + low + " AND " + high;
                const std::string upper = "(" + left + " <= " + high + ")";
                text.Lite = "(CASE WHEN " + upper + " IS NOT 1 THEN " + upper + " ELSE (" + left +
                            " >= " + low + ") END)";
                if (negated) {
                    text.Lite = "(NOT " + text.Lite + ")";
                }
                text.Predicate = true;
                return text;
            }
            case 5: {
                // Ours gives the result of the last comparison made, so a NULL
                // entry is written last only: there both languages give
                // unknown unless an entry matched.
                std::string list;
                const int count = Pick(1, 3);
                for (int i = 0; i < count; ++i) {
                    list += (i > 0 ? ", " : "") +
                            (strings ? StringLiteral() : std::to_string(Pick(-3, 3)));
                }
                if (Chance(3)) {
                    list += ", NULL";
                }
                return Both(left + (Chance(3) ? " NOT" : "") + " IN (" + list + ")");
            }
            case 6:
                return Both(left + (Chance(2) ? " IS NULL" : " IS NOT NULL"));
            case 7:
            case 8:
                if (strings) {
                    // Ours: LIKE with a NULL side is false, not unknown.
                    std::string pattern = Word(true);
                    std::string escape;
                    if (Chance(4)) {
                        pattern += "\\%";
                        escape = " ESCAPE '\\'";
                    }
                    const bool negated = Chance(3);
                    TText text;
                    text.Ours = left + (negated ? " NOT" : "") + " LIKE '" + pattern + "'" + escape;
                    text.Lite = "(coalesce(" + left + " LIKE '" + pattern + "'" + escape + ", 0))";
                    if (negated) {
                        text.Lite = "(NOT " + text.Lite + ")";
                    }
                    text.Predicate = true;
                    return text;
                }
                return Both(left + kComparisons[Pick(0, 5)] + operand());
            default: {
                // Rewritten by ours into one NULL-safe comparison.
                const std::string a = kIntColumns[Pick(0, 2)];
                const std::string b = kIntColumns[Pick(0, 2)];
                TText text;
                text.Ours = "(" + a + " = " + b + " OR (" + a + " IS NULL AND " + b + " IS NULL))";
                text.Lite = text.Ours;
                text.Level = 3;
                return text;
            }
        }
    }

    std::mt19937 FRandom;
};

class TSqlite {
public:
    TSqlite() {
        EXPECT_EQ(sqlite3_open(":memory:", &FDb), SQLITE_OK);
        Execute("CREATE TABLE r(A INTEGER, B INTEGER, C INTEGER, S TEXT, T TEXT)");
    }
    ~TSqlite() { sqlite3_close(FDb); }
    TSqlite(const TSqlite&) = delete;
    TSqlite& operator=(const TSqlite&) = delete;

    void Execute(const std::string& sql) {
        char* message = nullptr;
        ASSERT_EQ(sqlite3_exec(FDb, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
            << sql << ": " << (message != nullptr ? message : "");
    }

    void Load(const std::vector<TRecord>& records) {
        std::string sql = "DELETE FROM r;";
        for (const TRecord& record : records) {
            sql += "INSERT INTO r VALUES(";
            for (const auto& value : record.Ints) {
                sql += (value ? std::to_string(*value) : "NULL") + ",";
            }
            sql += record.Strings[0] ? "'" + *record.Strings[0] + "'," : "NULL,";
            sql += record.Strings[1] ? "'" + *record.Strings[1] + "');" : "NULL);";
        }
        Execute(sql);
    }

    // 0 true, 1 false, 2 unknown per record, in insertion order; empty when
    // SQLite refuses the text.
    std::vector<int> Evaluate(const std::string& condition, std::string& error) {
        const std::string sql = "SELECT CASE WHEN " + condition + " THEN 0 WHEN NOT " + condition +
                                " THEN 1 ELSE 2 END FROM r ORDER BY rowid";
        sqlite3_stmt* statement = nullptr;
        std::vector<int> results;
        if (sqlite3_prepare_v2(FDb, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(FDb);
            return results;
        }
        while (sqlite3_step(statement) == SQLITE_ROW) {
            results.push_back(sqlite3_column_int(statement, 0));
        }
        sqlite3_finalize(statement);
        return results;
    }

private:
    sqlite3* FDb = nullptr;
};

std::string Describe(const TRecord& record) {
    std::string text;
    for (int i = 0; i < 3; ++i) {
        text += std::string(kIntColumns[i]) + "=" +
                (record.Ints[i] ? std::to_string(*record.Ints[i]) : "NULL") + " ";
    }
    for (int i = 0; i < 2; ++i) {
        text += std::string(kStringColumns[i]) + "=" +
                (record.Strings[i] ? "'" + *record.Strings[i] + "'" : "NULL") + " ";
    }
    return text;
}

TEST(ConditionReference, AgreesWithAnIndependentEvaluator) {
    const int rounds = testing::CountFromEnvironment("ZENKALO_EXPR_ROUNDS", 10000);
    const auto seed = static_cast<std::uint32_t>(testing::CountFromEnvironment("ZENKALO_EXPR_SEED", 20261210));
    SCOPED_TRACE("seed " + std::to_string(seed));
    TGenerator generator(seed);
    TSqlite sqlite;

    TMemoryContext context;
    for (const char* name : kIntColumns) {
        context.AddColumn(Widen(name), TTdbDataType::GetDataType(ctInteger, true));
    }
    for (const char* name : kStringColumns) {
        context.AddColumn(Widen(name), TTdbDataType::GetStringType(ctString, true, 10, u""));
    }

    std::vector<TRecord> records;
    int failures = 0;
    for (int round = 0; round < rounds && failures < 10; ++round) {
        if (round % 50 == 0) {
            records.clear();
            for (int i = 0; i < kRecords; ++i) {
                records.push_back(generator.Record());
            }
            sqlite.Load(records);
        }
        const TText condition = generator.Condition(3);
        std::string liteError;
        const std::vector<int> expected = sqlite.Evaluate(condition.Lite, liteError);
        ASSERT_EQ(expected.size(), records.size()) << condition.Lite << ": " << liteError;

        TTdbSqlCondition ours(Widen(condition.Ours));
        try {
            ours.Prepare(context, kConditionLocalFormats | kConditionFilter);
        } catch (const ETdbEngine& error) {
            ADD_FAILURE() << condition.Ours << ": error " << error.Code();
            ++failures;
            continue;
        }
        for (std::size_t r = 0; r < records.size(); ++r) {
            const TRecord& record = records[r];
            for (int i = 0; i < 3; ++i) {
                const std::optional<std::u16string> text =
                    record.Ints[i] ? std::optional(Widen(std::to_string(*record.Ints[i])))
                                   : std::nullopt;
                context.SetValue(Widen(kIntColumns[i]), text);
            }
            for (int i = 0; i < 2; ++i) {
                const std::optional<std::u16string> text =
                    record.Strings[i] ? std::optional(Widen(*record.Strings[i])) : std::nullopt;
                context.SetValue(Widen(kStringColumns[i]), text);
            }
            int result = -1;
            try {
                result = ours.Evaluate();
            } catch (const ETdbEngine& error) {
                result = -error.Code();
            }
            if (result != expected[r]) {
                ADD_FAILURE() << condition.Ours << "\n  as " << condition.Lite << "\n  record "
                              << Describe(record) << "\n  ours " << result << ", reference "
                              << expected[r];
                ++failures;
                break;
            }
        }
    }
}

}  // namespace
}  // namespace tdb
