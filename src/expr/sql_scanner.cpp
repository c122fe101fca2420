// The scanner of the SQL condition language: character classes, token rules
// and the keyword table.
#include "expr/sql_scanner.h"

#include <algorithm>
#include <utility>

#include "base/engine_error.h"
#include "base/engine_errors.h"

namespace tdb {

namespace {

struct TKeyword {
    std::u16string_view Name;  // upper case
    TSqlTokenType Type;
};

// Sorted by name, so that a word is found by binary search without folding
// it into a buffer first.
constexpr TKeyword kKeywords[] = {
    {u"ACTION", sqltAction},
    {u"ADD", sqltAdd},
    {u"ALL", sqltAll},
    {u"ALTER", sqltAlter},
    {u"AND", sqltAnd},
    {u"ANY", sqltAny},
    {u"AS", sqltAs},
    {u"ASC", sqltAsc},
    {u"ASCENDING", sqltAsc},
    {u"AT", sqltAt},
    {u"BETWEEN", sqltBetween},
    {u"BOTH", sqltBoth},
    {u"BY", sqltBy},
    {u"CASCADE", sqltCascade},
    {u"CASE", sqltCase},
    {u"CHECK", sqltCheck},
    {u"COLLATE", sqltCollate},
    {u"COLUMN", sqltColumn},
    {u"CONSTRAINT", sqltConstraint},
    {u"CONTAINING", sqltContaining},
    {u"CONTAINS", sqltContains},
    {u"CORRESPONDING", sqltCorresponding},
    {u"CREATE", sqltCreate},
    {u"CROSS", sqltCross},
    {u"DAT", sqltDat},
    {u"DEFAULT", sqltDefault},
    {u"DELETE", sqltDelete},
    {u"DESC", sqltDesc},
    {u"DESCENDING", sqltDesc},
    {u"DICTIONARY", sqltDictionary},
    {u"DISTINCT", sqltDistinct},
    {u"DIV", sqltDiv},
    {u"DROP", sqltDrop},
    {u"ELSE", sqltElse},
    {u"ENCRYPTION", sqltEncryption},
    {u"END", sqltEnd},
    {u"ESCAPE", sqltEscape},
    {u"EXCEPT", sqltExcept},
    {u"EXISTS", sqltExists},
    {u"FALSE", sqltFalse},
    {u"FOR", sqltFor},
    {u"FOREIGN", sqltForeign},
    {u"FROM", sqltFrom},
    {u"FULL", sqltFull},
    {u"FULLTEXTINDEX", sqltFullTextIndex},
    {u"GROUP", sqltGroup},
    {u"HAS", sqltHas},
    {u"HAVING", sqltHaving},
    {u"IN", sqltIn},
    {u"INDEX", sqltIndex},
    {u"INNER", sqltInner},
    {u"INSERT", sqltInsert},
    {u"INTERSECT", sqltIntersect},
    {u"INTO", sqltInto},
    {u"IS", sqltIs},
    {u"JOIN", sqltJoin},
    {u"KEY", sqltKey},
    {u"LEADING", sqltLeading},
    {u"LEFT", sqltLeft},
    {u"LEVEL", sqltLevel},
    {u"LIKE", sqltLike},
    {u"MOD", sqltMod},
    {u"MODIFY", sqltModify},
    {u"NO", sqltNo},
    {u"NOT", sqltNot},
    {u"NULL", sqltNull},
    {u"NUMERIC", sqltNumeric},
    {u"ON", sqltOn},
    {u"OR", sqltOr},
    {u"ORDER", sqltOrder},
    {u"OUTER", sqltOuter},
    {u"PASSWORD", sqltPassword},
    {u"PRECISION", sqltPrecision},
    {u"PRIMARY", sqltPrimary},
    {u"REFERENCES", sqltReferences},
    {u"RENAME", sqltRename},
    {u"RIGHT", sqltRight},
    {u"SELECT", sqltSelect},
    {u"SET", sqltSet},
    {u"SOME", sqltSome},
    {u"TABLE", sqltTable},
    {u"THEN", sqltThen},
    {u"TO", sqltTo},
    {u"TOP", sqltTop},
    {u"TRAILING", sqltTrailing},
    {u"TRUE", sqltTrue},
    {u"UNION", sqltUnion},
    {u"UNIQUE", sqltUnique},
    {u"UPDATE", sqltUpdate},
    {u"VALUES", sqltValues},
    {u"WHEN", sqltWhen},
    {u"WHERE", sqltWhere},
    {u"XOR", sqltXor},
};

constexpr bool KeywordsSorted() {
    for (std::size_t i = 1; i < std::size(kKeywords); ++i) {
        if (!(kKeywords[i - 1].Name < kKeywords[i].Name)) {
            return false;
        }
    }
    return true;
}
static_assert(KeywordsSorted(), "the keyword table must stay sorted for the binary search");

constexpr std::size_t kLongestKeyword = 13;  // CORRESPONDING, FULLTEXTINDEX

constexpr char16_t AsciiUpper(char16_t c) noexcept {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
}

// Compares a word with an upper-case keyword, folding only ASCII letters: no
// keyword holds another letter, so a word with one never matches anyway.
int CompareWithKeyword(std::u16string_view word, std::u16string_view keyword) noexcept {
    const std::size_t n = std::min(word.size(), keyword.size());
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t a = AsciiUpper(word[i]);
        if (a != keyword[i]) {
            return a < keyword[i] ? -1 : 1;
        }
    }
    if (word.size() == keyword.size()) {
        return 0;
    }
    return word.size() < keyword.size() ? -1 : 1;
}

constexpr bool IsIdentifierStart(char16_t c) noexcept {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'\u00C4' ||
           c == u'\u00D6' || c == u'\u00DC' || c == u'\u00E4' || c == u'\u00F6' || c == u'\u00FC';
}

// The letters of identifiers: what may not touch the end of a number.
constexpr bool IsIdentifierLetter(char16_t c) noexcept {
    return IsIdentifierStart(c) || c == u'\u00DF';
}

constexpr bool IsIdentifierChar(char16_t c) noexcept {
    return IsIdentifierLetter(c) || (c >= u'0' && c <= u'9') || c == u'-' || c == u'_';
}

constexpr bool IsDigit(char16_t c) noexcept {
    return c >= u'0' && c <= u'9';
}

constexpr bool IsBlank(char16_t c) noexcept {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

constexpr std::u16string_view kEndOfStatementName = u"<end of statement>";

}  // namespace

TSqlTokenType SqlKeywordType(std::u16string_view word) noexcept {
    if (word.empty() || word.size() > kLongestKeyword) {
        return sqltIdentifier;
    }
    std::size_t low = 0;
    std::size_t high = std::size(kKeywords);
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        const int order = CompareWithKeyword(word, kKeywords[mid].Name);
        if (order == 0) {
            return kKeywords[mid].Type;
        }
        if (order < 0) {
            high = mid;
        } else {
            low = mid + 1;
        }
    }
    return sqltIdentifier;
}

