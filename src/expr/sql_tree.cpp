// The syntax tree of conditions: the SQL function table and the normalised
// text every node writes of itself.
#include "expr/sql_tree.h"

#include <iterator>

#include "expr/sql_scanner.h"

namespace tdb {

namespace {

constexpr std::int8_t kSpecial = -1;

// Alphabetical; a synonym follows the name it stands for, so the first entry
// of an id is the name written back.
constexpr TSqlFunctionInfo kFunctions[] = {
    {u"ABS", sftAbs, 1, 1, false},
    {u"AVG", sftAvg, 1, 1, false},
    {u"CAST", sftCast, kSpecial, kSpecial, true},
    {u"CEILING", sftCeiling, 1, 1, false},
    {u"CHAR_LENGTH", sftCharLength, 1, 1, false},
    {u"CHR", sftChr, 1, 1, false},
    {u"COUNT", sftCount, 1, 1, false},
    {u"CURRENT_DATE", sftCurrentDate, 0, 0, false},
    {u"CURRENT_TIME", sftCurrentTime, 0, 0, false},
    {u"CURRENT_TIMESTAMP", sftCurrentTimeStamp, 0, 0, false},
    {u"CURRENTRECORDID", sftCurrentRecordId, kSpecial, kSpecial, true},
    {u"DIGITSTR", sftDigitStr, 1, 1, false},
    {u"EXCHANGE", sftExchange, 3, 3, false},
    {u"EXP", sftExp, 1, 1, false},
    {u"EXTRACT", sftExtract, kSpecial, kSpecial, true},
    {u"FILLSTR", sftFillStr, 2, 3, false},
    {u"FIRST", sftFirst, 1, 1, false},
    {u"FLOOR", sftFloor, 1, 1, false},
    {u"FRAC", sftFrac, 1, 1, false},
    {u"INT", sftInt, 1, 1, false},
    {u"LAST", sftLast, 1, 1, false},
    {u"LEN", sftLen, 1, 1, false},
    {u"LENGTH", sftLen, 1, 1, false},
    {u"LOG", sftLog, 1, 1, false},
    {u"LOWER", sftLower, 1, 1, false},
    {u"LTRIM", sftLTrim, 1, 2, false},
    {u"MAX", sftMax, 1, 1, false},
    {u"MIN", sftMin, 1, 1, false},
    {u"NOW", sftCurrentTime, 0, 0, false},
    {u"NTIMES", sftNTimes, 2, 2, false},
    {u"RANDOM", sftRandom, 1, 1, false},
    {u"REALVAL", sftRealVal, 1, 1, false},
    {u"ROUND", sftRound, 2, 2, false},
    {u"RTRIM", sftRTrim, 1, 1, false},
    {u"SQRT", sftSqrt, 1, 1, false},
    {u"STR", sftStr, 1, 6, false},
    {u"SUBSTRING", sftSubstring, kSpecial, kSpecial, true},
    {u"SUM", sftSum, 1, 1, false},
    {u"TODAY", sftCurrentDate, 0, 0, false},
    {u"TRIM", sftTrim, kSpecial, kSpecial, true},
    {u"UPPER", sftUpper, 1, 1, false},
};

constexpr std::u16string_view kDateTimeParts[] = {
    u"YEAR", u"MONTH", u"DAY",    u"WEEKDAY", u"WEEKDAYNAME",
    u"WEEK", u"HOUR",  u"MINUTE", u"SECOND",  u"MILLISECOND",
};
static_assert(std::size(kDateTimeParts) == sdpMillisecond + 1);

constexpr std::u16string_view kCastTypes[] = {
    u"AUTOINC",  u"BIGINT",        u"BOOLEAN",     u"BYTE",         u"CHAR",     u"DATE",
    u"DECIMAL",  u"DOUBLE",        u"ENUM",        u"FLOAT",        u"GUID",     u"INTEGER",
    u"LINK",     u"LONGVARBINARY", u"LONGVARCHAR", u"LONGVARWCHAR", u"REAL",     u"RELATION",
    u"SMALLINT", u"TIME",          u"TIMESTAMP",   u"VARCHAR",      u"VARWCHAR", u"WCHAR",
};

constexpr char16_t AsciiUpper(char16_t c) noexcept {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
}

// Names in the tables are upper-case ASCII, so folding ASCII letters suffices.
bool EqualsUpper(std::u16string_view word, std::u16string_view upper) noexcept {
    if (word.size() != upper.size()) {
        return false;
    }
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (AsciiUpper(word[i]) != upper[i]) {
            return false;
        }
    }
    return true;
}

void AppendQuoted(std::u16string& out, std::u16string_view text, char16_t quote) {
    out.push_back(quote);
    for (char16_t c : text) {
        out.push_back(c);
        if (c == quote) {
            out.push_back(quote);
        }
    }
    out.push_back(quote);
}

void AppendBinaryOperator(std::u16string& out, TTdbDataBinaryOperator op) {
    switch (op) {
        case TTdbDataBinaryOperator::Add:
            out += u" + ";
            break;
        case TTdbDataBinaryOperator::Subtract:
            out += u" - ";
            break;
        case TTdbDataBinaryOperator::Multiply:
            out += u" * ";
            break;
        case TTdbDataBinaryOperator::Divide:
            out += u" / ";
            break;
        case TTdbDataBinaryOperator::IntDivide:
            out += u" DIV ";
            break;
        case TTdbDataBinaryOperator::Remainder:
            out += u" MOD ";
            break;
        case TTdbDataBinaryOperator::And:
            out += u" AND ";
            break;
        case TTdbDataBinaryOperator::Or:
            out += u" OR ";
            break;
    }
}

template <typename TList>
void AppendJoined(std::u16string& out, const TList& items, std::u16string_view separator) {
    bool first = true;
    for (const auto& item : items) {
        if (!first) {
            out += separator;
        }
        first = false;
        item->AppendSqlText(out);
    }
}

}  // namespace

