#include "expr/sql_condition.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "expr/index_choice.h"
#include "expr/sql_functions.h"
#include "expr/sql_parser.h"
#include "types/text_forms.h"
#include "types/type_errors.h"

namespace tdb {

namespace {

inline constexpr std::int16_t kTdbErrInvalidCondition = 7;
inline constexpr std::int16_t kTdbErrOutOfAllowedRange = 43;
inline constexpr std::int16_t kTdbErrInvalidDate = 137;
inline constexpr std::int16_t kTdbErrInvalidTime = 140;
inline constexpr std::int16_t kTdbErrNoValue = 161;

// ---- Rewrites before preparing ----

TTdbBooleanFactor* SingleFactor(TTdbXorTerm& term) {
    if (term.FTerms.size() != 1 || term.FTerms[0]->FFactors.size() != 1) {
        return nullptr;
    }
    return term.FTerms[0]->FFactors[0].get();
}

TTdbBooleanFactor* SingleFactor(TTdbSearchCondition& condition) {
    return condition.FTerms.size() == 1 ? SingleFactor(*condition.FTerms[0]) : nullptr;
}

void Optimise(TTdbSearchCondition& condition);

// A parenthesised single factor is that factor; the NOTs cancel or add up.
void OptimiseFactor(std::unique_ptr<TTdbBooleanFactor>& factor) {
    if (factor->FComparisonOperator != tcoNone) {
        return;
    }
    Optimise(*factor->FSearchCondition);
    while (factor->FComparisonOperator == tcoNone) {
        TTdbSearchCondition& inner = *factor->FSearchCondition;
        if (SingleFactor(inner) == nullptr) {
            break;
        }
        std::unique_ptr<TTdbBooleanFactor> single =
            std::move(inner.FTerms[0]->FTerms[0]->FFactors[0]);
        single->FIsNot = single->FIsNot != factor->FIsNot;
        factor = std::move(single);
    }
}

// «a = b» or «NOT a <> b».
bool IsEquality(const TTdbBooleanFactor& factor) {
    return (factor.FComparisonOperator == tcoEqual && !factor.FIsNot) ||
           (factor.FComparisonOperator == tcoUnequal && factor.FIsNot);
}

// «(a IS NULL AND b IS NULL)» with the operands of Equality in either order.
bool IsBothNull(const TTdbBooleanFactor& factor, const TTdbBooleanFactor& equality) {
    if (factor.FComparisonOperator != tcoNone || factor.FIsNot) {
        return false;
    }
    TTdbSearchCondition& inner = *factor.FSearchCondition;
    if (inner.FTerms.size() != 1 || inner.FTerms[0]->FTerms.size() != 1) {
        return false;
    }
    const auto& factors = inner.FTerms[0]->FTerms[0]->FFactors;
    if (factors.size() != 2) {
        return false;
    }
    for (const auto& test : factors) {
        if (test->FComparisonOperator != tcoIsNull || test->FIsNot) {
            return false;
        }
    }
    const std::u16string a = equality.FExpressionLeft->GetSqlText();
    const std::u16string b = equality.FExpressionRight->GetSqlText();
    const std::u16string x = factors[0]->FExpressionLeft->GetSqlText();
    const std::u16string y = factors[1]->FExpressionLeft->GetSqlText();
    return (a == x && b == y) || (a == y && b == x);
}

// «a = b OR (a IS NULL AND b IS NULL)» is one comparison that treats two
// NULLs as equal, which an index can serve and which costs one comparison.
void MergeEqualNull(TTdbSearchCondition& condition) {
    auto& terms = condition.FTerms;
    for (std::size_t i = 0; i + 1 < terms.size(); ++i) {
        TTdbBooleanFactor* first = SingleFactor(*terms[i]);
        TTdbBooleanFactor* second = SingleFactor(*terms[i + 1]);
        if (first == nullptr || second == nullptr) {
            continue;
        }
        TTdbBooleanFactor* equality = nullptr;
        if (IsEquality(*first) && IsBothNull(*second, *first)) {
            equality = first;
        } else if (IsEquality(*second) && IsBothNull(*first, *second)) {
            equality = second;
        }
        if (equality == nullptr) {
            continue;
        }
        equality->FComparisonOperator = tcoEqualNull;
        equality->FIsNot = false;
        if (equality == second) {
            std::swap(terms[i], terms[i + 1]);
        }
        terms.erase(terms.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    }
}

void Optimise(TTdbSearchCondition& condition) {
    for (auto& xorTerm : condition.FTerms) {
        for (auto& andTerm : xorTerm->FTerms) {
            for (auto& factor : andTerm->FFactors) {
                OptimiseFactor(factor);
            }
        }
    }
    MergeEqualNull(condition);
}

// ---- Preparing ----

[[noreturn]] void RaiseMismatch(std::u16string_view from, std::u16string_view to) {
    RaiseEngineError(kTdbErrTypeMismatch, {std::u16string(from) + u"->" + std::u16string(to)});
}

[[noreturn]] void RaiseNotSupported(std::u16string_view what) {
    RaiseEngineError(kTdbErrNotSupported, {std::u16string(what) + u" in a condition"});
}

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    const auto up = [](char16_t c) {
        return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
    };
    return std::equal(a.begin(), a.end(), b.begin(),
                      [&](char16_t x, char16_t y) { return up(x) == up(y); });
}

// A literal or parameter alone, possibly signed: it takes the type of what it is compared with.
TTdbSimpleFactor* BareLiteral(TTdbExpression& expression) {
    if (!expression.FOperands.empty() || !expression.FTerm->FOperands.empty()) {
        return nullptr;
    }
    auto* simple = dynamic_cast<TTdbSimpleFactor*>(expression.FTerm->FFactor.get());
    if (simple == nullptr || (simple->FType != sftLiteral && simple->FType != sftParameter)) {
        return nullptr;
    }
    return simple;
}

class TPreparer final : public TSqlPrepareHost {
public:
    TPreparer(TTdbEvalContext& context, std::uint8_t options,
              std::span<const TTdbSqlParameter> parameters)
        : FContext(context), FOptions(options), FParameters(parameters) {}

