// Shared by the benchmarks: load the DLL as a host does, time a piece of
// work against its baseline in alternation, print medians and their ratio:
//   bench <name>: ours <X> <unit>, baseline <Y> <unit>, ratio <Z>
// The ratio is our time per operation over the baseline's (below 1: faster).
#ifndef KA_BENCH_BENCH_H
#define KA_BENCH_BENCH_H

#include "host/ka_library.h"
#include "ka/ka.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace kabench {

inline KaSystem* System() {
    static KaSystem* root = [] {
        ka::LibraryLoad load = ka::LoadKaSystem();
        if (!load) {
            // The benchmarks link nothing but their own file, so the code
            // goes out without the system's text; `kahost` gives both.
            std::fprintf(stderr, "bench: %ls\n", ka::DescribeLoadFailure(load).c_str());
            std::exit(1);
        }
        return load.system;
    }();
    return root;
}

inline double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return double(t.QuadPart) / double(frequency.QuadPart);
}

// Seconds per operation of `op`, run `iterations` times.
template <typename Op>
double TimePerOp(Op& op, int iterations) {
    double start = Now();
    for (int i = 0; i < iterations; ++i) op();
    return (Now() - start) / iterations;
}

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs ours and the baseline alternately `repetitions` times and prints the
// medians in `unit` ("ns", "us", "ms": per operation; "MB/s" from `bytes`;
// "ops/s" or "lines/s": operations per second). The ratio is always time over
// time.
template <typename Ours, typename Baseline>
void Compare(const char* name, Ours ours, Baseline baseline, int iterations,
             const char* unit = "us", double bytes = 0, int repetitions = 7) {
    ours();  // warm up both
    baseline();
    std::vector<double> a, b;
    for (int r = 0; r < repetitions; ++r) {
        a.push_back(TimePerOp(ours, iterations));
        b.push_back(TimePerOp(baseline, iterations));
    }
    double mine = Median(a), theirs = Median(b);
    double scale = 1e6;
    if (std::string_view(unit) == "ns") scale = 1e9;
    if (std::string_view(unit) == "ms") scale = 1e3;
    double shownMine = mine * scale, shownTheirs = theirs * scale;
    if (std::string_view(unit) == "MB/s") {
        shownMine = bytes / mine / 1e6;
        shownTheirs = bytes / theirs / 1e6;
    } else if (std::string_view(unit).ends_with("/s")) {
        shownMine = 1.0 / mine;
        shownTheirs = 1.0 / theirs;
    }
    std::printf("bench %s: ours %.3f %s, baseline %.3f %s, ratio %.3f\n", name, shownMine, unit,
                shownTheirs, unit, mine / theirs);
    std::fflush(stdout);
}

}  // namespace kabench

#endif
