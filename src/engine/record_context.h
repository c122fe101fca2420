// Conditions of the condition language evaluated on one record image of one relation: what
// check constraints need when a record is written, and filters with the index range that
// serves them. The factory hands them out for a session;
// the relation a condition reads is found by its relation index.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "expr/eval_context.h"
#include "types/calculation.h"

namespace tdb {

class TTdbRelation;

// The columns of one relation, their values read from the record image set last.
class TTdbRecordContext : public TTdbEvalContext {
public:
    explicit TTdbRecordContext(const TTdbRelation& relation) : FRelation(relation) {}

    // The image must outlive the evaluations that read it.
    void SetRecord(std::span<const std::byte> record) noexcept { FRecord = record; }

    bool FindColumn(std::u16string_view tableName, std::u16string_view columnName,
                    TTdbColumnHandle& handle) override;
    void ReadColumn(const TTdbColumnHandle& handle, TTdbDataValue& value) override;
    char16_t GetDecimalSeparator() const override;
    // The relation's open indexes and their bound entries, for the scan of a static filter.
    std::vector<TTdbOpenIndex> GetOpenIndexes(std::int32_t tableNo) override;
    void BuildBoundEntry(std::int32_t tableNo, std::int32_t indexNo,
                         std::span<const TTdbDataValue> values, bool upper,
                         std::vector<std::byte>& entry) override;

private:
    const TTdbRelation& FRelation;
    std::span<const std::byte> FRecord;
};

// Makes SQL conditions that evaluate on record images. Procedural conditions and calculations
// keep their source and refuse to be evaluated (engine error 187), as without a compiler.
class TTdbRecordConditionFactory : public TTdbExpressionFactory {
public:
    // The open relation of a relation index, or null.
    using TRelationResolver = std::function<TTdbRelation*(TTdbRltnIdx)>;

    explicit TTdbRecordConditionFactory(TRelationResolver resolver)
        : FResolver(std::move(resolver)) {}

    std::unique_ptr<TTdbCalculation> CreateCalculation(std::u16string_view source,
                                                       TTdbExpressionSyntax kind,
                                                       std::int16_t tableLevel) override;
    std::unique_ptr<TTdbCondition> CreateCondition(std::u16string_view source,
                                                   TTdbExpressionSyntax kind,
                                                   std::int16_t tableLevel) override;

private:
    TRelationResolver FResolver;
};

}  // namespace tdb
