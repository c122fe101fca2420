// Choosing an index for a static filter: which comparisons of a prepared condition
// narrow a column to a range, which open index serves those ranges best, and the
// bound values of the range to scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "expr/eval_context.h"
#include "expr/sql_tree.h"
#include "types/sort_def.h"

namespace tdb {

// How one end of a column's range is computed.
enum class TTdbBoundKind : std::uint8_t {
    None,       // that end is open: the type's minimum or maximum
    Value,      // the value of Expression
    LikeLower,  // the lower prefix bound of the literal prefix of the pattern Expression
    LikeUpper,  // the upper prefix bound of that prefix
};

struct TTdbIndexBound {
    TTdbBoundKind Kind = TTdbBoundKind::None;
    TTdbExpression* Expression = nullptr;
    char16_t Escape = 0;  // LIKE only; 0 for none
};

// What the comparisons of a condition tell about one column of the filtered table.
// Ratings: 4 equality, 3 LIKE with a fixed prefix, BETWEEN or a range closed from both
// sides, 2 "<=" or ">=", 1 "<" or ">".
struct TTdbIndexRating {
    std::int32_t ColumnNo = 0;       // 1-based
    std::int32_t OtherColumnNo = 0;  // the column of another table on the other side, or 0
    int Rating = 0;
    const TTdbDataType* ColumnType = nullptr;  // the column's own type
    TTdbIndexBound Lower;
    TTdbIndexBound Upper;
};

// The result of choosing, with what led to it.
struct TTdbIndexChoice {
    std::int32_t IndexNo = -1;  // negative: scan without an index
    bool Reverse = false;       // the index's first component is descending
    bool Temporary = false;     // created for this filter from the ideal definition
    double IdealScore = 0;
    double Score = 0;                      // of the chosen index
    std::vector<TTdbIndexRating> Ratings;  // highest rating first
    TTdbSortDef IdealDefinition;
    // One entry per leading component of the chosen index that has a rating, in
    // index order, in the component column's type; for a descending component the
    // lower value is the column's upper end.
    std::vector<const TTdbDataType*> BoundTypes;
    std::vector<TTdbDataValue> LowerValues;
    std::vector<TTdbDataValue> UpperValues;
    std::vector<std::byte> LowerEntry;
    std::vector<std::byte> UpperEntry;
};

// Computes a constant expression (or a column of another table, for its current record).
using TTdbConstantEvaluator = std::function<const TTdbDataValue&(TTdbExpression&)>;

// The literal prefix of a LIKE pattern: its characters up to the first "%" or "_" that
// no escape character precedes, with the escape characters left out.
std::u16string LikePatternPrefix(std::u16string_view pattern, char16_t escape);

// The ratings of the columns of table TableNo, highest first; none when the condition
// has a top-level OR or XOR.
std::vector<TTdbIndexRating> CollectIndexRatings(TTdbSearchCondition& condition,
                                                 std::int32_t tableNo,
                                                 const TTdbConstantEvaluator& evaluate);

// The score of an index for the ratings: each leading component with a rating adds
// its rating times 100, 50, 25, ... A descending first component means Reverse; a
// descending later component of a forward index makes the score 0.
double ScoreIndex(const TTdbSortDef& definition, const std::vector<TTdbIndexRating>& ratings,
                  bool& reverse);

// Chooses the index of table TableNo to scan for the condition and builds its bound
// entries through the context.
TTdbIndexChoice ChooseIndex(TTdbSearchCondition& condition, TTdbEvalContext& context,
                            std::int32_t tableNo, const TTdbConstantEvaluator& evaluate);

}  // namespace tdb
