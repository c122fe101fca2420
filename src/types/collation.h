// Collations of the table engine: how strings compare, match wildcards and
// change case, for the built-in collation and for locale collations.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tdb {

using TStrCmpOptions = std::uint8_t;  // bit set
inline constexpr TStrCmpOptions scoCaseSensitive = 1;
inline constexpr TStrCmpOptions scoLigatureSensitive = 2;
inline constexpr TStrCmpOptions scoAccentSensitive = 4;
inline constexpr std::uint32_t kBuiltInLocaleId = 0x200;

// A resolved collation: shared, immutable, never freed; safe to use from any thread.
class TTdbCollation {
public:
    // The collation for a name, resolved once and cached by the exact name (own lock).
    // "" and "TableDB" are the built-in collation; _CS/_CI/_AS/_AI suffixes select the
    // options. Raises ETdbEngine 138 for a name that resolves to no locale.
    static const TTdbCollation& Get(std::u16string_view name);
    static const TTdbCollation& BuiltIn();  // Get(u"")

    const std::u16string& Name() const noexcept;
    std::uint32_t LocaleId() const noexcept;  // Windows-style locale number, 0x200 built-in
    TStrCmpOptions Options() const noexcept;  // parsed from the name
    bool IsBuiltIn() const noexcept;
    std::uint16_t AnsiCodePage() const noexcept;  // 1252 built-in; the locale's ANSI code page
    std::u16string LanguageName() const;          // English language name ("Hungarian")

    // Three-way comparison, result < 0, == 0, > 0, under this collation with exactly the
    // options given (callers pass Options() | extra). A string whose last character is NUL
    // is a prefix bound. No heap allocation for strings up to a few hundred characters.
    int Compare(std::u16string_view a, std::u16string_view b, TStrCmpOptions options) const;
    // ANSI strings in AnsiCodePage().
    int Compare(std::string_view a, std::string_view b, TStrCmpOptions options) const;

    // The texts that a string beginning with Prefix may sort as, at primary strength, below
    // Prefix itself: Prefix with a tail completed by a contraction that its own characters
    // would break («Ác» + «SSZ» sorts as c, sz, sz, below «Ácss» = cs, s). A string that
    // begins with Prefix and sorts below it has a primary key that begins with the key of one
    // of them. False for the built-in collation, which orders accents before it reaches the
    // end of a prefix; Texts is then undefined.
    // The first Count strings of Texts are set; the vector only grows, so that a caller that
    // keeps it allocates nothing once it is warm.
    bool StemsBelow(std::u16string_view prefix, std::vector<std::u16string>& texts,
                    std::size_t& count) const;

    // Wildcard match from the start of both; escape 0 means "no escape character".
    bool Matches(std::u16string_view value, std::u16string_view pattern, char16_t multiJoker,
                 char16_t singleJoker, char16_t escape, TStrCmpOptions options) const;
    bool Matches(std::string_view value, std::string_view pattern, char multiJoker,
                 char singleJoker, char escape, TStrCmpOptions options) const;

    // ANSI <-> UTF-16 through AnsiCodePage(); characters the code page lacks become the
    // code page's substitution character.
    std::u16string ToWide(std::string_view ansi) const;
    std::string ToAnsi(std::u16string_view wide) const;

    // Case mapping through the collation's locale (the built-in collation uses the root rules).
    std::u16string ToUpper(std::u16string_view text) const;
    std::u16string ToLower(std::u16string_view text) const;
    std::string ToUpper(std::string_view ansi) const;
    std::string ToLower(std::string_view ansi) const;

    TTdbCollation(const TTdbCollation&) = delete;
    TTdbCollation& operator=(const TTdbCollation&) = delete;

    // What one locale shares among all its collations: ICU collators per option set, the
    // code page converter name, the case-mapping locale. Defined in collation.cpp.
    struct TLocale;
    // Only the registry constructs collations; the key keeps the constructor out of reach.
    class TKey {
        friend class TCollationRegistry;
        TKey() = default;
    };
    TTdbCollation(TKey, std::u16string name, TStrCmpOptions options, const TLocale* locale);

private:
    std::u16string name_;
    TStrCmpOptions options_;
    const TLocale* locale_;  // owned by the registry, never freed
};

// Names of columns and definitions: the built-in collation with no options (case- and
// accent-insensitive, ligatures folded).
int CompareNames(std::u16string_view a, std::u16string_view b);

}  // namespace tdb
