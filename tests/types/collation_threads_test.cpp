// Collations shared by sessions in several threads: the registry resolves names once whoever
// asks first, and comparisons - against prefix bounds too, whose worked-out points each thread
// keeps for itself - give every thread what one thread alone gets.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

#include "types/collation.h"

namespace tdb {
namespace {

const std::u16string_view kNames[] = {
    u"Szeged", u"Szentendre", u"Bonyhád", u"Bonnya",     u"Hosszúhetény", u"Zsámbék",
    u"Aba",    u"Ács",        u"Csorna",  u"Dzsidáspuszta", u"Nyíregyháza", u"Lyukóbánya",
};

// Plain strings and prefix bounds (a trailing NUL): more bounds than one thread keeps.
std::vector<std::u16string> Operands() {
    std::vector<std::u16string> operands(std::begin(kNames), std::end(kNames));
    for (std::u16string_view prefix :
         {u"Sz", u"Bonn", u"Hossz", u"Dz", u"N", u"", u"Cs", u"Ly", u"Zs", u"Ny", u"Á", u"Bo"}) {
        operands.push_back(std::u16string(prefix) + u'\0');
    }
    return operands;
}

int Sign(int value) {
    return (value > 0) - (value < 0);
}

TEST(CollationThreads, EveryThreadComparesAsOneThreadAlone) {
    const std::vector<std::u16string> operands = Operands();
    const std::array<std::u16string_view, 3> collations = {u"Hungarian", u"Hungarian_CS_AI",
                                                           u"Czech"};
    // What one thread gets, computed before the others start.
    std::vector<int> expected;
    for (std::u16string_view name : collations) {
        const TTdbCollation& collation = TTdbCollation::Get(name);
        for (const auto& a : operands) {
            for (const auto& b : operands) {
                expected.push_back(Sign(collation.Compare(a, b, collation.Options())));
            }
        }
    }
    std::array<int, 4> mismatches{};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < mismatches.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                std::size_t at = 0;
                for (std::u16string_view name : collations) {
                    // Names no thread has asked for yet are resolved while others compare.
                    (void)TTdbCollation::Get(std::u16string(u"German_") +
                                             (t % 2 == 0 ? u"CS" : u"CI"));
                    const TTdbCollation& collation = TTdbCollation::Get(name);
                    for (const auto& a : operands) {
                        for (const auto& b : operands) {
                            if (Sign(collation.Compare(a, b, collation.Options())) !=
                                expected[at++]) {
                                ++mismatches[t];
                            }
                        }
                    }
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, (std::array<int, 4>{}));
}

}  // namespace
}  // namespace tdb