bool SqlIsIdentifierWord(std::u16string_view word) noexcept {
    if (word.empty() || !IsIdentifierStart(word.front())) {
        return false;
    }
    return std::all_of(word.begin() + 1, word.end(), IsIdentifierChar);
}

std::u16string_view SqlTokenTypeName(TSqlTokenType type) noexcept {
    switch (type) {
        case sqltEndOfStatement:
            return kEndOfStatementName;
        case sqltIdentifier:
            return u"<identifier>";
        case sqltString:
            return u"<string>";
        case sqltNumber:
            return u"<number>";
        case sqltParameter:
            return u"<parameter>";
        case sqltOpenParenthesis:
            return u"(";
        case sqltCloseParenthesis:
            return u")";
        case sqltComma:
            return u",";
        case sqltSemicolon:
            return u";";
        case sqltAsterisk:
            return u"*";
        case sqltPeriod:
            return u".";
        case sqltPlus:
            return u"+";
        case sqltMinus:
            return u"-";
        case sqltSlash:
            return u"/";
        case sqltPercent:
            return u"%";
        case sqltEqual:
            return u"=";
        case sqltGreater:
            return u">";
        case sqltGreaterOrEqual:
            return u">=";
        case sqltLess:
            return u"<";
        case sqltLessOrEqual:
            return u"<=";
        case sqltUnequal:
            return u"<>";
        case sqltExclamation:
            return u"!";
        default:
            break;
    }
    // The first entry of a type is its own word: ASC and DESC sort before
    // their long forms.
    for (const TKeyword& keyword : kKeywords) {
        if (keyword.Type == type) {
            return keyword.Name;
        }
    }
    return u"<unknown>";
}

