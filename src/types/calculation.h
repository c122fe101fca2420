// The abstract calculations and conditions that table definitions own (column
// formulas and defaults, index expressions, checks), and the factory through
// which the expression layer supplies their concrete classes.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tdb {

class TTdbDataType;
class TTdbDataValue;

// A relation of a session's catalog, 1 to 254; 0 means none.
using TTdbRltnIdx = std::int16_t;
// The number of an index of a table, 0 to 50.
using TTdbIndexNo = std::int16_t;
// A set of relation indexes 0 to 255.
using TTdbRltnIdxSet = std::bitset<256>;

// The syntax an expression source is written in.
enum TTdbExpressionSyntax : std::uint8_t { tesTablePL = 0, tesTableSQL = 1 };

// Three-valued truth of a condition; only tvTrue lets a record pass.
enum TTdbTruthValue : std::uint8_t { tvTrue = 0, tvFalse = 1, tvUnknown = 2 };

// A value computed from a record: a column's default value or formula, or the
// key of an expression index.
class TTdbCalculation {
public:
    explicit TTdbCalculation(std::u16string source) : FSource(std::move(source)) {}
    virtual ~TTdbCalculation();

    virtual TTdbExpressionSyntax GetKind() const = 0;
    virtual std::unique_ptr<TTdbCalculation> Clone() const = 0;
    // Binds the expression to the relation whose records it reads.
    virtual void Prepare(TTdbRltnIdx rltnIdx, std::uint32_t options) = 0;
    virtual void Unprepare() = 0;
    virtual bool IsSame(const TTdbCalculation& other) const = 0;
    // Against the records the prepared relations currently hold.
    virtual void Calculate(TTdbDataValue& result) = 0;
    // Against one record image of the given relation.
    virtual void Calculate(TTdbRltnIdx rltnIdx, std::span<const std::byte> recBuffer,
                           TTdbDataValue& result) = 0;

    const std::u16string& GetSource() const noexcept { return FSource; }
    const TTdbRltnIdxSet& GetUsedRelations() const noexcept { return FUsedRelations; }
    // Known once the calculation is prepared; null before.
    const TTdbDataType* GetResultType() const noexcept { return FResultType; }

protected:
    // The copy a concrete Clone starts from: source, relations and result type.
    TTdbCalculation(const TTdbCalculation&) = default;
    TTdbCalculation& operator=(const TTdbCalculation&) = default;

    std::u16string FSource;
    TTdbRltnIdxSet FUsedRelations;
    const TTdbDataType* FResultType = nullptr;
};

// A search condition over the records of one or more relations: checks,
// filters.
class TTdbCondition {
public:
    explicit TTdbCondition(std::u16string source) : FSource(std::move(source)) {}
    virtual ~TTdbCondition();

    virtual TTdbExpressionSyntax GetKind() const = 0;
    virtual std::unique_ptr<TTdbCondition> Clone() const = 0;
    virtual void Prepare(const TTdbRltnIdxSet& availableRltnIdxs, TTdbRltnIdx primaryRltnIdx,
                         std::uint32_t options) = 0;
    virtual void Unprepare() = 0;
    // Against the current records; rltnIdxs receives the relations consulted.
    virtual TTdbTruthValue Evaluate(TTdbRltnIdxSet& rltnIdxs) = 0;
    virtual TTdbTruthValue Evaluate(TTdbRltnIdx rltnIdx, std::span<const std::byte> recBuffer) = 0;
    // The index to scan the relation with and the entries that bound the scan,
    // or a negative number when no index fits.
    virtual int FindBestIndexAndBounds(TTdbRltnIdx rltnIdx, std::vector<std::byte>& lowerBound,
                                       std::vector<std::byte>& upperBound) = 0;

    TTdbTruthValue Evaluate();

    const std::u16string& GetSource() const noexcept { return FSource; }

protected:
    TTdbCondition(const TTdbCondition&) = default;
    TTdbCondition& operator=(const TTdbCondition&) = default;

    std::u16string FSource;
};

// Makes the concrete calculations and conditions; each session's services
// implement it on top of the expression layer.
class TTdbExpressionFactory {
public:
    virtual ~TTdbExpressionFactory();

    // The source is as it is compiled: without the "@" of the stored form.
    virtual std::unique_ptr<TTdbCalculation> CreateCalculation(std::u16string_view source,
                                                               TTdbExpressionSyntax kind,
                                                               std::int16_t tableLevel) = 0;
    virtual std::unique_ptr<TTdbCondition> CreateCondition(std::u16string_view source,
                                                           TTdbExpressionSyntax kind,
                                                           std::int16_t tableLevel) = 0;
};

// An expression source as a table definition stores it, taken apart.
struct TTdbStoredExpression {
    TTdbExpressionSyntax Kind = tesTablePL;
    std::u16string Source;  // what the compiler gets
};

// Tables up to level 4 know only the procedural syntax. From level 5 a leading
// "@" marks it and everything else is SQL; an empty source is an empty SQL
// expression at every level.
TTdbStoredExpression ParseStoredExpression(std::u16string_view stored, std::int16_t tableLevel);

// The stored form of a source: from level 5 a procedural source gets its "@"
// back so that reading it again yields the same syntax. Conditions take the
// same road: stored bare, a procedural check would come back as SQL.
std::u16string StoredExpressionSource(std::u16string_view source, TTdbExpressionSyntax kind,
                                      std::int16_t tableLevel);
std::u16string StoredExpressionSource(const TTdbCalculation& calculation, std::int16_t tableLevel);
std::u16string StoredExpressionSource(const TTdbCondition& condition, std::int16_t tableLevel);

// Builds what a stored source describes through the factory.
std::unique_ptr<TTdbCalculation> CreateStoredCalculation(TTdbExpressionFactory& factory,
                                                         std::u16string_view stored,
                                                         std::int16_t tableLevel);
std::unique_ptr<TTdbCondition> CreateStoredCondition(TTdbExpressionFactory& factory,
                                                     std::u16string_view stored,
                                                     std::int16_t tableLevel);

}  // namespace tdb
