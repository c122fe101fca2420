// Tests of collations: name resolution, the built-in collation, Hungarian through
// ICU, prefix bounds, wildcard matching, case mapping and code pages.
#include "types/collation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/engine_error.h"
#include "platform/text.h"
#include "settlement_names.h"
#include "types/collation_bounds.h"

namespace tdb {
namespace {

constexpr TStrCmpOptions kCS = scoCaseSensitive;
constexpr TStrCmpOptions kLS = scoLigatureSensitive;
constexpr TStrCmpOptions kAS = scoAccentSensitive;

std::u16string W(std::string_view utf8) {
    return FromUtf8(utf8);
}
std::u16string Bound(std::u16string_view chars) {
    return std::u16string(chars) + u'\0';
}
std::u16string LowerBound(std::u16string_view chars) {
    return std::u16string(chars) + u'\0' + u'\0';
}
int Sign(int v) {
    return (v > 0) - (v < 0);
}

const TTdbCollation& Hungarian() {
    return TTdbCollation::Get(u"Hungarian");
}

// ---------------------------------------------------------------- names

TEST(CollationNames, ResolveLocaleAndOptions) {
    struct Case {
        const char16_t* name;
        bool builtIn;
        TStrCmpOptions options;
        std::uint32_t localeId;
        std::uint16_t codePage;
    };
    const Case cases[] = {
        {u"", true, kLS | kAS, 0x200, 1252},
        {u"TableDB", true, kLS | kAS, 0x200, 1252},
        {u"TableDB_CS", true, kCS | kAS, 0x200, 1252},
        {u"tabledb_ci_ai", true, 0, 0x200, 1252},
        {u"Hungarian", false, kAS, 0x040E, 1250},
        {u"hungarian", false, kAS, 0x040E, 1250},
        {u"Hungarian_CS_AI", false, kCS, 0x040E, 1250},
        {u"HUNGARIAN_cs_as", false, kCS | kAS, 0x040E, 1250},
        {u"Hungarian_AI", false, 0, 0x040E, 1250},
        {u"English", false, kAS, 0x0409, 1252},
        {u"German_CI", false, kAS, 0x0407, 1252},
        {u"Russian", false, kAS, 0x0419, 1251},
        {u"Turkish", false, kAS, 0x041F, 1254},
        {u"Greek", false, kAS, 0x0408, 1253},
        {u"Japanese", false, kAS, 0x0411, 932},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToUtf8(c.name));
        const TTdbCollation& collation = TTdbCollation::Get(c.name);
        EXPECT_EQ(collation.Name(), c.name);
        EXPECT_EQ(collation.IsBuiltIn(), c.builtIn);
        EXPECT_EQ(collation.Options(), c.options);
        EXPECT_EQ(collation.LocaleId(), c.localeId);
        EXPECT_EQ(collation.AnsiCodePage(), c.codePage);
    }
    EXPECT_EQ(Hungarian().LanguageName(), u"Hungarian");
    EXPECT_EQ(&TTdbCollation::Get(u"Hungarian"), &TTdbCollation::Get(u"Hungarian"));
    EXPECT_EQ(&TTdbCollation::BuiltIn(), &TTdbCollation::Get(u""));
}

TEST(CollationNames, UnknownNamesRaise138) {
    // The suffixes come off in a fixed order, so "_AI_CS" leaves "Hungarian_AI" behind.
    for (const char16_t* name :
         {u"Klingon", u"Hungarian_AI_CS", u"_CS", u"Hungarian ", u"TableDBX"}) {
        SCOPED_TRACE(ToUtf8(name));
        try {
            TTdbCollation::Get(name);
            ADD_FAILURE() << "resolved";
        } catch (const ETdbEngine& e) {
            EXPECT_EQ(e.Code(), 138);
            EXPECT_EQ(e.Message(), u"Collation \"" + std::u16string(name) + u"\" does not exist");
        }
    }
}

// ---------------------------------------------------------------- built-in collation

struct CompareCase {
    const char* a;  // UTF-8 here, converted to cp1252 or UTF-16 for the test
    const char* b;
    TStrCmpOptions options;
    int expected;
};

const CompareCase kBuiltInCases[] = {
    {"abc", "ABC", kLS | kAS, 0},
    {"abc", "ABC", kCS, 1},
    {"Eva", "Éva", kLS | kAS, -1},
    {"Éva", "Evb", kLS | kAS, -1},  // the accent only breaks ties
    {"Éva", "Evá", kLS | kAS, 1},   // the earlier accent is the greater
    {"Éva", "Éva", kLS | kAS, 0},
    {"Évá", "Éva", kLS | kAS, 1},  // equal first accents decide nothing
    {"Éva", "Eva", 0, 0},
    {"a^b", "a b", kLS | kAS, 0},
    {"straße", "strasse", kLS | kAS, -1},  // "ß" read as one "s"
    {"straße", "strase", kLS | kAS, 1},
    {"straße", "strasse", kAS, 0},  // "ß" read as "ss"
    {"straße", "STRASSE", 0, 0},
    {"ab", "abc", kLS | kAS, -1},
    {"", "a", kLS | kAS, -1},
    {"a\x7f", "az", kLS | kAS, 1},  // DEL sorts above everything
    {"ÿ", "y", kLS | kAS, 1},
    {"ÿ", "y", kLS, 0},
    {"[", "a", kLS | kAS, 1},  // "a" folds to "A", which is below "["
    {"[", "a", kCS, -1},
    {"ő", "o", kLS | kAS, 1},  // no cp1252 character: compared by code
};

std::string ToCp1252(std::string_view utf8) {
    return TTdbCollation::BuiltIn().ToAnsi(FromUtf8(utf8));
}

TEST(CollationBuiltIn, ExactCasesAnsiAndWide) {
    const TTdbCollation& builtIn = TTdbCollation::BuiltIn();
    for (const CompareCase& c : kBuiltInCases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b + " options " + std::to_string(c.options));
        const std::u16string a = W(c.a);
        const std::u16string b = W(c.b);
        if (a.find(u'ő') == std::u16string::npos) {
            EXPECT_EQ(Sign(builtIn.Compare(ToCp1252(c.a), ToCp1252(c.b), c.options)), c.expected);
            EXPECT_EQ(Sign(builtIn.Compare(ToCp1252(c.b), ToCp1252(c.a), c.options)), -c.expected);
        }
        EXPECT_EQ(Sign(builtIn.Compare(a, b, c.options)), c.expected);
        EXPECT_EQ(Sign(builtIn.Compare(b, a, c.options)), -c.expected);
    }
}