TSqlScanner::TSqlScanner(std::u16string_view text) : FText(text) {}

void TSqlScanner::SetLocalDecimalSeparator(bool allowLocalFormats, char16_t decimalSeparator) {
    FAllowLocalFormats = allowLocalFormats;
    FDecimalSeparator = decimalSeparator;
}

char16_t TSqlScanner::Peek(std::size_t ahead) const noexcept {
    const std::size_t at = FCursor.Offset + ahead;
    return at < FText.size() ? FText[at] : u'\0';
}

void TSqlScanner::Advance(std::size_t count) noexcept {
    for (; count > 0 && FCursor.Offset < FText.size(); --count) {
        if (FText[FCursor.Offset++] == u'\n') {
            ++FCursor.Line;
            FCursor.LineStart = FCursor.Offset;
        }
    }
}

TSqlTextPosition TSqlScanner::PositionOf(const TCursor& cursor) const noexcept {
    return {cursor.Line, static_cast<std::int32_t>(cursor.Offset - cursor.LineStart + 1),
            cursor.Offset};
}

bool TSqlScanner::IsNumberChar(char16_t c) const noexcept {
    return IsDigit(c) || c == u'_' || c == u'.' || c == u':' ||
           (FAllowLocalFormats && c == FDecimalSeparator && c != u'\0');
}

void TSqlScanner::NextToken() {
    SkipBlanksAndComments();
    ReadToken();
}

void TSqlScanner::SkipBlanksAndComments() {
    for (;;) {
        const char16_t c = Peek();
        if (IsBlank(c)) {
            Advance();
        } else if ((c == u'-' && Peek(1) == u'-') || (c == u'/' && Peek(1) == u'/')) {
            while (FCursor.Offset < FText.size() && Peek() != u'\n') {
                Advance();
            }
        } else if (c == u'/' && Peek(1) == u'*') {
            const TCursor start = FCursor;
            Advance(2);
            while (!(Peek() == u'*' && Peek(1) == u'/')) {
                if (FCursor.Offset >= FText.size()) {
                    // A comment that never ends would silently swallow the
                    // rest of the condition.
                    RaiseAt(kTdbErrTokenExpected, u"*/", kEndOfStatementName, start);
                }
                Advance();
            }
            Advance(2);
        } else {
            return;
        }
    }
}

void TSqlScanner::SetSymbol(TSqlTokenType type, std::size_t length) {
    FTokenType = type;
    FTokenText.assign(FText.substr(FCursor.Offset, length));
    Advance(length);
}

