// Locale collations through ICU: plain comparison, prefix bounds that stay sound
// across contractions ("nny" = "ny"+"ny" in Hungarian), and literal runs of patterns.
#include "types/collation_locale.h"

#include <unicode/uchar.h>
#include <unicode/uloc.h>
#include <unicode/uset.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>

#include "platform/exception.h"
#include "types/collation_bounds.h"

namespace tdb {

namespace {

thread_local std::uint64_t tSortKeysComputed = 0;
thread_local int tBoundCacheBypasses = 0;

// A sort key on the stack; only keys of very long strings go to the heap.
class TSortKey {
public:
    TSortKey(const UCollator& collator, std::u16string_view text) {
        ++tSortKeysComputed;
        const auto* chars = reinterpret_cast<const UChar*>(text.data());
        const auto length = static_cast<std::int32_t>(text.size());
        std::int32_t size = ucol_getSortKey(&collator, chars, length, stack_.data(),
                                            static_cast<std::int32_t>(stack_.size()));
        data_ = stack_.data();
        if (size > static_cast<std::int32_t>(stack_.size())) {
            heap_.resize(static_cast<std::size_t>(size));
            size = ucol_getSortKey(&collator, chars, length, heap_.data(), size);
            data_ = heap_.data();
        }
        size_ = size > 0 ? static_cast<std::size_t>(size) : 0;
    }

