// The parser of the SQL condition language: the grammar from OR down to a
// factor, literal typing, the SQL functions with their special forms.
#include "expr/sql_parser.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "types/collation.h"
#include "types/text_forms.h"

namespace tdb {

namespace {

constexpr char16_t AsciiUpper(char16_t c) noexcept {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
}

bool EqualsUpper(std::u16string_view word, std::u16string_view upper) noexcept {
    return word.size() == upper.size() &&
           std::equal(word.begin(), word.end(), upper.begin(),
                      [](char16_t a, char16_t b) { return AsciiUpper(a) == b; });
}

// A table may be named by its file: the directory and the data file's
// extension are no part of its name.
std::u16string TableNameOf(std::u16string_view name) {
    const std::size_t cut = name.find_last_of(u"/\\:");
    if (cut != std::u16string_view::npos) {
        name.remove_prefix(cut + 1);
    }
    if (name.size() > 4 && EqualsUpper(name.substr(name.size() - 4), u".DAT")) {
        name.remove_suffix(4);
    }
    return std::u16string(name);
}

bool IsAnsiRepresentable(std::u16string_view text) {
    const TTdbCollation& collation = TTdbCollation::BuiltIn();
    return collation.ToWide(collation.ToAnsi(text)) == text;
}

}  // namespace

// Counts one level of nesting for as long as it lives.
class TSqlParser::TNesting {
public:
    explicit TNesting(TSqlParser& parser) : FParser(parser) {
        if (FParser.FDepth >= kMaxNestingDepth) {
            FParser.Scanner().RaiseError(kTdbErrExpressionTooLong, {});
        }
        ++FParser.FDepth;
    }
    ~TNesting() { --FParser.FDepth; }
    TNesting(const TNesting&) = delete;
    TNesting& operator=(const TNesting&) = delete;

private:
    TSqlParser& FParser;
};

void TSqlParser::InitParsing(std::u16string_view text) {
    FText.assign(text);
    FDepth = 0;
    FNoConditionAt.clear();
    FScanner.emplace(FText);
    FScanner->SetLocalDecimalSeparator(FAllowLocalFormats, FDecimalSeparator);
    FScanner->NextToken();
}

std::unique_ptr<TTdbSearchCondition> TSqlParser::ParseCondition() {
    if (!FScanner) {
        InitParsing({});
    }
    std::unique_ptr<TTdbSearchCondition> condition = ParseSearchCondition();
    // Text after a complete condition is refused rather than dropped: a
    // misspelt connective («A = 1 AMD B = 2») would otherwise filter by the
    // first comparison alone without anyone noticing.
    if (Token() != sqltEndOfStatement) {
        Scanner().RaiseExpected(SqlTokenTypeName(sqltEndOfStatement));
    }
    return condition;
}

void TSqlParser::Expect(TSqlTokenType type) {
    if (Token() != type) {
        Scanner().RaiseExpected(SqlTokenTypeName(type));
    }
}

void TSqlParser::Skip(TSqlTokenType type) {
    Expect(type);
    Next();
}

void TSqlParser::RaiseUnsupported(std::u16string_view what) const {
    FScanner->RaiseMessage(kTdbErrSyntax,
                           u"Subqueries and full-text predicates are not supported in "
                           u"conditions: \"" +
                               std::u16string(what) + u"\"");
}

// ---- Conditions ----

std::unique_ptr<TTdbSearchCondition> TSqlParser::ParseSearchCondition() {
    TNesting nesting(*this);
    auto condition = std::make_unique<TTdbSearchCondition>();
    condition->FTerms.push_back(ParseXorTerm());
    while (Token() == sqltOr) {
        Next();
        condition->FTerms.push_back(ParseXorTerm());
    }
    return condition;
}

std::unique_ptr<TTdbXorTerm> TSqlParser::ParseXorTerm() {
    auto term = std::make_unique<TTdbXorTerm>();
    term->FTerms.push_back(ParseBooleanTerm());
    while (Token() == sqltXor) {
        Next();
        term->FTerms.push_back(ParseBooleanTerm());
    }
    return term;
}

std::unique_ptr<TTdbBooleanTerm> TSqlParser::ParseBooleanTerm() {
    auto term = std::make_unique<TTdbBooleanTerm>();
    term->FFactors.push_back(ParseBooleanFactor());
    while (Token() == sqltAnd) {
        Next();
        term->FFactors.push_back(ParseBooleanFactor());
    }
    return term;
}

std::unique_ptr<TTdbBooleanFactor> TSqlParser::ParseBooleanFactor() {
    auto factor = std::make_unique<TTdbBooleanFactor>();
    if (Token() == sqltNot) {
        factor->FIsNot = true;
        Next();
    }
    switch (Token()) {
        case sqltContains:
        case sqltExists:
            RaiseUnsupported(Scanner().TokenText());
        default:
            break;
    }
    if (Token() != sqltOpenParenthesis) {
        ParsePredicate(*factor);
        return factor;
    }

    // "(" opens either a condition or an expression («(A + 1) > 2»): try the
    // condition first and read a predicate from the same place when that fails.
    const std::size_t offset = Scanner().TokenPosition().Offset;
    std::exception_ptr conditionError;
    TSqlTextPosition conditionErrorAt;
    if (!FNoConditionAt.contains(offset)) {
        const TSqlScanner::TSavedPosition start = Scanner().SavePosition();
        try {
            Next();
            std::unique_ptr<TTdbSearchCondition> condition = ParseSearchCondition();
            Skip(sqltCloseParenthesis);
            factor->FSearchCondition = std::move(condition);
            factor->FComparisonOperator = tcoNone;
            return factor;
        } catch (const ETdbCompilerError& e) {
            if (e.Code() == kTdbErrExpressionTooLong) {
                throw;
            }
            conditionError = std::current_exception();
            conditionErrorAt.Line = e.ErrorLineNo();
            conditionErrorAt.Column = e.ErrorCharNo();
        }
        FNoConditionAt.insert(offset);
        Scanner().RestorePosition(start);
    }
    try {
        ParsePredicate(*factor);
    } catch (const ETdbCompilerError& e) {
        // Report whichever reading got further: for «(A = 1 OR B = 2» the
        // missing ")" says more than the predicate's complaint about "=".
        if (conditionError && e.Code() != kTdbErrExpressionTooLong &&
            std::pair(conditionErrorAt.Line, conditionErrorAt.Column) >
                std::pair(e.ErrorLineNo(), e.ErrorCharNo())) {
            std::rethrow_exception(conditionError);
        }
        throw;
    }
    return factor;
}

void TSqlParser::ParsePredicate(TTdbBooleanFactor& factor) {
    factor.FExpressionLeft = ParseExpression();
    if (Token() == sqltNot) {
        factor.FIsNot = !factor.FIsNot;
        Next();
    }
    const auto comparison = [&](TTdbComparisonOperator op) {
        factor.FComparisonOperator = op;
        Next();
        switch (Token()) {
            case sqltAll:
            case sqltAny:
            case sqltSome:
                RaiseUnsupported(Scanner().TokenText());
            default:
                break;
        }
        factor.FExpressionRight = ParseExpression();
    };
    switch (Token()) {
        case sqltBetween:
            factor.FComparisonOperator = tcoBetween;
            Next();
            factor.FExpressionRightEx = ParseExpression();
            Skip(sqltAnd);
            factor.FExpressionRight = ParseExpression();
            return;
        case sqltEqual:
            return comparison(tcoEqual);
        case sqltUnequal:
            return comparison(tcoUnequal);
        case sqltLess:
            return comparison(tcoLess);
        case sqltLessOrEqual:
            return comparison(tcoLessOrEqual);
        case sqltGreater:
            return comparison(tcoGreater);
        case sqltGreaterOrEqual:
            return comparison(tcoGreaterOrEqual);
        case sqltHas:
            return comparison(tcoHas);
        case sqltLike:
            comparison(tcoLike);
            if (Token() == sqltEscape) {
                Next();
                if (Token() != sqltString || Scanner().TokenText().size() != 1) {
                    Scanner().RaiseError(kTdbErrSyntax, Scanner().TokenText());
                }
                factor.FLikeEscapeChar = Scanner().TokenText().front();
                Next();
            }
            return;
        case sqltIn: {
            factor.FComparisonOperator = tcoIn;
            Next();
            Skip(sqltOpenParenthesis);
            if (Token() == sqltSelect) {
                RaiseUnsupported(Scanner().TokenText());
            }
            factor.FValueSet = std::make_unique<TTdbSqlValueSet>();
            factor.FValueSet->FValues.push_back(ParseExpression());
            while (Token() == sqltComma) {
                Next();
                factor.FValueSet->FValues.push_back(ParseExpression());
            }
            Skip(sqltCloseParenthesis);
            return;
        }
        case sqltIs:
            Next();
            factor.FComparisonOperator = tcoIsNull;
            if (Token() == sqltNot) {
                factor.FComparisonOperator = tcoIsNotNull;
                Next();
            }
            Skip(sqltNull);
            return;
        default:
            Scanner().RaiseExpected(SqlTokenTypeName(sqltEqual));
    }
}

// ---- Arithmetic ----

std::unique_ptr<TTdbExpression> TSqlParser::ParseExpression() {
    TNesting nesting(*this);
    auto expression = std::make_unique<TTdbExpression>();
    expression->FTerm = ParseTerm();
    for (;;) {
        TTdbDataBinaryOperator op;
        if (Token() == sqltPlus) {
            op = TTdbDataBinaryOperator::Add;
        } else if (Token() == sqltMinus) {
            op = TTdbDataBinaryOperator::Subtract;
        } else {
            return expression;
        }
        Next();
        expression->FOperands.push_back({op, ParseTerm(), nullptr, {}});
    }
}

std::unique_ptr<TTdbTerm> TSqlParser::ParseTerm() {
    auto term = std::make_unique<TTdbTerm>();
    term->FFactor = ParseFactor();
    for (;;) {
        TTdbDataBinaryOperator op;
        switch (Token()) {
            case sqltAsterisk:
                op = TTdbDataBinaryOperator::Multiply;
                break;
            case sqltSlash:
                op = TTdbDataBinaryOperator::Divide;
                break;
            case sqltDiv:
                op = TTdbDataBinaryOperator::IntDivide;
                break;
            case sqltMod:
            case sqltPercent:
                op = TTdbDataBinaryOperator::Remainder;
                break;
            default:
                return term;
        }
        Next();
        term->FOperands.push_back({op, ParseFactor(), nullptr, {}});
    }
}

std::unique_ptr<TTdbFactor> TSqlParser::ParseFactor() {
    TSqlFactorSign sign = sfsNone;
    if (Token() == sqltPlus && Scanner().TokenText() == u"+") {
        sign = sfsPlus;
        Next();
    } else if (Token() == sqltMinus) {
        sign = sfsMinus;
        Next();
    }
    if (Token() == sqltCase) {
        std::unique_ptr<TTdbSqlCaseOperation> operation = ParseCase();
        operation->FSign = sign;
        return operation;
    }
    auto factor = std::make_unique<TTdbSimpleFactor>();
    factor->FSign = sign;
    switch (Token()) {
        case sqltOpenParenthesis:
            Next();
            factor->FType = sftExpression;
            factor->FExpression = ParseExpression();
            Skip(sqltCloseParenthesis);
            break;
        case sqltTrue:
        case sqltFalse: {
            const bool value = Token() == sqltTrue;
            factor->FType = sftLiteral;
            factor->FLiteralKind = tlkBoolean;
            factor->FLiteralType = TTdbDataType::GetDataType(ctBoolean, true);
            factor->FLiteralType->SetInteger(factor->FLiteralValue, value ? 1 : 0);
            factor->FColumnNameOrLiteral = value ? u"TRUE" : u"FALSE";
            Next();
            break;
        }
        case sqltNull:
            factor->FType = sftLiteral;
            factor->FLiteralKind = tlkNull;
            factor->FLiteralType = TTdbDataType::GetNullType();
            factor->FLiteralType->SetNull(factor->FLiteralValue);
            Next();
            break;
        case sqltNumber:
            ParseNumber(*factor);
            break;
        case sqltString:
            ParseString(*factor);
            break;
        case sqltParameter:
            factor->FType = sftParameter;
            factor->FParameterName = Scanner().TokenText();
            Next();
            break;
        case sqltIdentifier:
            ParseName(*factor);
            break;
        default:
            Scanner().RaiseExpected(SqlTokenTypeName(sqltIdentifier));
    }
    return factor;
}

std::unique_ptr<TTdbSqlCaseOperation> TSqlParser::ParseCase() {
    auto operation = std::make_unique<TTdbSqlCaseOperation>();
    Next();
    if (Token() != sqltWhen) {
        operation->FCaseOperand = ParseExpression();
    }
    Expect(sqltWhen);
    while (Token() == sqltWhen) {
        Next();
        TTdbSqlCaseWhen when;
        if (operation->FCaseOperand) {
            when.FValue = ParseExpression();
        } else {
            when.FCondition = ParseSearchCondition();
        }
        Skip(sqltThen);
        when.FResult = ParseExpression();
        operation->FWhens.push_back(std::move(when));
    }
    if (Token() == sqltElse) {
        Next();
        operation->FElse = ParseExpression();
    }
    Skip(sqltEnd);
    return operation;
}

void TSqlParser::ParseName(TTdbSimpleFactor& factor) {
    std::u16string name = Scanner().TokenText();
    const bool quoted = Scanner().TokenIsQuotedName();
    Next();
    if (!quoted) {
        if (Token() == sqltString) {
            if (EqualsUpper(name, u"DATE")) {
                return ParseTypedString(factor, ctDate);
            }
            if (EqualsUpper(name, u"TIME")) {
                return ParseTypedString(factor, ctTime);
            }
            if (EqualsUpper(name, u"TIMESTAMP")) {
                return ParseTypedString(factor, ctTimeStamp);
            }
        }
        if (const TSqlFunctionInfo* info = FindSqlFunction(name)) {
            factor.FType = sftFunction;
            factor.FSqlFunction = ParseSqlFunction(*info);
            return;
        }
    }
    if (Token() == sqltOpenParenthesis) {
        factor.FType = sftFunction;
        factor.FSqlFunction = ParseDataFunction(std::move(name));
        return;
    }
    factor.FType = sftColumn;
    if (Token() == sqltPeriod) {
        Next();
        Expect(sqltIdentifier);
        factor.FTableName = TableNameOf(name);
        name = Scanner().TokenText();
        Next();
    }
    factor.FColumnNameOrLiteral = std::move(name);
}

// ---- Functions ----

std::unique_ptr<TSqlStdFunction> TSqlParser::ParseSqlFunction(const TSqlFunctionInfo& info) {
    auto function = std::make_unique<TSqlStdFunction>(info.Id);
    if (!info.Special && info.MaxArguments == 0) {
        return function;
    }
    Skip(sqltOpenParenthesis);
    if (info.Special) {
        ParseSpecialForm(*function);
    } else if (info.Id == sftCount && Token() == sqltAsterisk) {
        function->FCountAll = true;
        Next();
    } else {
        // Too few arguments ask for a ",", too many for the ")".
        for (int count = 1;; ++count) {
            function->FArguments.push_back(ParseExpression());
            if (count < info.MinArguments) {
                Skip(sqltComma);
            } else if (count < info.MaxArguments && Token() == sqltComma) {
                Next();
            } else {
                break;
            }
        }
    }
    Skip(sqltCloseParenthesis);
    return function;
}

void TSqlParser::ParseSpecialForm(TSqlStdFunction& function) {
    switch (function.FSqlFunction) {
        case sftCast: {
            function.FArguments.push_back(ParseExpression());
            Skip(sqltAs);
            Expect(sqltIdentifier);
            const std::u16string_view type = FindSqlCastTypeName(Scanner().TokenText());
            if (type.empty() || Scanner().TokenIsQuotedName()) {
                Scanner().RaiseError(kTdbErrUnknownIdentifier, Scanner().TokenText());
            }
            function.FCastTypeName = type;
            Next();
            return;
        }
        case sftExtract:
            Expect(sqltIdentifier);
            if (Scanner().TokenIsQuotedName() ||
                !FindSqlDateTimePart(Scanner().TokenText(), function.FExtractPart)) {
                Scanner().RaiseError(kTdbErrUnknownIdentifier, Scanner().TokenText());
            }
            Next();
            Skip(sqltFrom);
            function.FArguments.push_back(ParseExpression());
            return;
        case sftSubstring:
            function.FArguments.push_back(ParseExpression());
            Skip(sqltFrom);
            function.FArguments.push_back(ParseExpression());
            if (Token() == sqltFor) {
                Next();
                function.FArguments.push_back(ParseExpression());
            }
            return;
        case sftTrim:
            if (Token() == sqltLeading || Token() == sqltTrailing || Token() == sqltBoth) {
                function.FTrimMode = Token() == sqltLeading    ? sttLeading
                                     : Token() == sqltTrailing ? sttTrailing
                                                               : sttBoth;
                Next();
                if (Token() == sqltString) {
                    function.FHasTrimCharacters = true;
                    function.FTrimCharacters = Scanner().TokenText();
                    Next();
                }
                Skip(sqltFrom);
            }
            function.FArguments.push_back(ParseExpression());
            return;
        case sftCurrentRecordId:
            if (Token() != sqltIdentifier) {
                Scanner().RaiseMessage(kTdbErrSyntax,
                                       u"Argument to CurrentRecordId must be a table name literal");
            }
            function.FTableName = TableNameOf(Scanner().TokenText());
            Next();
            return;
        default:
            return;
    }
}

std::unique_ptr<TTablePlFunction> TSqlParser::ParseDataFunction(std::u16string name) {
    auto function = std::make_unique<TTablePlFunction>();
    function->FName = std::move(name);
    Skip(sqltOpenParenthesis);
    if (Token() != sqltCloseParenthesis) {
        function->FArguments.push_back(ParseExpression());
        while (Token() == sqltComma) {
            Next();
            function->FArguments.push_back(ParseExpression());
        }
    }
    Skip(sqltCloseParenthesis);
    return function;
}

// ---- Literals ----

void TSqlParser::ParseNumber(TTdbSimpleFactor& factor) {
    std::u16string text = Scanner().TokenText();
    if (FAllowLocalFormats && FDecimalSeparator != u'.') {
        std::replace(text.begin(), text.end(), FDecimalSeparator, u'.');
    }
    const auto dots = std::count(text.begin(), text.end(), u'.');
    const TTdbDataType* type = nullptr;
    TTdbDataValue value;
    const auto invalidTimeStamp = [&] {
        Scanner().RaiseError(kTdbErrInvalidTimestamp, Scanner().TokenText());
    };
    if (text.find(u'_') != std::u16string::npos) {
        const std::optional<TTdbTimeStamp> ts = TryTimeStampFromText(text);
        if (!ts) {
            invalidTimeStamp();
        }
        type = TTdbDataType::GetDataType(ctTimeStamp, true);
        type->SetTimeStamp(value, *ts);
    } else if (dots == 2) {
        const std::optional<std::int32_t> date = TryDateFromText(text);
        if (!date) {
            invalidTimeStamp();
        }
        type = TTdbDataType::GetDataType(ctDate, true);
        type->SetDate(value, *date);
    } else if (text.find(u':') != std::u16string::npos) {
        const std::optional<std::int64_t> time = TryTimeFromText(text);
        if (!time) {
            invalidTimeStamp();
        }
        type = TTdbDataType::GetDataType(ctTime, true);
        type->SetTime(value, *time);
    } else if (dots > 1) {
        Scanner().RaiseError(kTdbErrExpressionNotComplete, Scanner().TokenText());
    } else if (const std::optional<std::int64_t> integer = TryIntegerFromText(text)) {
        type = TTdbDataType::GetDataType(ctBigInt, true);
        type->SetInteger(value, *integer);
    } else if (const std::optional<double> real = TryFloatFromText(text)) {
        type = TTdbDataType::GetFloatType(true);
        type->SetDouble(value, *real);
    } else {
        Scanner().RaiseError(kTdbErrInvalidNumber, Scanner().TokenText());
    }
    factor.FType = sftLiteral;
    factor.FLiteralKind = tlkNumber;
    factor.FLiteralType = type;
    factor.FLiteralValue = std::move(value);
    factor.FColumnNameOrLiteral = std::move(text);
    Next();
}

void TSqlParser::ParseString(TTdbSimpleFactor& factor) {
    const std::u16string& text = Scanner().TokenText();
    const TTdbColumnType columnType = IsAnsiRepresentable(text) ? ctString : ctWideString;
    const TTdbDataType* type = TTdbDataType::GetApproxStringType(
        columnType, true, static_cast<std::int32_t>(std::min<std::size_t>(text.size(), 0x7FFFFFFF)),
        u"");
    factor.FType = sftLiteral;
    factor.FLiteralKind = tlkString;
    factor.FLiteralType = type;
    type->SetWideString(factor.FLiteralValue, text);
    factor.FColumnNameOrLiteral = text;
    Next();
}

void TSqlParser::ParseTypedString(TTdbSimpleFactor& factor, TTdbColumnType columnType) {
    const std::u16string& text = Scanner().TokenText();
    const TTdbDataType* type = TTdbDataType::GetDataType(columnType, true);
    bool valid = false;
    if (columnType == ctDate) {
        if (const std::optional<std::int32_t> date = TryDateFromText(text)) {
            type->SetDate(factor.FLiteralValue, *date);
            valid = true;
        }
    } else if (columnType == ctTime) {
        if (const std::optional<std::int64_t> time = TryTimeFromText(text)) {
            type->SetTime(factor.FLiteralValue, *time);
            valid = true;
        }
    } else if (const std::optional<TTdbTimeStamp> ts = TryTimeStampFromText(text)) {
        type->SetTimeStamp(factor.FLiteralValue, *ts);
        valid = true;
    }
    if (!valid) {
        Scanner().RaiseError(kTdbErrInvalidTimestamp, text);
    }
    factor.FType = sftLiteral;
    factor.FLiteralKind = tlkTypedString;
    factor.FLiteralType = type;
    factor.FColumnNameOrLiteral = text;
    Next();
}

}  // namespace tdb