void TSqlScanner::ReadToken() {
    FTokenStart = FCursor;
    FTokenPosition = PositionOf(FCursor);
    FTokenIsQuotedName = false;
    FTokenText.clear();
    if (FCursor.Offset >= FText.size()) {
        FTokenType = sqltEndOfStatement;
        return;
    }
    const char16_t c = Peek();
    const char16_t next = Peek(1);
    if (IsIdentifierStart(c)) {
        ReadWord();
        return;
    }
    if (IsDigit(c)) {
        ReadNumber();
        return;
    }
    switch (c) {
        case u'\'':
            FTokenType = sqltString;
            ReadDelimited(u'\'');
            return;
        case u'"':
            FTokenType = sqltIdentifier;
            FTokenIsQuotedName = true;
            ReadDelimited(u'"');
            return;
        case u'[':
            FTokenType = sqltIdentifier;
            FTokenIsQuotedName = true;
            ReadDelimited(u']');
            return;
        case u'$':
            ReadDollarName();
            return;
        case u':':
            ReadParameter();
            return;
        case u'(':
            return SetSymbol(sqltOpenParenthesis, 1);
        case u')':
            return SetSymbol(sqltCloseParenthesis, 1);
        case u',':
            return SetSymbol(sqltComma, 1);
        case u';':
            return SetSymbol(sqltSemicolon, 1);
        case u'*':
            return SetSymbol(sqltAsterisk, 1);
        case u'.':
            return SetSymbol(sqltPeriod, 1);
        case u'+':
            return SetSymbol(sqltPlus, 1);
        case u'-':
            return SetSymbol(sqltMinus, 1);
        case u'/':
            return SetSymbol(sqltSlash, 1);
        case u'%':
            return SetSymbol(sqltPercent, 1);
        case u'=':
            return SetSymbol(sqltEqual, 1);
        case u'>':
            return next == u'=' ? SetSymbol(sqltGreaterOrEqual, 2) : SetSymbol(sqltGreater, 1);
        case u'<':
            if (next == u'=') {
                return SetSymbol(sqltLessOrEqual, 2);
            }
            return next == u'>' ? SetSymbol(sqltUnequal, 2) : SetSymbol(sqltLess, 1);
        case u'!':
            return next == u'=' ? SetSymbol(sqltUnequal, 2) : SetSymbol(sqltExclamation, 1);
        case u'|':
            if (next == u'|') {
                return SetSymbol(sqltPlus, 2);
            }
            break;
        default:
            break;
    }
    // "?" lands here too: anonymous parameters belong to another mode.
    RaiseNotAllowed(FCursor);
}

void TSqlScanner::ReadWord() {
    const std::size_t start = FCursor.Offset;
    Advance();
    while (IsIdentifierChar(Peek())) {
        Advance();
    }
    FTokenText.assign(FText.substr(start, FCursor.Offset - start));
    FTokenType = SqlKeywordType(FTokenText);
}

void TSqlScanner::ReadNumber() {
    const std::size_t start = FCursor.Offset;
    while (IsNumberChar(Peek())) {
        Advance();
    }
    // A comma separator must not eat the comma that ends a list item.
    if (FCursor.Offset > start + 1 && FText[FCursor.Offset - 1] == u',') {
        FCursor.Offset -= 1;
    }
    const char16_t e = Peek();
    if (e == u'E' || e == u'e') {
        // An "E" that no digits follow is left alone and fails below as a
        // letter glued to the number.
        std::size_t digitsAt = 0;
        if (IsDigit(Peek(1))) {
            digitsAt = 1;
        } else if ((Peek(1) == u'+' || Peek(1) == u'-') && IsDigit(Peek(2))) {
            digitsAt = 2;
        }
        if (digitsAt != 0) {
            Advance(digitsAt);
            while (IsDigit(Peek())) {
                Advance();
            }
        }
    }
    // Only letters: a "-" after a number is the operator, not a name going on.
    if (IsIdentifierLetter(Peek())) {
        RaiseNotAllowed(FCursor);
    }
    FTokenType = sqltNumber;
    FTokenText.assign(FText.substr(start, FCursor.Offset - start));
}

void TSqlScanner::ReadDelimited(char16_t closing) {
    const TCursor start = FCursor;
    Advance();
    for (;;) {
        if (FCursor.Offset >= FText.size()) {
            const char16_t expected[] = {closing, u'\0'};
            RaiseAt(kTdbErrTokenExpected, expected, kEndOfStatementName, start);
        }
        const char16_t c = Peek();
        if (c == closing) {
            // A doubled apostrophe or double quote stands for one; brackets
            // have no escape.
            if (closing != u']' && Peek(1) == closing) {
                FTokenText.push_back(c);
                Advance(2);
                continue;
            }
            Advance();
            return;
        }
        FTokenText.push_back(c);
        Advance();
    }
}