TEST(CollationBuiltIn, WideCharactersAboveLatin1CompareByCodeUnit) {
    const TTdbCollation& builtIn = TTdbCollation::BuiltIn();
    EXPECT_LT(builtIn.Compare(u"\u0150", u"\u0151", kLS | kAS), 0);    // Ő, ő: not folded
    EXPECT_GT(builtIn.Compare(u"a\u007f", u"a\u4e2d", kLS | kAS), 0);  // DEL is 0xFFFF
    EXPECT_EQ(CompareNames(u"TELEP", u"telep"), 0);
    EXPECT_EQ(CompareNames(u"Straße", u"STRASSE"), 0);
    EXPECT_LT(CompareNames(u"IRSZ", u"TELEP"), 0);
}

TEST(CollationBuiltIn, PrefixBounds) {
    const TTdbCollation& builtIn = TTdbCollation::BuiltIn();
    const TStrCmpOptions o = builtIn.Options();
    const std::u16string buda = Bound(u"Buda");
    EXPECT_GT(builtIn.Compare(buda, u"Budapest", o), 0);
    EXPECT_GT(builtIn.Compare(buda, u"Buda", o), 0);
    EXPECT_GT(builtIn.Compare(buda, u"BUDAÖRS", o), 0);
    EXPECT_GT(builtIn.Compare(buda, u"Búda", o), 0);  // accents off for bounds
    EXPECT_LT(builtIn.Compare(buda, u"Budb", o), 0);
    EXPECT_GT(builtIn.Compare(buda, u"Bud", o), 0);
    EXPECT_LT(builtIn.Compare(u"Bud", buda, o), 0);
    EXPECT_LT(builtIn.Compare(buda, u"Budb", kCS), 0);
    EXPECT_GT(builtIn.Compare(buda, u"BudA", kCS), 0);  // "A" < "a": below
    EXPECT_GT(builtIn.Compare(buda, u"Budaa", kCS), 0);
    // The bound of the empty string is above everything.
    EXPECT_GT(builtIn.Compare(Bound(u""), u"\u007f\u007f", o), 0);
    // Two bounds by the points they stand for: the shorter prefix covers the longer.
    EXPECT_GT(builtIn.Compare(Bound(u"ab"), Bound(u"abc"), o), 0);
    EXPECT_EQ(builtIn.Compare(Bound(u"ab"), Bound(u"ÁB"), o), 0);
    EXPECT_LT(builtIn.Compare(Bound(u"ab"), Bound(u"b"), o), 0);
    // ANSI bounds alike.
    EXPECT_GT(builtIn.Compare(std::string("Buda\0", 5), std::string("budapest"), o), 0);
    EXPECT_LT(builtIn.Compare(std::string("Buda\0", 5), std::string("Budb"), o), 0);
    // Ligatures as the plain order reads them: "ß" is one "s" here, "ss" without it.
    EXPECT_GT(builtIn.Compare(Bound(u"stras"), u"straße", o), 0);
    EXPECT_LT(builtIn.Compare(Bound(u"strass"), u"straßz", o), 0);
    EXPECT_GT(builtIn.Compare(Bound(u"strass"), u"straßz", 0), 0);
}

// ---------------------------------------------------------------- matching

