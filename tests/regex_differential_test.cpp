// The matcher against std::wregex (ECMAScript, default flags) on a seeded
// corpus of generated patterns, subjects and replacement formats; `make
// fuzz` runs the same check for as long as asked.
#include "support/regex_differential.h"

#include <gtest/gtest.h>

TEST(RegexDifferential, AgreesWithStdWregex) {
    katest::regexdiff::Generator generator(20261206);
    katest::regexdiff::Tally tally;
    for (int i = 0; i < 3000; ++i) katest::regexdiff::Check(generator.Next(), tally);
    for (const std::string& difference : tally.differences) ADD_FAILURE() << difference;
    EXPECT_EQ(tally.gaveUp, 0) << "short subjects are always answered";
    EXPECT_GT(tally.pairs - tally.oracleRejects, tally.pairs / 2)
        << "most generated patterns are ECMAScript the oracle takes";
    EXPECT_GT(tally.backReferences, 0) << "the corpus reaches the back-reference rule";
}
