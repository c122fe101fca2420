// What the dataset adds to the call interface on the search window's request: a settlement name
// typed key by key into FindNearest, a grid of 20 rows read after each key, at 100 000 records;
// beside it the same searches and rows through a table handle alone.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "api/call_interface.h"
#include "api/handles.h"
#include "dataset/tdb_database.h"
#include "dataset/tdb_table.h"
#include "postal_table.h"
#include "process_directory.h"
#include "timed_beside.h"

namespace tdb {
namespace {

using bench::RowAt;

constexpr std::int32_t kRows = 100000;
constexpr std::int32_t kGridRows = 20;
constexpr std::size_t kKeystrokes = 8;

// A grid's reading of its rows, as it paints them.
class TGrid : public dataset::TDataLink {
public:
    void Paint(std::u16string& sink) {
        const std::int32_t active = ActiveRecord();
        for (std::int32_t row = 0; row < RecordCount(); ++row) {
            SetActiveRecord(row);
            sink = DataSet()->Fields(0).AsString();
            sink = DataSet()->Fields(1).AsString();
            benchmark::DoNotOptimize(sink.data());
        }
        SetActiveRecord(active);
    }
};

class TDataSetPostal {
public:
    TDataSetPostal() {
        const std::filesystem::path directory = bench::MakeProcessDirectory("dataset_bench");
        const std::u16string location = FromUtf8(directory.string());
        const std::int16_t made = api::TdbCreateSession(u"");
        if (made <= 0 || api::TdbSessOpenDb(made, location.c_str(), u"", u"", 0, 0) != 0)
            std::abort();
        bench::CreatePostalTable(*api::ClassifySession(made).Local, u"Postal", kRows);
        api::TdbSessDelete(made);

        FDatabase.SetName(u"Bench");
        FDatabase.SetLocation(location);
        FTable.SetDatabaseName(u"Bench");
        FTable.SetTableName(u"Postal");
        FTable.SetIndexName(u"ByName");
        FTable.Open();
        FSource.SetDataSet(&FTable);
        FGrid.SetDataSource(&FSource);
        FGrid.SetBufferCount(kGridRows);

        FTableHdl = api::TdbTableCreate(api::TdbTableGetRltnHdl(FTable.TableHdl()), u"Peer");
        if (FTableHdl <= 0 || api::TdbTableSetIndex(FTableHdl, u"ByName", false) != 0)
            std::abort();
        FRecord.resize(static_cast<std::size_t>(api::TdbTableGetRecordSize(FTableHdl)));
        FText.resize(64);
    }
    ~TDataSetPostal() {
        api::TdbTableDelete(FTableHdl);
        FGrid.SetDataSource(nullptr);
        FTable.Close();
    }

    void TypeIntoDataSet(const std::u16string& name) {
        for (std::size_t length = 1; length <= std::min(name.size(), kKeystrokes); ++length) {
            FTable.FindNearest({name.substr(0, length)});
            FGrid.Paint(FSink);
        }
    }

    // The same through a table handle: the search, then the rows around the record found.
    void TypeIntoTableHandle(const std::u16string& name) {
        for (std::size_t length = 1; length <= std::min(name.size(), kKeystrokes); ++length) {
            api::TdbTableInitRecord(FTableHdl, FRecord.data(), Size());
            api::TdbTableSetFieldInRecord(FTableHdl, FRecord.data(), Size(), 2,
                                          name.substr(0, length).c_str());
            bool exact = false;
            if (api::TdbTableLocateRec2(FTableHdl, u"ByName", FRecord.data(), Size(), 1, exact) <=
                0)
                api::TdbTableLast(FTableHdl);
            api::TdbTableMoveBy(FTableHdl, -(kGridRows / 2));
            for (std::int32_t row = 0; row < kGridRows; ++row) {
                api::TdbTableGetRecord(FTableHdl, FRecord.data(), Size());
                for (std::int16_t field = 1; field <= 2; ++field) {
                    bool isNull = false;
                    benchmark::DoNotOptimize(api::TdbTableGetFieldFromRecord(
                        FTableHdl, FRecord.data(), Size(), field, FText.data(), 63, isNull));
                }
                if (api::TdbTableMoveBy(FTableHdl, 1) < 0)
                    break;
            }
        }
    }

private:
    std::int32_t Size() const { return static_cast<std::int32_t>(FRecord.size()); }

    dataset::TTdbDatabase FDatabase{nullptr};
    dataset::TTdbTable FTable{nullptr};
    dataset::TDataSource FSource;
    TGrid FGrid;
    std::int16_t FTableHdl = 0;
    std::vector<std::byte> FRecord;
    std::u16string FText;
    std::u16string FSink;
};

TDataSetPostal& Postal() {
    static TDataSetPostal postal;
    return postal;
}

void BM_DataSetTypingANameWithAGridOf20(benchmark::State& state) {
    TDataSetPostal& postal = Postal();
    std::mt19937 ours(7);
    std::mt19937 peer(1007);
    auto draw = [](std::mt19937& random) {
        return RowAt(std::uniform_int_distribution<std::int32_t>(0, kRows - 1)(random)).Name;
    };
    bench::TimeBeside(
        state, 1, "handle", [&] { postal.TypeIntoDataSet(draw(ours)); },
        [&] { postal.TypeIntoTableHandle(draw(peer)); });
}

BENCHMARK(BM_DataSetTypingANameWithAGridOf20)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tdb