void TSqlScanner::ReadDollarName() {
    const TCursor dollar = FCursor;
    Advance();
    const std::size_t start = FCursor.Offset;
    while (IsIdentifierChar(Peek())) {
        Advance();
    }
    if (FCursor.Offset == start) {
        RaiseNotAllowed(dollar);
    }
    FTokenType = sqltIdentifier;
    FTokenIsQuotedName = true;
    FTokenText.assign(FText.substr(start, FCursor.Offset - start));
}

void TSqlScanner::ReadParameter() {
    const TCursor colon = FCursor;
    if (!IsIdentifierStart(Peek(1))) {
        RaiseNotAllowed(colon);
    }
    Advance();
    const std::size_t start = FCursor.Offset;
    while (IsIdentifierChar(Peek())) {
        Advance();
    }
    FTokenType = sqltParameter;
    FTokenText.assign(FText.substr(start, FCursor.Offset - start));
}

TSqlScanner::TSavedPosition TSqlScanner::SavePosition() noexcept {
    FSavedTokenStart = FTokenStart;
    FHasSavedPosition = true;
    return FTokenStart;
}

void TSqlScanner::RestorePosition() {
    if (!FHasSavedPosition) {
        return;
    }
    RestorePosition(FSavedTokenStart);
}

void TSqlScanner::RestorePosition(const TSavedPosition& position) {
    // The saved token was read once already, so reading it again succeeds.
    FCursor = position;
    ReadToken();
}

std::u16string TSqlScanner::LineOf(const TCursor& at) const {
    std::size_t lineEnd = FText.find(u'\n', at.LineStart);
    if (lineEnd == std::u16string_view::npos) {
        lineEnd = FText.size();
    }
    if (lineEnd > at.LineStart && FText[lineEnd - 1] == u'\r') {
        --lineEnd;
    }
    return std::u16string(FText.substr(at.LineStart, lineEnd - at.LineStart));
}

void TSqlScanner::RaiseAt(std::int16_t code, std::u16string_view argument1,
                          std::u16string_view argument2, const TCursor& at) const {
    const TSqlTextPosition position = PositionOf(at);
    TdbFormatArgs args{argument1};
    if (!argument2.empty()) {
        args.emplace_back(argument2);
    }
    RaiseCompilerError(code, args, std::u16string(), LineOf(at), position.Line, position.Column);
}

void TSqlScanner::RaiseNotAllowed(const TCursor& at) const {
    std::size_t length = 1;
    // Name a character outside the basic plane whole, not half of it.
    const char16_t c = FText[at.Offset];
    if (c >= 0xD800 && c <= 0xDBFF && at.Offset + 1 < FText.size() &&
        FText[at.Offset + 1] >= 0xDC00 && FText[at.Offset + 1] <= 0xDFFF) {
        length = 2;
    }
    RaiseAt(kTdbErrCharNotAllowed, FText.substr(at.Offset, length), {}, at);
}

void TSqlScanner::RaiseError(std::int16_t code, std::u16string_view argument) const {
    RaiseAt(code, argument, {}, FTokenStart);
}

void TSqlScanner::RaiseMessage(std::int16_t code, std::u16string message) const {
    const TSqlTextPosition position = PositionOf(FTokenStart);
    throw ETdbCompilerError(code, std::move(message), std::u16string(), LineOf(FTokenStart),
                            position.Line, position.Column);
}

void TSqlScanner::RaiseExpected(std::u16string_view expected) const {
    const std::u16string_view found =
        FTokenType == sqltEndOfStatement
            ? kEndOfStatementName
            : FText.substr(FTokenStart.Offset, FCursor.Offset - FTokenStart.Offset);
    RaiseAt(kTdbErrTokenExpected, expected, found, FTokenStart);
}

}  // namespace tdb
