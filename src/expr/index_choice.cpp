#include "expr/index_choice.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "platform/exception.h"

namespace tdb {

namespace {

constexpr int kRatingEqual = 4;
constexpr int kRatingClosedRange = 3;
constexpr int kRatingLike = 3;
constexpr int kRatingInclusive = 2;
constexpr int kRatingExclusive = 1;

// The column of the filtered table that an expression is by itself, or null.
const TTdbSimpleFactor* BareColumn(const TTdbExpression& expression) {
    if (!expression.FOperands.empty() || !expression.FTerm->FOperands.empty()) {
        return nullptr;
    }
    const auto* simple = dynamic_cast<const TTdbSimpleFactor*>(expression.FTerm->FFactor.get());
    if (simple == nullptr || simple->FType != sftColumn || simple->FSign != sfsNone) {
        return nullptr;
    }
    return simple;
}

bool IsConstantExpression(const TTdbExpression& expression);

// Literals and arithmetic on them; functions may change from call to call (RANDOM,
// CURRENT_TIME), so they do not count.
bool IsConstantFactor(const TTdbFactor& factor) {
    const auto* simple = dynamic_cast<const TTdbSimpleFactor*>(&factor);
    if (simple == nullptr) {
        return false;
    }
    switch (simple->FType) {
        case sftLiteral:
            return true;
        case sftExpression:
            return IsConstantExpression(*simple->FExpression);
        default:
            return false;
    }
}

bool IsConstantTerm(const TTdbTerm& term) {
    if (!IsConstantFactor(*term.FFactor)) {
        return false;
    }
    return std::all_of(
        term.FOperands.begin(), term.FOperands.end(),
        [](const TTdbTermOperand& operand) { return IsConstantFactor(*operand.FFactor); });
}

bool IsConstantExpression(const TTdbExpression& expression) {
    if (!IsConstantTerm(*expression.FTerm)) {
        return false;
    }
    return std::all_of(
        expression.FOperands.begin(), expression.FOperands.end(),
        [](const TTdbExpressionOperand& operand) { return IsConstantTerm(*operand.FTerm); });
}

// What one side of a comparison is, seen from table TableNo.
struct TSide {
    const TTdbSimpleFactor* Column = nullptr;  // a column of the table
    bool Fixed = false;  // constant during a scan of the table: constant, or another table's column
    std::int32_t OtherColumnNo = 0;
};

TSide Classify(const TTdbExpression& expression, std::int32_t tableNo) {
    TSide side;
    if (const TTdbSimpleFactor* column = BareColumn(expression)) {
        if (column->FColumn.TableNo == tableNo) {
            side.Column = column;
        } else {
            side.Fixed = true;
            side.OtherColumnNo = column->FColumn.ColumnNo;
        }
        return side;
    }
    side.Fixed = IsConstantExpression(expression);
    return side;
}

// The operator that holds exactly when NOT Op holds (records where either is unknown
// fail both); tcoNone when there is none that an index serves.
TTdbComparisonOperator Negate(TTdbComparisonOperator op) {
    switch (op) {
        case tcoLess:
            return tcoGreaterOrEqual;
        case tcoLessOrEqual:
            return tcoGreater;
        case tcoGreater:
            return tcoLessOrEqual;
        case tcoGreaterOrEqual:
            return tcoLess;
        case tcoUnequal:
            return tcoEqual;
        default:
            return tcoNone;
    }
}

// The operator with its operands swapped.
TTdbComparisonOperator Mirror(TTdbComparisonOperator op) {
    switch (op) {
        case tcoLess:
            return tcoGreater;
        case tcoLessOrEqual:
            return tcoGreaterOrEqual;
        case tcoGreater:
            return tcoLess;
        case tcoGreaterOrEqual:
            return tcoLessOrEqual;
        default:
            return op;
    }
}

class TRatingCollector {
public:
    TRatingCollector(std::int32_t tableNo, const TTdbConstantEvaluator& evaluate)
        : FTableNo(tableNo), FEvaluate(evaluate) {}

    void AndTerm(TTdbBooleanTerm& term) {
        for (auto& factor : term.FFactors) {
            Factor(*factor);
        }
    }

    std::vector<TTdbIndexRating> Take() {
        std::stable_sort(
            FRatings.begin(), FRatings.end(),
            [](const TTdbIndexRating& a, const TTdbIndexRating& b) { return a.Rating > b.Rating; });
        return std::move(FRatings);
    }

private:
    void Factor(TTdbBooleanFactor& factor);
    void Like(TTdbBooleanFactor& factor, const TSide& left, const TSide& right);
    void Add(TTdbIndexRating rating);

