// The distinct settlement names of the postal-code list, sorted by code unit: the real
// strings the collation and prefix-bound tests are checked against.
#pragma once

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/text.h"

namespace tdb::test_data {

inline std::vector<std::u16string> SettlementNames() {
    std::ifstream file(std::string(ZENKALO_DATA_DIR) + "/irsz.csv");
    std::set<std::u16string> names;
    std::string line;
    std::getline(file, line);
    while (std::getline(file, line)) {
        const auto first = line.find(';');
        const auto second = line.find(';', first + 1);
        if (first != std::string::npos && second != std::string::npos) {
            names.insert(FromUtf8(line.substr(first + 1, second - first - 1)));
        }
    }
    return {names.begin(), names.end()};
}

}  // namespace tdb::test_data
