// The scanner of the SQL condition language: splits a condition text into
// tokens for the parser and reports where a text cannot be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tdb {

enum TSqlTokenType : std::uint8_t {
    sqltEndOfStatement,
    // A bare word that is no keyword, or a name in "...", [...] or after "$".
    sqltIdentifier,
    sqltString,     // text between apostrophes, doubled apostrophes undone
    sqltNumber,     // digits with ".", ":", "_", exponent; typed by the parser
    sqltParameter,  // ":name"; the text is the name without the colon

    sqltOpenParenthesis,
    sqltCloseParenthesis,
    sqltComma,
    sqltSemicolon,
    sqltAsterisk,
    sqltPeriod,
    sqltPlus,  // also "||", string concatenation
    sqltMinus,
    sqltSlash,
    sqltPercent,
    sqltEqual,
    sqltGreater,
    sqltGreaterOrEqual,
    sqltLess,
    sqltLessOrEqual,
    sqltUnequal,  // "<>" and "!="
    sqltExclamation,

    sqltAction,
    sqltAdd,
    sqltAll,
    sqltAlter,
    sqltAnd,
    sqltAny,
    sqltAs,
    sqltAsc,  // also ASCENDING
    sqltAt,
    sqltBetween,
    sqltBoth,
    sqltBy,
    sqltCascade,
    sqltCase,
    sqltCheck,
    sqltCollate,
    sqltColumn,
    sqltConstraint,
    sqltContaining,
    sqltContains,
    sqltCorresponding,
    sqltCreate,
    sqltCross,
    sqltDat,
    sqltDefault,
    sqltDelete,
    sqltDesc,  // also DESCENDING
    sqltDictionary,
    sqltDiv,
    sqltDistinct,
    sqltDrop,
    sqltEncryption,
    sqltElse,
    sqltEnd,
    sqltEscape,
    sqltExcept,
    sqltExists,
    sqltFalse,
    sqltFor,
    sqltForeign,
    sqltFrom,
    sqltFull,
    sqltFullTextIndex,
    sqltGroup,
    sqltHas,
    sqltHaving,
    sqltIn,
    sqltIndex,
    sqltInner,
    sqltInsert,
    sqltIntersect,
    sqltInto,
    sqltIs,
    sqltJoin,
    sqltKey,
    sqltLeading,
    sqltLeft,
    sqltLevel,
    sqltLike,
    sqltMod,
    sqltModify,
    sqltNo,
    sqltNot,
    sqltNull,
    sqltNumeric,
    sqltOn,
    sqltOr,
    sqltOrder,
    sqltOuter,
    sqltPassword,
    sqltPrecision,
    sqltPrimary,
    sqltReferences,
    sqltRename,
    sqltRight,
    sqltSelect,
    sqltSet,
    sqltSome,
    sqltTable,
    sqltThen,
    sqltTo,
    sqltTop,
    sqltTrailing,
    sqltTrue,
    sqltUnion,
    sqltUnique,
    sqltUpdate,
    sqltValues,
    sqltWhen,
    sqltWhere,
    sqltXor,
};

// The keyword a word stands for (any case), or sqltIdentifier for any other
// word. Does not allocate.
TSqlTokenType SqlKeywordType(std::u16string_view word) noexcept;

// True when the scanner reads Word, standing alone, as one identifier or
// keyword token.
bool SqlIsIdentifierWord(std::u16string_view word) noexcept;

// How a token type is named in messages: "<end of statement>",
// "<identifier>", "<string>", "<number>", "<parameter>", the symbol, or the
// keyword in upper case.
std::u16string_view SqlTokenTypeName(TSqlTokenType type) noexcept;

// Where a token starts: 1-based row and column (columns count UTF-16 code
// units since the last line feed) and the 0-based offset into the text.
struct TSqlTextPosition {
    std::int32_t Line = 1;
    std::int32_t Column = 1;
    std::size_t Offset = 0;
};

// Reads one text token by token. The text must outlive the scanner. The
// first token is read by the first NextToken.
class TSqlScanner {
public:
    explicit TSqlScanner(std::u16string_view text);

    // With local formats a number may carry the locale's decimal separator;
    // it is kept in the token text for the parser to replace.
    void SetLocalDecimalSeparator(bool allowLocalFormats, char16_t decimalSeparator = u',');

    // Reads the next token; raises ETdbCompilerError (45, 56) where the text
    // cannot be read. After an error only RestorePosition is meaningful.
    void NextToken();

    TSqlTokenType TokenType() const noexcept { return FTokenType; }
    // The token's value: the word as written, the string or name without its
    // delimiters, the number as written, the parameter name, the symbol.
    const std::u16string& TokenText() const noexcept { return FTokenText; }
    const TSqlTextPosition& TokenPosition() const noexcept { return FTokenPosition; }
    // True for a name written in "...", [...] or after "$": never a keyword.
    bool TokenIsQuotedName() const noexcept { return FTokenIsQuotedName; }

    // Where a token starts, for re-reading from it later.
    struct TSavedPosition {
        std::size_t Offset = 0;
        std::int32_t Line = 1;
        std::size_t LineStart = 0;
    };

    // Remembers the current token so that RestorePosition can re-read the
    // text from it, also after a failed read. One position is kept; a second
    // save replaces the first; a restore without a save changes nothing. The
    // position is also returned, so that nested attempts can each keep their
    // own and restore it with the second overload.
    TSavedPosition SavePosition() noexcept;
    void RestorePosition();
    void RestorePosition(const TSavedPosition& position);

    // Raises a compiler error with the current token's row and column and the
    // line of text it stands in, for the parser's own errors.
    [[noreturn]] void RaiseError(std::int16_t code, std::u16string_view argument) const;
    [[noreturn]] void RaiseExpected(std::u16string_view expected) const;
    // As RaiseError, for a message that has no format of its own.
    [[noreturn]] void RaiseMessage(std::int16_t code, std::u16string message) const;

private:
    using TCursor = TSavedPosition;

    char16_t Peek(std::size_t ahead = 0) const noexcept;
    void Advance(std::size_t count = 1) noexcept;
    TSqlTextPosition PositionOf(const TCursor& cursor) const noexcept;
    void SkipBlanksAndComments();
    void ReadToken();
    void ReadWord();
    void ReadNumber();
    void ReadDelimited(char16_t closing);
    void ReadDollarName();
    void ReadParameter();
    void SetSymbol(TSqlTokenType type, std::size_t length);
    bool IsNumberChar(char16_t c) const noexcept;
    [[noreturn]] void RaiseAt(std::int16_t code, std::u16string_view argument1,
                              std::u16string_view argument2, const TCursor& at) const;
    [[noreturn]] void RaiseNotAllowed(const TCursor& at) const;
    std::u16string LineOf(const TCursor& at) const;

    std::u16string_view FText;
    TCursor FCursor;
    TCursor FTokenStart;
    TSqlTokenType FTokenType = sqltEndOfStatement;
    std::u16string FTokenText;
    TSqlTextPosition FTokenPosition;
    bool FTokenIsQuotedName = false;
    bool FAllowLocalFormats = false;
    char16_t FDecimalSeparator = u',';
    bool FHasSavedPosition = false;
    TCursor FSavedTokenStart;
};

}  // namespace tdb