    std::int32_t FTableNo;
    const TTdbConstantEvaluator& FEvaluate;
    std::vector<TTdbIndexRating> FRatings;
};

void TRatingCollector::Factor(TTdbBooleanFactor& factor) {
    TTdbComparisonOperator op = factor.FComparisonOperator;
    if (op == tcoNone) {
        // «(a AND b) AND c» narrows as much as «a AND b AND c».
        TTdbSearchCondition& inner = *factor.FSearchCondition;
        if (!factor.FIsNot && inner.FTerms.size() == 1 && inner.FTerms[0]->FTerms.size() == 1) {
            AndTerm(*inner.FTerms[0]->FTerms[0]);
        }
        return;
    }
    if (!factor.FExpressionLeft || !factor.FExpressionRight) {
        return;
    }
    if (factor.FIsNot) {
        op = Negate(op);
        if (op == tcoNone) {
            return;
        }
    }
    const TSide left = Classify(*factor.FExpressionLeft, FTableNo);
    const TSide right = Classify(*factor.FExpressionRight, FTableNo);
    if (op == tcoLike) {
        Like(factor, left, right);
        return;
    }
    if (op == tcoBetween) {
        if (left.Column == nullptr) {
            return;
        }
        const TSide lower = Classify(*factor.FExpressionRightEx, FTableNo);
        TTdbIndexRating rating;
        rating.ColumnNo = left.Column->FColumn.ColumnNo;
        rating.ColumnType = left.Column->FColumn.DataType;
        if (lower.Fixed) {
            rating.Lower = {TTdbBoundKind::Value, factor.FExpressionRightEx.get()};
        }
        if (right.Fixed) {
            rating.Upper = {TTdbBoundKind::Value, factor.FExpressionRight.get()};
        }
        if (lower.Fixed && right.Fixed) {
            rating.Rating = kRatingClosedRange;
        } else if (lower.Fixed || right.Fixed) {
            rating.Rating = kRatingInclusive;
        } else {
            return;
        }
        rating.OtherColumnNo = lower.OtherColumnNo != 0 ? lower.OtherColumnNo : right.OtherColumnNo;
        Add(rating);
        return;
    }
    // The rated column and what it is compared with. Two columns of this table give no
    // bound: the other one's value changes from record to record.
    const TTdbSimpleFactor* column = nullptr;
    TTdbExpression* other = nullptr;
    std::int32_t otherColumnNo = 0;
    if (left.Column != nullptr && right.Fixed) {
        column = left.Column;
        other = factor.FExpressionRight.get();
        otherColumnNo = right.OtherColumnNo;
    } else if (right.Column != nullptr && left.Fixed) {
        column = right.Column;
        other = factor.FExpressionLeft.get();
        otherColumnNo = left.OtherColumnNo;
        op = Mirror(op);
    } else {
        return;
    }
    TTdbIndexRating rating;
    rating.ColumnNo = column->FColumn.ColumnNo;
    rating.ColumnType = column->FColumn.DataType;
    rating.OtherColumnNo = otherColumnNo;
    const TTdbIndexBound bound{TTdbBoundKind::Value, other};
    switch (op) {
        case tcoEqual:
        case tcoEqualNull:
            rating.Rating = kRatingEqual;
            rating.Lower = bound;
            rating.Upper = bound;
            break;
        case tcoLess:
        case tcoLessOrEqual:
            rating.Rating = op == tcoLess ? kRatingExclusive : kRatingInclusive;
            rating.Upper = bound;
            break;
        case tcoGreater:
        case tcoGreaterOrEqual:
            rating.Rating = op == tcoGreater ? kRatingExclusive : kRatingInclusive;
            rating.Lower = bound;
            break;
        default:
            return;
    }
    Add(rating);
}

// Only «column LIKE pattern» with a pattern that is fixed and does not begin with "%".
void TRatingCollector::Like(TTdbBooleanFactor& factor, const TSide& left, const TSide& right) {
    if (left.Column == nullptr || !right.Fixed) {
        return;
    }
    TTdbExpression& pattern = *factor.FExpressionRight;
    const TTdbDataValue& value = FEvaluate(pattern);
    if (pattern.FDataType->IsNull(value)) {
        return;  // matches nothing, and no range says so
    }
    const std::u16string text = pattern.FDataType->GetWideString(value);
    if (!text.empty() && text.front() == u'%') {
        return;
    }
    TTdbIndexRating rating;
    rating.ColumnNo = left.Column->FColumn.ColumnNo;
    rating.ColumnType = left.Column->FColumn.DataType;
    rating.OtherColumnNo = right.OtherColumnNo;
    rating.Rating = kRatingLike;
    rating.Lower = {TTdbBoundKind::LikeLower, &pattern, factor.FLikeEscapeChar};
    rating.Upper = {TTdbBoundKind::LikeUpper, &pattern, factor.FLikeEscapeChar};
    Add(rating);
}

void TRatingCollector::Add(TTdbIndexRating rating) {
    auto stored = std::find_if(FRatings.begin(), FRatings.end(), [&](const TTdbIndexRating& r) {
        return r.ColumnNo == rating.ColumnNo;
    });
    if (stored == FRatings.end()) {
        FRatings.push_back(rating);
        return;
    }
    const bool storedLower = stored->Lower.Kind != TTdbBoundKind::None;
    const bool storedUpper = stored->Upper.Kind != TTdbBoundKind::None;
    const bool newLower = rating.Lower.Kind != TTdbBoundKind::None;
    const bool newUpper = rating.Upper.Kind != TTdbBoundKind::None;
    // A one-sided comparison that closes a one-sided range. One that brings both sides
    // (an equality) is judged by its rating like any other.
    if (storedLower != storedUpper && newLower != newUpper && storedLower != newLower) {
        if (newLower) {
            stored->Lower = rating.Lower;
        } else {
            stored->Upper = rating.Upper;
        }
        stored->Rating = kRatingClosedRange;
        if (stored->OtherColumnNo == 0) {
            stored->OtherColumnNo = rating.OtherColumnNo;
        }
        return;
    }
    if (rating.Rating > stored->Rating) {
        *stored = rating;
    }
}

// Types whose values an index can hold.
bool IsIndexable(const TTdbDataType* type) {
    switch (type->GetColumnType()) {
        case ctMemo:
        case ctWideMemo:
        case ctBlob:
        case ctRelation:
            return false;
        default:
            return type->GetDataSize() > 0;
    }
}

const TTdbIndexRating* FindRating(const std::vector<TTdbIndexRating>& ratings,
                                  std::int32_t columnNo) {
    for (const TTdbIndexRating& rating : ratings) {
        if (rating.ColumnNo == columnNo) {
            return &rating;
        }
    }
    return nullptr;
}

// Puts Value into the column's type. A value beyond the type's range becomes the
// type's end on that side, which only widens the range: converting it would cut an
// integer to the column's width and could drop matching records from the scan.
// Nothing when the value does not convert (the end stays open).
std::optional<TTdbDataValue> ToColumnType(const TTdbDataValue& value, const TTdbDataType* from,
                                          const TTdbDataType* to) {
    TTdbDataValue result;
    try {
        // The ends of the non-nullable kind: the minimum of a nullable one is NULL.
        const TTdbDataType* plain = to->GetNullableType(false);
        if (TTdbDataType::CanCompare(from, plain) && !from->IsNull(value)) {
            TTdbDataValue end;
            plain->GetMaximum(end);
            bool beyond = TTdbDataType::Compare(value, end, from, plain) == kCompareGreater;
            if (!beyond) {
                plain->GetMinimum(end);
                beyond = TTdbDataType::Compare(value, end, from, plain) == kCompareLess;
            }
            if (beyond) {
                TTdbDataType::Convert(end, result, plain, to, false);
                return result;
            }
        }
        if (!TTdbDataType::CanConvert(from, to, false)) {
            return std::nullopt;
        }
        TTdbDataType::Convert(value, result, from, to, false);
    } catch (const Exception&) {
        return std::nullopt;
    }
    return result;
}

// The value of one end of a column's range, or nothing when that end is open.
std::optional<TTdbDataValue> BoundValue(const TTdbIndexBound& bound, const TTdbDataType* type,
                                        const TTdbConstantEvaluator& evaluate) {
    if (bound.Kind == TTdbBoundKind::None) {
        return std::nullopt;
    }
    TTdbExpression& expression = *bound.Expression;
    const TTdbDataValue& value = evaluate(expression);
    if (bound.Kind == TTdbBoundKind::Value) {
        return ToColumnType(value, expression.FDataType, type);
    }
    if (!type->IsStringType()) {
        return std::nullopt;
    }
    const auto* stringType = static_cast<const TTdbStringType*>(type);
    TTdbDataValue result;
    stringType->SetWideString(
        result, LikePatternPrefix(expression.FDataType->GetWideString(value), bound.Escape));
    if (bound.Kind == TTdbBoundKind::LikeLower) {
        stringType->GetMinimumFill(result);
    } else {
        stringType->GetMaximumFill(result);
    }
    return result;
}

}  // namespace

std::u16string LikePatternPrefix(std::u16string_view pattern, char16_t escape) {
    std::u16string prefix;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char16_t c = pattern[i];
        if (escape != 0 && c == escape) {
            // An escape at the very end has nothing to escape and stands for itself,
            // as in matching.
            if (i + 1 < pattern.size()) {
                ++i;
            }
            prefix += pattern[i];
            continue;
        }
        if (c == u'%' || c == u'_') {
            break;
        }
        prefix += c;
    }
    return prefix;
}

