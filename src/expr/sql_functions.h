// Function calls, CASE and parameters of conditions: binding them to types
// while preparing and computing them per record into their nodes' cells.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "expr/eval_context.h"
#include "expr/sql_tree.h"

namespace tdb {

// A value handed to a condition for one «:name» before it is prepared.
struct TTdbSqlParameter {
    std::u16string Name;
    const TTdbDataType* Type = nullptr;
    std::unique_ptr<TTdbDataValue> Value;
};

// What function and CASE nodes need from the preparer around them.
class TSqlPrepareHost {
public:
    virtual ~TSqlPrepareHost() = default;
    // Prepares an operand; a bare literal or parameter in it takes Reference's
    // type when Reference is not null.
    virtual void PrepareOperand(TTdbExpression& expression, const TTdbDataType* reference) = 0;
    virtual void PrepareSubCondition(TTdbSearchCondition& condition) = 0;
    virtual TTdbEvalContext& Context() = 0;
};

// What function and CASE nodes need from the evaluator around them.
class TSqlEvaluateHost {
public:
    virtual ~TSqlEvaluateHost() = default;
    virtual const TTdbDataValue& EvaluateOperand(TTdbExpression& expression) = 0;
    // kConditionTrue, kConditionFalse or kConditionUnknown.
    virtual int EvaluateSubCondition(TTdbSearchCondition& condition) = 0;
    virtual TTdbEvalContext& Context() = 0;
};

// Binds the call: prepares its arguments, checks that they convert to what
// the function takes (engine error 44), resolves a data function by name
// (50 when there is none, 56 for too few or too many arguments), refuses
// aggregates (187) and fixes the result type, which it returns.
const TTdbDataType* PrepareSqlFunction(TSqlPrepareHost& host, TSqlFunction& function);
// The call's value for the current record, held in the function's cell.
const TTdbDataValue& EvaluateSqlFunction(TSqlEvaluateHost& host, TSqlFunction& function);

// The result type of a CASE is the common type of its THEN and ELSE results;
// results of other types are converted to it. 44 when there is none.
const TTdbDataType* PrepareSqlCase(TSqlPrepareHost& host, TTdbSqlCaseOperation& operation);
const TTdbDataValue& EvaluateSqlCase(TSqlEvaluateHost& host, TTdbSqlCaseOperation& operation);

// Gives a parameter factor its value (kept in the factor like a literal's).
// With a Reference (the column or expression it is compared with) the value
// is converted to that type as a literal would be. Engine error 50 for a
// name without a value.
void BindSqlParameter(TTdbSimpleFactor& factor, std::span<const TTdbSqlParameter> parameters,
                      const TTdbDataType* reference);

}  // namespace tdb
