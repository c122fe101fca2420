// The abstract calculations and conditions of table definitions and the rules
// by which their sources are stored.
#include "types/calculation.h"

namespace tdb {

namespace {

constexpr std::int16_t kFirstLevelWithSql = 5;

}  // namespace

TTdbCalculation::~TTdbCalculation() = default;

TTdbCondition::~TTdbCondition() = default;

TTdbTruthValue TTdbCondition::Evaluate() {
    TTdbRltnIdxSet consulted;
    return Evaluate(consulted);
}

TTdbExpressionFactory::~TTdbExpressionFactory() = default;

TTdbStoredExpression ParseStoredExpression(std::u16string_view stored, std::int16_t tableLevel) {
    if (stored.empty()) {
        return {tesTableSQL, {}};
    }
    if (tableLevel < kFirstLevelWithSql) {
        return {tesTablePL, std::u16string(stored)};
    }
    if (stored.front() == u'@') {
        return {tesTablePL, std::u16string(stored.substr(1))};
    }
    return {tesTableSQL, std::u16string(stored)};
}

std::u16string StoredExpressionSource(std::u16string_view source, TTdbExpressionSyntax kind,
                                      std::int16_t tableLevel) {
    if (kind == tesTablePL && tableLevel >= kFirstLevelWithSql) {
        return u"@" + std::u16string(source);
    }
    return std::u16string(source);
}

std::u16string StoredExpressionSource(const TTdbCalculation& calculation, std::int16_t tableLevel) {
    return StoredExpressionSource(calculation.GetSource(), calculation.GetKind(), tableLevel);
}

std::u16string StoredExpressionSource(const TTdbCondition& condition, std::int16_t tableLevel) {
    return StoredExpressionSource(condition.GetSource(), condition.GetKind(), tableLevel);
}

std::unique_ptr<TTdbCalculation> CreateStoredCalculation(TTdbExpressionFactory& factory,
                                                         std::u16string_view stored,
                                                         std::int16_t tableLevel) {
    TTdbStoredExpression expression = ParseStoredExpression(stored, tableLevel);
    return factory.CreateCalculation(expression.Source, expression.Kind, tableLevel);
}

std::unique_ptr<TTdbCondition> CreateStoredCondition(TTdbExpressionFactory& factory,
                                                     std::u16string_view stored,
                                                     std::int16_t tableLevel) {
    TTdbStoredExpression expression = ParseStoredExpression(stored, tableLevel);
    return factory.CreateCondition(expression.Source, expression.Kind, tableLevel);
}

}  // namespace tdb