TEST(CollationMatches, Cases) {
    struct Case {
        const char* value;
        const char* pattern;
        const char* collation;  // as UTF-8
        TStrCmpOptions extra;
        bool expected;
    };
    const Case cases[] = {
        {"Budapest", "Buda*", "", 0, true},
        {"Budapest", "buda?est", "", 0, true},
        {"Budapest", "Buda", "", 0, false},
        {"Óbuda", "Buda*", "", 0, false},
        {"Óbuda", "*buda", "", 0, true},
        {"Budapest", "Buda*", "", kCS, true},
        {"budapest", "Buda*", "", kCS, false},
        {"Éva", "eva", "", 0, true},  // accents off in literal runs
        {"", "", "", 0, true},
        {"a", "", "", 0, false},
        {"", "*", "", 0, true},
        {"", "?", "", 0, false},
        {"a", "a**", "", 0, true},
        {"ab", "a*?", "", 0, true},
        {"a", "a*?", "", 0, false},
        {"50%", "50\\%", "", 0, true},
        {"500", "50\\%", "", 0, false},
        {"a*b", "a\\*b", "", 0, true},
        {"axb", "a\\*b", "", 0, false},
        {"a\\", "a\\", "", 0, true},                   // a trailing escape stands for itself
        {"strasse", "straß*", "TableDB_AS", 0, true},  // "ß" consumes "ss"
        {"straße", "strasse", "TableDB_AS", 0, true},
        {"straße", "stras", "TableDB_AS", 0, false},  // half a "ß" is not matched
        {"straße", "strase", "", 0, true},            // ligature-sensitive: one "s"
        {"Bonnya", "Bonn*", "Hungarian", 0, true},
        {"Bonnya", "Bon?ya", "Hungarian", 0, true},
        {"Bonyhád", "Bonn*", "Hungarian", 0, false},
        {"Bonnya", "Bony*", "Hungarian", 0, false},
        {"Pusztaszer", "pusztas*", "Hungarian", 0, true},
        {"Őcsény", "öcs*", "Hungarian", 0, true},
        {"Őcsény", "Ocs*", "Hungarian", 0, false},  // ö is its own letter
        {"Őcsény", "öcs*", "Hungarian_CS", 0, false},
        {"Őcsény", "Öcs*", "Hungarian_CS", 0, true},
        {"Straße", "strasse", "German", 0, true},
        {"Straße", "stras", "German", 0, false},
        {"Szeged", "*e?ed", "Hungarian", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.value) + " LIKE " + c.pattern + " in '" + c.collation + "'");
        const TTdbCollation& collation = TTdbCollation::Get(W(c.collation));
        const TStrCmpOptions options = collation.Options() | c.extra;
        EXPECT_EQ(collation.Matches(W(c.value), W(c.pattern), u'*', u'?', u'\\', options),
                  c.expected);
        const std::string value = collation.ToAnsi(W(c.value));
        const std::string pattern = collation.ToAnsi(W(c.pattern));
        EXPECT_EQ(collation.Matches(value, pattern, '*', '?', '\\', options), c.expected);
    }
    // Without an escape character the backslash is an ordinary character.
    EXPECT_TRUE(TTdbCollation::BuiltIn().Matches(u"a\\b", u"a\\?", u'*', u'?', u'\0', 0));
    EXPECT_FALSE(TTdbCollation::BuiltIn().Matches(u"a%", u"a\\%", u'%', u'_', u'\0', 0));
}

// ---------------------------------------------------------------- Hungarian

TEST(CollationHungarian, LetterOrder) {
    const TTdbCollation& hu = Hungarian();
    const TStrCmpOptions o = hu.Options();
    const char* ascending[][2] = {
        {"cukor", "csak"},       {"zug", "zsák"},
        {"gzz", "gyár"},         {"Gzz", "Gy"},
        {"Aszaló", "Asszonyfa"}, {"Nagy", "Naggyal"},
        {"Gy", "Gyula"},         {"S", "Sz"},
        {"Sütő", "Sz"},          {"Pusztas", "Pusztaszer"},
        {"Bonn", "Bonyhád"},     {"Bonyhád", "Bonnya"},
        {"Öcs", "Őcsény"},       {"Őcsény", "Öcsöd"},
        {"Ozora", "Öcs"},        {"Eva", "Éva"},
    };
    for (const auto& pair : ascending) {
        SCOPED_TRACE(std::string(pair[0]) + " < " + pair[1]);
        EXPECT_LT(hu.Compare(W(pair[0]), W(pair[1]), o), 0);
        EXPECT_GT(hu.Compare(W(pair[1]), W(pair[0]), o), 0);
    }
    EXPECT_EQ(hu.Compare(u"abc", u"ABC", o), 0);
    EXPECT_LT(hu.Compare(u"abc", u"ABC", o | kCS), 0);
    EXPECT_EQ(hu.Compare(u"Ör", u"Őr", 0), 0);
    EXPECT_EQ(hu.Compare(u"Ör", u"Őr", kCS), 0);
    // ANSI operands are widened through windows-1250.
    EXPECT_LT(hu.Compare(hu.ToAnsi(u"Öcs"), hu.ToAnsi(u"Őcsény"), o), 0);
    EXPECT_GT(hu.Compare(hu.ToAnsi(u"Őr"), hu.ToAnsi(u"Ör"), o), 0);
}