const TSqlFunctionInfo* FindSqlFunction(std::u16string_view name) noexcept {
    for (const TSqlFunctionInfo& info : kFunctions) {
        if (EqualsUpper(name, info.Name)) {
            return &info;
        }
    }
    return nullptr;
}

std::u16string_view SqlFunctionName(TFunctionId id) noexcept {
    for (const TSqlFunctionInfo& info : kFunctions) {
        if (info.Id == id) {
            return info.Name;
        }
    }
    return id == sftLikeLower ? u"LIKELOWER" : u"LIKEUPPER";
}

bool FindSqlDateTimePart(std::u16string_view name, TSqlDateTimePart& part) noexcept {
    for (std::size_t i = 0; i < std::size(kDateTimeParts); ++i) {
        if (EqualsUpper(name, kDateTimeParts[i])) {
            part = static_cast<TSqlDateTimePart>(i);
            return true;
        }
    }
    return false;
}

std::u16string_view SqlDateTimePartName(TSqlDateTimePart part) noexcept {
    return kDateTimeParts[part];
}

std::u16string_view FindSqlCastTypeName(std::u16string_view name) noexcept {
    for (std::u16string_view type : kCastTypes) {
        if (EqualsUpper(name, type)) {
            return type;
        }
    }
    return {};
}

std::u16string SqlQuotedName(std::u16string_view name) {
    if (SqlIsIdentifierWord(name) && SqlKeywordType(name) == sqltIdentifier &&
        FindSqlFunction(name) == nullptr) {
        return std::u16string(name);
    }
    std::u16string out;
    AppendQuoted(out, name, u'"');
    return out;
}

std::u16string SqlQuotedString(std::u16string_view text) {
    std::u16string out;
    AppendQuoted(out, text, u'\'');
    return out;
}

std::u16string TTdbSqlNode::GetSqlText() const {
    std::u16string out;
    AppendSqlText(out);
    return out;
}

// ---- Functions ----

void TSqlFunction::AppendArguments(std::u16string& out) const {
    out.push_back(u'(');
    AppendJoined(out, FArguments, u", ");
    out.push_back(u')');
}

