// Conditions over one record image: the evaluation context of a relation's columns and the
// condition that binds a condition text to it.
#include "engine/record_context.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "engine/relation.h"
#include "engine/table_names.h"
#include "index/index_file.h"
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
    int FindBestIndexAndBounds(TTdbRltnIdx rltnIdx, std::vector<std::byte>& lowerBound,
                               std::vector<std::byte>& upperBound) override {
        if (!FCondition || rltnIdx != FRltnIdx) {
            TTdbRltnIdxSet relations;
            relations.set(static_cast<std::size_t>(rltnIdx));
            Prepare(relations, rltnIdx, 0);
        }
        return FCondition->FindBestIndexAndBounds(0, lowerBound, upperBound);
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

std::vector<TTdbOpenIndex> TTdbRecordContext::GetOpenIndexes(std::int32_t tableNo) {
    std::vector<TTdbOpenIndex> indexes;
    if (tableNo != 0)
        return indexes;
    for (TTdbIndexNo no = FRelation.GetFirstIndexNo(); no <= FRelation.GetLastIndexNo(); ++no) {
        const TTdbIndexFile* index = FRelation.GetIndexFile(no);
        if (index != nullptr && index->IsOpen())
            indexes.push_back({no, &index->IndexDef()});
    }
    return indexes;
}

void TTdbRecordContext::BuildBoundEntry(std::int32_t tableNo, std::int32_t indexNo,
                                        std::span<const TTdbDataValue> values, bool upper,
                                        std::vector<std::byte>& entry) {
    entry.clear();
    const TTdbIndexFile* index =
        tableNo == 0 ? FRelation.GetIndexFile(static_cast<TTdbIndexNo>(indexNo)) : nullptr;
    if (index == nullptr || !index->IsOpen())
        return;
    const TTdbSortDef& def = index->IndexDef();
    // The given values go into an empty record, where the key is built from as usual.
    std::vector<std::byte> record(static_cast<std::size_t>(FRelation.GetRecordSize()));
    TTdbDataValue cell;
    for (std::size_t i = 0; i < values.size() && i < static_cast<std::size_t>(def.LevelCount); ++i) {
        // The key of an expression has no column to hold a value.
        if (def.Items[i].ColumnNo < 1)
            return;
        const TTdbColumnDef& column =
            *FRelation.ColumnDefs().GetColumnDef(def.Items[i].ColumnNo - 1);
        column.DataType->SetReference(cell, record.data() + column.Position);
        column.DataType->Assign(cell, values[i]);
    }
    entry.resize(static_cast<std::size_t>(std::max(index->IndSize(), 4)));
    constexpr std::int32_t kLastRecordNo = 2147483647;
    FRelation.Keys().CompleteIndexInfo(def, static_cast<int>(values.size()), upper, record,
                                       upper ? kLastRecordNo : 1, entry);
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