TEST(CollationHungarian, PrefixBoundsAcrossContractions) {
    const TTdbCollation& hu = Hungarian();
    const TStrCmpOptions o = hu.Options();
    // «Bonnya» begins with «Bonn» although it sorts after «Bonyhád»: the bound of «Bonn»
    // must lie above it, and so above «Bonyhád» as well.
    EXPECT_LT(hu.Compare(u"Bonnya", Bound(u"Bonn"), o), 0);
    EXPECT_LT(hu.Compare(u"Bonyhád", Bound(u"Bonn"), o), 0);
    // Everything between «Bonn» and the last «Bonny…» lies inside: «Bono» = B-o-n-o
    // sorts below «Bonnya» = B-o-ny-ny-a.
    EXPECT_LT(hu.Compare(u"Bono", Bound(u"Bonn"), o), 0);
    EXPECT_GT(hu.Compare(u"Bop", Bound(u"Bonn"), o), 0);
    EXPECT_LT(hu.Compare(u"Bonyhádz", Bound(u"Bony"), o), 0);
    EXPECT_GT(hu.Compare(u"Boo", Bound(u"Bony"), o), 0);
    EXPECT_LT(hu.Compare(u"Pusztaszer", Bound(u"Pusztas"), o), 0);
    EXPECT_LT(hu.Compare(u"Hosszúhetény", Bound(u"Hosz"), o), 0);
    EXPECT_LT(hu.Compare(u"Hosszúhetény", Bound(u"Hosszú"), o), 0);
    EXPECT_GT(hu.Compare(u"Hoszt", Bound(u"Hossz"), o), 0);
    EXPECT_GT(hu.Compare(Bound(u"Buda"), u"Budapest", o), 0);
    EXPECT_LT(hu.Compare(Bound(u"Buda"), u"Budb", o), 0);
    EXPECT_GT(hu.Compare(Bound(u""), u"Zsámbék", o), 0);
    // Bounds among themselves by their points.
    // «Bonn» reaches exactly as far as «Bonny» (everything «Bonny…» begins with «Bonn»).
    EXPECT_EQ(hu.Compare(Bound(u"Bonn"), Bound(u"Bonny"), o), 0);
    EXPECT_GT(hu.Compare(Bound(u"Bonn"), Bound(u"Bono"), o), 0);  // «Bonnya» is above «Bono…»
    EXPECT_LT(hu.Compare(Bound(u"Bonn"), Bound(u"Boo"), o), 0);
    EXPECT_GT(hu.Compare(Bound(u"Bon"), Bound(u"Bonn"), o), 0);
    EXPECT_EQ(hu.Compare(Bound(u"buda"), Bound(u"BÚDA"), o), 0);
}

// ---------------------------------------------------------------- properties

// Checks that Compare is a strict weak order on Items (antisymmetric, transitive,
// with transitive equality).
void ExpectStrictWeakOrder(const TTdbCollation& collation, const std::vector<std::u16string>& items,
                           TStrCmpOptions options) {
    const std::size_t n = items.size();
    std::vector<int> cmp(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            cmp[i * n + j] = Sign(collation.Compare(items[i], items[j], options));
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(cmp[i * n + i], 0) << ToUtf8(items[i]);
        for (std::size_t j = 0; j < n; ++j) {
            ASSERT_EQ(cmp[i * n + j], -cmp[j * n + i])
                << ToUtf8(items[i]) << " / " << ToUtf8(items[j]);
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            if (cmp[i * n + j] > 0) {
                continue;
            }
            for (std::size_t k = 0; k < n; ++k) {
                if (cmp[j * n + k] > 0) {
                    continue;
                }
                // i <= j <= k gives i <= k, and i < k unless both steps are equal.
                const int expected = cmp[i * n + j] == 0 && cmp[j * n + k] == 0 ? 0 : -1;
                ASSERT_EQ(cmp[i * n + k], expected)
                    << "options " << int(options) << ": " << ToUtf8(items[i]) << " / "
                    << ToUtf8(items[j]) << " / " << ToUtf8(items[k]);
            }
        }
    }
}

std::vector<std::u16string> RandomStrings(std::mt19937& random, std::u16string_view alphabet,
                                          std::size_t count, std::size_t maxLength,
                                          bool withBounds) {
    std::vector<std::u16string> result;
    std::uniform_int_distribution<std::size_t> length(0, maxLength);
    std::uniform_int_distribution<std::size_t> letter(0, alphabet.size() - 1);
    for (std::size_t i = 0; i < count; ++i) {
        std::u16string s;
        for (std::size_t n = length(random); n > 0; --n) {
            s += alphabet[letter(random)];
        }
        if (withBounds && i % 4 == 0) {
            s += u'\0';
        }
        result.push_back(std::move(s));
    }
    return result;
}

constexpr std::u16string_view kLatinAlphabet = u"aAbBsS^ \u00df\u00e1\u00c9\u00e9\u00ff\u007f[";
constexpr std::u16string_view kHungarianAlphabet = u"aáAoóöőÖŐnNyYsSzZcgdl";

TEST(CollationProperties, StrictWeakOrderForEveryVariant) {
    std::mt19937 random(20240611);
    for (TStrCmpOptions options = 0; options < 8; ++options) {
        const auto items = RandomStrings(random, kLatinAlphabet, 70, 4, true);
        ExpectStrictWeakOrder(TTdbCollation::BuiltIn(), items, options);
    }
    for (const char16_t* name :
         {u"Hungarian", u"Hungarian_CS", u"Hungarian_AI", u"Hungarian_CS_AI"}) {
        SCOPED_TRACE(ToUtf8(name));
        const TTdbCollation& collation = TTdbCollation::Get(name);
        const auto items = RandomStrings(random, kHungarianAlphabet, 70, 4, true);
        ExpectStrictWeakOrder(collation, items, collation.Options());
    }
}

