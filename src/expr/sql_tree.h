// The syntax tree of conditions: what the parser builds from a condition text
// and what preparation and evaluation later bind, type and compute.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "expr/eval_context.h"
#include "types/data_type.h"

namespace tdb {

class TTdbSearchCondition;
class TTdbExpression;

// Every node writes itself back as a normalised condition text: keywords in
// upper case, one blank around binary operators, strings and names re-quoted.
// Parsing that text again gives the same text.
class TTdbSqlNode {
public:
    virtual ~TTdbSqlNode() = default;
    TTdbSqlNode(const TTdbSqlNode&) = delete;
    TTdbSqlNode& operator=(const TTdbSqlNode&) = delete;

    std::u16string GetSqlText() const;
    virtual void AppendSqlText(std::u16string& out) const = 0;

protected:
    TTdbSqlNode() = default;
};

// The values are part of the engine's vocabulary; keep them.
enum TTdbComparisonOperator : std::uint8_t {
    tcoNone = 0,  // the factor is a parenthesised condition
    tcoIsNull = 1,
    tcoIsNotNull = 2,
    tcoEqual = 3,
    tcoEqualNull = 4,  // "=" that also holds for two NULLs; made by the optimiser only
    tcoUnequal = 5,
    tcoLess = 6,
    tcoLessOrEqual = 7,
    tcoGreater = 8,
    tcoGreaterOrEqual = 9,
    tcoIn = 10,
    tcoBetween = 11,
    tcoLike = 12,
    tcoHas = 13,
    tcoContains = 14,
    tcoFullTextRank = 15,
    tcoExists = 16,
};

enum TSqlFactorSign : std::uint8_t {
    sfsNone = 0,
    sfsMinus = 1,
    sfsPlus = 2,
};

enum TTdbSimpleFactorType : std::uint8_t {
    sftUnknown = 0,
    sftFunction = 1,
    sftExpression = 2,
    sftLiteral = 3,
    sftColumn = 4,
    sftParameter = 5,
    sftOuterReference = 6,
};

// The SQL functions. Synonyms share one value: LENGTH is LEN, NOW is
// CURRENT_TIME, TODAY is CURRENT_DATE.
enum TFunctionId : std::uint8_t {
    sftAbs,
    sftAvg,
    sftCast,
    sftCeiling,
    sftCharLength,
    sftChr,
    sftCount,
    sftCurrentDate,
    sftCurrentTime,
    sftCurrentTimeStamp,
    sftCurrentRecordId,
    sftDigitStr,
    sftExchange,
    sftExp,
    sftExtract,
    sftFillStr,
    sftFirst,
    sftFloor,
    sftFrac,
    sftInt,
    sftLast,
    sftLen,
    sftLog,
    sftLower,
    sftLTrim,
    sftMax,
    sftMin,
    sftNTimes,
    sftRandom,
    sftRealVal,
    sftRound,
    sftRTrim,
    sftSqrt,
    sftStr,
    sftSum,
    sftSubstring,
    sftTrim,
    sftUpper,
    // Made while choosing an index for LIKE; never written in a condition.
    sftLikeLower,
    sftLikeUpper,
};

// One entry of the SQL function table. Special forms have their own syntax
// and no argument counts.
struct TSqlFunctionInfo {
    std::u16string_view Name;  // upper case
    TFunctionId Id;
    std::int8_t MinArguments;
    std::int8_t MaxArguments;
    bool Special;
};

// The function a word names (any case), or null. Does not allocate.
const TSqlFunctionInfo* FindSqlFunction(std::u16string_view name) noexcept;
// The name GetSqlText writes for a function.
std::u16string_view SqlFunctionName(TFunctionId id) noexcept;

// A name as it has to be written so that it reads back as that name: bare
// when it is a plain identifier that is neither a keyword nor the name of an
// SQL function, else in double quotes.
std::u16string SqlQuotedName(std::u16string_view name);
// A string literal in apostrophes, inner apostrophes doubled.
std::u16string SqlQuotedString(std::u16string_view text);

// The parts EXTRACT can take from a date, time or time stamp.
enum TSqlDateTimePart : std::uint8_t {
    sdpYear,
    sdpMonth,
    sdpDay,
    sdpWeekDay,
    sdpWeekDayName,
    sdpWeek,
    sdpHour,
    sdpMinute,
    sdpSecond,
    sdpMillisecond,
};

// The part a word names (any case); false for other words.
bool FindSqlDateTimePart(std::u16string_view name, TSqlDateTimePart& part) noexcept;
std::u16string_view SqlDateTimePartName(TSqlDateTimePart part) noexcept;

// The SQL type names CAST converts to; the upper-case form of Name, or empty
// when it names none of them.
std::u16string_view FindSqlCastTypeName(std::u16string_view name) noexcept;

// Which ends TRIM cuts. sttNone: no keyword was given, both ends lose spaces.
enum TSqlTrimMode : std::uint8_t {
    sttNone,
    sttLeading,
    sttTrailing,
    sttBoth,
};

// How a literal was written: GetSqlText writes it back the same way, and
// preparation re-types it from its text by the column it meets.
enum TTdbLiteralKind : std::uint8_t {
    tlkNull,
    tlkBoolean,
    tlkNumber,       // a number token: BigInt, Float, Date, Time or TimeStamp
    tlkString,       // String or WideString
    tlkTypedString,  // DATE '...', TIME '...', TIMESTAMP '...'
};

// What preparing leaves in a node beyond its type: converted argument cells,
// a resolved function and the like. Each kind of node knows its own.
struct TSqlNodeState {
    virtual ~TSqlNodeState() = default;
};

// A node that has a value: its type and result cell are filled in while
// preparing and evaluating.
class TTdbSqlValueNode : public TTdbSqlNode {
public:
    const TTdbDataType* FDataType = nullptr;
    TTdbDataValue FResultValue;
    std::unique_ptr<TSqlNodeState> FState;
};

// ---- Functions ----

class TSqlFunction : public TTdbSqlValueNode {
public:
    std::vector<std::unique_ptr<TTdbExpression>> FArguments;

protected:
    void AppendArguments(std::u16string& out) const;
};

// A call of an SQL function of the table, with the data of its special form.
class TSqlStdFunction : public TSqlFunction {
public:
    explicit TSqlStdFunction(TFunctionId id) : FSqlFunction(id) {}
    void AppendSqlText(std::u16string& out) const override;

