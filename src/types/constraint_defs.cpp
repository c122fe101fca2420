// Checks, candidate keys, foreign keys and user types of a table definition.
#include "types/constraint_defs.h"

#include <stdexcept>

namespace tdb {

namespace {

bool IsBlank(char16_t c) noexcept {
    return c == u' ' || c == u'\t';
}

std::u16string_view Trim(std::u16string_view text) noexcept {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::u16string WithoutDollar(std::u16string_view name) {
    if (!name.empty() && name.front() == u'$') {
        name.remove_prefix(1);
    }
    return std::u16string(name);
}

std::u16string JoinStr(const std::vector<std::u16string>& names) {
    std::u16string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            list += u',';
        }
        list += WithoutDollar(names[i]);
    }
    return list;
}

std::u16string JoinTdb(const std::vector<std::u16string>& names) {
    std::u16string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            list += u',';
        }
        list += u"${" + WithoutDollar(names[i]) + u"}";
    }
    return list;
}

std::vector<std::u16string> MarkedNames(std::u16string_view columns) {
    std::vector<std::u16string> names;
    for (const std::u16string& item : SplitColumnList(columns)) {
        names.push_back(u"$" + BareColumnName(item));
    }
    return names;
}

// Cuts to at most Max code units without splitting a surrogate pair.
std::u16string Cut(std::u16string text, std::size_t max) {
    if (text.size() > max) {
        std::size_t end = max;
        if (end > 0 && text[end - 1] >= 0xD800 && text[end - 1] <= 0xDBFF) {
            --end;
        }
        text.resize(end);
    }
    return text;
}

}  // namespace

std::vector<std::u16string> SplitColumnList(std::u16string_view columns) {
    std::vector<std::u16string> items;
    std::size_t start = 0;
    int depth = 0;
    for (std::size_t i = 0; i <= columns.size(); ++i) {
        if (i < columns.size()) {
            char16_t c = columns[i];
            if (c == u'{') {
                ++depth;
            } else if (c == u'}' && depth > 0) {
                --depth;
            }
            if (c != u',' || depth > 0) {
                continue;
            }
        }
        std::u16string_view item = Trim(columns.substr(start, i - start));
        if (!item.empty()) {
            items.emplace_back(item);
        }
        start = i + 1;
    }
    return items;
}

std::u16string BareColumnName(std::u16string_view item) {
    item = Trim(item);
    if (!item.empty() && item.front() == u'$') {
        item.remove_prefix(1);
    }
    if (item.size() >= 2 && item.front() == u'{' && item.back() == u'}') {
        item = item.substr(1, item.size() - 2);
    }
    return std::u16string(item);
}

// ---- TTdbCheckDef ----

TTdbCheckDef::TTdbCheckDef(std::u16string name, std::unique_ptr<TTdbCondition> condition)
    : TTdbNamedDef(std::move(name)), FCondition(std::move(condition)) {}

TTdbCheckDef::TTdbCheckDef(const TTdbCheckDef& other)
    : TTdbNamedDef(other), FCondition(other.FCondition ? other.FCondition->Clone() : nullptr) {}

TTdbCheckDef::~TTdbCheckDef() = default;

std::unique_ptr<TTdbNamedDef> TTdbCheckDef::Clone() const {
    return std::make_unique<TTdbCheckDef>(*this);
}

std::u16string TTdbCheckDef::GetSource() const {
    return FCondition ? FCondition->GetSource() : std::u16string();
}

// ---- TTdbCandidateKeyDef ----

TTdbCandidateKeyDef::TTdbCandidateKeyDef(std::u16string name, std::u16string_view columns,
                                         bool isPrimary)
    : TTdbNamedDef(std::move(name)), FIsPrimary(isPrimary) {
    for (const std::u16string& item : SplitColumnList(columns)) {
        FColumnNames.push_back(BareColumnName(item));
    }
}

