// Collations of the table engine: name resolution and the shared registry, and the
// public operations that dispatch to the built-in collation or to ICU.
#include "types/collation.h"

#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "base/engine_error.h"
#include "platform/exception.h"
#include "types/collation_builtin.h"
#include "types/collation_locale.h"

namespace tdb {

using collation_detail::BuiltInCompare;
using collation_detail::BuiltInCompareBounds;
using collation_detail::BuiltInCompareLowers;
using collation_detail::BuiltInCompareToBound;
using collation_detail::BuiltInCompareToLower;
using collation_detail::BuiltInMatchRun;
using collation_detail::LocaleCompare;
using collation_detail::LocaleCompareBounds;
using collation_detail::LocaleCompareLowers;
using collation_detail::LocaleCompareLowerToUpper;
using collation_detail::LocaleCompareToBound;
using collation_detail::LocaleCompareToLower;
using collation_detail::LocaleMatchRun;

namespace {

constexpr std::u16string_view kBuiltInName = u"TableDB";

char16_t AsciiUpper(char16_t c) noexcept {
    return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c;
}

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) {
            return false;
        }
    }
    return true;
}

// Removes Suffix (ignoring case) from the end of Name and says whether it was there.
bool TakeSuffix(std::u16string_view& name, std::u16string_view suffix) noexcept {
    if (name.size() < suffix.size() ||
        !EqualsIgnoreCase(name.substr(name.size() - suffix.size()), suffix)) {
        return false;
    }
    name.remove_suffix(suffix.size());
    return true;
}

std::u16string FromChars(const UChar* chars, std::int32_t length) {
    return {reinterpret_cast<const char16_t*>(chars), static_cast<std::size_t>(length)};
}

std::string LocalePart(const char* locale,
                       std::int32_t (*part)(const char*, char*, std::int32_t, UErrorCode*)) {
    std::array<char, ULOC_FULLNAME_CAPACITY> buffer{};
    UErrorCode status = U_ZERO_ERROR;
    const std::int32_t length =
        part(locale, buffer.data(), static_cast<std::int32_t>(buffer.size()), &status);
    return U_FAILURE(status) ? std::string()
                             : std::string(buffer.data(), static_cast<std::size_t>(length));
}

std::u16string EnglishLanguageName(const char* locale) {
    std::array<UChar, 128> buffer{};
    UErrorCode status = U_ZERO_ERROR;
    const std::int32_t length = uloc_getDisplayLanguage(
        locale, "en", buffer.data(), static_cast<std::int32_t>(buffer.size()), &status);
    return U_FAILURE(status) ? std::u16string() : FromChars(buffer.data(), length);
}

// A locale a language name resolved to.
struct TResolvedLocale {
    std::string icuLocale;  // language and region, e.g. "hu_HU"
    std::uint32_t localeId = 0;
    std::string language;
    std::string script;
};

// The locale a user means by a language: its most likely region ("hu" → Hungary,
// "en" → United States). Without a Windows locale number for that, the lowest number
// among the language's regional locales.
std::optional<TResolvedLocale> ResolveLanguage(const std::string& language) {
    const std::string likely = LocalePart(language.c_str(), uloc_addLikelySubtags);
    TResolvedLocale resolved;
    resolved.language = LocalePart(likely.c_str(), uloc_getLanguage);
    resolved.script = LocalePart(likely.c_str(), uloc_getScript);
    const std::string country = LocalePart(likely.c_str(), uloc_getCountry);
    if (resolved.language.empty()) {
        resolved.language = language;
    }
    if (!country.empty()) {
        // The language-only number ("hu" is 0x000E) is no locale; a script in the
        // name hides the regional one, so it is left out.
        resolved.icuLocale = resolved.language + "_" + country;
        resolved.localeId = uloc_getLCID(resolved.icuLocale.c_str());
    }
    if (resolved.localeId == 0) {
        const std::int32_t count = uloc_countAvailable();
        for (std::int32_t i = 0; i < count; ++i) {
            const char* locale = uloc_getAvailable(i);
            if (LocalePart(locale, uloc_getLanguage) != resolved.language ||
                LocalePart(locale, uloc_getCountry).empty()) {
                continue;
            }
            const std::uint32_t id = uloc_getLCID(locale);
            if (id != 0 && (resolved.localeId == 0 || id < resolved.localeId)) {
                resolved.localeId = id;
                resolved.icuLocale = locale;
            }
        }
    }
    if (resolved.localeId == 0) {
        return std::nullopt;
    }
    return resolved;
}

}  // namespace

