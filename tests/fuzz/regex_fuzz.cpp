// `make fuzz`: the regex matcher against std::wregex on generated cases, for
// the seconds given (default 60), then a summary. Exits 1 when a difference
// is not one of those documented in ka/text.h.
#include "support/regex_differential.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    using Clock = std::chrono::steady_clock;
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    const uint64_t seed = uint64_t(Clock::now().time_since_epoch().count());
    katest::regexdiff::Generator generator(seed);
    katest::regexdiff::Tally tally;
    while (Clock::now() < deadline) {
        for (int i = 0; i < 1000; ++i) katest::regexdiff::Check(generator.Next(), tally);
    }
    for (const std::string& difference : tally.differences) {
        std::printf("difference: %s\n", difference.c_str());
    }
    std::printf(
        "regex fuzz seed %llu: %ld pairs, %ld patterns std::wregex rejects, %ld not "
        "answered; documented differences: %ld back-references to unmatched groups, %ld "
        "retries into lookaheads, %ld captures of negative lookaheads; %zu other "
        "differences\n",
        static_cast<unsigned long long>(seed), tally.pairs, tally.oracleRejects, tally.gaveUp,
        tally.backReferences, tally.lookaheadRetries, tally.negatedGroups,
        tally.differences.size());
    return tally.differences.empty() ? 0 : 1;
}
