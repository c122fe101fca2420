// The rows of the public postal-code list, as the benchmarks draw their keys from it.
#pragma once

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/text.h"

namespace tdb::bench {

struct TPostalRow {
    std::u16string Code;
    std::u16string Name;
};

// Every row of data/irsz.csv in file order, duplicates included; read once.
inline const std::vector<TPostalRow>& PostalRows() {
    static const std::vector<TPostalRow> rows = [] {
        std::ifstream file(std::filesystem::path(ZENKALO_DATA_DIR) / "irsz.csv");
        if (!file)
            throw std::runtime_error("irsz.csv not found in the data directory");
        std::vector<TPostalRow> read;
        std::string line;
        std::getline(file, line);  // IRSZ;TELEP;TELK
        while (std::getline(file, line)) {
            const auto first = line.find(';');
            const auto second = line.find(';', first + 1);
            if (first == std::string::npos || second == std::string::npos)
                continue;
            read.push_back({FromUtf8(line.substr(0, first)),
                            FromUtf8(line.substr(first + 1, second - first - 1))});
        }
        if (read.empty())
            throw std::runtime_error("irsz.csv holds no rows");
        return read;
    }();
    return rows;
}

}  // namespace tdb::bench