// The letters a reader compares when a pattern ignores accents: the built-in collation
// and Hungarian differ in what an accent is (ö is a letter of its own in Hungarian).
std::u16string ReferenceFold(std::u16string_view text, bool hungarian, TStrCmpOptions options) {
    // Accented letter, its base letter, and the base letter Hungarian reads it as.
    static const char16_t kAccents[][3] = {
        {u'á', u'a', u'a'}, {u'Á', u'A', u'A'}, {u'é', u'e', u'e'}, {u'É', u'E', u'E'},
        {u'í', u'i', u'i'}, {u'Í', u'I', u'I'}, {u'ó', u'o', u'o'}, {u'Ó', u'O', u'O'},
        {u'ö', u'o', u'ö'}, {u'Ö', u'O', u'Ö'}, {u'ő', u'ő', u'ö'}, {u'Ő', u'Ő', u'Ö'},
        {u'ú', u'u', u'u'}, {u'Ú', u'U', u'U'}, {u'ü', u'u', u'ü'}, {u'Ü', u'U', u'Ü'},
        {u'ű', u'ű', u'ü'}, {u'Ű', u'Ű', u'Ü'}, {u'ÿ', u'y', u'ÿ'},
    };
    std::u16string letters;
    for (char16_t c : text) {
        for (const auto& accent : kAccents) {
            if (accent[0] == c) {
                c = hungarian ? accent[2] : accent[1];
                break;
            }
        }
        if (!hungarian && c == u'^') {
            c = u' ';
        } else if (!hungarian && c == u'\u007f') {
            c = u'\uffff';
        }
        if (c == u'ß') {
            letters += (options & scoLigatureSensitive) != 0 ? u"s" : u"ss";
        } else {
            letters += c;
        }
    }
    if ((options & scoCaseSensitive) == 0) {
        for (char16_t& c : letters) {
            if (c >= u'a' && c <= u'z') {
                c = c - u'a' + u'A';
            } else if (c == u'ö' || c == u'ü') {
                c = c == u'ö' ? u'Ö' : u'Ü';
            }
        }
    }
    return letters;
}

TEST(CollationProperties, BuiltInBoundHoldsExactlyTheStringsWithThePrefix) {
    std::mt19937 random(7);
    const TTdbCollation& builtIn = TTdbCollation::BuiltIn();
    for (TStrCmpOptions options :
         {TStrCmpOptions(kLS | kAS), TStrCmpOptions(0), TStrCmpOptions(kCS | kLS)}) {
        const auto strings = RandomStrings(random, kLatinAlphabet, 150, 5, false);
        const auto prefixes = RandomStrings(random, kLatinAlphabet, 40, 3, false);
        for (const auto& p : prefixes) {
            const std::u16string foldedP = ReferenceFold(p, false, options);
            for (const auto& s : strings) {
                const bool begins = ReferenceFold(s, false, options).starts_with(foldedP);
                const bool inRange = builtIn.Compare(s, p, options & ~kAS) >= 0 &&
                                     builtIn.Compare(s, Bound(p), options) < 0;
                ASSERT_EQ(inRange, begins)
                    << ToUtf8(s) << " / prefix " << ToUtf8(p) << " options " << int(options);
            }
        }
    }
}

TEST(CollationProperties, MatchesAgreesWithReferenceMatcher) {
    // A plain recursive matcher over the folded texts; "ß" stays out when it would be
    // read as two letters, since the reference cannot tell half a character.
    struct Reference {
        static bool Match(std::u16string_view v, std::u16string_view p) {
            if (p.empty())
                return v.empty();
            if (p[0] == u'%') {
                for (std::size_t i = 0; i <= v.size(); ++i) {
                    if (Match(v.substr(i), p.substr(1)))
                        return true;
                }
                return false;
            }
            if (v.empty())
                return false;
            if (p[0] == u'_' || p[0] == v[0])
                return Match(v.substr(1), p.substr(1));
            return false;
        }
    };
    std::mt19937 random(99);
    const std::u16string_view alphabet = u"aAbBéÉ^ ";
    const std::u16string_view patternAlphabet = u"aAbéÉ^ %%__";
    struct Variant {
        const char16_t* collation;
        bool hungarian;
    };
    for (const Variant& variant : {Variant{u"", false}, Variant{u"TableDB_CS", false},
                                   Variant{u"Hungarian", true}, Variant{u"Hungarian_CS", true}}) {
        const TTdbCollation& collation = TTdbCollation::Get(variant.collation);
        const TStrCmpOptions options = collation.Options();
        const auto values = RandomStrings(random, alphabet, 60, 5, false);
        const auto patterns = RandomStrings(random, patternAlphabet, 60, 5, false);
        for (const auto& pattern : patterns) {
            for (const auto& value : values) {
                const bool expected =
                    Reference::Match(ReferenceFold(value, variant.hungarian, options),
                                     ReferenceFold(pattern, variant.hungarian, options));
                ASSERT_EQ(collation.Matches(value, pattern, u'%', u'_', u'\0', options), expected)
                    << ToUtf8(value) << " LIKE " << ToUtf8(pattern) << " in "
                    << ToUtf8(variant.collation);
            }
        }
    }
}

TEST(CollationProperties, HungarianBoundCoversEveryStringWithThePrefix) {
    std::mt19937 random(3);
    const TTdbCollation& hu = Hungarian();
    const TStrCmpOptions o = hu.Options();
    const auto strings = RandomStrings(random, u"nyszoöőOÖŐ", 300, 6, false);
    const auto prefixes = RandomStrings(random, u"nyszoöőOÖŐ", 60, 4, false);
    for (const auto& p : prefixes) {
        const std::u16string pattern = p + u'%';
        for (const auto& s : strings) {
            const bool begins = ReferenceFold(s, true, 0).starts_with(ReferenceFold(p, true, 0));
            ASSERT_EQ(hu.Matches(s, pattern, u'%', u'_', u'\0', o), begins)
                << ToUtf8(s) << " / " << ToUtf8(p);
            if (begins) {
                ASSERT_LT(hu.Compare(s, Bound(p), o), 0) << ToUtf8(s) << " / " << ToUtf8(p);
                ASSERT_GE(hu.Compare(s, p, 0), 0) << ToUtf8(s) << " / " << ToUtf8(p);
            }
        }
    }
}