void TSqlStdFunction::AppendSqlText(std::u16string& out) const {
    out += SqlFunctionName(FSqlFunction);
    switch (FSqlFunction) {
        case sftCast:
            out.push_back(u'(');
            FArguments.at(0)->AppendSqlText(out);
            out += u" AS ";
            out += FCastTypeName;
            out.push_back(u')');
            return;
        case sftExtract:
            out.push_back(u'(');
            out += SqlDateTimePartName(FExtractPart);
            out += u" FROM ";
            FArguments.at(0)->AppendSqlText(out);
            out.push_back(u')');
            return;
        case sftSubstring:
            out.push_back(u'(');
            FArguments.at(0)->AppendSqlText(out);
            out += u" FROM ";
            FArguments.at(1)->AppendSqlText(out);
            if (FArguments.size() > 2) {
                out += u" FOR ";
                FArguments[2]->AppendSqlText(out);
            }
            out.push_back(u')');
            return;
        case sftTrim:
            out.push_back(u'(');
            if (FTrimMode != sttNone) {
                out += FTrimMode == sttLeading    ? u"LEADING "
                       : FTrimMode == sttTrailing ? u"TRAILING "
                                                  : u"BOTH ";
                if (FHasTrimCharacters) {
                    AppendQuoted(out, FTrimCharacters, u'\'');
                    out.push_back(u' ');
                }
                out += u"FROM ";
            }
            FArguments.at(0)->AppendSqlText(out);
            out.push_back(u')');
            return;
        case sftCurrentRecordId:
            out.push_back(u'(');
            out += SqlQuotedName(FTableName);
            out.push_back(u')');
            return;
        default:
            break;
    }
    if (FCountAll) {
        out += u"(*)";
        return;
    }
    const TSqlFunctionInfo* info = FindSqlFunction(SqlFunctionName(FSqlFunction));
    if (info != nullptr && info->MaxArguments == 0) {
        return;  // written without parentheses
    }
    AppendArguments(out);
}

void TTablePlFunction::AppendSqlText(std::u16string& out) const {
    out += SqlQuotedName(FName);
    AppendArguments(out);
}

// ---- Arithmetic ----

void TTdbFactor::AppendSqlText(std::u16string& out) const {
    if (FSign == sfsMinus) {
        out.push_back(u'-');
    } else if (FSign == sfsPlus) {
        out.push_back(u'+');
    }
    AppendUnsignedText(out);
}

void TTdbSimpleFactor::AppendUnsignedText(std::u16string& out) const {
    switch (FType) {
        case sftFunction:
            FSqlFunction->AppendSqlText(out);
            return;
        case sftExpression:
            out.push_back(u'(');
            FExpression->AppendSqlText(out);
            out.push_back(u')');
            return;
        case sftLiteral:
            switch (FLiteralKind) {
                case tlkNull:
                    out += u"NULL";
                    return;
                case tlkBoolean:
                case tlkNumber:
                    out += FColumnNameOrLiteral;
                    return;
                case tlkString:
                    AppendQuoted(out, FColumnNameOrLiteral, u'\'');
                    return;
                case tlkTypedString:
                    switch (FLiteralType->GetColumnType()) {
                        case ctDate:
                            out += u"DATE ";
                            break;
                        case ctTime:
                            out += u"TIME ";
                            break;
                        default:
                            out += u"TIMESTAMP ";
                            break;
                    }
                    AppendQuoted(out, FColumnNameOrLiteral, u'\'');
                    return;
            }
            return;
        case sftColumn:
        case sftOuterReference:
            if (!FTableName.empty()) {
                out += SqlQuotedName(FTableName);
                out.push_back(u'.');
            }
            out += SqlQuotedName(FColumnNameOrLiteral);
            return;
        case sftParameter:
            out.push_back(u':');
            out += FParameterName;
            return;
        case sftUnknown:
            return;
    }
}