    TFunctionId FSqlFunction;
    bool FCountAll = false;                   // COUNT(*): no arguments
    std::u16string FCastTypeName;             // CAST: the SQL type name, upper case
    TSqlDateTimePart FExtractPart = sdpYear;  // EXTRACT
    // TRIM: the argument is FArguments[0]; the characters to cut are a
    // string of their own, written after the keyword.
    TSqlTrimMode FTrimMode = sttNone;
    bool FHasTrimCharacters = false;
    std::u16string FTrimCharacters;
    std::u16string FTableName;  // CURRENTRECORDID: the table, path and ".dat" cut off
};

// A call of one of the engine's data functions by name; the name is looked
// up while preparing.
class TTablePlFunction : public TSqlFunction {
public:
    void AppendSqlText(std::u16string& out) const override;

    std::u16string FName;
};

// ---- Arithmetic ----

// A factor with its sign: a simple factor or a CASE.
class TTdbSqlCaseOperation;

class TTdbFactor : public TTdbSqlValueNode {
public:
    void AppendSqlText(std::u16string& out) const override;
    // The CASE operation this factor is, or null; evaluation asks for every record.
    virtual TTdbSqlCaseOperation* AsCaseOperation() noexcept { return nullptr; }

    TSqlFactorSign FSign = sfsNone;
    // The type before the sign is applied; FDataType is the one after it.
    const TTdbDataType* FUnsignedType = nullptr;

protected:
    virtual void AppendUnsignedText(std::u16string& out) const = 0;
};

class TTdbSimpleFactor : public TTdbFactor {
public:
    TTdbSimpleFactorType FType = sftUnknown;
    std::unique_ptr<TSqlFunction> FSqlFunction;   // sftFunction
    std::unique_ptr<TTdbExpression> FExpression;  // sftExpression: "(" expression ")"
    // sftLiteral: the value with its type before it meets a column, and how
    // it was written; FColumnNameOrLiteral holds its text (a number with "."
    // as decimal separator, a string without its apostrophes).
    TTdbLiteralKind FLiteralKind = tlkNull;
    const TTdbDataType* FLiteralType = nullptr;
    TTdbDataValue FLiteralValue;
    // sftColumn: the column's name; sftLiteral: the literal's text.
    std::u16string FColumnNameOrLiteral;
    std::u16string FTableName;      // sftColumn written as table.column
    std::u16string FParameterName;  // sftParameter, without the colon
    // sftColumn, once bound; FLiteralValue then serves as the cell the
    // column's value is read into.
    TTdbColumnHandle FColumn;

protected:
    void AppendUnsignedText(std::u16string& out) const override;
};

// One WHEN of a CASE: a condition (searched form) or a value compared with
// the case operand by "=" (simple form), and the result.
struct TTdbSqlCaseWhen {
    std::unique_ptr<TTdbSearchCondition> FCondition;
    std::unique_ptr<TTdbExpression> FValue;
    std::unique_ptr<TTdbExpression> FResult;
};

class TTdbSqlCaseOperation : public TTdbFactor {
public:
    TTdbSqlCaseOperation* AsCaseOperation() noexcept override { return this; }
    std::unique_ptr<TTdbExpression> FCaseOperand;  // simple form only
    std::vector<TTdbSqlCaseWhen> FWhens;           // at least one
    std::unique_ptr<TTdbExpression> FElse;         // optional

protected:
    void AppendUnsignedText(std::u16string& out) const override;
};

// Chains of equal precedence are kept flat and read from left to right, so
// «a - b - c» is (a - b) - c and «a DIV b * c» is (a DIV b) * c, and a long
// chain costs no recursion. FOperator is the operator before its operand.
struct TTdbTermOperand {
    TTdbDataBinaryOperator FOperator;  // Multiply, Divide, IntDivide, Remainder
    std::unique_ptr<TTdbFactor> FFactor;
    // The type and value of the chain up to and including this operand.
    const TTdbDataType* FResultType = nullptr;
    TTdbDataValue FResultValue;
};

class TTdbTerm : public TTdbSqlValueNode {
public:
    void AppendSqlText(std::u16string& out) const override;