// ---------------------------------------------------------------- settlement names

using test_data::SettlementNames;

// Whether a name's or a prefix's letters around the cut form a Hungarian digraph
// (single or doubled) that the cut splits.
bool DigraphAtCut(std::u16string_view name, std::size_t cut) {
    static const std::u16string digraphs[] = {u"ccs", u"ddzs", u"ddz", u"dzs", u"ggy", u"lly",
                                              u"nny", u"ssz",  u"tty", u"zzs", u"cs",  u"dz",
                                              u"gy",  u"ly",   u"ny",  u"sz",  u"ty",  u"zs"};
    const std::u16string lower = ReferenceFold(name, true, scoCaseSensitive);
    for (const auto& d : digraphs) {
        for (std::size_t start = cut >= d.size() ? cut - d.size() + 1 : 0; start < cut; ++start) {
            std::u16string part = lower.substr(start, d.size());
            for (auto& c : part)
                c = c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c;
            if (part.size() == d.size() && part == d)
                return true;
            // A prefix that ends inside a digraph: its tail begins one.
            if (start + part.size() == lower.size() && d.starts_with(part))
                return true;
        }
    }
    return false;
}

TEST(CollationSettlements, SortAsAHungarianReaderExpects) {
    auto names = SettlementNames();
    ASSERT_GT(names.size(), 3000u);
    const TTdbCollation& hu = Hungarian();
    std::stable_sort(names.begin(), names.end(), [&](const auto& a, const auto& b) {
        return hu.Compare(a, b, hu.Options()) < 0;
    });
    auto position = [&](std::u16string_view name) {
        return std::find(names.begin(), names.end(), name) - names.begin();
    };
    EXPECT_LT(position(u"Öcs"), position(u"Őcsény"));
    EXPECT_LT(position(u"Őcsény"), position(u"Öcsöd"));
    EXPECT_LT(position(u"Aszaló"), position(u"Asszonyfa"));
    EXPECT_LT(position(u"Bonyhád"), position(u"Bonnya"));
    EXPECT_LT(position(u"Cún"), position(u"Csabacsűd"));  // cs after every c-word
    EXPECT_LT(position(u"Süttő"), position(u"Szabadbattyán"));
}

TEST(CollationSettlements, PrefixRangesHoldEveryNameWithThePrefix) {
    auto names = SettlementNames();
    const TTdbCollation& hu = Hungarian();
    const TStrCmpOptions o = hu.Options();
    std::stable_sort(names.begin(), names.end(),
                     [&](const auto& a, const auto& b) { return hu.Compare(a, b, o) < 0; });
    std::vector<std::pair<std::u16string, std::u16string>> folded;  // folded name, name
    for (const auto& n : names)
        folded.emplace_back(ReferenceFold(n, true, 0), n);
    std::sort(folded.begin(), folded.end());

    std::set<std::u16string> prefixes;
    for (const auto& n : names) {
        for (std::size_t len = 1; len <= n.size(); ++len)
            prefixes.insert(n.substr(0, len));
    }
    std::size_t extraRanges = 0;
    std::size_t extraNames = 0;
    std::size_t accentMisses = 0;
    for (const auto& p : prefixes) {
        const std::u16string bound = Bound(p);
        const auto first = std::partition_point(
            names.begin(), names.end(), [&](const auto& n) { return hu.Compare(n, p, o) < 0; });
        const auto last = std::partition_point(
            first, names.end(), [&](const auto& n) { return hu.Compare(n, bound, o) < 0; });
        // The upper bound must lie above every name of the range's start too.
        const auto allBelowBound = std::partition_point(
            names.begin(), names.end(), [&](const auto& n) { return hu.Compare(n, bound, o) < 0; });
        ASSERT_EQ(allBelowBound, last) << ToUtf8(p);
        const std::set<std::u16string> inRange(first, last);

        const std::u16string fp = ReferenceFold(p, true, 0);
        std::set<std::u16string> beginning;
        for (auto it = std::lower_bound(folded.begin(), folded.end(),
                                        std::make_pair(fp, std::u16string()));
             it != folded.end() && it->first.starts_with(fp); ++it) {
            beginning.insert(it->second);
        }
        for (const auto& n : beginning) {
            if (inRange.contains(n))
                continue;
            // Only the lower bound can miss, and only for a name that equals the prefix
            // but for accents and sorts below it («Öcs» against the prefix «Őcs»).
            ASSERT_EQ(hu.Compare(n, p, 0), 0) << ToUtf8(n) << " missing for " << ToUtf8(p);
            ASSERT_LT(hu.Compare(n, bound, o), 0);
            ++accentMisses;
        }
        bool extra = false;
        for (const auto& n : inRange) {
            if (beginning.contains(n)) {
                ASSERT_TRUE(hu.Matches(n, p + u'%', u'%', u'_', u'\0', o))
                    << ToUtf8(n) << " / " << ToUtf8(p);
                continue;
            }
            // A name that only sorts among those that begin with the prefix: a digraph
            // crosses the cut in it or in the prefix, and matching rejects it.
            ASSERT_TRUE(DigraphAtCut(n, p.size()) || DigraphAtCut(p, p.size()))
                << ToUtf8(n) << " in range of " << ToUtf8(p);
            ASSERT_FALSE(hu.Matches(n, p + u'%', u'%', u'_', u'\0', o))
                << ToUtf8(n) << " / " << ToUtf8(p);
            ++extraNames;
            extra = true;
        }
        extraRanges += extra ? 1 : 0;
    }
    std::cout << prefixes.size() << " prefixes; " << extraRanges << " ranges hold " << extraNames
              << " names that do not begin with the prefix; " << accentMisses
              << " names below a prefix that differs only by accents\n";
}

