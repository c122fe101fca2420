// ANSI code pages of collations: language to code page, and conversions through
// ICU converters named "windows-NNNN" (or "ibm-874" style aliases ICU resolves).
#include "types/code_page.h"

#include <unicode/ucnv.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "platform/exception.h"

namespace tdb {

namespace {

struct TLanguageCodePage {
    std::string_view language;
    std::uint16_t codePage;
};

// Languages whose script decides the code page are handled before this table.
constexpr TLanguageCodePage kLanguageCodePages[] = {
    {"cs", 1250},  {"hu", 1250}, {"pl", 1250}, {"sk", 1250}, {"sl", 1250}, {"hr", 1250},
    {"ro", 1250},  {"sq", 1250}, {"ru", 1251}, {"uk", 1251}, {"be", 1251}, {"bg", 1251},
    {"mk", 1251},  {"kk", 1251}, {"ky", 1251}, {"mn", 1251}, {"tt", 1251}, {"ba", 1251},
    {"sah", 1251}, {"tg", 1251}, {"el", 1253}, {"tr", 1254}, {"he", 1255}, {"iw", 1255},
    {"yi", 1255},  {"ar", 1256}, {"fa", 1256}, {"ur", 1256}, {"ps", 1256}, {"ug", 1256},
    {"et", 1257},  {"lv", 1257}, {"lt", 1257}, {"vi", 1258}, {"th", 874},  {"ja", 932},
    {"ko", 949},
};

std::string ConverterName(std::uint16_t number) {
    return "windows-" + std::to_string(number);
}

struct TConverterCloser {
    void operator()(UConverter* converter) const noexcept { ucnv_close(converter); }
};
using TConverterPtr = std::unique_ptr<UConverter, TConverterCloser>;

TConverterPtr OpenConverter(std::uint16_t number) {
    UErrorCode status = U_ZERO_ERROR;
    TConverterPtr converter(ucnv_open(ConverterName(number).c_str(), &status));
    // Most windows-NNNN names are ambiguous aliases: a warning, not a failure.
    if (U_FAILURE(status) || !converter) {
        throw Exception("Code page " + std::to_string(number) +
                        " is not supported on this computer.");
    }
    return converter;
}

// Converters keep conversion state, so a shared one would need a lock on every
// comparison; each thread opens its own on first use instead.
UConverter& ThreadConverter(std::uint16_t number) {
    thread_local std::vector<std::pair<std::uint16_t, TConverterPtr>> converters;
    for (auto& [cp, converter] : converters) {
        if (cp == number) {
            ucnv_reset(converter.get());
            return *converter;
        }
    }
    converters.emplace_back(number, OpenConverter(number));
    return *converters.back().second;
}

}  // namespace

std::uint16_t DefaultAnsiCodePage(std::string_view language, std::string_view script) {
    if (language == "zh") {
        return script == "Hant" ? 950 : 936;
    }
    if (language == "sr" || language == "bs") {
        return script == "Cyrl" ? 1251 : 1250;
    }
    if (language == "az" || language == "uz") {
        return script == "Cyrl" ? 1251 : 1254;
    }
    for (const auto& entry : kLanguageCodePages) {
        if (entry.language == language) {
            return entry.codePage;
        }
    }
    return 1252;
}

std::size_t CharacterPrefixLength(std::uint16_t codePage, std::string_view ansi,
                                  std::size_t limit) {
    if (ansi.size() <= limit) {
        return ansi.size();
    }
    UConverter& converter = ThreadConverter(codePage);
    if (ucnv_getMaxCharSize(&converter) == 1) {
        return limit;
    }
    // Characters are stepped over one by one: whether a byte starts a character depends on
    // the bytes before it. No character of a code page is longer than four bytes.
    const char* const start = ansi.data();
    const char* const end = start + std::min(ansi.size(), limit + 4);
    const char* next = start;
    std::size_t boundary = 0;
    while (next < end) {
        UErrorCode status = U_ZERO_ERROR;
        ucnv_getNextUChar(&converter, &next, end, &status);
        const auto after = static_cast<std::size_t>(next - start);
        if (U_FAILURE(status) || after > limit) {
            break;
        }
        boundary = after;
    }
    return boundary;
}

TCodePage::TCodePage(std::uint16_t number) : number_(number) {
    TConverterPtr converter = OpenConverter(number);
    singleByte_ = ucnv_getMaxCharSize(converter.get()) == 1;
    if (singleByte_) {
        for (int byte = 0; byte < 256; ++byte) {
            const char in = static_cast<char>(byte);
            UChar out = 0;
            UErrorCode status = U_ZERO_ERROR;
            ucnv_reset(converter.get());
            const std::int32_t length = ucnv_toUChars(converter.get(), &out, 1, &in, 1, &status);
            table_[static_cast<std::size_t>(byte)] =
                U_SUCCESS(status) && length == 1 ? out : static_cast<char16_t>(0xFFFD);
        }
    }
}

std::u16string TCodePage::ToWide(std::string_view ansi) const {
    std::u16string result;
    if (singleByte_) {
        result.resize(ansi.size());
        for (std::size_t i = 0; i < ansi.size(); ++i) {
            result[i] = table_[static_cast<unsigned char>(ansi[i])];
        }
        return result;
    }
    // A byte never becomes more than one UTF-16 unit in the code pages used here;
    // the second pass only guards against a surprise.
    result.resize(ansi.size());
    std::size_t written = WidenInto(ansi, result);
    if (written == kTooSmall) {
        result.resize(ansi.size() * 2 + 4);
        written = WidenInto(ansi, result);
    }
    result.resize(written == kTooSmall ? 0 : written);
    return result;
}

std::size_t TCodePage::WidenInto(std::string_view ansi, std::span<char16_t> out) const {
    if (singleByte_) {
        if (ansi.size() > out.size()) {
            return kTooSmall;
        }
        for (std::size_t i = 0; i < ansi.size(); ++i) {
            out[i] = table_[static_cast<unsigned char>(ansi[i])];
        }
        return ansi.size();
    }
    if (ansi.empty()) {
        return 0;
    }
    UConverter& converter = ThreadConverter(number_);
    UErrorCode status = U_ZERO_ERROR;
    const std::int32_t length = ucnv_toUChars(&converter, reinterpret_cast<UChar*>(out.data()),
                                              static_cast<std::int32_t>(out.size()), ansi.data(),
                                              static_cast<std::int32_t>(ansi.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR || status == U_STRING_NOT_TERMINATED_WARNING) {
        return status == U_STRING_NOT_TERMINATED_WARNING ? static_cast<std::size_t>(length)
                                                         : kTooSmall;
    }
    if (U_FAILURE(status)) {
        throw Exception("Text cannot be converted from code page " + std::to_string(number_) + ".");
    }
    return static_cast<std::size_t>(length);
}

std::string TCodePage::ToAnsi(std::u16string_view wide) const {
    if (wide.empty()) {
        return {};
    }
    UConverter& converter = ThreadConverter(number_);
    std::string result(wide.size() * static_cast<std::size_t>(ucnv_getMaxCharSize(&converter)) + 1,
                       '\0');
    UErrorCode status = U_ZERO_ERROR;
    const std::int32_t length =
        ucnv_fromUChars(&converter, result.data(), static_cast<std::int32_t>(result.size()),
                        reinterpret_cast<const UChar*>(wide.data()),
                        static_cast<std::int32_t>(wide.size()), &status);
    if (U_FAILURE(status)) {
        throw Exception("Text cannot be converted to code page " + std::to_string(number_) + ".");
    }
    result.resize(static_cast<std::size_t>(length));
    return result;
}

}  // namespace tdb