// The process-wide collations, created on first request and kept until the process
// ends, because types and indexes hold plain references to them.
class TCollationRegistry {
public:
    static TCollationRegistry& Instance() {
        // Deliberately never destroyed: objects destroyed at exit may still compare.
        static TCollationRegistry* const instance =
            std::make_unique<TCollationRegistry>().release();
        return *instance;
    }

    const TTdbCollation& Get(std::u16string_view name) {
        std::lock_guard lock(mutex_);
        if (const auto found = byName_.find(name); found != byName_.end()) {
            return *found->second;
        }
        TStrCmpOptions options = 0;
        const TTdbCollation::TLocale* locale = Resolve(name, options);
        auto collation = std::make_unique<TTdbCollation>(TTdbCollation::TKey{},
                                                         std::u16string(name), options, locale);
        const TTdbCollation& result = *collation;
        byName_.emplace(std::u16string(name), std::move(collation));
        return result;
    }

private:
    const TTdbCollation::TLocale* Resolve(std::u16string_view name, TStrCmpOptions& options) {
        if (name.empty() || name == kBuiltInName) {
            options = scoLigatureSensitive | scoAccentSensitive;
            return &BuiltInLocale();
        }
        std::u16string_view rest = name;
        options = scoAccentSensitive;
        if (TakeSuffix(rest, u"_AI")) {
            options = 0;
        } else {
            TakeSuffix(rest, u"_AS");
        }
        if (TakeSuffix(rest, u"_CS")) {
            options |= scoCaseSensitive;
        } else {
            TakeSuffix(rest, u"_CI");
        }
        if (EqualsIgnoreCase(rest, kBuiltInName)) {
            return &BuiltInLocale();
        }
        const TTdbCollation::TLocale* locale = LocaleForLanguage(rest);
        if (locale == nullptr) {
            RaiseEngineError(138, {name});
        }
        return locale;
    }

    const TTdbCollation::TLocale& BuiltInLocale() {
        if (!builtIn_) {
            builtIn_ = std::make_unique<TTdbCollation::TLocale>();
        }
        return *builtIn_;
    }

    const TTdbCollation::TLocale* LocaleForLanguage(std::u16string_view languageName) {
        if (languageName.empty()) {
            return nullptr;
        }
        LoadLanguages();
        std::optional<TResolvedLocale> best;
        std::u16string englishName;
        for (const auto& [english, code] : languages_) {
            if (u_strCaseCompare(reinterpret_cast<const UChar*>(english.data()),
                                 static_cast<std::int32_t>(english.size()),
                                 reinterpret_cast<const UChar*>(languageName.data()),
                                 static_cast<std::int32_t>(languageName.size()),
                                 U_FOLD_CASE_DEFAULT, &ignoredStatus_) != 0) {
                continue;
            }
            auto resolved = ResolveLanguage(code);
            if (resolved && (!best || resolved->localeId < best->localeId)) {
                best = std::move(resolved);
                englishName = english;
            }
        }
        if (!best) {
            return nullptr;
        }
        auto& locale = locales_[best->localeId];
        if (!locale) {
            locale = std::make_unique<TTdbCollation::TLocale>(
                best->icuLocale, best->localeId, englishName,
                DefaultAnsiCodePage(best->language, best->script));
        }
        return locale.get();
    }

    // The English name of every language ICU has a locale for, with its code.
    void LoadLanguages() {
        if (!languages_.empty()) {
            return;
        }
        std::map<std::string, std::u16string> byCode;
        const std::int32_t count = uloc_countAvailable();
        for (std::int32_t i = 0; i < count; ++i) {
            const char* locale = uloc_getAvailable(i);
            std::string code = LocalePart(locale, uloc_getLanguage);
            if (!code.empty() && !byCode.contains(code)) {
                byCode.emplace(code, EnglishLanguageName(code.c_str()));
            }
        }
        for (auto& [code, english] : byCode) {
            languages_.emplace_back(std::move(english), code);
        }
    }

    std::mutex mutex_;
    std::map<std::u16string, std::unique_ptr<TTdbCollation>, std::less<>> byName_;
    std::map<std::uint32_t, std::unique_ptr<TTdbCollation::TLocale>> locales_;
    std::unique_ptr<TTdbCollation::TLocale> builtIn_;
    std::vector<std::pair<std::u16string, std::string>> languages_;
    UErrorCode ignoredStatus_ = U_ZERO_ERROR;
};