TTdbCandidateKeyDef::TTdbCandidateKeyDef(const TTdbCandidateKeyDef& other)
    : TTdbNamedDef(other),
      FIsPrimary(other.FIsPrimary),
      FColumnNames(other.FColumnNames),
      IndexDef(other.IndexDef ? std::make_unique<TTdbSortDef>(*other.IndexDef) : nullptr) {}

TTdbCandidateKeyDef::~TTdbCandidateKeyDef() = default;

std::unique_ptr<TTdbNamedDef> TTdbCandidateKeyDef::Clone() const {
    return std::make_unique<TTdbCandidateKeyDef>(*this);
}

const std::u16string& TTdbCandidateKeyDef::GetColumnName(int index) const {
    if (index < 0 || index >= GetColumnCount()) {
        throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    }
    return FColumnNames[static_cast<std::size_t>(index)];
}

std::u16string TTdbCandidateKeyDef::GetColumnNamesStr() const {
    return JoinStr(FColumnNames);
}

std::u16string TTdbCandidateKeyDef::GetColumnNamesTdb() const {
    return JoinTdb(FColumnNames);
}

TTdbKeySpec TTdbCandidateKeyDef::GetKeySpec() const {
    TTdbKeySpec spec;
    spec.IsPrimary = FIsPrimary;
    spec.Name = Cut(FName, TTdbKeySpec::kMaxNameLength);
    spec.Columns = Cut(GetColumnNamesStr(), TTdbKeySpec::kMaxColumnsLength);
    return spec;
}

// ---- TTdbForeignKeyDef ----

std::unique_ptr<TTdbForeignKeyDef> TTdbForeignKeyDef::Create(
    std::u16string name, TTdbForeignKeyAction deleteAction, TTdbForeignKeyAction updateAction,
    std::u16string_view parentColumns, std::u16string parentTable, std::u16string_view columns) {
    auto def = std::make_unique<TTdbForeignKeyDef>();
    def->FName = std::move(name);
    def->FDeleteAction = deleteAction;
    def->FUpdateAction = updateAction;
    def->FParentColumnNames = SplitColumnList(parentColumns);
    def->FParentTableName = std::move(parentTable);
    def->FColumnNames = SplitColumnList(columns);
    return def;
}

std::unique_ptr<TTdbForeignKeyDef> TTdbForeignKeyDef::CreateStr(
    std::u16string name, TTdbForeignKeyAction deleteAction, TTdbForeignKeyAction updateAction,
    std::u16string_view parentColumns, std::u16string parentTable, std::u16string_view columns) {
    auto def = Create(std::move(name), deleteAction, updateAction, {}, std::move(parentTable), {});
    for (const std::u16string& item : SplitColumnList(parentColumns)) {
        def->FParentColumnNames.push_back(u"$" + item);
    }
    for (const std::u16string& item : SplitColumnList(columns)) {
        def->FColumnNames.push_back(u"$" + item);
    }
    return def;
}

std::unique_ptr<TTdbNamedDef> TTdbForeignKeyDef::Clone() const {
    return std::make_unique<TTdbForeignKeyDef>(*this);
}

std::u16string TTdbForeignKeyDef::GetColumnNamesStr() const {
    return JoinStr(FColumnNames);
}

std::u16string TTdbForeignKeyDef::GetParentColumnNamesStr() const {
    return JoinStr(FParentColumnNames);
}

std::u16string TTdbForeignKeyDef::GetColumnNamesTdb() const {
    return JoinTdb(FColumnNames);
}

std::u16string TTdbForeignKeyDef::GetParentColumnNamesTdb() const {
    return JoinTdb(FParentColumnNames);
}

void TTdbForeignKeyDef::SetColumnNamesTdb(std::u16string_view columns) {
    FColumnNames = MarkedNames(columns);
}

void TTdbForeignKeyDef::SetParentColumnNamesTdb(std::u16string_view columns) {
    FParentColumnNames = MarkedNames(columns);
}

// ---- TTdbTypeDef ----

std::unique_ptr<TTdbNamedDef> TTdbTypeDef::Clone() const {
    return std::make_unique<TTdbTypeDef>(*this);
}

}  // namespace tdb
