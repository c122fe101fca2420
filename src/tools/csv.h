// Rows of separated values as the tool reads and writes them: a field may be quoted with '"'
// (a doubled quote inside stands for one); written fields are quoted only when they must be.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tdb::tools {

// The fields of one line (without its line end). False for a quote that is never closed.
bool SplitCsvLine(std::string_view line, char separator, std::vector<std::string>& fields);

// The fields joined by the separator, each quoted when it holds the separator, a quote or a
// line end.
std::string JoinCsvLine(const std::vector<std::string>& fields, char separator);

}  // namespace tdb::tools