namespace {

// A code page text widened on the stack; only long texts go to the heap.
class TWideBuffer {
public:
    TWideBuffer(const TCodePage& codePage, std::string_view ansi) {
        std::size_t length = codePage.WidenInto(ansi, stack_);
        if (length == TCodePage::kTooSmall) {
            heap_ = codePage.ToWide(ansi);
            text_ = heap_;
        } else {
            text_ = std::u16string_view(stack_.data(), length);
        }
    }
    std::u16string_view Text() const noexcept { return text_; }

private:
    std::array<char16_t, 512> stack_;
    std::u16string heap_;
    std::u16string_view text_;
};

// A string ending in one NUL is an upper prefix bound, one ending in two NULs a lower
// prefix bound (the characters before the NULs are the prefix).
enum class TPointKind { Plain, Lower, Upper };

template <typename CharT>
TPointKind KindOf(std::basic_string_view<CharT> text) noexcept {
    if (text.empty() || text.back() != CharT(0)) {
        return TPointKind::Plain;
    }
    return text.size() >= 2 && text[text.size() - 2] == CharT(0) ? TPointKind::Lower
                                                                 : TPointKind::Upper;
}

template <typename CharT>
std::basic_string_view<CharT> PrefixChars(std::basic_string_view<CharT> text,
                                          TPointKind kind) noexcept {
    switch (kind) {
        case TPointKind::Lower:
            return text.substr(0, text.size() - 2);
        case TPointKind::Upper:
            return text.substr(0, text.size() - 1);
        default:
            return text;
    }
}

// What one collation does for each pair of kinds; every operation takes the prefix
// characters (without NULs) and answers for its first argument against its second.
template <typename Ops, typename CharT>
int CompareWithBounds(std::basic_string_view<CharT> a, std::basic_string_view<CharT> b,
                      const Ops& ops) {
    const TPointKind kindA = KindOf(a);
    const TPointKind kindB = KindOf(b);
    const auto x = PrefixChars(a, kindA);
    const auto y = PrefixChars(b, kindB);
    using enum TPointKind;
    if (kindA == Plain && kindB == Plain) {
        return ops.Plain(x, y);
    }
    if (kindA == Upper && kindB == Upper) {
        return ops.Uppers(x, y);
    }
    if (kindA == Lower && kindB == Lower) {
        return ops.Lowers(x, y);
    }
    if (kindB == Upper) {
        return kindA == Plain ? ops.PlainToUpper(x, y) : ops.LowerToUpper(x, y);
    }
    if (kindA == Upper) {
        return kindB == Plain ? -ops.PlainToUpper(y, x) : -ops.LowerToUpper(y, x);
    }
    // One lower bound and one plain string.
    return kindB == Lower ? ops.PlainToLower(x, y) : -ops.PlainToLower(y, x);
}

struct TBuiltInOps {
    TStrCmpOptions options;
    template <typename S>
    int Plain(S a, S b) const noexcept {
        return BuiltInCompare(a, b, options);
    }
    template <typename S>
    int PlainToUpper(S plain, S bound) const noexcept {
        return BuiltInCompareToBound(plain, bound, options);
    }
    template <typename S>
    int Uppers(S a, S b) const noexcept {
        return BuiltInCompareBounds(a, b, options);
    }
    template <typename S>
    int PlainToLower(S plain, S bound) const noexcept {
        return BuiltInCompareToLower(plain, bound, options);
    }
    template <typename S>
    int Lowers(S a, S b) const noexcept {
        return BuiltInCompareLowers(a, b, options);
    }
    // The lower point of A lies below the upper point of B exactly when A's
    // characters do, read as a plain string.
    template <typename S>
    int LowerToUpper(S a, S b) const noexcept {
        return BuiltInCompareToBound(a, b, options);
    }
};

struct TLocaleOps {
    const TTdbCollation::TLocale& locale;
    TStrCmpOptions options;
    int Plain(std::u16string_view a, std::u16string_view b) const {
        return LocaleCompare(locale, a, b, options);
    }
    int PlainToUpper(std::u16string_view plain, std::u16string_view bound) const {
        return LocaleCompareToBound(locale, plain, bound, options);
    }
    int Uppers(std::u16string_view a, std::u16string_view b) const {
        return LocaleCompareBounds(locale, a, b, options);
    }
    int PlainToLower(std::u16string_view plain, std::u16string_view bound) const {
        return LocaleCompareToLower(locale, plain, bound);
    }
    int Lowers(std::u16string_view a, std::u16string_view b) const {
        return LocaleCompareLowers(locale, a, b);
    }
    int LowerToUpper(std::u16string_view a, std::u16string_view b) const {
        return LocaleCompareLowerToUpper(locale, a, b);
    }
};

std::size_t CharLength(std::u16string_view text, std::size_t pos) noexcept {
    return pos + 1 < text.size() && (text[pos] & 0xFC00) == 0xD800 &&
                   (text[pos + 1] & 0xFC00) == 0xDC00
               ? 2
               : 1;
}

std::size_t CharLength(std::string_view /*text*/, std::size_t /*pos*/) noexcept {
    return 1;
}

// Wildcard matching from the start of both texts. MatchRun tells how many value
// characters a literal run covers (or -1). Backtracks only to the last multi joker,
// which gives the same answers as trying every position after each joker but in
// O(value × pattern) time.
template <typename CharT, typename MatchRun>
bool MatchPattern(std::basic_string_view<CharT> value, std::basic_string_view<CharT> pattern,
                  CharT multiJoker, CharT singleJoker, CharT escape, MatchRun&& matchRun) {
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    const auto isEscape = [escape](CharT c) { return escape != CharT(0) && c == escape; };
    std::size_t v = 0;
    std::size_t p = 0;
    std::size_t starP = kNone;
    std::size_t starV = 0;
    for (;;) {
        if (p < pattern.size() && pattern[p] == multiJoker) {
            while (p < pattern.size() && pattern[p] == multiJoker) {
                ++p;
            }
            if (p == pattern.size()) {
                return true;
            }
            starP = p;
            starV = v;
            continue;
        }
        bool advanced = false;
        if (p == pattern.size()) {
            if (v == value.size()) {
                return true;
            }
        } else if (pattern[p] == singleJoker) {
            if (v < value.size()) {
                v += CharLength(value, v);
                ++p;
                advanced = true;
            }
        } else if (v < value.size()) {
            std::size_t runStart = p;
            std::size_t runEnd = p + 1;
            // An escape takes the next character literally; one that ends the pattern
            // has nothing to escape and stands for itself.
            if (isEscape(pattern[p]) && p + 1 < pattern.size()) {
                runStart = p + 1;
                runEnd = p + 2;
            }
            while (runEnd < pattern.size() && pattern[runEnd] != multiJoker &&
                   pattern[runEnd] != singleJoker && !isEscape(pattern[runEnd])) {
                ++runEnd;
            }
            const std::ptrdiff_t consumed =
                matchRun(value.substr(v), pattern.substr(runStart, runEnd - runStart));
            if (consumed >= 0) {
                v += static_cast<std::size_t>(consumed);
                p = runEnd;
                advanced = true;
            }
        }
        if (advanced) {
            continue;
        }
        // The last multi joker takes one more character, up to the whole rest.
        if (starP == kNone || starV >= value.size()) {
            return false;
        }
        starV += CharLength(value, starV);
        v = starV;
        p = starP;
    }
}

std::u16string MapCase(std::u16string_view text, const std::string& locale, bool upper) {
    using TMapper = std::int32_t (*)(UChar*, std::int32_t, const UChar*, std::int32_t, const char*,
                                     UErrorCode*);
    const TMapper mapper = upper ? u_strToUpper : u_strToLower;
    const auto* source = reinterpret_cast<const UChar*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    // Full case mapping may lengthen the text ("ß" → "SS").
    std::u16string result(text.size() + 8, u'\0');
    UErrorCode status = U_ZERO_ERROR;
    std::int32_t needed =
        mapper(reinterpret_cast<UChar*>(result.data()), static_cast<std::int32_t>(result.size()),
               source, length, locale.c_str(), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        result.assign(static_cast<std::size_t>(needed), u'\0');
        status = U_ZERO_ERROR;
        needed = mapper(reinterpret_cast<UChar*>(result.data()), needed, source, length,
                        locale.c_str(), &status);
    }
    if (U_FAILURE(status)) {
        throw Exception(std::string("Case mapping failed: ") + u_errorName(status));
    }
    result.resize(static_cast<std::size_t>(needed));
    return result;
}

}  // namespace