    void PrepareOperand(TTdbExpression& expression, const TTdbDataType* reference) override {
        PrepareExpression(expression, reference);
    }
    void PrepareSubCondition(TTdbSearchCondition& condition) override {
        PrepareCondition(condition);
    }
    TTdbEvalContext& Context() override { return FContext; }

    void PrepareCondition(TTdbSearchCondition& condition) {
        for (auto& xorTerm : condition.FTerms) {
            for (auto& andTerm : xorTerm->FTerms) {
                for (auto& factor : andTerm->FFactors) {
                    PrepareFactor(*factor);
                }
            }
        }
    }

private:
    void PrepareFactor(TTdbBooleanFactor& factor);
    void PrepareComparisonOperands(TTdbBooleanFactor& factor);
    void CheckTypes(const TTdbBooleanFactor& factor) const;
    // Reference: the type a bare literal takes, or null to keep its own.
    void PrepareExpression(TTdbExpression& expression, const TTdbDataType* reference);
    void PrepareTerm(TTdbTerm& term);
    void PrepareFactorValue(TTdbFactor& factor);
    void RetypeLiteral(TTdbSimpleFactor& literal, const TTdbDataType* reference) const;

    TTdbEvalContext& FContext;
    std::uint8_t FOptions;
    std::span<const TTdbSqlParameter> FParameters;
};

void TPreparer::PrepareFactor(TTdbBooleanFactor& factor) {
    factor.FOptions = FOptions;
    switch (factor.FComparisonOperator) {
        case tcoNone:
            PrepareCondition(*factor.FSearchCondition);
            return;
        case tcoIsNull:
        case tcoIsNotNull:
            PrepareExpression(*factor.FExpressionLeft, nullptr);
            return;
        case tcoContains:
        case tcoFullTextRank:
        case tcoExists:
            RaiseNotSupported(u"This predicate");
        default:
            break;
    }
    PrepareComparisonOperands(factor);
    if ((FOptions & kConditionPartialCompare) != 0 && factor.FComparisonOperator == tcoEqual &&
        factor.FExpressionLeft->FDataType->IsStringType()) {
        TTdbSimpleFactor* literal = BareLiteral(*factor.FExpressionRight);
        if (literal != nullptr && literal->FType == sftLiteral &&
            literal->FLiteralKind == tlkString && !literal->FColumnNameOrLiteral.empty() &&
            literal->FColumnNameOrLiteral.back() == u'*') {
            literal->FColumnNameOrLiteral.back() = u'%';
            PrepareExpression(*factor.FExpressionRight, factor.FExpressionLeft->FDataType);
            factor.FComparisonOperator = tcoLike;
        }
    }
    CheckTypes(factor);
}

void TPreparer::PrepareComparisonOperands(TTdbBooleanFactor& factor) {
    std::vector<TTdbExpression*> right;
    if (factor.FExpressionRight) {
        right.push_back(factor.FExpressionRight.get());
    }
    if (factor.FExpressionRightEx) {
        right.push_back(factor.FExpressionRightEx.get());
    }
    if (factor.FValueSet) {
        for (auto& value : factor.FValueSet->FValues) {
            right.push_back(value.get());
        }
    }
    TTdbExpression& left = *factor.FExpressionLeft;
    const bool leftBare = BareLiteral(left) != nullptr;
    const TTdbDataType* reference = nullptr;
    if (!leftBare) {
        PrepareExpression(left, nullptr);
        reference = left.FDataType;
        // Said before a pattern is read as a value of the wrong type.
        if ((factor.FComparisonOperator == tcoLike || factor.FComparisonOperator == tcoHas) &&
            !reference->IsStringType()) {
            RaiseMismatch(reference->GetSqlName(), u"String");
        }
    }
    for (TTdbExpression* side : right) {
        if (BareLiteral(*side) == nullptr) {
            PrepareExpression(*side, nullptr);
            if (leftBare && reference == nullptr) {
                reference = side->FDataType;
            }
        }
    }
    if (leftBare) {
        PrepareExpression(left, reference);
        reference = left.FDataType;
    }
    for (TTdbExpression* side : right) {
        if (BareLiteral(*side) != nullptr) {
            PrepareExpression(*side, reference);
        }
    }
}

void TPreparer::CheckTypes(const TTdbBooleanFactor& factor) const {
    const TTdbDataType* left = factor.FExpressionLeft->FDataType;
    if (factor.FComparisonOperator == tcoLike || factor.FComparisonOperator == tcoHas) {
        const TTdbDataType* right = factor.FExpressionRight->FDataType;
        if (!left->IsStringType()) {
            RaiseMismatch(left->GetSqlName(), u"String");
        }
        if (!right->IsStringType()) {
            RaiseMismatch(right->GetSqlName(), u"String");
        }
        return;
    }
    const auto check = [left](const TTdbExpression& side) {
        if (!TTdbDataType::CanCompare(left, side.FDataType)) {
            RaiseMismatch(side.FDataType->GetSqlName(), left->GetSqlName());
        }
    };
    if (factor.FExpressionRight) {
        check(*factor.FExpressionRight);
    }
    if (factor.FExpressionRightEx) {
        check(*factor.FExpressionRightEx);
    }
    if (factor.FValueSet) {
        for (const auto& value : factor.FValueSet->FValues) {
            check(*value);
        }
    }
}

void TPreparer::PrepareExpression(TTdbExpression& expression, const TTdbDataType* reference) {
    if (reference != nullptr) {
        if (TTdbSimpleFactor* literal = BareLiteral(expression)) {
            if (literal->FType == sftParameter) {
                BindSqlParameter(*literal, FParameters, reference);
            } else {
                RetypeLiteral(*literal, reference);
            }
        }
    }
    PrepareTerm(*expression.FTerm);
    const TTdbDataType* type = expression.FTerm->FDataType;
    for (TTdbExpressionOperand& operand : expression.FOperands) {
        PrepareTerm(*operand.FTerm);
        const TTdbDataType* result =
            TTdbDataType::GetResultDataType(operand.FOperator, type, operand.FTerm->FDataType);
        if (result == nullptr) {
            RaiseMismatch(operand.FTerm->FDataType->GetSqlName(), type->GetSqlName());
        }
        operand.FResultType = result;
        type = result;
    }
    expression.FDataType = type;
}

void TPreparer::PrepareTerm(TTdbTerm& term) {
    PrepareFactorValue(*term.FFactor);
    const TTdbDataType* type = term.FFactor->FDataType;
    for (TTdbTermOperand& operand : term.FOperands) {
        PrepareFactorValue(*operand.FFactor);
        const TTdbDataType* result =
            TTdbDataType::GetResultDataType(operand.FOperator, type, operand.FFactor->FDataType);
        if (result == nullptr) {
            RaiseMismatch(operand.FFactor->FDataType->GetSqlName(), type->GetSqlName());
        }
        operand.FResultType = result;
        type = result;
    }
    term.FDataType = type;
}

void TPreparer::PrepareFactorValue(TTdbFactor& factor) {
    auto* simple = dynamic_cast<TTdbSimpleFactor*>(&factor);
    const TTdbDataType* type = nullptr;
    switch (simple == nullptr ? sftUnknown : simple->FType) {
        case sftLiteral:
            type = simple->FLiteralType;
            break;
        case sftColumn: {
            if (!FContext.FindColumn(simple->FTableName, simple->FColumnNameOrLiteral,
                                     simple->FColumn)) {
                RaiseEngineError(kTdbErrUnknownIdentifier, {simple->FColumnNameOrLiteral});
            }
            type = TTdbDataType::GetVariableType(simple->FColumn.DataType);
            break;
        }
        case sftExpression:
            PrepareExpression(*simple->FExpression, nullptr);
            type = simple->FExpression->FDataType;
            break;
        case sftParameter:
            if (simple->FLiteralType == nullptr) {
                BindSqlParameter(*simple, FParameters, nullptr);
            }
            type = simple->FLiteralType;
            break;
        case sftFunction:
            type = PrepareSqlFunction(*this, *simple->FSqlFunction);
            break;
        default:
            if (auto* operation = dynamic_cast<TTdbSqlCaseOperation*>(&factor)) {
                type = PrepareSqlCase(*this, *operation);
                break;
            }
            RaiseNotSupported(u"This operand");
    }
    factor.FUnsignedType = type;
    if (factor.FSign == sfsMinus) {
        const TTdbDataType* negated =
            TTdbDataType::GetResultDataType(TTdbDataUnaryOperator::Negate, type);
        if (negated == nullptr) {
            RaiseMismatch(type->GetSqlName(), u"-");
        }
        type = negated;
    }
    factor.FDataType = type;
}

// Gives the literal the reference's type, read again from the text it was written as.
void TPreparer::RetypeLiteral(TTdbSimpleFactor& literal, const TTdbDataType* reference) const {
    const std::u16string& text = literal.FColumnNameOrLiteral;
    const bool local = (FOptions & kConditionLocalFormats) != 0;
    TTdbDataValue value;
    const TTdbDataType* type = nullptr;
    const TTdbColumnType columnType = reference->GetColumnType();
    if (literal.FLiteralKind == tlkNull) {
        type = reference->GetNullableType(true);
        type->SetNull(value);
    } else if (reference->IsStringType()) {
        const auto* stringType = static_cast<const TTdbStringType*>(reference);
        // As long as the literal needs, so that a column shorter than the
        // literal does not cut it and turn a mismatch into a match.
        type = TTdbDataType::GetApproxStringType(
            reference->IsAnsiStringType() ? ctString : ctWideString, true,
            std::clamp<std::int32_t>(
                static_cast<std::int32_t>(std::min<std::size_t>(text.size(), kMaxStringLength)), 1,
                reference->IsAnsiStringType() ? kMaxStringLength : kMaxWideStringLength),
            stringType->GetCollationName());
        type->SetWideString(value, text);
    } else if (columnType == ctChar) {
        // A Char compares with Chars only: the literal is one, or no Char can
        // ever equal it.
        if (text.size() > 1) {
            RaiseMismatch(text, reference->GetSqlName());
        }
        type = reference->GetNullableType(true);
        type->SetWideString(value, text);
    } else if (columnType == ctFloat) {
        std::optional<double> number = TryFloatFromText(text);
        if (!number && local) {
            std::u16string localText = text;
            std::replace(localText.begin(), localText.end(), FContext.GetDecimalSeparator(), u'.');
            number = TryFloatFromText(localText);
        }
        if (!number) {
            RaiseEngineError(kTdbErrInvalidNumber, {text});
        }
        type = reference->GetNullableType(true);
        type->SetDouble(value, *number);
    } else if (columnType == ctBoolean) {
        bool truth = false;
        if (EqualsIgnoringCase(text, u"Ja") || EqualsIgnoringCase(text, u"True")) {
            truth = true;
        } else if (!EqualsIgnoringCase(text, u"Nein") && !EqualsIgnoringCase(text, u"False")) {
            RaiseMismatch(text, u"Boolean");
        }
        type = reference->GetNullableType(true);
        type->SetInteger(value, truth ? 1 : 0);
    } else if (columnType == ctDate) {
        std::optional<std::int32_t> date;
        if (local) {
            date = FContext.LocalDateFromText(text);
        }
        if (!date) {
            date = TryDateFromText(text);
        }
        if (!date) {
            RaiseEngineError(kTdbErrInvalidDate, {text});
        }
        type = reference->GetNullableType(true);
        type->SetDate(value, *date);
    } else if (columnType == ctTime) {
        std::optional<std::int64_t> time;
        if (local) {
            time = FContext.LocalTimeFromText(text);
        }
        if (!time) {
            time = TryTimeFromText(text);
        }
        if (!time) {
            RaiseEngineError(kTdbErrInvalidTime, {text});
        }
        type = reference->GetNullableType(true);
        type->SetTime(value, *time);
    } else if (columnType == ctTimeStamp) {
        std::optional<TTdbTimeStamp> stamp;
        if (local) {
            stamp = FContext.LocalTimeStampFromText(text);
        }
        if (!stamp) {
            stamp = TryTimeStampFromText(text);
        }
        if (!stamp) {
            RaiseEngineError(kTdbErrInvalidTimestamp, {text});
        }
        type = reference->GetNullableType(true);
        type->SetTimeStamp(value, *stamp);
    } else if (columnType == ctEnum) {
        // An item's name or its number; either must name an item.
        type = reference->GetNullableType(true);
        try {
            type->ConvertFromString(value, text);
        } catch (const Exception&) {
            RaiseEngineError(kTdbErrUnknownIdentifier, {text});
        }
        if (type->IsNull(value)) {
            RaiseEngineError(kTdbErrUnknownIdentifier, {text});
        }
    } else if (columnType == ctGuid) {
        const std::optional<TTdbGuid> guid = TryGuidFromText(text);
        if (!guid) {
            RaiseEngineError(kTdbErrInvalidNumber, {text});
        }
        type = reference->GetNullableType(true);
        type->SetGuid(value, *guid);
    } else if (reference->IsIntegerFamily()) {
        // A 64-bit literal, so that a value beyond the column's range still
        // compares as what it is.
        const std::optional<std::int64_t> number = TryIntegerFromText(text);
        if (!number) {
            RaiseEngineError(kTdbErrInvalidNumber, {text});
        }
        type = TTdbDataType::GetDataType(ctBigInt, true);
        type->SetInteger(value, *number);
    } else {
        return;  // no text form to read it by: it keeps its own type
    }
    literal.FLiteralType = type;
    literal.FLiteralValue = std::move(value);
}

// ---- Evaluating ----

int Negated(int truth) {
    return truth == kConditionUnknown ? truth : 1 - truth;
}

class TEvaluator final : public TSqlEvaluateHost {
public:
    explicit TEvaluator(TTdbEvalContext& context) : FContext(context) {}

