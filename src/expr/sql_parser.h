// The parser of the SQL condition language: turns a condition text into its
// syntax tree, typing literals on the way, or raises a compiler error that
// says where the text went wrong.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "expr/sql_scanner.h"
#include "expr/sql_tree.h"

namespace tdb {

class ETdbCompilerError;

class TSqlParser {
public:
    // Conditions nested deeper than this (parentheses, CASE, function
    // arguments) are refused with error 60 before they can exhaust the stack
    // of the parser or of the code that walks the tree later.
    static constexpr int kMaxNestingDepth = 200;

    TSqlParser() = default;
    TSqlParser(const TSqlParser&) = delete;
    TSqlParser& operator=(const TSqlParser&) = delete;

    // With local formats a number may use the locale's decimal separator; the
    // literal keeps "." in its place. Set before InitParsing.
    void SetAllowLocalFormats(bool allow, char16_t decimalSeparator = u',') noexcept {
        FAllowLocalFormats = allow;
        FDecimalSeparator = decimalSeparator;
    }
    bool GetAllowLocalFormats() const noexcept { return FAllowLocalFormats; }
    char16_t GetDecimalSeparator() const noexcept { return FDecimalSeparator; }

    // Takes a copy of the text and reads its first token.
    void InitParsing(std::u16string_view text);
    // The whole text as one condition; text after it is an error.
    std::unique_ptr<TTdbSearchCondition> ParseCondition();

private:
    class TNesting;

    TSqlScanner& Scanner() { return *FScanner; }
    TSqlTokenType Token() const { return FScanner->TokenType(); }
    void Next() { FScanner->NextToken(); }
    void Expect(TSqlTokenType type);
    void Skip(TSqlTokenType type);
    [[noreturn]] void RaiseUnsupported(std::u16string_view what) const;

    std::unique_ptr<TTdbSearchCondition> ParseSearchCondition();
    std::unique_ptr<TTdbXorTerm> ParseXorTerm();
    std::unique_ptr<TTdbBooleanTerm> ParseBooleanTerm();
    std::unique_ptr<TTdbBooleanFactor> ParseBooleanFactor();
    void ParsePredicate(TTdbBooleanFactor& factor);
    std::unique_ptr<TTdbExpression> ParseExpression();
    std::unique_ptr<TTdbTerm> ParseTerm();
    std::unique_ptr<TTdbFactor> ParseFactor();
    std::unique_ptr<TTdbSqlCaseOperation> ParseCase();
    void ParseName(TTdbSimpleFactor& factor);
    std::unique_ptr<TSqlStdFunction> ParseSqlFunction(const TSqlFunctionInfo& info);
    void ParseSpecialForm(TSqlStdFunction& function);
    std::unique_ptr<TTablePlFunction> ParseDataFunction(std::u16string name);
    void ParseNumber(TTdbSimpleFactor& factor);
    void ParseString(TTdbSimpleFactor& factor);
    void ParseTypedString(TTdbSimpleFactor& factor, TTdbColumnType type);

    std::u16string FText;
    std::optional<TSqlScanner> FScanner;
    bool FAllowLocalFormats = false;
    char16_t FDecimalSeparator = u',';
    int FDepth = 0;
    // Offsets of "(" that did not open a condition: re-reading them as one
    // after backing out of an enclosing attempt would only fail again, and
    // doing so at every level of a nest would cost exponential time.
    std::unordered_set<std::size_t> FNoConditionAt;
};

}  // namespace tdb
