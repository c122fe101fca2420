// A table of one record held in memory: named, typed columns whose values a
// test sets from their text forms or to NULL.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "expr/eval_context.h"
#include "types/calendar.h"

namespace tdb {

class TMemoryContext : public TTdbEvalContext {
public:
    explicit TMemoryContext(std::u16string tableName = u"T") : FTableName(std::move(tableName)) {}

    // The type should be nullable so that the column can hold NULL.
    void AddColumn(std::u16string name, const TTdbDataType* type) {
        FColumns.push_back({std::move(name), type, std::make_unique<TTdbDataValue>()});
        type->SetNull(*FColumns.back().Value);
    }

    // The value from its text form; no text sets NULL.
    void SetValue(std::u16string_view name, std::optional<std::u16string_view> text) {
        TColumn& column = FColumns.at(static_cast<std::size_t>(IndexOf(name)));
        if (text) {
            column.Type->ConvertFromString(*column.Value, *text);
        } else {
            column.Type->SetNull(*column.Value);
        }
    }

    int ReadCount() const noexcept { return FReadCount; }

    // Makes the locale's date form "yyyy.mm.dd." (as in Hungary).
    void UseYearFirstDates() noexcept { FYearFirstDates = true; }

    std::optional<std::int32_t> LocalDateFromText(std::u16string_view text) const override {
        int parts[3] = {};
        std::size_t at = 0;
        for (int& part : parts) {
            const std::size_t start = at;
            while (at < text.size() && text[at] >= u'0' && text[at] <= u'9') {
                part = part * 10 + (text[at++] - u'0');
            }
            if (!FYearFirstDates || at == start || at - start > 4 || at >= text.size() ||
                text[at++] != u'.') {
                return std::nullopt;
            }
        }
        if (at != text.size() || !IsValidDate(parts[0], parts[1], parts[2])) {
            return std::nullopt;
        }
        return PackDate(parts[0], parts[1], parts[2]);
    }

    bool FindColumn(std::u16string_view tableName, std::u16string_view columnName,
                    TTdbColumnHandle& handle) override {
        if (!tableName.empty() && !SameName(tableName, FTableName)) {
            return false;
        }
        const int index = IndexOf(columnName);
        if (index < 0) {
            return false;
        }
        handle.DataType = FColumns[static_cast<std::size_t>(index)].Type;
        handle.ColumnNo = index + 1;
        handle.TableNo = 0;
        return true;
    }

    void ReadColumn(const TTdbColumnHandle& handle, TTdbDataValue& value) override {
        ++FReadCount;
        TColumn& column = FColumns.at(static_cast<std::size_t>(handle.ColumnNo - 1));
        column.Type->SetReference(value, *column.Value);
    }

private:
    struct TColumn {
        std::u16string Name;
        const TTdbDataType* Type;
        std::unique_ptr<TTdbDataValue> Value;
    };

    static bool SameName(std::u16string_view a, std::u16string_view b) {
        if (a.size() != b.size()) {
            return false;
        }
        for (std::size_t i = 0; i < a.size(); ++i) {
            const auto up = [](char16_t c) {
                return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
            };
            if (up(a[i]) != up(b[i])) {
                return false;
            }
        }
        return true;
    }

    int IndexOf(std::u16string_view name) const {
        for (std::size_t i = 0; i < FColumns.size(); ++i) {
            if (SameName(FColumns[i].Name, name)) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    std::u16string FTableName;
    std::vector<TColumn> FColumns;
    int FReadCount = 0;
    bool FYearFirstDates = false;
};

}  // namespace tdb
