// What evaluating a filter costs per record: a prepared condition stepped over 100,000 records
// of the postal-code list held in memory, the context pointing each column at the record's own
// value as an accessor points at its record buffer. Reported: ns per record and heap
// allocations per record, which must stay at zero.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "allocation_count.h"
#include "expr/sql_condition.h"
#include "postal_rows.h"

namespace tdb {
namespace {

constexpr std::size_t kRecords = 100000;

// The columns TELEP, IRSZ and TELK of many records; one of them is current.
class TRecordsContext : public TTdbEvalContext {
public:
    TRecordsContext() {
        const auto& rows = bench::PostalRows();
        for (auto& column : FValues) {
            column.resize(kRecords);
        }
        for (std::size_t i = 0; i < kRecords; ++i) {
            const bench::TPostalRow& row = rows[i % rows.size()];
            FTypes[0]->SetWideString(FValues[0][i], row.Name);
            FTypes[1]->SetWideString(FValues[1][i], row.Code);
            // Mostly "0", a "1" now and then, and some records without a value.
            if (i % 7 == 0) {
                FTypes[2]->SetNull(FValues[2][i]);
            } else {
                FTypes[2]->SetWideString(FValues[2][i], i % 3 == 0 ? u"1" : u"0");
            }
        }
    }

    void SetCurrent(std::size_t record) noexcept { FCurrent = record; }

    bool FindColumn(std::u16string_view, std::u16string_view columnName,
                    TTdbColumnHandle& handle) override {
        for (std::size_t i = 0; i < std::size(kNames); ++i) {
            if (columnName == kNames[i]) {
                handle.DataType = FTypes[i];
                handle.ColumnNo = static_cast<std::int32_t>(i);
                return true;
            }
        }
        return false;
    }

    void ReadColumn(const TTdbColumnHandle& handle, TTdbDataValue& value) override {
        const auto column = static_cast<std::size_t>(handle.ColumnNo);
        FTypes[column]->SetReference(value, FValues[column][FCurrent]);
    }

private:
    static constexpr std::u16string_view kNames[] = {u"TELEP", u"IRSZ", u"TELK"};
    const TTdbDataType* FTypes[3] = {TTdbDataType::GetStringType(ctString, true, 40, u""),
                                     TTdbDataType::GetStringType(ctString, true, 4, u""),
                                     TTdbDataType::GetStringType(ctString, true, 1, u"")};
    std::vector<TTdbDataValue> FValues[3];
    std::size_t FCurrent = 0;
};

TRecordsContext& Records() {
    static TRecordsContext context;
    return context;
}

void RunCondition(benchmark::State& state, const char16_t* text) {
    TRecordsContext& context = Records();
    TTdbSqlCondition condition(text);
    condition.Prepare(context, kConditionLocalFormats | kConditionPartialCompare |
                                   kConditionFilter);
    std::size_t record = 0;
    std::size_t passed = 0;
    const std::size_t before = bench::AllocationCount();
    for (auto _ : state) {
        context.SetCurrent(record);
        passed += condition.Evaluate() == kConditionTrue ? 1 : 0;
        record = record + 1 == kRecords ? 0 : record + 1;
    }
    benchmark::DoNotOptimize(passed);
    state.counters["allocs/record"] =
        benchmark::Counter(static_cast<double>(bench::AllocationCount() - before),
                           benchmark::Counter::kAvgIterations);
    state.counters["passed"] =
        benchmark::Counter(static_cast<double>(passed), benchmark::Counter::kAvgIterations);
}

void BM_Condition_TelkEquals(benchmark::State& state) {
    RunCondition(state, u"TELK = '1'");
}
BENCHMARK(BM_Condition_TelkEquals);

void BM_Condition_TelepPartial(benchmark::State& state) {
    RunCondition(state, u"TELEP = 'Buda*'");
}
BENCHMARK(BM_Condition_TelepPartial);

}  // namespace
}  // namespace tdb