std::vector<TTdbIndexRating> CollectIndexRatings(TTdbSearchCondition& condition,
                                                 std::int32_t tableNo,
                                                 const TTdbConstantEvaluator& evaluate) {
    if (condition.FTerms.size() != 1 || condition.FTerms[0]->FTerms.size() != 1) {
        return {};
    }
    TRatingCollector collector(tableNo, evaluate);
    collector.AndTerm(*condition.FTerms[0]->FTerms[0]);
    return collector.Take();
}

double ScoreIndex(const TTdbSortDef& definition, const std::vector<TTdbIndexRating>& ratings,
                  bool& reverse) {
    reverse = false;
    if (definition.IsCalculated) {
        return 0;
    }
    double score = 0;
    double weight = 100;
    for (int i = 0; i < definition.LevelCount; ++i) {
        const TTdbSortItem& item = definition.Items[static_cast<std::size_t>(i)];
        const TTdbIndexRating* rating = FindRating(ratings, item.ColumnNo);
        if (rating == nullptr) {
            break;
        }
        if (i == 0) {
            reverse = item.Descending;
        } else if (item.Descending && !reverse) {
            return 0;
        }
        score += weight * rating->Rating;
        weight /= 2;
    }
    return score;
}

TTdbIndexChoice ChooseIndex(TTdbSearchCondition& condition, TTdbEvalContext& context,
                            std::int32_t tableNo, const TTdbConstantEvaluator& evaluate) {
    TTdbIndexChoice choice;
    choice.Ratings = CollectIndexRatings(condition, tableNo, evaluate);
    for (const TTdbIndexRating& rating : choice.Ratings) {
        if (choice.IdealDefinition.LevelCount == 2) {
            break;
        }
        if (IsIndexable(rating.ColumnType)) {
            choice.IdealDefinition.AddItem(
                static_cast<std::int16_t>(rating.ColumnNo),
                static_cast<std::uint8_t>(rating.ColumnType->GetColumnType()),
                static_cast<std::int16_t>(rating.ColumnType->GetDataSize()));
        }
    }
    if (choice.IdealDefinition.LevelCount == 0) {
        return choice;
    }
    bool ignored = false;
    choice.IdealScore = ScoreIndex(choice.IdealDefinition, choice.Ratings, ignored);

    const TTdbSortDef* chosen = nullptr;
    for (const TTdbOpenIndex& index : context.GetOpenIndexes(tableNo)) {
        bool reverse = false;
        const double score = ScoreIndex(*index.Definition, choice.Ratings, reverse);
        if (score > choice.IdealScore / 2 && score > choice.Score) {
            choice.IndexNo = index.IndexNo;
            choice.Score = score;
            choice.Reverse = reverse;
            chosen = index.Definition;
        }
    }
    if (chosen == nullptr) {
        const std::int32_t created = context.CreateTempIndex(tableNo, choice.IdealDefinition);
        if (created < 0) {
            return choice;
        }
        choice.IndexNo = created;
        choice.Temporary = true;
        choice.Score = choice.IdealScore;
        choice.Reverse = false;
        chosen = &choice.IdealDefinition;
    }

    for (int i = 0; i < chosen->LevelCount; ++i) {
        const TTdbSortItem& item = chosen->Items[static_cast<std::size_t>(i)];
        const TTdbIndexRating* rating = FindRating(choice.Ratings, item.ColumnNo);
        if (rating == nullptr) {
            break;
        }
        const TTdbDataType* type = rating->ColumnType;
        std::optional<TTdbDataValue> lower = BoundValue(rating->Lower, type, evaluate);
        std::optional<TTdbDataValue> upper = BoundValue(rating->Upper, type, evaluate);
        if (!lower) {
            lower.emplace();
            type->GetMinimum(*lower);
        }
        if (!upper) {
            upper.emplace();
            type->GetMaximum(*upper);
        }
        if (item.Descending) {
            std::swap(lower, upper);
        }
        choice.BoundTypes.push_back(type);
        choice.LowerValues.push_back(std::move(*lower));
        choice.UpperValues.push_back(std::move(*upper));
    }
    context.BuildBoundEntry(tableNo, choice.IndexNo, choice.LowerValues, false, choice.LowerEntry);
    context.BuildBoundEntry(tableNo, choice.IndexNo, choice.UpperValues, true, choice.UpperEntry);
    return choice;
}

}  // namespace tdb
