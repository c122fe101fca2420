// What one locale shares among its collations: the ICU collators for each
// option set, its code page, and what prefix bounds need to know of its contractions.
#pragma once

#include <unicode/ucol.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "types/code_page.h"
#include "types/collation.h"

namespace tdb {

struct TCollatorCloser {
    void operator()(UCollator* collator) const noexcept { ucol_close(collator); }
};
using TCollatorPtr = std::unique_ptr<UCollator, TCollatorCloser>;

// Lets sort-key maps be searched with a key on the stack.
struct TSortKeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view bytes) const noexcept {
        return std::hash<std::string_view>{}(bytes);
    }
};

struct TTdbCollation::TLocale {
    // Resolves the built-in locale.
    TLocale();
    // A locale collation for an ICU locale such as "hu_HU". A locale ICU has no
    // collation for is kept, and every comparison through it fails.
    TLocale(std::string icuLocale, std::uint32_t localeId, std::u16string language,
            std::uint16_t codePage);

    bool IsBuiltIn() const noexcept { return localeId == kBuiltInLocaleId; }
    // Raises the "not supported" failure for a locale ICU rejected.
    void CheckSupported() const;
    // The collator for the case and accent bits of Options.
    const UCollator& Collator(TStrCmpOptions options) const noexcept;

    std::string icuLocale;  // "" for the built-in collation: the root rules
    std::uint32_t localeId = kBuiltInLocaleId;
    std::u16string language;
    TCodePage codePage;
    bool supported = true;

    // Index: bit 0 case-sensitive, bit 1 accent-sensitive.
    std::array<TCollatorPtr, 4> collators;
    // Contractions by the primary sort key of each of their proper prefixes: when a
    // bound's characters end with such a prefix, a string that begins with them can
    // sort as far up as the whole contraction.
    struct TContractions {
        std::unordered_map<std::string, std::vector<std::u16string>, TSortKeyHash, std::equal_to<>>
            byPrefix;
        std::size_t longestPrefix = 0;
    };
    // Made on first use: only prefix bounds need it, and it takes every contraction of the
    // locale's rules (some milliseconds at the start of a program that may never search).
    const TContractions& Contractions() const;

private:
    void IndexContractions() const;
    mutable std::once_flag contractionsMade_;
    mutable TContractions contractions_;
};

namespace collation_detail {

int LocaleCompare(const TTdbCollation::TLocale& locale, std::u16string_view a,
                  std::u16string_view b, TStrCmpOptions options);
int LocaleCompareToBound(const TTdbCollation::TLocale& locale, std::u16string_view plain,
                         std::u16string_view boundChars, TStrCmpOptions options);
int LocaleCompareBounds(const TTdbCollation::TLocale& locale, std::u16string_view a,
                        std::u16string_view b, TStrCmpOptions options);
// Lower prefix bounds: a plain string against one, two of them, and one against an
// upper prefix bound.
int LocaleCompareToLower(const TTdbCollation::TLocale& locale, std::u16string_view plain,
                         std::u16string_view boundChars);
int LocaleCompareLowers(const TTdbCollation::TLocale& locale, std::u16string_view a,
                        std::u16string_view b);
// The stems of Prefix's bound whose keys sort below its own key, as texts.
// The stems of Prefix's bound whose keys sort below its own key, as texts: the first of Texts,
// how many the answer says.
std::size_t LocaleStemsBelow(const TTdbCollation::TLocale& locale, std::u16string_view prefix,
                             std::vector<std::u16string>& texts);
int LocaleCompareLowerToUpper(const TTdbCollation::TLocale& locale, std::u16string_view lowerChars,
                              std::u16string_view upperChars);
std::ptrdiff_t LocaleMatchRun(const TTdbCollation::TLocale& locale, std::u16string_view value,
                              std::u16string_view run, TStrCmpOptions options);

}  // namespace collation_detail

}  // namespace tdb