    const TTdbDataValue& EvaluateOperand(TTdbExpression& expression) override {
        return Expression(expression);
    }
    int EvaluateSubCondition(TTdbSearchCondition& condition) override {
        return Condition(condition);
    }
    TTdbEvalContext& Context() override { return FContext; }

    int Condition(TTdbSearchCondition& condition) {
        int result = XorTerm(*condition.FTerms[0]);
        for (std::size_t i = 1; i < condition.FTerms.size(); ++i) {
            if (result == kConditionTrue) {
                return result;
            }
            const int next = XorTerm(*condition.FTerms[i]);
            if (next != kConditionFalse) {
                result = next;
            }
        }
        return result;
    }

    const TTdbDataValue& Expression(TTdbExpression& expression);

private:
    int XorTerm(TTdbXorTerm& term) {
        int result = AndTerm(*term.FTerms[0]);
        for (std::size_t i = 1; i < term.FTerms.size(); ++i) {
            const int next = AndTerm(*term.FTerms[i]);
            if (result == kConditionUnknown || next == kConditionUnknown) {
                result = kConditionUnknown;
            } else {
                result = result == next ? kConditionFalse : kConditionTrue;
            }
        }
        return result;
    }

    int AndTerm(TTdbBooleanTerm& term) {
        int result = Factor(*term.FFactors[0]);
        for (std::size_t i = 1; i < term.FFactors.size(); ++i) {
            if (result == kConditionFalse) {
                return result;
            }
            const int next = Factor(*term.FFactors[i]);
            if (next != kConditionTrue) {
                result = next;
            }
        }
        return result;
    }

