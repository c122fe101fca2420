// The program's table for the dataset tests: Irsz with its three text columns under the
// Hungarian collation and the indexes TELEP and IRSZ, made and filled through the call interface
// in a scratch directory, from a few rows or from the whole postal list.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "../platform/test_support.h"
#include "api/call_interface.h"
#include "api/text_buffers.h"
#include "platform/text.h"

namespace dataset::testing {

struct TPostalRow {
    std::u16string Irsz;
    std::u16string Telep;
    std::u16string Telk;
};

// The rows of the postal list in the repository's data directory, in file order.
inline std::vector<TPostalRow> SampleRows() {
    std::ifstream in(std::string(ZENKALO_DATA_DIR) + "/irsz.csv");
    std::vector<TPostalRow> rows;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto first = line.find(';');
        const auto second = line.find(';', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        rows.push_back({tdb::FromUtf8(line.substr(0, first)),
                        tdb::FromUtf8(line.substr(first + 1, second - first - 1)),
                        tdb::FromUtf8(line.substr(second + 1))});
    }
    return rows;
}

// Makes the table Irsz in Dir and appends Rows; Required makes TELEP a column that must have a
// value.
inline void MakePostalTable(const std::u16string& dir, const std::vector<TPostalRow>& rows,
                            bool required = false) {
    using namespace tdb::api;
    const std::int16_t sess = TdbCreateSession(dir.c_str());
    ASSERT_GT(sess, 0);
    ASSERT_EQ(TdbSessCreateDatabase(sess, 0, dir.c_str(), 0, 0, u""), 0);
    ASSERT_EQ(TdbSessOpenDb(sess, dir.c_str(), u"", u"", 0, 0), 0);
    auto field = [](std::u16string_view name, std::int32_t length, bool nullable) {
        TTdbFieldSpec spec{};
        SetFixedText(spec.Name, name);
        spec.FldType = 18;
        spec.Param = length;
        spec.Options = nullable ? 0x20 : 0;
        return spec;
    };
    const TTdbFieldSpec fields[] = {field(u"IRSZ", 4, true), field(u"TELEP", 38, !required),
                                    field(u"TELK", 2, true)};
    TTdbTableInfo info{};
    SetFixedText(info.FileName, u"Irsz");
    info.Level = 6;
    SetFixedText(info.Language, u"Hungarian");
    info.Capacity = 1000;
    ASSERT_EQ(TdbSessCreateTable(sess, info, u"", 3, fields, 0, nullptr, 0, nullptr, 0, nullptr),
              0);
    const std::int16_t rltn = TdbSessOpenTable(sess, u"Irsz", u"", kTdbRightsWrite, false, false);
    ASSERT_GT(rltn, 0);
    ASSERT_GE(TdbRltnCreateIndex(rltn, u"TELEP", u"TELEP", false), 0);
    ASSERT_GE(TdbRltnCreateIndex(rltn, u"IRSZ", u"IRSZ", false), 0);
    const std::int16_t table = TdbTableCreate(rltn, u"fill");
    ASSERT_GT(table, 0);
    for (const TPostalRow& row : rows) {
        ASSERT_EQ(TdbTableAppend(table), 0);
        ASSERT_EQ(TdbTableSetFieldAsString(table, 1, row.Irsz.c_str()), 0);
        ASSERT_EQ(TdbTableSetFieldAsString(table, 2, row.Telep.c_str()), 0);
        ASSERT_EQ(TdbTableSetFieldAsString(table, 3, row.Telk.c_str()), 0);
        ASSERT_EQ(TdbTableAppendConfirm(table), 0);
    }
    TdbTableDelete(table);
    TdbRltnClose(rltn);
    TdbSessDelete(sess);
}

}  // namespace dataset::testing
