// Shared by the benchmarks: load the DLL as a host does, time a piece of
// work against its baseline in alternation, print medians and their ratio:
//   bench <area> <name>: ours <X> <unit>, baseline <Y> <unit>, ratio <Z>
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

// Prints one line from the medians `mine` and `theirs` (seconds per
// operation) in `unit` ("ns", "us", "ms": per operation; "MB/s" from `bytes`;
// "ops/s" or "lines/s": operations per second). The ratio is always time over
// time.
inline void PrintLine(const char* name, double mine, double theirs, const char* unit,
                      double bytes = 0) {
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

// Runs ours and the baseline alternately `repetitions` times and prints the
// medians (see PrintLine).
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
    PrintLine(name, Median(a), Median(b), unit, bytes);
}

// Seconds of one run of `op`, which answers false when the run failed for a
// reason outside the code under test: Wine's CreateProcessW fails now and
// then with error 1359 on a loaded machine. Such a run is taken again, up to
// `attempts` times; negative when none got through.
template <typename Op>
double RetriedSample(Op& op, int attempts = 20) {
    for (int i = 0; i < attempts; ++i) {
        double start = Now();
        if (op()) return Now() - start;
        ::Sleep(50);  // let the load pass
    }
    return -1;
}

// Compare for work that starts processes, one operation per sample, each
// sample retried as RetriedSample says. A baseline that never gets through
// leaves its line out with a note on stderr; false only when ours never does.
template <typename Ours, typename Baseline>
bool CompareRetrying(const char* name, Ours ours, Baseline baseline, const char* unit,
                     int repetitions) {
    std::vector<double> a, b;
    for (int r = -1; r < repetitions; ++r) {  // the first round warms up both
        double mine = RetriedSample(ours), theirs = RetriedSample(baseline);
        if (mine < 0) {
            std::fprintf(stderr, "bench %s: ours failed on every attempt\n", name);
            return false;
        }
        if (theirs < 0) {
            std::fprintf(stderr, "bench %s: the baseline failed on every attempt; no figure\n",
                         name);
            return true;
        }
        if (r < 0) continue;
        a.push_back(mine);
        b.push_back(theirs);
    }
    PrintLine(name, Median(a), Median(b), unit);
    return true;
}

}  // namespace kabench

#endif
