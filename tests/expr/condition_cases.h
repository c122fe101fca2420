// What the tables of conditions share: the truth values written short, the
// option byte of a dataset filter, record values by column name, and
// condition texts made printable for failure messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "expr/sql_condition.h"

namespace tdb::condition_cases {

inline constexpr int T = kConditionTrue;
inline constexpr int F = kConditionFalse;
inline constexpr int U = kConditionUnknown;
inline constexpr std::uint8_t kFilter = kConditionLocalFormats | kConditionFilter;

// Column name and value text; columns not named are NULL.
using TValues = std::vector<std::pair<std::u16string, std::optional<std::u16string>>>;

// ASCII as it is, anything else as "?".
inline std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

}  // namespace tdb::condition_cases
