#include "csv.h"

namespace tdb::tools {

bool SplitCsvLine(std::string_view line, char separator, std::vector<std::string>& fields) {
    fields.clear();
    std::string field;
    bool quoted = false;
    bool wasQuoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = false;
            }
        } else if (c == '"' && field.empty() && !wasQuoted) {
            quoted = wasQuoted = true;
        } else if (c == separator) {
            fields.push_back(std::move(field));
            field.clear();
            wasQuoted = false;
        } else {
            field += c;
        }
    }
    fields.push_back(std::move(field));
    return !quoted;
}

std::string JoinCsvLine(const std::vector<std::string>& fields, char separator) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += separator;
        const std::string& field = fields[i];
        if (field.find_first_of(std::string{separator, '"', '\n', '\r'}) == std::string::npos) {
            line += field;
            continue;
        }
        line += '"';
        for (const char c : field) {
            if (c == '"')
                line += '"';
            line += c;
        }
        line += '"';
    }
    return line;
}

}  // namespace tdb::tools