    std::unique_ptr<TTdbFactor> FFactor;
    std::vector<TTdbTermOperand> FOperands;
};

struct TTdbExpressionOperand {
    TTdbDataBinaryOperator FOperator;  // Add, Subtract
    std::unique_ptr<TTdbTerm> FTerm;
    const TTdbDataType* FResultType = nullptr;
    TTdbDataValue FResultValue;
};

class TTdbExpression : public TTdbSqlValueNode {
public:
    void AppendSqlText(std::u16string& out) const override;

    std::unique_ptr<TTdbTerm> FTerm;
    std::vector<TTdbExpressionOperand> FOperands;
};

// ---- Conditions ----

// The list of IN.
class TTdbSqlValueSet : public TTdbSqlNode {
public:
    void AppendSqlText(std::u16string& out) const override;

    std::vector<std::unique_ptr<TTdbExpression>> FValues;
};

// A comparison, or a parenthesised condition (tcoNone), either one possibly
// negated.
class TTdbBooleanFactor : public TTdbSqlNode {
public:
    void AppendSqlText(std::u16string& out) const override;

    bool FIsNot = false;
    TTdbComparisonOperator FComparisonOperator = tcoNone;
    std::unique_ptr<TTdbExpression> FExpressionLeft;
    std::unique_ptr<TTdbExpression> FExpressionRight;    // BETWEEN: the upper bound
    std::unique_ptr<TTdbExpression> FExpressionRightEx;  // BETWEEN: the lower bound
    std::unique_ptr<TTdbSqlValueSet> FValueSet;          // IN
    char16_t FLikeEscapeChar = 0;                        // LIKE ... ESCAPE; 0 for none
    std::unique_ptr<TTdbSearchCondition> FSearchCondition;
    std::uint8_t FOptions = 0;  // the condition's option byte, stored while preparing
};

// Factors joined by AND.
class TTdbBooleanTerm : public TTdbSqlNode {
public:
    void AppendSqlText(std::u16string& out) const override;

    std::vector<std::unique_ptr<TTdbBooleanFactor>> FFactors;
};

// Terms joined by XOR: it binds more weakly than AND and more strongly than OR.
class TTdbXorTerm : public TTdbSqlNode {
public:
    void AppendSqlText(std::u16string& out) const override;

    std::vector<std::unique_ptr<TTdbBooleanTerm>> FTerms;
};

// Terms joined by OR: a whole condition, or one in parentheses.
class TTdbSearchCondition : public TTdbSqlNode {
public:
    void AppendSqlText(std::u16string& out) const override;

    std::vector<std::unique_ptr<TTdbXorTerm>> FTerms;
};

}  // namespace tdb