TTdbCollation::TTdbCollation(TKey, std::u16string name, TStrCmpOptions options,
                             const TLocale* locale)
    : name_(std::move(name)), options_(options), locale_(locale) {}

const TTdbCollation& TTdbCollation::Get(std::u16string_view name) {
    return TCollationRegistry::Instance().Get(name);
}

const TTdbCollation& TTdbCollation::BuiltIn() {
    static const TTdbCollation& builtIn = Get(u"");
    return builtIn;
}

const std::u16string& TTdbCollation::Name() const noexcept {
    return name_;
}
std::uint32_t TTdbCollation::LocaleId() const noexcept {
    return locale_->localeId;
}
TStrCmpOptions TTdbCollation::Options() const noexcept {
    return options_;
}
bool TTdbCollation::IsBuiltIn() const noexcept {
    return locale_->IsBuiltIn();
}
std::uint16_t TTdbCollation::AnsiCodePage() const noexcept {
    return locale_->codePage.Number();
}

std::u16string TTdbCollation::LanguageName() const {
    return locale_->IsBuiltIn() ? std::u16string(kBuiltInName) : locale_->language;
}

int TTdbCollation::Compare(std::u16string_view a, std::u16string_view b,
                           TStrCmpOptions options) const {
    if (locale_->IsBuiltIn()) {
        return CompareWithBounds(a, b, TBuiltInOps{options});
    }
    locale_->CheckSupported();
    return CompareWithBounds(a, b, TLocaleOps{*locale_, options});
}