void TTdbSqlCaseOperation::AppendUnsignedText(std::u16string& out) const {
    out += u"CASE";
    if (FCaseOperand) {
        out.push_back(u' ');
        FCaseOperand->AppendSqlText(out);
    }
    for (const TTdbSqlCaseWhen& when : FWhens) {
        out += u" WHEN ";
        if (when.FCondition) {
            when.FCondition->AppendSqlText(out);
        } else {
            when.FValue->AppendSqlText(out);
        }
        out += u" THEN ";
        when.FResult->AppendSqlText(out);
    }
    if (FElse) {
        out += u" ELSE ";
        FElse->AppendSqlText(out);
    }
    out += u" END";
}

void TTdbTerm::AppendSqlText(std::u16string& out) const {
    FFactor->AppendSqlText(out);
    for (const TTdbTermOperand& operand : FOperands) {
        AppendBinaryOperator(out, operand.FOperator);
        operand.FFactor->AppendSqlText(out);
    }
}

void TTdbExpression::AppendSqlText(std::u16string& out) const {
    FTerm->AppendSqlText(out);
    for (const TTdbExpressionOperand& operand : FOperands) {
        AppendBinaryOperator(out, operand.FOperator);
        operand.FTerm->AppendSqlText(out);
    }
}

// ---- Conditions ----

void TTdbSqlValueSet::AppendSqlText(std::u16string& out) const {
    out.push_back(u'(');
    AppendJoined(out, FValues, u", ");
    out.push_back(u')');
}

void TTdbBooleanFactor::AppendSqlText(std::u16string& out) const {
    if (FIsNot) {
        out += u"NOT ";
    }
    const auto binary = [&](std::u16string_view op) {
        FExpressionLeft->AppendSqlText(out);
        out += op;
        FExpressionRight->AppendSqlText(out);
    };
    switch (FComparisonOperator) {
        case tcoNone:
            out.push_back(u'(');
            FSearchCondition->AppendSqlText(out);
            out.push_back(u')');
            return;
        case tcoIsNull:
            FExpressionLeft->AppendSqlText(out);
            out += u" IS NULL";
            return;
        case tcoIsNotNull:
            FExpressionLeft->AppendSqlText(out);
            out += u" IS NOT NULL";
            return;
        case tcoEqual:
            return binary(u" = ");
        case tcoEqualNull:
            // The condition this was made of, so that the text reads back
            // with the same meaning.
            out.push_back(u'(');
            binary(u" = ");
            out += u" OR ";
            FExpressionLeft->AppendSqlText(out);
            out += u" IS NULL AND ";
            FExpressionRight->AppendSqlText(out);
            out += u" IS NULL)";
            return;
        case tcoUnequal:
            return binary(u" <> ");
        case tcoLess:
            return binary(u" < ");
        case tcoLessOrEqual:
            return binary(u" <= ");
        case tcoGreater:
            return binary(u" > ");
        case tcoGreaterOrEqual:
            return binary(u" >= ");
        case tcoIn:
            FExpressionLeft->AppendSqlText(out);
            out += u" IN ";
            FValueSet->AppendSqlText(out);
            return;
        case tcoBetween:
            FExpressionLeft->AppendSqlText(out);
            out += u" BETWEEN ";
            FExpressionRightEx->AppendSqlText(out);
            out += u" AND ";
            FExpressionRight->AppendSqlText(out);
            return;
        case tcoLike:
            binary(u" LIKE ");
            if (FLikeEscapeChar != 0) {
                out += u" ESCAPE ";
                AppendQuoted(out, std::u16string_view(&FLikeEscapeChar, 1), u'\'');
            }
            return;
        case tcoHas:
            return binary(u" HAS ");
        case tcoContains:
        case tcoFullTextRank:
        case tcoExists:
            // Full-text predicates and subqueries are refused by the parser;
            // their nodes are never made from a condition text.
            break;
    }
}

void TTdbBooleanTerm::AppendSqlText(std::u16string& out) const {
    AppendJoined(out, FFactors, u" AND ");
}

void TTdbXorTerm::AppendSqlText(std::u16string& out) const {
    AppendJoined(out, FTerms, u" XOR ");
}

void TTdbSearchCondition::AppendSqlText(std::u16string& out) const {
    AppendJoined(out, FTerms, u" OR ");
}

}  // namespace tdb
