// Reading index specification texts: splitting into components, resolving columns and
// lengths, and recognising expression indexes.
#include "index/index_text.h"

#include <optional>
#include <string>
#include <vector>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "types/calculation.h"
#include "types/column_def.h"

namespace tdb {

namespace {

constexpr std::int16_t kFirstLevelWithVarSize = 6;
// More digits than any column number or length can have.
constexpr std::size_t kMaxDigits = 5;

class TSpecParser {
public:
    TSpecParser(std::u16string_view name, const TTdbColumnDefs& columnDefs, std::int16_t tableLevel,
                bool fieldNumbers)
        : FName(name),
          FColumnDefs(columnDefs),
          FTableLevel(tableLevel),
          FFieldNumbers(fieldNumbers) {}

    [[noreturn]] void Invalid() const {
        RaiseEngineError(kTdbErrInvalidIndexSpec, {std::u16string(FName)});
    }

    static std::u16string_view Trim(std::u16string_view s) {
        const auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
        while (!s.empty() && blank(s.front())) {
            s.remove_prefix(1);
        }
        while (!s.empty() && blank(s.back())) {
            s.remove_suffix(1);
        }
        return s;
    }

    static std::optional<std::int32_t> Number(std::u16string_view digits) {
        if (digits.empty() || digits.size() > kMaxDigits) {
            return std::nullopt;
        }
        std::int32_t value = 0;
        for (char16_t c : digits) {
            if (c < u'0' || c > u'9') {
                return std::nullopt;
            }
            value = value * 10 + (c - u'0');
        }
        return value;
    }

    // The position of the parenthesis that closes the one at Open; quoted texts inside the
    // expression may hold parentheses of their own.
    std::size_t ClosingParenthesis(std::u16string_view text, std::size_t open) const {
        int depth = 0;
        for (std::size_t i = open; i < text.size(); ++i) {
            const char16_t c = text[i];
            if (c == u'\'' || c == u'"') {
                const std::size_t end = text.find(c, i + 1);
                if (end == std::u16string_view::npos) {
                    Invalid();
                }
                i = end;
            } else if (c == u'(') {
                ++depth;
            } else if (c == u')' && --depth == 0) {
                return i;
            }
        }
        Invalid();
    }

    TTdbSortDef Expression(std::u16string_view text, bool unique) const {
        if (ClosingParenthesis(text, 0) != text.size() - 1) {
            Invalid();  // something after the expression, or a parenthesis too many
        }
        const std::u16string_view source = text.substr(1, text.size() - 2);
        if (Trim(ParseStoredExpression(source, FTableLevel).Source).empty()) {
            Invalid();
        }
        TTdbSortDef def(std::u16string(FName), std::u16string(source), unique, true);
        def.UpdateSize(FTableLevel);
        return def;
    }

    // The pieces between commas outside braces.
    std::vector<std::u16string_view> Split(std::u16string_view text) const {
        std::vector<std::u16string_view> pieces;
        int depth = 0;
        std::size_t start = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char16_t c = text[i];
            if (c == u'{') {
                ++depth;
            } else if (c == u'}') {
                if (--depth < 0) {
                    Invalid();
                }
            } else if ((c == u'(' || c == u')') && depth == 0) {
                Invalid();  // an expression stands alone, in parentheses
            } else if (c == u',' && depth == 0) {
                pieces.push_back(text.substr(start, i - start));
                start = i + 1;
            }
        }
        if (depth != 0) {
            Invalid();
        }
        pieces.push_back(text.substr(start));
        return pieces;
    }

    // 0-based index of the column the token names.
    int Column(std::u16string_view token, bool braced) const {
        std::optional<std::int32_t> number;
        std::u16string_view columnName = token;
        if (!braced) {
            if (token.empty() || token.find_first_of(u"{}$") != std::u16string_view::npos) {
                if (token.size() > 1 && token.front() == u'$' &&
                    token.find_first_of(u"{}$", 1) == std::u16string_view::npos) {
                    columnName = token.substr(1);
                    number = Number(columnName);
                } else {
                    Invalid();
                }
            } else if (FFieldNumbers) {
                number = Number(token);
            }
        }
        if (number) {
            if (*number < 1 || *number > FColumnDefs.GetCount()) {
                Invalid();
            }
            return *number - 1;
        }
        const int index = FColumnDefs.Find(columnName);
        if (index < 0) {
            Invalid();
        }
        return index;
    }