// ---------------------------------------------------------------- bounds met again

TEST(CollationBoundCache, ABoundMetAgainCostsAtMostOneSortKeyPerComparison) {
    const TTdbCollation& hu = Hungarian();
    const TStrCmpOptions o = hu.Options();
    const std::u16string names[] = {u"Szeged",       u"Bonnya",  u"Bonyhád",
                                    u"Hosszúhetény", u"Zsámbék", u"Aba"};
    const std::u16string known = Bound(u"Sz");
    // Bounds whose tails begin contractions, whose completions cost keys of their own.
    for (std::u16string_view prefix : {u"Sz", u"Bonn", u"Hossz", u"Dz", u"N", u""}) {
        SCOPED_TRACE(ToUtf8(prefix));
        const std::u16string bound = Bound(prefix);
        const std::string ansiBound = hu.ToAnsi(bound);
        (void)hu.Compare(bound, bound, o);  // the first meeting works the bound out
        const std::uint64_t before = collation_detail::SortKeysComputed();
        for (const std::u16string& name : names) {
            (void)hu.Compare(name, bound, o);
            (void)hu.Compare(bound, name, o);
            (void)hu.Compare(hu.ToAnsi(name), ansiBound, o);
        }
        // A name that begins with the prefix's very letters lies below the bound without one.
        const auto others =
            std::count_if(std::begin(names), std::end(names),
                          [&](const std::u16string& name) { return !name.starts_with(prefix); });
        EXPECT_EQ(collation_detail::SortKeysComputed() - before,
                  3 * static_cast<std::uint64_t>(others));
        // Two bounds met before need no sort key at all.
        const std::uint64_t beforeBounds = collation_detail::SortKeysComputed();
        (void)hu.Compare(bound, known, o);
        (void)TTdbCollation::Get(u"Hungarian_CS_AI").Compare(known, bound, scoCaseSensitive);
        EXPECT_EQ(collation_detail::SortKeysComputed() - beforeBounds, 0u);
        // A lower bound met again needs none: one plain comparison with its lowest stem.
        const std::u16string lower = LowerBound(prefix);
        (void)hu.Compare(names[0], lower, o);
        const std::uint64_t beforeLower = collation_detail::SortKeysComputed();
        for (const std::u16string& name : names) {
            (void)hu.Compare(name, lower, o);
            (void)hu.Compare(lower, name, o);
        }
        EXPECT_EQ(collation_detail::SortKeysComputed() - beforeLower, 0u);
    }
}