    // The key with its terminating zero byte.
    std::span<const std::uint8_t> Whole() const noexcept { return {data_, size_}; }
    // The key without its terminator: every key of a string that sorts as this one
    // followed by more collation elements begins with these bytes.
    std::span<const std::uint8_t> Stem() const noexcept {
        return {data_, size_ > 0 ? size_ - 1 : 0};
    }

private:
    std::array<std::uint8_t, 1536> stack_;
    std::vector<std::uint8_t> heap_;
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// A UTF-16 text assembled on the stack.
class TTextBuffer {
public:
    std::u16string_view Join(std::u16string_view head, std::u16string_view tail) {
        const std::size_t size = head.size() + tail.size();
        char16_t* out = stack_.data();
        if (size > stack_.size()) {
            heap_.resize(size);
            out = heap_.data();
        }
        std::copy(head.begin(), head.end(), out);
        std::copy(tail.begin(), tail.end(), out + head.size());
        return {out, size};
    }

private:
    std::array<char16_t, 512> stack_;
    std::u16string heap_;
};

int Sign(int value) noexcept {
    return (value > 0) - (value < 0);
}

int CompareBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept {
    const std::size_t common = std::min(a.size(), b.size());
    const int result = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
    return Sign(result);
}

// Whether a string with sort key Whole lies below the point just above every key
// that begins with Stem.
bool BelowUpperOf(std::span<const std::uint8_t> whole,
                  std::span<const std::uint8_t> stem) noexcept {
    return CompareBytes(whole, stem) <= 0;
}

// Orders the points just above all keys beginning with A and with B.
int CompareUppers(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept {
    const int common = CompareBytes(a, b);
    if (common != 0 || a.size() == b.size()) {
        return common;
    }
    return a.size() < b.size() ? 1 : -1;
}

std::string_view AsChars(std::span<const std::uint8_t> bytes) noexcept {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Calls Visit with the stem of every sort key whose upper point a string beginning
// with BoundChars can reach, and the text that key is of: the bound's own key, and for
// every tail of the bound that begins a contraction, the key of the bound completed by
// that contraction. Stops when Visit returns true and returns whether it did.
template <typename Visit>
bool VisitBoundStems(const TTdbCollation::TLocale& locale, const UCollator& collator,
                     std::u16string_view boundChars, Visit&& visit) {
    {
        const TSortKey key(collator, boundChars);
        if (visit(key.Stem(), boundChars)) {
            return true;
        }
    }
    const TTdbCollation::TLocale::TContractions& contractions = locale.Contractions();
    const std::size_t longest = std::min(contractions.longestPrefix, boundChars.size());
    for (std::size_t tail = 1; tail <= longest; ++tail) {
        const std::size_t start = boundChars.size() - tail;
        if (U16_IS_TRAIL(boundChars[start])) {
            continue;
        }
        const TSortKey tailKey(collator, boundChars.substr(start));
        const auto found = contractions.byPrefix.find(AsChars(tailKey.Stem()));
        if (found == contractions.byPrefix.end()) {
            continue;
        }
        for (const std::u16string& contraction : found->second) {
            TTextBuffer buffer;
            const std::u16string_view completed =
                buffer.Join(boundChars.substr(0, start), contraction);
            const TSortKey key(collator, completed);
            if (visit(key.Stem(), completed)) {
                return true;
            }
        }
    }
    return false;
}

// Keeps the best stem it is offered: the highest upper point (Sign 1) or the
// lowest stem (Sign -1) under Compare; the first of equal ones stays.
template <int (*Compare)(std::span<const std::uint8_t>, std::span<const std::uint8_t>) noexcept,
          int Sign>
class TBestStem {
public:
    // Whether the stem is kept.
    bool Offer(std::span<const std::uint8_t> stem) {
        if (best_.data() != nullptr && Sign * Compare(stem, best_) <= 0) {
            return false;
        }
        std::uint8_t* out = stack_.data();
        if (stem.size() > stack_.size()) {
            heap_.assign(stem.begin(), stem.end());
            out = heap_.data();
        } else {
            std::copy(stem.begin(), stem.end(), out);
        }
        best_ = {out, stem.size()};
        return true;
    }
    std::span<const std::uint8_t> Best() const noexcept { return best_; }

private:
    std::array<std::uint8_t, 1536> stack_;
    std::vector<std::uint8_t> heap_;
    std::span<const std::uint8_t> best_;
};

using THighestUpper = TBestStem<CompareUppers, 1>;

// The point a bound stands for: the highest upper point among its stems.
void FindHighestUpper(const TTdbCollation::TLocale& locale, const UCollator& collator,
                      std::u16string_view boundChars, THighestUpper& highest) {
    VisitBoundStems(locale, collator, boundChars,
                    [&](std::span<const std::uint8_t> stem, std::u16string_view /*text*/) {
                        highest.Offer(stem);
                        return false;
                    });
}

// Orders the points just below all keys beginning with A and with B.
int CompareLowerStems(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept {
    const int common = CompareBytes(a, b);
    if (common != 0 || a.size() == b.size()) {
        return common;
    }
    return a.size() < b.size() ? -1 : 1;
}

// Keeps the lowest of the stems it is offered.
using TLowestStem = TBestStem<CompareLowerStems, -1>;

// The upper points of the bounds this thread met last, and the texts of their lowest
// stems. A range search compares one bound with many keys, and working a bound out costs
// a sort key for the bound, one for each tail that begins a contraction and one for each
// completion; kept here, the bound costs a lookup. The lowest stem is kept as its text:
// a plain string lies below the lower point exactly when it sorts below that text at
// primary strength (both keys end in the zero byte that sorts below every weight), so
// one plain comparison decides without a sort key. Each end is worked out when it is
// first asked for: a nearest search meets its lower bound once and never the upper one.
// The storage is fixed, so the comparison path never allocates and the cache has nothing
// to destroy when the thread ends (collations stay in use while other objects are
// destroyed at exit). Bounds too long for an entry are worked out each time.
class TBoundCache {
public:
    static constexpr std::size_t kEntries = 8;
    static constexpr std::size_t kMaxChars = 64;
    // A completion replaces a tail of the bound by a contraction, a few characters.
    static constexpr std::size_t kMaxLowestChars = kMaxChars + 16;
    // Room for the primary key of the longest bound kept: at most a few bytes a character.
    static constexpr std::size_t kMaxUpper = 320;

    // The stem of the highest upper point of BoundChars' bound; empty when the bound is too
    // long to keep.
    std::optional<std::span<const std::uint8_t>> Upper(const TTdbCollation::TLocale& locale,
                                                       const UCollator& collator,
                                                       std::u16string_view boundChars) {
        TEntry* entry = Lookup(locale, boundChars);
        if (entry == nullptr) {
            return std::nullopt;
        }
        if (!entry->hasUpper) {
            THighestUpper highest;
            FindHighestUpper(locale, collator, boundChars, highest);
            const std::span<const std::uint8_t> upper = highest.Best();
            if (upper.size() > kMaxUpper) {
                return std::nullopt;
            }
            entry->upperSize = static_cast<std::uint16_t>(upper.size());
            std::copy(upper.begin(), upper.end(), entry->upper.begin());
            entry->hasUpper = true;
        }
        return std::span<const std::uint8_t>(entry->upper.data(), entry->upperSize);
    }

    // The text of the lowest stem of BoundChars' bound; empty when it is too long to keep.
    std::optional<std::u16string_view> Lowest(const TTdbCollation::TLocale& locale,
                                              const UCollator& collator,
                                              std::u16string_view boundChars) {
        TEntry* entry = Lookup(locale, boundChars);
        if (entry == nullptr) {
            return std::nullopt;
        }
        if (!entry->hasLowest) {
            TLowestStem lowest;
            bool fits = true;
            std::size_t size = 0;
            VisitBoundStems(locale, collator, boundChars,
                            [&](std::span<const std::uint8_t> stem, std::u16string_view text) {
                                if (lowest.Offer(stem)) {
                                    fits = text.size() <= entry->lowest.size();
                                    size = fits ? text.size() : 0;
                                    std::copy_n(text.begin(), size, entry->lowest.begin());
                                }
                                return false;
                            });
            if (!fits) {
                return std::nullopt;
            }
            entry->lowestSize = static_cast<std::uint16_t>(size);
            entry->hasLowest = true;
        }
        return std::u16string_view(entry->lowest.data(), entry->lowestSize);
    }

private:
    struct TEntry {
        const TTdbCollation::TLocale* locale;  // locales are never freed
        std::uint64_t lastUse;
        std::uint16_t charCount;
        std::uint16_t upperSize;
        std::uint16_t lowestSize;
        bool hasUpper;
        bool hasLowest;
        std::array<char16_t, kMaxChars> chars;
        std::array<std::uint8_t, kMaxUpper> upper;
        std::array<char16_t, kMaxLowestChars> lowest;
    };

    // The entry of the bound, found or taken over from the one used longest ago with nothing
    // worked out yet; null when the bound is too long to keep.
    TEntry* Lookup(const TTdbCollation::TLocale& locale, std::u16string_view boundChars) {
        if (boundChars.size() > kMaxChars) {
            return nullptr;
        }
        ++clock_;
        for (TEntry& entry : entries_) {
            if (entry.locale == &locale && entry.charCount == boundChars.size() &&
                std::equal(boundChars.begin(), boundChars.end(), entry.chars.begin())) {
                entry.lastUse = clock_;
                return &entry;
            }
        }
        TEntry& entry = *std::min_element(
            entries_.begin(), entries_.end(),
            [](const TEntry& a, const TEntry& b) { return a.lastUse < b.lastUse; });
        entry.locale = &locale;
        entry.lastUse = clock_;
        entry.charCount = static_cast<std::uint16_t>(boundChars.size());
        std::copy(boundChars.begin(), boundChars.end(), entry.chars.begin());
        entry.hasUpper = false;
        entry.hasLowest = false;
        return &entry;
    }

    std::array<TEntry, kEntries> entries_;
    std::uint64_t clock_;
};

// Zero-initialised and trivially destructible: no guard on the way in, nothing at exit.
constinit thread_local TBoundCache tBoundCache{};

std::optional<std::span<const std::uint8_t>> CachedUpper(const TTdbCollation::TLocale& locale,
                                                         const UCollator& collator,
                                                         std::u16string_view boundChars) {
    if (tBoundCacheBypasses != 0) {
        return std::nullopt;
    }
    return tBoundCache.Upper(locale, collator, boundChars);
}

std::optional<std::u16string_view> CachedLowest(const TTdbCollation::TLocale& locale,
                                                const UCollator& collator,
                                                std::u16string_view boundChars) {
    if (tBoundCacheBypasses != 0) {
        return std::nullopt;
    }
    return tBoundCache.Lowest(locale, collator, boundChars);
}

// Ligatures a comparison may read as their letters, with how many letters they stand
// for. ICU compares "ß" equal to "ss" at primary strength; cutting a string must
// count the same way.
int LigatureWidth(UChar32 c) noexcept {
    switch (c) {
        case 0x00DF:  // ß
        case 0x00C6:  // Æ
        case 0x00E6:  // æ
        case 0x0152:  // Œ
        case 0x0153:  // œ
        case 0x0132:  // Ĳ
        case 0x0133:  // ĳ
        case 0xFB00:  // ﬀ
        case 0xFB01:  // ﬁ
        case 0xFB02:  // ﬂ
        case 0xFB05:  // ﬅ
        case 0xFB06:  // ﬆ
            return 2;
        case 0xFB03:  // ﬃ
        case 0xFB04:  // ﬄ
            return 3;
        default:
            return 1;
    }
}

bool IsCombiningMark(UChar32 c) noexcept {
    const auto type = u_charType(c);
    return type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK;
}

// How many letters Text stands for: combining marks belong to their letter.
std::size_t LetterCount(std::u16string_view text, bool ligatureSensitive) noexcept {
    std::size_t count = 0;
    std::int32_t i = 0;
    const auto length = static_cast<std::int32_t>(text.size());
    while (i < length) {
        UChar32 c = 0;
        U16_NEXT(text.data(), i, length, c);
        if (!IsCombiningMark(c)) {
            count += ligatureSensitive ? 1 : static_cast<std::size_t>(LigatureWidth(c));
        }
    }
    return count;
}

std::u16string LocaleMessage(const TTdbCollation::TLocale& locale) {
    std::u16string message = u"Locale ";
    for (char c : std::to_string(locale.localeId)) {
        message += static_cast<char16_t>(c);
    }
    message += u" (" + locale.language + u") is not supported on this computer.";
    return message;
}

}  // namespace

TTdbCollation::TLocale::TLocale() : codePage(1252) {}

TTdbCollation::TLocale::TLocale(std::string icuLocaleName, std::uint32_t id,
                                std::u16string languageName, std::uint16_t codePageNumber)
    : icuLocale(std::move(icuLocaleName)),
      localeId(id),
      language(std::move(languageName)),
      codePage(codePageNumber) {
    static constexpr struct {
        UColAttributeValue strength;
        bool caseLevel;
    } kSettings[4] = {
        {UCOL_PRIMARY, false},    // neither: ignore case and accents
        {UCOL_PRIMARY, true},     // case-sensitive only
        {UCOL_SECONDARY, false},  // accent-sensitive only
        {UCOL_TERTIARY, false},   // both
    };
    for (std::size_t i = 0; i < collators.size(); ++i) {
        UErrorCode status = U_ZERO_ERROR;
        collators[i].reset(ucol_open(icuLocale.c_str(), &status));
        if (U_FAILURE(status) || !collators[i]) {
            supported = false;
            return;
        }
        if (status == U_USING_DEFAULT_WARNING) {
            // ICU falls back to the root rules both for languages it sorts like root
            // and for locales it does not know; only the latter are unsupported.
            UErrorCode validStatus = U_ZERO_ERROR;
            const char* valid =
                ucol_getLocaleByType(collators[i].get(), ULOC_VALID_LOCALE, &validStatus);
            if (U_FAILURE(validStatus) || valid == nullptr || std::strcmp(valid, "root") == 0 ||
                *valid == '\0') {
                supported = false;
                return;
            }
        }
        ucol_setStrength(collators[i].get(), kSettings[i].strength);
        if (kSettings[i].caseLevel) {
            ucol_setAttribute(collators[i].get(), UCOL_CASE_LEVEL, UCOL_ON, &status);
        }
        if (U_FAILURE(status)) {
            supported = false;
            return;
        }
    }
}

const TTdbCollation::TLocale::TContractions& TTdbCollation::TLocale::Contractions() const {
    std::call_once(contractionsMade_, [this] { IndexContractions(); });
    return contractions_;
}

// Indexes every proper prefix of every contraction by its primary key.
void TTdbCollation::TLocale::IndexContractions() const {
    if (!supported || !collators[0]) {
        return;
    }
    const UCollator& primary = *collators[0];
    UErrorCode status = U_ZERO_ERROR;
    USet* contractions = uset_openEmpty();
    ucol_getContractionsAndExpansions(&primary, contractions, nullptr, false, &status);
    std::unordered_map<std::string, std::vector<std::string>> seenKeys;
    const std::int32_t items = U_SUCCESS(status) ? uset_getItemCount(contractions) : 0;
    for (std::int32_t item = 0; item < items; ++item) {
        std::array<UChar, 64> chars{};
        UChar32 start = 0;
        UChar32 end = 0;
        UErrorCode itemStatus = U_ZERO_ERROR;
        const std::int32_t length =
            uset_getItem(contractions, item, &start, &end, chars.data(),
                         static_cast<std::int32_t>(chars.size()), &itemStatus);
        if (U_FAILURE(itemStatus) || length < 2) {
            continue;  // a range of single code points, or too long to matter
        }
        const std::u16string contraction(reinterpret_cast<const char16_t*>(chars.data()),
                                         static_cast<std::size_t>(length));
        const TSortKey wholeKey(primary, contraction);
        const std::string whole(AsChars(wholeKey.Stem()));
        for (std::size_t prefix = 1; prefix < contraction.size(); ++prefix) {
            // A contraction that goes on with a combining mark makes another letter
            // («o» + diaeresis is «ö»), and a string does not begin with half a letter.
            if (U16_IS_TRAIL(contraction[prefix])) {
                continue;
            }
            UChar32 next = 0;
            const auto at = static_cast<std::int32_t>(prefix);
            U16_GET(contraction.data(), 0, at, static_cast<std::int32_t>(contraction.size()), next);
            if (IsCombiningMark(next)) {
                continue;
            }
            const TSortKey prefixKey(primary, std::u16string_view(contraction).substr(0, prefix));
            std::string key(AsChars(prefixKey.Stem()));
            // Case and accent variants of one contraction sort alike: keep one.
            auto& seen = seenKeys[key];
            if (std::find(seen.begin(), seen.end(), whole) != seen.end()) {
                continue;
            }
            seen.push_back(whole);
            contractions_.byPrefix[std::move(key)].push_back(contraction);
            contractions_.longestPrefix = std::max(contractions_.longestPrefix, prefix);
        }
    }
    uset_close(contractions);
}

void TTdbCollation::TLocale::CheckSupported() const {
    if (!supported) {
        throw Exception(LocaleMessage(*this));
    }
}

const UCollator& TTdbCollation::TLocale::Collator(TStrCmpOptions options) const noexcept {
    const std::size_t index = ((options & scoCaseSensitive) != 0 ? 1u : 0u) |
                              ((options & scoAccentSensitive) != 0 ? 2u : 0u);
    return *collators[index];
}

namespace collation_detail {

std::uint64_t SortKeysComputed() noexcept {
    return tSortKeysComputed;
}

TBoundCacheBypass::TBoundCacheBypass() noexcept {
    ++tBoundCacheBypasses;
}
TBoundCacheBypass::~TBoundCacheBypass() {
    --tBoundCacheBypasses;
}

int LocaleCompare(const TTdbCollation::TLocale& locale, std::u16string_view a,
                  std::u16string_view b, TStrCmpOptions options) {
    const UCollationResult result =
        ucol_strcoll(&locale.Collator(options), reinterpret_cast<const UChar*>(a.data()),
                     static_cast<std::int32_t>(a.size()), reinterpret_cast<const UChar*>(b.data()),
                     static_cast<std::int32_t>(b.size()));
    return result == UCOL_LESS ? -1 : (result == UCOL_GREATER ? 1 : 0);
}

// Where a prefix bound sits in a locale's order.
//
// A bound must be one point of the plain order, or index searches and the order of
// keys fall apart. Cutting the plain string to the bound's length and comparing the
// parts is no such point once contractions cross the cut: in Hungarian «Bonn» <
// «Bonyhád» < «Bonnya» ("nny" is "ny"+"ny"), yet the cut puts «Bonnya» below the
// bound of «Bonn» and «Bonyhád» above it. No point at all separates exactly the
// strings that begin with «Bonn», because they do not lie together in that order.
//
// So the bound of P is the lowest point above every string that begins with P: on
// primary sort keys (case and accents do not move it, and every strength refines the
// primary order), above all keys that begin with P's key and, for each tail of P that
// begins a contraction, above all keys that begin with the key of P completed by that
// contraction («Bonn» completed to «Bonnny» covers «Bonnya»). A range [P, bound of P)
// therefore holds every string that begins with P, and a few that only sort among
// them (here «Bonyhád»); the wildcard match, which compares characters, rejects those.
//
// A string lies below the bound when it lies below any of those upper points, that is
// below the highest of them: once a bound is known, one sort key of the string decides.
// Whether Plain begins with the very characters of the bound, ending between two letters: then
// it lies below the bound's upper point by the point's definition, and no key is needed. A
// combining mark after them would make their last letter another one («o» + diaeresis is
// «ö»), and so would the second half of a surrogate pair.
bool BeginsWithWholeLetters(std::u16string_view plain, std::u16string_view boundChars) noexcept {
    const std::size_t size = boundChars.size();
    if (plain.size() < size || !std::equal(boundChars.begin(), boundChars.end(), plain.begin()) ||
        (size > 0 && U16_IS_LEAD(boundChars.back()))) {
        return false;
    }
    if (plain.size() == size) {
        return true;
    }
    UChar32 next = 0;
    U16_GET(plain.data(), 0, static_cast<std::int32_t>(size),
            static_cast<std::int32_t>(plain.size()), next);
    return !U16_IS_TRAIL(plain[size]) && !IsCombiningMark(next);
}

int LocaleCompareToBound(const TTdbCollation::TLocale& locale, std::u16string_view plain,
                         std::u16string_view boundChars, TStrCmpOptions /*options*/) {
    // A range scan meets mostly keys that begin with the bound's own characters.
    if (tBoundCacheBypasses == 0 && BeginsWithWholeLetters(plain, boundChars)) {
        return -1;
    }
    const UCollator& collator = locale.Collator(0);
    const auto upper = CachedUpper(locale, collator, boundChars);
    const TSortKey plainKey(collator, plain);
    if (upper) {
        return BelowUpperOf(plainKey.Whole(), *upper) ? -1 : 1;
    }
    // Visiting the stems one by one can stop at the first one the string lies below.
    const bool below = VisitBoundStems(locale, collator, boundChars, [&](auto stem, auto) {
        return BelowUpperOf(plainKey.Whole(), stem);
    });
    return below ? -1 : 1;
}

int LocaleCompareBounds(const TTdbCollation::TLocale& locale, std::u16string_view a,
                        std::u16string_view b, TStrCmpOptions /*options*/) {
    const UCollator& collator = locale.Collator(0);
    THighestUpper highestA;
    THighestUpper highestB;
    // Both from the cache when they fit: it keeps more entries than two, so looking up
    // the second bound never evicts the first.
    auto upper = [&](std::u16string_view chars, THighestUpper& highest) {
        if (const auto cached = CachedUpper(locale, collator, chars)) {
            return *cached;
        }
        FindHighestUpper(locale, collator, chars, highest);
        return highest.Best();
    };
    const std::span<const std::uint8_t> upperA = upper(a, highestA);
    const std::span<const std::uint8_t> upperB = upper(b, highestB);
    return CompareUppers(upperA, upperB);
}

// The lower bound of P is the highest point below every string that begins with P, on
// primary sort keys, for the reasons the upper bound gives: a string that equals P but
// for accents or case («Öcs» for «Őcs» at secondary strength) may sort below P itself,
// yet it matches a pattern beginning with P. Every such string has a key that begins
// with one of P's stems, so the point just below the lowest stem serves.
namespace {

void FindLowestStem(const TTdbCollation::TLocale& locale, std::u16string_view boundChars,
                    TLowestStem& lowest) {
    VisitBoundStems(locale, locale.Collator(0), boundChars,
                    [&](std::span<const std::uint8_t> stem, std::u16string_view /*text*/) {
                        lowest.Offer(stem);
                        return false;
                    });
}

}  // namespace

int LocaleCompareToLower(const TTdbCollation::TLocale& locale, std::u16string_view plain,
                         std::u16string_view boundChars) {
    const UCollator& collator = locale.Collator(0);
    if (const auto lowest = CachedLowest(locale, collator, boundChars)) {
        return LocaleCompare(locale, plain, *lowest, 0) < 0 ? -1 : 1;
    }
    TLowestStem lowest;
    FindLowestStem(locale, boundChars, lowest);
    const TSortKey plainKey(locale.Collator(0), plain);
    // A key that begins with the stem, or is greater at the first difference, lies above.
    return CompareBytes(plainKey.Whole(), lowest.Best()) < 0 ? -1 : 1;
}

std::size_t LocaleStemsBelow(const TTdbCollation::TLocale& locale, std::u16string_view prefix,
                             std::vector<std::u16string>& texts) {
    const UCollator& collator = locale.Collator(0);
    const TSortKey own(collator, prefix);
    // Case variants of one contraction complete the prefix to one key: one text for each key,
    // as far as the keys met fit here; beyond that a key may come twice, which costs only time.
    constexpr std::size_t kKeptKeys = 16;
    constexpr std::size_t kKeptKeyBytes = 128;
    std::array<std::array<std::uint8_t, kKeptKeyBytes>, kKeptKeys> kept;
    std::array<std::size_t, kKeptKeys> keptSizes{};
    std::size_t keptCount = 0;
    std::size_t count = 0;
    VisitBoundStems(locale, collator, prefix,
                    [&](std::span<const std::uint8_t> stem, std::u16string_view text) {
                        if (CompareLowerStems(stem, own.Stem()) >= 0) {
                            return false;
                        }
                        for (std::size_t i = 0; i < keptCount; ++i) {
                            if (keptSizes[i] == stem.size() &&
                                std::equal(stem.begin(), stem.end(), kept[i].begin())) {
                                return false;
                            }
                        }
                        if (keptCount < kKeptKeys && stem.size() <= kKeptKeyBytes) {
                            std::copy(stem.begin(), stem.end(), kept[keptCount].begin());
                            keptSizes[keptCount++] = stem.size();
                        }
                        if (count < texts.size()) {
                            texts[count].assign(text);
                        } else {
                            texts.emplace_back(text);
                        }
                        ++count;
                        return false;
                    });
    return count;
}

int LocaleCompareLowers(const TTdbCollation::TLocale& locale, std::u16string_view a,
                        std::u16string_view b) {
    TLowestStem lowestA;
    TLowestStem lowestB;
    FindLowestStem(locale, a, lowestA);
    FindLowestStem(locale, b, lowestB);
    return CompareLowerStems(lowestA.Best(), lowestB.Best());
}

int LocaleCompareLowerToUpper(const TTdbCollation::TLocale& locale, std::u16string_view lowerChars,
                              std::u16string_view upperChars) {
    TLowestStem lowest;
    FindLowestStem(locale, lowerChars, lowest);
    THighestUpper highest;
    FindHighestUpper(locale, locale.Collator(0), upperChars, highest);
    // Keys beginning with either stem, when one stem begins the other, lie between
    // the two points.
    const int common = CompareBytes(lowest.Best(), highest.Best());
    return common != 0 ? common : -1;
}

// The leading part of the value that corresponds to the run has as many letters as
// the run (ligatures counting as their letters unless ligature-sensitive), together
// with the combining marks that follow its last letter; it must then equal the run
// ignoring accents. Cutting by characters keeps «Bonnya» beginning with «Bonn».
std::ptrdiff_t LocaleMatchRun(const TTdbCollation::TLocale& locale, std::u16string_view value,
                              std::u16string_view run, TStrCmpOptions options) {
    const bool ligatureSensitive = (options & scoLigatureSensitive) != 0;
    const std::size_t wanted = LetterCount(run, ligatureSensitive);
    std::size_t letters = 0;
    std::int32_t i = 0;
    const auto length = static_cast<std::int32_t>(value.size());
    while (i < length) {
        std::int32_t next = i;
        UChar32 c = 0;
        U16_NEXT(value.data(), next, length, c);
        const bool mark = IsCombiningMark(c);
        if (!mark && letters >= wanted) {
            break;
        }
        if (!mark) {
            letters += ligatureSensitive ? 1 : static_cast<std::size_t>(LigatureWidth(c));
        }
        i = next;
    }
    if (letters != wanted) {
        return -1;  // the value is too short, or a ligature straddles the end of the run
    }
    const std::u16string_view part = value.substr(0, static_cast<std::size_t>(i));
    return LocaleCompare(locale, part, run, options & scoCaseSensitive) == 0
               ? static_cast<std::ptrdiff_t>(part.size())
               : -1;
}

}  // namespace collation_detail

}  // namespace tdb
