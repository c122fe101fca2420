// Conditions over one record image: the evaluation context of a relation's columns and the
// condition that binds a condition text to it.
#include "engine/record_context.h"

#include <string>
#include <vector>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "engine/relation.h"
#include "engine/table_names.h"
#include "expr/sql_condition.h"

namespace tdb {

namespace {

constexpr std::u16string_view kProceduralFeature = u"procedural expressions";
constexpr std::u16string_view kCalculationFeature = u"calculations";

// A calculation nothing here can compute: it keeps its source for the table definition.
class TUnevaluatedCalculation final : public TTdbCalculation {
public:
    TUnevaluatedCalculation(std::u16string_view source, TTdbExpressionSyntax kind)
        : TTdbCalculation(std::u16string(source)), FKind(kind) {}
    TUnevaluatedCalculation(const TUnevaluatedCalculation&) = default;

    TTdbExpressionSyntax GetKind() const override { return FKind; }
    std::unique_ptr<TTdbCalculation> Clone() const override {
        return std::make_unique<TUnevaluatedCalculation>(*this);
    }
    void Prepare(TTdbRltnIdx, std::uint32_t) override { Refuse(); }
    void Unprepare() override {}
    bool IsSame(const TTdbCalculation& other) const override {
        return other.GetKind() == FKind && other.GetSource() == FSource;
    }
    void Calculate(TTdbDataValue&) override { Refuse(); }
    void Calculate(TTdbRltnIdx, std::span<const std::byte>, TTdbDataValue&) override { Refuse(); }

private:
    [[noreturn]] static void Refuse() {
        RaiseEngineError(kTdbErrNotSupported, {kCalculationFeature});
    }
    TTdbExpressionSyntax FKind;
};

class TRecordCondition final : public TTdbCondition {
public:
    TRecordCondition(std::u16string_view source, TTdbExpressionSyntax kind,
                     const TTdbRecordConditionFactory::TRelationResolver& resolver)
        : TTdbCondition(std::u16string(source)), FKind(kind), FResolver(resolver) {}

    TTdbExpressionSyntax GetKind() const override { return FKind; }
    std::unique_ptr<TTdbCondition> Clone() const override {
        return std::make_unique<TRecordCondition>(FSource, FKind, FResolver);
    }
    void Prepare(const TTdbRltnIdxSet&, TTdbRltnIdx primaryRltnIdx,
                 std::uint32_t options) override {
        Unprepare();
        if (FKind != tesTableSQL)
            RaiseEngineError(kTdbErrNotSupported, {kProceduralFeature});
        const TTdbRelation* relation = FResolver ? FResolver(primaryRltnIdx) : nullptr;
        if (relation == nullptr)
            RaiseEngineError(kTdbErrInvalidParameter, {u"RltnIdx"});
        auto context = std::make_unique<TTdbRecordContext>(*relation);
        auto condition = std::make_unique<TTdbSqlCondition>(FSource);
        condition->Prepare(*context, static_cast<std::uint8_t>(options));
        FContext = std::move(context);
        FCondition = std::move(condition);
        FRltnIdx = primaryRltnIdx;
    }
    void Unprepare() override {
        FCondition.reset();
        FContext.reset();
        FRltnIdx = 0;
    }
    // Without a record image there is nothing to read from.
    TTdbTruthValue Evaluate(TTdbRltnIdxSet&) override {
        RaiseEngineError(kTdbErrNotSupported, {u"conditions on current records"});
    }
    TTdbTruthValue Evaluate(TTdbRltnIdx rltnIdx, std::span<const std::byte> recBuffer) override {
        if (!FCondition || rltnIdx != FRltnIdx) {
            TTdbRltnIdxSet relations;
            relations.set(static_cast<std::size_t>(rltnIdx));
            Prepare(relations, rltnIdx, 0);
        }
        FContext->SetRecord(recBuffer);
        const int result = FCondition->Evaluate();
        FContext->SetRecord({});
        return result == kConditionTrue ? tvTrue : result == kConditionFalse ? tvFalse : tvUnknown;
    }
    int FindBestIndexAndBounds(TTdbRltnIdx, std::vector<std::byte>&,
                               std::vector<std::byte>&) override {
        return -1;
    }

private:
    TTdbExpressionSyntax FKind;
    TTdbRecordConditionFactory::TRelationResolver FResolver;
    std::unique_ptr<TTdbRecordContext> FContext;
    std::unique_ptr<TTdbSqlCondition> FCondition;
    TTdbRltnIdx FRltnIdx = 0;
};

}  // namespace

bool TTdbRecordContext::FindColumn(std::u16string_view tableName, std::u16string_view columnName,
                                   TTdbColumnHandle& handle) {
    if (!tableName.empty() && !SameTableText(tableName, FRelation.GetName()))
        return false;
    const int columnNo = FRelation.FindColumn(columnName, false);
    if (columnNo <= 0)
        return false;
    handle.DataType = FRelation.ColumnDefs().GetColumnDef(columnNo - 1)->DataType;
    handle.ColumnNo = columnNo;
    handle.TableNo = 0;
    return true;
}

void TTdbRecordContext::ReadColumn(const TTdbColumnHandle& handle, TTdbDataValue& value) {
    const TTdbColumnDef& column = *FRelation.ColumnDefs().GetColumnDef(handle.ColumnNo - 1);
    // The condition only reads: the image stays as the writer gave it.
    column.DataType->SetReference(value, const_cast<std::byte*>(FRecord.data()) + column.Position);
}

char16_t TTdbRecordContext::GetDecimalSeparator() const {
    return FRelation.Services().FDecimalChar;
}

std::unique_ptr<TTdbCalculation> TTdbRecordConditionFactory::CreateCalculation(
    std::u16string_view source, TTdbExpressionSyntax kind, std::int16_t) {
    return std::make_unique<TUnevaluatedCalculation>(source, kind);
}

std::unique_ptr<TTdbCondition> TTdbRecordConditionFactory::CreateCondition(
    std::u16string_view source, TTdbExpressionSyntax kind, std::int16_t) {
    return std::make_unique<TRecordCondition>(source, kind, FResolver);
}

}  // namespace tdb