    // The component size a ":len" asks of the column.
    std::int16_t ShortenedSize(const TTdbColumnDef& column, std::u16string_view lengthText) const {
        const std::optional<std::int32_t> length = Number(lengthText);
        if (!length) {
            Invalid();
        }
        const TTdbColumnType type = column.GetColumnType();
        const std::int32_t nullByte = column.GetHasNullByte() ? 1 : 0;
        std::int32_t size = *length;
        std::int32_t characters = 0;
        if (type == ctString) {
            size = *length + 1;
            const std::int32_t prefix = column.Size > 256 + nullByte ? 2 : 1;
            characters = size - prefix - nullByte;
        } else if (type == ctWideString) {
            // A whole column with a null byte has an odd size, which its text writes as
            // the same length as one byte less: that length means the whole column.
            size = 2 * (*length + 1) + 1 == column.Size ? column.Size : 2 * (*length + 1);
            characters = (size - 2 - nullByte) / 2;
        } else if (size != column.Size) {
            Invalid();  // only strings can be shortened
        } else {
            characters = 1;
        }
        // A shortened string keeps at least one character.
        if (characters < 1 || size > column.Size) {
            Invalid();
        }
        return static_cast<std::int16_t>(size);
    }

    void Component(std::u16string_view piece, TTdbSortDef& def) const {
        piece = Trim(piece);
        bool descending = false;
        if (!piece.empty() && piece.front() == u'-') {
            descending = true;
            piece = Trim(piece.substr(1));
        }
        if (piece.empty()) {
            Invalid();
        }
        std::u16string_view token;
        std::u16string_view rest;
        bool braced = false;
        if (piece.starts_with(u"${")) {
            const std::size_t close = piece.find(u'}');
            token = piece.substr(2, close - 2);
            rest = Trim(piece.substr(close + 1));
            braced = true;
        } else {
            const std::size_t colon = piece.find(u':');
            token = Trim(piece.substr(0, colon));
            rest = colon == std::u16string_view::npos ? std::u16string_view{} : piece.substr(colon);
        }
        const int columnIndex = Column(token, braced);
        const TTdbColumnDef& column = *FColumnDefs.GetColumnDef(columnIndex);
        std::int16_t size = column.Size;
        if (!rest.empty()) {
            if (rest.front() != u':') {
                Invalid();
            }
            size = ShortenedSize(column, Trim(rest.substr(1)));
        }
        def.AddItem(static_cast<std::int16_t>(columnIndex + 1),
                    static_cast<std::uint8_t>(column.GetColumnType()), size, descending);
    }

    TTdbSortDef Components(std::u16string_view text, bool unique) const {
        TTdbSortDef def(std::u16string(FName), std::u16string(text), unique, false);
        const std::vector<std::u16string_view> pieces = Split(text);
        CheckSortLevelCount(static_cast<int>(pieces.size()), FTableLevel);
        bool stringKey = false;
        for (std::u16string_view piece : pieces) {
            Component(piece, def);
            const TTdbColumnType type =
                def.Items[static_cast<std::size_t>(def.LevelCount - 1)].ColumnType;
            stringKey = stringKey || type == ctString || type == ctWideString;
        }
        def.IsVarSize = FTableLevel >= kFirstLevelWithVarSize && stringKey;
        def.UpdateSize(FTableLevel);
        return def;
    }

private:
    std::u16string_view FName;
    const TTdbColumnDefs& FColumnDefs;
    std::int16_t FTableLevel;
    bool FFieldNumbers;
};

}  // namespace

TTdbSortDef ParseIndexSpecification(std::u16string_view name, std::u16string_view text,
                                    const TTdbColumnDefs& columnDefs, std::int16_t tableLevel,
                                    bool unique, bool fieldNumbers) {
    const TSpecParser parser(name, columnDefs, tableLevel, fieldNumbers);
    const std::u16string_view trimmed = TSpecParser::Trim(text);
    if (trimmed.empty()) {
        parser.Invalid();
    }
    if (trimmed.front() == u'(') {
        return parser.Expression(trimmed, unique);
    }
    return parser.Components(trimmed, unique);
}

}  // namespace tdb