    int Factor(TTdbBooleanFactor& factor) {
        const int result = Predicate(factor);
        return factor.FIsNot ? Negated(result) : result;
    }

    int Predicate(TTdbBooleanFactor& factor);
    int Compare(TTdbComparisonOperator op, const TTdbDataValue& left, const TTdbDataType* leftType,
                TTdbExpression& right);
    bool Has(const TTdbDataValue& left, const TTdbDataType* leftType, const TTdbDataValue& right,
             const TTdbDataType* rightType);

    const TTdbDataValue& Term(TTdbTerm& term);
    const TTdbDataValue& FactorValue(TTdbFactor& factor);

    TTdbEvalContext& FContext;
};

int TEvaluator::Predicate(TTdbBooleanFactor& factor) {
    const TTdbComparisonOperator op = factor.FComparisonOperator;
    if (op == tcoNone) {
        return Condition(*factor.FSearchCondition);
    }
    TTdbExpression& leftExpression = *factor.FExpressionLeft;
    const TTdbDataValue& left = Expression(leftExpression);
    const TTdbDataType* leftType = leftExpression.FDataType;
    switch (op) {
        case tcoIsNull:
            return leftType->IsNull(left) ? kConditionTrue : kConditionFalse;
        case tcoIsNotNull:
            return leftType->IsNull(left) ? kConditionFalse : kConditionTrue;
        case tcoBetween: {
            const int upper = Compare(tcoLessOrEqual, left, leftType, *factor.FExpressionRight);
            if (upper != kConditionTrue) {
                return upper;
            }
            return Compare(tcoGreaterOrEqual, left, leftType, *factor.FExpressionRightEx);
        }
        case tcoIn: {
            int result = kConditionFalse;
            for (auto& value : factor.FValueSet->FValues) {
                result = Compare(tcoEqual, left, leftType, *value);
                if (result == kConditionTrue) {
                    break;
                }
            }
            return result;
        }
        case tcoLike: {
            const TTdbDataValue& pattern = Expression(*factor.FExpressionRight);
            const bool match = static_cast<const TTdbStringType*>(leftType)->Matches(
                left, pattern, factor.FExpressionRight->FDataType, u'%', u'_',
                factor.FLikeEscapeChar);
            return match ? kConditionTrue : kConditionFalse;
        }
        case tcoHas: {
            const TTdbDataValue& right = Expression(*factor.FExpressionRight);
            return Has(left, leftType, right, factor.FExpressionRight->FDataType) ? kConditionTrue
                                                                                  : kConditionFalse;
        }
        default:
            return Compare(op, left, leftType, *factor.FExpressionRight);
    }
}

int TEvaluator::Compare(TTdbComparisonOperator op, const TTdbDataValue& left,
                        const TTdbDataType* leftType, TTdbExpression& rightExpression) {
    const TTdbDataValue& right = Expression(rightExpression);
    const int order = TTdbDataType::Compare(left, right, leftType, rightExpression.FDataType);
    if (order == kCompareUndetermined) {
        if (op != tcoEqualNull) {
            return kConditionUnknown;
        }
        // Only two NULLs are equal here. One NULL stays unknown, as in the
        // condition this comparison was merged from: false would let a NOT
        // around it pass records the written condition filters out.
        return leftType->IsNull(left) && rightExpression.FDataType->IsNull(right)
                   ? kConditionTrue
                   : kConditionUnknown;
    }
    if (order < 0) {
        RaiseNonCritical();
    }
    bool holds = false;
    switch (op) {
        case tcoEqual:
        case tcoEqualNull:
            holds = order == kCompareEqual;
            break;
        case tcoUnequal:
            holds = order != kCompareEqual;
            break;
        case tcoLess:
            holds = order == kCompareLess;
            break;
        case tcoLessOrEqual:
            holds = order != kCompareGreater;
            break;
        case tcoGreater:
            holds = order == kCompareGreater;
            break;
        case tcoGreaterOrEqual:
            holds = order != kCompareLess;
            break;
        default:
            break;
    }
    return holds ? kConditionTrue : kConditionFalse;
}

// NULL on either side is no text to find, as with LIKE.
bool TEvaluator::Has(const TTdbDataValue& left, const TTdbDataType* leftType,
                     const TTdbDataValue& right, const TTdbDataType* rightType) {
    if (leftType->IsNull(left) || rightType->IsNull(right)) {
        return false;
    }
    constexpr std::size_t kBufferChars = 256;
    char16_t leftBuffer[kBufferChars];
    char16_t rightBuffer[kBufferChars];
    std::u16string leftSpill;
    std::u16string rightSpill;
    const std::u16string_view text = static_cast<const TTdbStringType*>(leftType)->WideView(
        left, leftBuffer, kBufferChars, leftSpill);
    const std::u16string_view part = static_cast<const TTdbStringType*>(rightType)->WideView(
        right, rightBuffer, kBufferChars, rightSpill);
    return text.find(part) != std::u16string_view::npos;
}

// Overflow while computing is reported with the text of the node that overflowed.
template <typename Compute>
void Calculating(const TTdbSqlNode& node, Compute compute) {
    try {
        compute();
    } catch (const ETdbEngine& error) {
        if (error.Code() != kTdbErrValueOutOfRange) {
            throw;
        }
        RaiseEngineError(kTdbErrOutOfAllowedRange, {node.GetSqlText()});
    } catch (const EOverflowError&) {
        RaiseEngineError(kTdbErrOutOfAllowedRange, {node.GetSqlText()});
    }
}

const TTdbDataValue& TEvaluator::Expression(TTdbExpression& expression) {
    const TTdbDataValue* value = &Term(*expression.FTerm);
    const TTdbDataType* type = expression.FTerm->FDataType;
    for (TTdbExpressionOperand& operand : expression.FOperands) {
        const TTdbDataValue& next = Term(*operand.FTerm);
        Calculating(expression, [&] {
            TTdbDataType::Calculate(operand.FOperator, *value, next, operand.FResultValue, type,
                                    operand.FTerm->FDataType, operand.FResultType);
        });
        value = &operand.FResultValue;
        type = operand.FResultType;
    }
    return *value;
}

const TTdbDataValue& TEvaluator::Term(TTdbTerm& term) {
    const TTdbDataValue* value = &FactorValue(*term.FFactor);
    const TTdbDataType* type = term.FFactor->FDataType;
    for (TTdbTermOperand& operand : term.FOperands) {
        const TTdbDataValue& next = FactorValue(*operand.FFactor);
        Calculating(term, [&] {
            TTdbDataType::Calculate(operand.FOperator, *value, next, operand.FResultValue, type,
                                    operand.FFactor->FDataType, operand.FResultType);
        });
        value = &operand.FResultValue;
        type = operand.FResultType;
    }
    return *value;
}

const TTdbDataValue& TEvaluator::FactorValue(TTdbFactor& factor) {
    TTdbSqlCaseOperation* operation = factor.AsCaseOperation();
    if (operation != nullptr) {
        const TTdbDataValue* value = &EvaluateSqlCase(*this, *operation);
        if (operation->FSign == sfsMinus) {
            Calculating(*operation, [&] {
                TTdbDataType::Calculate(TTdbDataUnaryOperator::Negate, *value,
                                        operation->FResultValue, operation->FUnsignedType,
                                        operation->FDataType);
            });
            value = &operation->FResultValue;
        }
        return *value;
    }
    auto& simple = static_cast<TTdbSimpleFactor&>(factor);
    const TTdbDataValue* value = nullptr;
    switch (simple.FType) {
        case sftLiteral:
        case sftParameter:
            value = &simple.FLiteralValue;
            break;
        case sftColumn:
            FContext.ReadColumn(simple.FColumn, simple.FLiteralValue);
            value = &simple.FLiteralValue;
            if (simple.FColumn.DataType != simple.FUnsignedType) {
                // Memo read as String: a copy, only for such columns.
                TTdbDataType::Convert(simple.FLiteralValue, simple.FResultValue,
                                      simple.FColumn.DataType, simple.FUnsignedType, false);
                value = &simple.FResultValue;
            }
            break;
        case sftExpression:
            value = &Expression(*simple.FExpression);
            break;
        case sftFunction:
            value = &EvaluateSqlFunction(*this, *simple.FSqlFunction);
            break;
        default:
            break;
    }
    if (value == nullptr || value->IsEmpty()) {
        RaiseEngineError(kTdbErrNoValue);
    }
    if (simple.FSign == sfsMinus) {
        Calculating(simple, [&] {
            TTdbDataType::Calculate(TTdbDataUnaryOperator::Negate, *value, simple.FResultValue,
                                    simple.FUnsignedType, simple.FDataType);
        });
        value = &simple.FResultValue;
    }
    return *value;
}

}  // namespace

TTdbSqlCondition::TTdbSqlCondition(std::u16string text) : FText(std::move(text)) {}

TTdbSqlCondition::~TTdbSqlCondition() = default;

void TTdbSqlCondition::Prepare(TTdbEvalContext& context, std::uint8_t options) {
    Unprepare();
    if (FText.empty()) {
        return;
    }
    std::unique_ptr<TTdbSearchCondition> tree;
    try {
        TSqlParser parser;
        parser.SetAllowLocalFormats((options & kConditionLocalFormats) != 0,
                                    context.GetDecimalSeparator());
        parser.InitParsing(FText);
        tree = parser.ParseCondition();
    } catch (const ETdbCompilerError& error) {
        RaiseEngineError(kTdbErrSyntax, {error.Message()});
    }
    Optimise(*tree);
    while (TTdbBooleanFactor* single = SingleFactor(*tree)) {
        if (single->FComparisonOperator != tcoNone || single->FIsNot) {
            break;
        }
        std::unique_ptr<TTdbSearchCondition> inner = std::move(single->FSearchCondition);
        tree = std::move(inner);
    }
    TPreparer(context, options, FParameters).PrepareCondition(*tree);
    FTree = std::move(tree);
    FContext = &context;
}

int TTdbSqlCondition::Evaluate() {
    if (FText.empty()) {
        return kConditionTrue;
    }
    if (!FTree) {
        RaiseEngineError(kTdbErrInvalidCondition, {FText});
    }
    return TEvaluator(*FContext).Condition(*FTree);
}

std::int32_t TTdbSqlCondition::FindBestIndexAndBounds(std::int32_t tableNo,
                                                      std::vector<std::byte>& rangeLowerBound,
                                                      std::vector<std::byte>& rangeUpperBound,
                                                      TTdbIndexChoice* details) {
    rangeLowerBound.clear();
    rangeUpperBound.clear();
    if (!FTree) {
        return -1;
    }
    TEvaluator evaluator(*FContext);
    TTdbIndexChoice choice = ChooseIndex(
        *FTree, *FContext, tableNo,
        [&](TTdbExpression& e) -> const TTdbDataValue& { return evaluator.Expression(e); });
    const std::int32_t indexNo = choice.IndexNo;
    if (indexNo >= 0) {
        rangeLowerBound = choice.LowerEntry;
        rangeUpperBound = choice.UpperEntry;
    }
    if (details != nullptr) {
        *details = std::move(choice);
    }
    return indexNo;
}

std::u16string TTdbSqlCondition::GetSqlText() const {
    return FTree ? FTree->GetSqlText() : FText;
}

void TTdbSqlCondition::SetParameter(std::u16string_view name, const TTdbDataType* type,
                                    const TTdbDataValue& value) {
    auto stored = std::make_unique<TTdbDataValue>();
    type->Assign(*stored, value);
    for (TTdbSqlParameter& parameter : FParameters) {
        if (parameter.Name.size() == name.size() &&
            std::equal(name.begin(), name.end(), parameter.Name.begin(),
                       [](char16_t a, char16_t b) {
                           return EqualsIgnoringCase({&a, 1}, {&b, 1});
                       })) {
            parameter.Type = type;
            parameter.Value = std::move(stored);
            return;
        }
    }
    FParameters.push_back({std::u16string(name), type, std::move(stored)});
}

void TTdbSqlCondition::SetParameterText(std::u16string_view name, const TTdbDataType* type,
                                        std::optional<std::u16string_view> text) {
    TTdbDataValue value;
    type->GetNullableType(true)->ConvertFromString(value, text);
    SetParameter(name, type->GetNullableType(true), value);
}

void TTdbSqlCondition::ClearParameters() noexcept {
    FParameters.clear();
}

void TTdbSqlCondition::Unprepare() noexcept {
    FTree.reset();
    FContext = nullptr;
}

}  // namespace tdb