// Every comparison through the cache gives what working the bound out afresh gives: for
// names and bounds that end inside, at and after (doubled) digraphs, in two locales that
// share bound characters, while the cache keeps its bounds and while it keeps losing them.
TEST(CollationBoundCache, AgreesWithWorkingEveryBoundOutAfresh) {
    const std::vector<std::u16string> settlements = SettlementNames();
    ASSERT_GT(settlements.size(), 3000u);
    std::vector<std::u16string> names;
    for (std::size_t i = 0; i < settlements.size(); i += 5) {
        names.push_back(settlements[i]);
    }
    // Letters made by a combining mark after a prefix's last one, and odd casing across digraphs.
    for (std::u16string_view odd : {u"Bo\u0308rzsöny", u"O\u0308rség", u"Ho\u0308gyész", u"BoNNya",
                                    u"ÁcSSZ", u"Ácsszentgyörgy", u"Bo"}) {
        names.emplace_back(odd);
    }
    std::vector<std::u16string> prefixes = {u"", u"O", u"Bo", u"Ács", u"Ácss"};
    for (std::u16string_view tail :
         {u"c",  u"cs",  u"cc", u"ccs", u"d",  u"dz",  u"dzs", u"dd", u"ddz", u"ddzs", u"g", u"gy",
          u"gg", u"ggy", u"l",  u"ly",  u"ll", u"lly", u"n",   u"ny", u"nn",  u"nny",  u"s", u"sz",
          u"ss", u"ssz", u"t",  u"ty",  u"tt", u"tty", u"z",   u"zs", u"zz",  u"zzs",  u"ch"}) {
        std::u16string capital(tail);
        capital[0] = static_cast<char16_t>(capital[0] - u'a' + u'A');
        for (std::u16string_view head : {u"Bo", u"Ho", u"Me", u"Ö"}) {
            prefixes.push_back(std::u16string(head) + std::u16string(tail));
        }
        prefixes.push_back(capital);
    }
    for (std::size_t i = 0; i < settlements.size(); i += 97) {
        for (std::size_t length = 1; length <= settlements[i].size(); length += 2) {
            prefixes.push_back(settlements[i].substr(0, length));
        }
    }
    std::u16string longPrefix;
    for (int i = 0; i < 150; ++i) {
        longPrefix += u"Sz";
    }
    prefixes.push_back(longPrefix);

    // Hungarian in two option sets shares one locale; Czech reads other contractions.
    const TTdbCollation* collations[] = {&Hungarian(), &TTdbCollation::Get(u"Hungarian_CS_AI"),
                                         &TTdbCollation::Get(u"Czech")};
    auto fresh = [](const TTdbCollation& c, std::u16string_view a, std::u16string_view b) {
        const collation_detail::TBoundCacheBypass bypass;
        return c.Compare(a, b, c.Options());
    };
    auto check = [&](const TTdbCollation& c, std::u16string_view a, std::u16string_view b) {
        ASSERT_EQ(c.Compare(a, b, c.Options()), fresh(c, a, b))
            << ToUtf8(c.Name()) << ": " << ToUtf8(a) << " / " << ToUtf8(b);
    };
    // Bound after bound, upper and lower, each against every name, as range searches meet
    // them.
    for (std::size_t p = 0; p < prefixes.size(); ++p) {
        const std::u16string& prefix = prefixes[p];
        const std::u16string& another = prefixes[(p * 7 + 3) % prefixes.size()];
        for (const TTdbCollation* c : collations) {
            for (const std::u16string& bound : {Bound(prefix), LowerBound(prefix)}) {
                for (const std::u16string& name : names) {
                    check(*c, name, bound);
                }
                for (const std::u16string& other : {Bound(another), LowerBound(another)}) {
                    check(*c, bound, other);
                    check(*c, other, bound);
                }
                check(*c, bound, prefix);
            }
        }
    }
    // Name after name against every bound: more bounds than the cache keeps.
    for (std::size_t n = 0; n < names.size(); n += 7) {
        for (const std::u16string& prefix : prefixes) {
            for (const TTdbCollation* c : collations) {
                check(*c, Bound(prefix), names[n]);
                check(*c, names[n], LowerBound(prefix));
            }
        }
    }
}

// ---------------------------------------------------------------- case and code pages

TEST(CollationText, CaseMappingThroughTheLocale) {
    EXPECT_EQ(Hungarian().ToUpper(u"őűíé"), u"ŐŰÍÉ");
    EXPECT_EQ(Hungarian().ToLower(u"ŐRSÉG"), u"őrség");
    EXPECT_EQ(TTdbCollation::Get(u"Turkish").ToUpper(u"istanbul"), u"İSTANBUL");
    EXPECT_EQ(TTdbCollation::BuiltIn().ToUpper(u"istanbul straße"), u"ISTANBUL STRASSE");
    EXPECT_EQ(Hungarian().ToUpper(std::string("\xf5r")), "\xd5R");  // őr in windows-1250
    EXPECT_EQ(TTdbCollation::BuiltIn().ToLower(std::string("\xc9VA")), "\xe9va");
    EXPECT_EQ(Hungarian().ToUpper(u""), u"");
}

TEST(CollationText, CodePageRoundTrips) {
    const TTdbCollation& hu = Hungarian();
    const std::u16string text = u"őűŐŰ€áéš";
    EXPECT_EQ(hu.ToAnsi(text), "\xf5\xfb\xd5\xdb\x80\xe1\xe9\x9a");
    EXPECT_EQ(hu.ToWide(hu.ToAnsi(text)), text);
    // The built-in code page lacks ő and ű: they become its substitution character.
    const std::string latin = TTdbCollation::BuiltIn().ToAnsi(text);
    EXPECT_EQ(latin, "\x1a\x1a\x1a\x1a\x80\xe1\xe9\x9a");
    EXPECT_EQ(TTdbCollation::BuiltIn().ToWide("\x81\x80"), u"\u0081€");
    // Double-byte code pages.
    const TTdbCollation& ja = TTdbCollation::Get(u"Japanese");
    const std::u16string japanese = u"日本語テキスト";
    EXPECT_EQ(ja.ToWide(ja.ToAnsi(japanese)), japanese);
    EXPECT_LT(ja.Compare(ja.ToAnsi(u"あ"), ja.ToAnsi(u"い"), ja.Options()), 0);
    EXPECT_TRUE(ja.Matches(ja.ToAnsi(u"日本語"), ja.ToAnsi(u"日*"), '*', '?', 0, ja.Options()));
    EXPECT_EQ(hu.ToAnsi(u""), "");
    EXPECT_EQ(hu.ToWide(""), u"");
}

TEST(CollationText, LongStringsStillCompare) {
    // Past the stack buffers the comparison falls back to the heap and stays right.
    const TTdbCollation& hu = Hungarian();
    const std::u16string longA(3000, u'ő');
    std::u16string longB = longA;
    longB.back() = u'ű';
    EXPECT_LT(hu.Compare(longA, longB, hu.Options()), 0);
    EXPECT_LT(hu.Compare(longA, Bound(longA.substr(0, 2500)), hu.Options()), 0);
    const std::string ansiA(3000, '\xf5');
    EXPECT_EQ(hu.Compare(ansiA, ansiA, hu.Options()), 0);
}

}  // namespace
}  // namespace tdb
