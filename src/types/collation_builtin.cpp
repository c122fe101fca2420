// The engine's own collation. Stored indexes are ordered by it, so every rule
// here is part of the file format and must not drift.
#include "types/collation_builtin.h"

#include <array>
#include <cstdint>
#include <type_traits>

namespace tdb::collation_detail {

namespace {

// Code page 1252 characters 0x80..0xFF with their accents removed; unaccented
// characters map to themselves.
constexpr std::array<std::uint8_t, 128> kAccentTable = [] {
    std::array<std::uint8_t, 128> table{};
    for (int i = 0; i < 128; ++i) {
        table[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(0x80 + i);
    }
    auto set = [&table](int from, int to, char letter) {
        for (int c = from; c <= to; ++c) {
            table[static_cast<std::size_t>(c - 0x80)] = static_cast<std::uint8_t>(letter);
        }
    };
    set(0x8A, 0x8A, 'S');
    set(0x8C, 0x8C, 'O');
    set(0x9A, 0x9A, 's');
    set(0x9C, 0x9C, 'o');
    set(0x9F, 0x9F, 'Y');
    set(0xC0, 0xC6, 'A');
    set(0xC7, 0xC7, 'C');
    set(0xC8, 0xCB, 'E');
    set(0xCC, 0xCF, 'I');
    set(0xD0, 0xD0, 'D');
    set(0xD1, 0xD1, 'N');
    set(0xD2, 0xD6, 'O');
    set(0xD8, 0xD8, 'O');
    set(0xD9, 0xDC, 'U');
    set(0xDD, 0xDD, 'Y');
    set(0xDF, 0xDF, 's');
    set(0xE0, 0xE6, 'a');
    set(0xE7, 0xE7, 'c');
    set(0xE8, 0xEB, 'e');
    set(0xEC, 0xEF, 'i');
    set(0xF0, 0xF0, 'd');
    set(0xF1, 0xF1, 'n');
    set(0xF2, 0xF6, 'o');
    set(0xF8, 0xF8, 'o');
    set(0xF9, 0xFC, 'u');
    set(0xFD, 0xFD, 'y');
    set(0xFF, 0xFF, 'y');
    return table;
}();

constexpr std::uint32_t kSharpS = 0xDF;
constexpr std::size_t kNoMark = static_cast<std::size_t>(-1);

// Reads a string as the stream of normalised units the comparison walks. "ß" read as
// "ss" yields two units for one character, so the reader knows whether it stands
// between characters.
template <typename CharT>
class TReader {
public:
    TReader(std::basic_string_view<CharT> text, TStrCmpOptions options) noexcept
        : text_(text),
          caseSensitive_((options & scoCaseSensitive) != 0),
          ligatureSensitive_((options & scoLigatureSensitive) != 0) {}

    // The next unit, or false at the end. Replaced tells whether the accent table changed it.
    bool Next(std::uint32_t& unit, bool& replaced) noexcept {
        replaced = false;
        if (secondS_) {
            secondS_ = false;
            ++pos_;
            unit = Fold('s');
            return true;
        }
        if (pos_ >= text_.size()) {
            return false;
        }
        std::uint32_t c = static_cast<std::make_unsigned_t<CharT>>(text_[pos_]);
        if (c == '^') {
            c = ' ';
        } else if (c == 0x7F) {
            c = sizeof(CharT) == 1 ? 0xFFu : 0xFFFFu;
        } else if (c == kSharpS && !ligatureSensitive_) {
            secondS_ = true;
            unit = Fold('s');
            return true;
        } else if (c >= 0x80 && c <= 0xFF) {
            const std::uint32_t folded = kAccentTable[c - 0x80];
            replaced = folded != c;
            c = folded;
        }
        ++pos_;
        unit = Fold(c);
        return true;
    }

    // Characters fully read so far.
    std::size_t Position() const noexcept { return pos_; }
    bool BetweenCharacters() const noexcept { return !secondS_; }

private:
    std::uint32_t Fold(std::uint32_t c) const noexcept {
        return !caseSensitive_ && c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
    }

    std::basic_string_view<CharT> text_;
    std::size_t pos_ = 0;
    bool secondS_ = false;
    bool caseSensitive_;
    bool ligatureSensitive_;
};

template <typename CharT>
int Compare(std::basic_string_view<CharT> a, std::basic_string_view<CharT> b,
            TStrCmpOptions options) noexcept {
    const bool accentSensitive = (options & scoAccentSensitive) != 0;
    TReader<CharT> readerA(a, options);
    TReader<CharT> readerB(b, options);
    std::size_t markA = kNoMark;
    std::size_t markB = kNoMark;
    for (std::size_t step = 0;; ++step) {
        std::uint32_t unitA = 0;
        std::uint32_t unitB = 0;
        bool replacedA = false;
        bool replacedB = false;
        const bool haveA = readerA.Next(unitA, replacedA);
        const bool haveB = readerB.Next(unitB, replacedB);
        if (!haveA || !haveB) {
            if (haveA != haveB) {
                return haveA ? 1 : -1;
            }
            // Equal apart from accents: the earlier accent makes a string greater, so
            // «Éva» follows "Eva" and precedes «Evá».
            if (markA == markB) {
                return 0;
            }
            return markA < markB ? 1 : -1;
        }
        if (accentSensitive) {
            if (replacedA && markA == kNoMark) {
                markA = step;
            }
            if (replacedB && markB == kNoMark) {
                markB = step;
            }
            // An accent both strings carry at the same place decides nothing.
            if (markA == markB) {
                markA = markB = kNoMark;
            }
        }
        if (unitA != unitB) {
            return unitA < unitB ? -1 : 1;
        }
    }
}

// Bound comparisons ignore accents and keep the case and ligature rules of the plain
// comparison: a bound must sit at one point of the plain order, and reading "ß"
// differently here than there would put strings on both sides of it in the wrong order.
template <typename CharT>
int CompareToBound(std::basic_string_view<CharT> plain, std::basic_string_view<CharT> bound,
                   TStrCmpOptions options) noexcept {
    const TStrCmpOptions boundOptions = options & ~scoAccentSensitive;
    TReader<CharT> readerPlain(plain, boundOptions);
    TReader<CharT> readerBound(bound, boundOptions);
    for (;;) {
        std::uint32_t unitPlain = 0;
        std::uint32_t unitBound = 0;
        bool replaced = false;
        if (!readerBound.Next(unitBound, replaced) || !readerPlain.Next(unitPlain, replaced)) {
            // Either the plain string begins with the bound's characters, or it is a
            // shorter string that the bound's characters begin with: both lie below.
            return -1;
        }
        if (unitPlain != unitBound) {
            return unitPlain < unitBound ? -1 : 1;
        }
    }
}

// Accent-blind, keeping the case and ligature rules; when one string is the
// start of the other, the shorter one compares as WhenAShorter says.
template <typename CharT>
int CompareAccentBlind(std::basic_string_view<CharT> a, std::basic_string_view<CharT> b,
                       TStrCmpOptions options, int whenAShorter) noexcept {
    const TStrCmpOptions boundOptions = options & ~scoAccentSensitive;
    TReader<CharT> readerA(a, boundOptions);
    TReader<CharT> readerB(b, boundOptions);
    for (;;) {
        std::uint32_t unitA = 0;
        std::uint32_t unitB = 0;
        bool replaced = false;
        const bool haveA = readerA.Next(unitA, replaced);
        const bool haveB = readerB.Next(unitB, replaced);
        if (!haveA || !haveB) {
            return haveA == haveB ? 0 : (haveA ? -whenAShorter : whenAShorter);
        }
        if (unitA != unitB) {
            return unitA < unitB ? -1 : 1;
        }
    }
}

// The bound of a shorter prefix lies above everything the longer one covers.
template <typename CharT>
int CompareBounds(std::basic_string_view<CharT> a, std::basic_string_view<CharT> b,
                  TStrCmpOptions options) noexcept {
    return CompareAccentBlind(a, b, options, 1);
}

// Matching ignores accents and keeps case and ligature rules, and the plain order
// refines the accent-blind one: so the strings a pattern beginning with the bound's
// characters matches are exactly those whose accent-blind reading is not below them.
template <typename CharT>
int CompareToLower(std::basic_string_view<CharT> plain, std::basic_string_view<CharT> bound,
                   TStrCmpOptions options) noexcept {
    const TStrCmpOptions boundOptions = options & ~scoAccentSensitive;
    TReader<CharT> readerPlain(plain, boundOptions);
    TReader<CharT> readerBound(bound, boundOptions);
    for (;;) {
        std::uint32_t unitPlain = 0;
        std::uint32_t unitBound = 0;
        bool replaced = false;
        if (!readerBound.Next(unitBound, replaced)) {
            return 1;  // the plain string begins with the bound's characters
        }
        if (!readerPlain.Next(unitPlain, replaced)) {
            return -1;  // a shorter string that the bound's characters begin with
        }
        if (unitPlain != unitBound) {
            return unitPlain < unitBound ? -1 : 1;
        }
    }
}

// The lower bound of a shorter prefix lies below that of a longer one.
template <typename CharT>
int CompareLowers(std::basic_string_view<CharT> a, std::basic_string_view<CharT> b,
                  TStrCmpOptions options) noexcept {
    return CompareAccentBlind(a, b, options, -1);
}

template <typename CharT>
std::ptrdiff_t MatchRun(std::basic_string_view<CharT> value, std::basic_string_view<CharT> run,
                        TStrCmpOptions options) noexcept {
    const TStrCmpOptions boundOptions = options & ~scoAccentSensitive;
    TReader<CharT> readerValue(value, boundOptions);
    TReader<CharT> readerRun(run, boundOptions);
    for (;;) {
        std::uint32_t unitValue = 0;
        std::uint32_t unitRun = 0;
        bool replaced = false;
        if (!readerRun.Next(unitRun, replaced)) {
            // Half of a "ß" left over would have to be matched by a joker, which sees
            // whole characters only.
            return readerValue.BetweenCharacters()
                       ? static_cast<std::ptrdiff_t>(readerValue.Position())
                       : -1;
        }
        if (!readerValue.Next(unitValue, replaced) || unitValue != unitRun) {
            return -1;
        }
    }
}

}  // namespace

int BuiltInCompare(std::u16string_view a, std::u16string_view b, TStrCmpOptions options) noexcept {
    return Compare(a, b, options);
}
int BuiltInCompare(std::string_view a, std::string_view b, TStrCmpOptions options) noexcept {
    return Compare(a, b, options);
}
int BuiltInCompareToBound(std::u16string_view plain, std::u16string_view boundChars,
                          TStrCmpOptions options) noexcept {
    return CompareToBound(plain, boundChars, options);
}
int BuiltInCompareToBound(std::string_view plain, std::string_view boundChars,
                          TStrCmpOptions options) noexcept {
    return CompareToBound(plain, boundChars, options);
}
int BuiltInCompareBounds(std::u16string_view a, std::u16string_view b,
                         TStrCmpOptions options) noexcept {
    return CompareBounds(a, b, options);
}
int BuiltInCompareBounds(std::string_view a, std::string_view b, TStrCmpOptions options) noexcept {
    return CompareBounds(a, b, options);
}
int BuiltInCompareToLower(std::u16string_view plain, std::u16string_view boundChars,
                          TStrCmpOptions options) noexcept {
    return CompareToLower(plain, boundChars, options);
}
int BuiltInCompareToLower(std::string_view plain, std::string_view boundChars,
                          TStrCmpOptions options) noexcept {
    return CompareToLower(plain, boundChars, options);
}
int BuiltInCompareLowers(std::u16string_view a, std::u16string_view b,
                         TStrCmpOptions options) noexcept {
    return CompareLowers(a, b, options);
}
int BuiltInCompareLowers(std::string_view a, std::string_view b, TStrCmpOptions options) noexcept {
    return CompareLowers(a, b, options);
}
std::ptrdiff_t BuiltInMatchRun(std::u16string_view value, std::u16string_view run,
                               TStrCmpOptions options) noexcept {
    return MatchRun(value, run, options);
}
std::ptrdiff_t BuiltInMatchRun(std::string_view value, std::string_view run,
                               TStrCmpOptions options) noexcept {
    return MatchRun(value, run, options);
}

}  // namespace tdb::collation_detail