bool TTdbCollation::StemsBelow(std::u16string_view prefix, std::vector<std::u16string>& texts,
                               std::size_t& count) const {
    if (locale_->IsBuiltIn()) {
        return false;
    }
    locale_->CheckSupported();
    count = collation_detail::LocaleStemsBelow(*locale_, prefix, texts);
    return true;
}

int TTdbCollation::Compare(std::string_view a, std::string_view b, TStrCmpOptions options) const {
    if (locale_->IsBuiltIn()) {
        return CompareWithBounds(a, b, TBuiltInOps{options});
    }
    const TWideBuffer wideA(locale_->codePage, a);
    const TWideBuffer wideB(locale_->codePage, b);
    return Compare(wideA.Text(), wideB.Text(), options);
}

bool TTdbCollation::Matches(std::u16string_view value, std::u16string_view pattern,
                            char16_t multiJoker, char16_t singleJoker, char16_t escape,
                            TStrCmpOptions options) const {
    if (locale_->IsBuiltIn()) {
        return MatchPattern(
            value, pattern, multiJoker, singleJoker, escape,
            [options](auto v, auto run) { return BuiltInMatchRun(v, run, options); });
    }
    locale_->CheckSupported();
    const TLocale& locale = *locale_;
    return MatchPattern(value, pattern, multiJoker, singleJoker, escape,
                        [&](auto v, auto run) { return LocaleMatchRun(locale, v, run, options); });
}

bool TTdbCollation::Matches(std::string_view value, std::string_view pattern, char multiJoker,
                            char singleJoker, char escape, TStrCmpOptions options) const {
    if (locale_->IsBuiltIn()) {
        return MatchPattern(
            value, pattern, multiJoker, singleJoker, escape,
            [options](auto v, auto run) { return BuiltInMatchRun(v, run, options); });
    }
    const TWideBuffer wideValue(locale_->codePage, value);
    const TWideBuffer widePattern(locale_->codePage, pattern);
    const std::array<char, 3> jokers = {multiJoker, singleJoker, escape};
    const TWideBuffer wideJokers(locale_->codePage, std::string_view(jokers.data(), jokers.size()));
    const std::u16string_view j = wideJokers.Text();
    if (j.size() != 3) {
        // A joker that is half of a double-byte character cannot be a joker.
        throw Exception("Wildcard characters must be single characters of the code page.");
    }
    return Matches(wideValue.Text(), widePattern.Text(), j[0], j[1], escape == 0 ? u'\0' : j[2],
                   options);
}

std::u16string TTdbCollation::ToWide(std::string_view ansi) const {
    return locale_->codePage.ToWide(ansi);
}
std::string TTdbCollation::ToAnsi(std::u16string_view wide) const {
    return locale_->codePage.ToAnsi(wide);
}

std::u16string TTdbCollation::ToUpper(std::u16string_view text) const {
    return MapCase(text, locale_->icuLocale, true);
}
std::u16string TTdbCollation::ToLower(std::u16string_view text) const {
    return MapCase(text, locale_->icuLocale, false);
}
std::string TTdbCollation::ToUpper(std::string_view ansi) const {
    return ToAnsi(ToUpper(ToWide(ansi)));
}
std::string TTdbCollation::ToLower(std::string_view ansi) const {
    return ToAnsi(ToLower(ToWide(ansi)));
}

int CompareNames(std::u16string_view a, std::u16string_view b) {
    return TTdbCollation::BuiltIn().Compare(a, b, 0);
}

}  // namespace tdb
