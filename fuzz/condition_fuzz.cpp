// Hostile condition texts: parsing, preparing against a table of every kind
// of column, evaluating for a full and an empty record, and choosing an
// index may raise engine errors, but must never crash, hang or read what
// they do not own. A text that parses also writes back a text that parses
// to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/engine_error.h"
#include "expr/sql_condition.h"
#include "expr/sql_parser.h"
#include "memory_context.h"
#include "platform/exception.h"

namespace tdb {
namespace {

TMemoryContext& Context() {
    static TMemoryContext* context = [] {
        auto* made = new TMemoryContext(u"IRSZ");
        made->AddColumn(u"TELEP", TTdbDataType::GetStringType(ctString, true, 40, u""));
        made->AddColumn(u"IRSZ", TTdbDataType::GetStringType(ctString, true, 4, u""));
        made->AddColumn(u"W", TTdbDataType::GetStringType(ctWideString, true, 20, u""));
        made->AddColumn(u"M", TTdbDataType::GetStringType(ctMemo, true, kUnboundedLength, u""));
        made->AddColumn(u"A", TTdbDataType::GetDataType(ctInteger, true));
        made->AddColumn(u"S", TTdbDataType::GetDataType(ctSmallInt, true));
        made->AddColumn(u"BI", TTdbDataType::GetDataType(ctBigInt, true));
        made->AddColumn(u"F", TTdbDataType::GetFloatType(true));
        made->AddColumn(u"OK", TTdbDataType::GetDataType(ctBoolean, true));
        made->AddColumn(u"CH", TTdbDataType::GetDataType(ctChar, true));
        made->AddColumn(u"D", TTdbDataType::GetDataType(ctDate, true));
        made->AddColumn(u"TM", TTdbDataType::GetDataType(ctTime, true));
        made->AddColumn(u"TS", TTdbDataType::GetDataType(ctTimeStamp, true));
        made->AddColumn(u"G", TTdbDataType::GetDataType(ctGuid, true));
        return made;
    }();
    return *context;
}

void SetRecord(TMemoryContext& context, bool full) {
    static const char16_t* const kValues[][2] = {
        {u"TELEP", u"Budapest"}, {u"IRSZ", u"1011"},   {u"W", u"Őcsény"},
        {u"M", u"hosszú"},       {u"A", u"-7"},        {u"S", u"300"},
        {u"BI", u"123456789012"}, {u"F", u"2.5"},      {u"OK", u"True"},
        {u"CH", u"x"},           {u"D", u"2.3.2015"},  {u"TM", u"12:30"},
        {u"TS", u"2.3.2015_12:30"}, {u"G", u"{0123ABCD-0000-1111-2222-333344445555}"},
    };
    for (const auto& value : kValues) {
        context.SetValue(value[0], full ? std::optional<std::u16string_view>(value[1])
                                        : std::nullopt);
    }
}

// UTF-8 as far as it is valid, a replacement character for each bad byte.
std::u16string FromUtf8(const std::uint8_t* data, std::size_t size) {
    std::u16string text;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t c = data[i];
        if (c < 0x80) {
            text += static_cast<char16_t>(c);
        } else if ((c & 0xE0) == 0xC0 && i + 1 < size && (data[i + 1] & 0xC0) == 0x80) {
            text += static_cast<char16_t>(((c & 0x1F) << 6) | (data[i + 1] & 0x3F));
            ++i;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < size && (data[i + 1] & 0xC0) == 0x80 &&
                   (data[i + 2] & 0xC0) == 0x80) {
            text += static_cast<char16_t>(((c & 0x0F) << 12) | ((data[i + 1] & 0x3F) << 6) |
                                          (data[i + 2] & 0x3F));
            i += 2;
        } else {
            text += u'\uFFFD';
        }
    }
    return text;
}

std::u16string ParsedText(const std::u16string& text) {
    TSqlParser parser;
    parser.InitParsing(text);
    return parser.ParseCondition()->GetSqlText();
}

}  // namespace
}  // namespace tdb

// The first byte chooses the options and how the rest is read: as UTF-8
// (usual) or as raw UTF-16 units (to reach every character).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tdb;
    if (size == 0) {
        return 0;
    }
    const std::uint8_t control = data[0];
    ++data;
    --size;
    std::u16string text;
    if ((control & 0x80) != 0) {
        for (std::size_t i = 0; i + 1 < size; i += 2) {
            text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        }
    } else {
        text = FromUtf8(data, size);
    }

    // The normalised text of a parsed condition reads back as itself.
    std::u16string normalised;
    try {
        normalised = ParsedText(text);
    } catch (const Exception&) {
    }
    if (!normalised.empty() && ParsedText(normalised) != normalised) {
        std::abort();
    }

    TMemoryContext& context = Context();
    TTdbSqlCondition condition(text);
    try {
        condition.Prepare(context, static_cast<std::uint8_t>(control & 0x0F));
        for (const bool full : {true, false}) {
            SetRecord(context, full);
            try {
                (void)condition.Evaluate();
            } catch (const Exception&) {
            }
        }
        std::vector<std::byte> lower;
        std::vector<std::byte> upper;
        (void)condition.FindBestIndexAndBounds(0, lower, upper);
        (void)condition.GetSqlText();
    } catch (const Exception&) {
    }
    return 0;
}
