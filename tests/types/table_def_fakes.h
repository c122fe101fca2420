// Stand-ins for the expression layer in the table definition tests: a
// calculation and a condition that only keep their source, and a factory that
// records what it was asked to build.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "types/calculation.h"

namespace tdb::deftest {

class FakeCalculation : public TTdbCalculation {
public:
    FakeCalculation(std::u16string source, TTdbExpressionSyntax kind,
                    const TTdbDataType* resultType = nullptr)
        : TTdbCalculation(std::move(source)), kind_(kind) {
        FResultType = resultType;
    }

    TTdbExpressionSyntax GetKind() const override { return kind_; }
    std::unique_ptr<TTdbCalculation> Clone() const override {
        return std::make_unique<FakeCalculation>(*this);
    }
    void Prepare(TTdbRltnIdx, std::uint32_t) override {}
    void Unprepare() override {}
    bool IsSame(const TTdbCalculation& other) const override {
        return other.GetKind() == kind_ && other.GetSource() == FSource;
    }
    void Calculate(TTdbDataValue&) override { throw std::logic_error("not evaluated here"); }
    void Calculate(TTdbRltnIdx, std::span<const std::byte>, TTdbDataValue&) override {
        throw std::logic_error("not evaluated here");
    }

private:
    TTdbExpressionSyntax kind_;
};

class FakeCondition : public TTdbCondition {
public:
    FakeCondition(std::u16string source, TTdbExpressionSyntax kind)
        : TTdbCondition(std::move(source)), kind_(kind) {}

    TTdbExpressionSyntax GetKind() const override { return kind_; }
    std::unique_ptr<TTdbCondition> Clone() const override {
        return std::make_unique<FakeCondition>(*this);
    }
    void Prepare(const TTdbRltnIdxSet&, TTdbRltnIdx, std::uint32_t) override {}
    void Unprepare() override {}
    TTdbTruthValue Evaluate(TTdbRltnIdxSet& rltnIdxs) override {
        rltnIdxs.set(1);
        return FSource.empty() ? tvTrue : tvUnknown;
    }
    TTdbTruthValue Evaluate(TTdbRltnIdx, std::span<const std::byte>) override { return tvFalse; }
    int FindBestIndexAndBounds(TTdbRltnIdx, std::vector<std::byte>&,
                               std::vector<std::byte>&) override {
        return -1;
    }

private:
    TTdbExpressionSyntax kind_;
};

struct FactoryCall {
    std::u16string Source;
    TTdbExpressionSyntax Kind;
    std::int16_t Level;
};

class RecordingFactory : public TTdbExpressionFactory {
public:
    std::unique_ptr<TTdbCalculation> CreateCalculation(std::u16string_view source,
                                                       TTdbExpressionSyntax kind,
                                                       std::int16_t tableLevel) override {
        calls.push_back({std::u16string(source), kind, tableLevel});
        return std::make_unique<FakeCalculation>(std::u16string(source), kind);
    }
    std::unique_ptr<TTdbCondition> CreateCondition(std::u16string_view source,
                                                   TTdbExpressionSyntax kind,
                                                   std::int16_t tableLevel) override {
        calls.push_back({std::u16string(source), kind, tableLevel});
        return std::make_unique<FakeCondition>(std::u16string(source), kind);
    }

    std::vector<FactoryCall> calls;
};

}  // namespace tdb::deftest
