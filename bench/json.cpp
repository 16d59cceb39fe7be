// KaJson against raw RapidJSON on the same allocators and buffers (the
// library's own set-up, data/json_rapid.h): parse + write of a ~5 MB
// document by a fresh document each time, and parse/write cycles on one
// document. The baseline reads with RapidJSON's default recursive reader and
// writes through Accept; ours reads the same way down to its depth limit
// (these documents stay within it) and writes without recursion.
#include "bench.h"
#include "data/json_rapid.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Records of every kind of value: escaped and non-ASCII strings, integers
// of all widths, doubles, literals, nested objects and arrays.
std::string MakeDocument(size_t bytes) {
    std::string text = "{\"generator\":\"bench json\",\"items\":[";
    uint32_t state = 12345;
    auto next = [&] { return (state = state * 1103515245u + 12345u) >> 8; };
    for (unsigned i = 0; text.size() < bytes; ++i) {
        char record[512];
        std::snprintf(record, sizeof record,
                      "%s{\"id\":%u,\"name\":\"item %u \\\"quoted\\\" Z\xC3\xBCrich\\n\","
                      "\"price\":%u.%02u,\"ratio\":%.17g,\"big\":%llu,\"delta\":%d,"
                      "\"active\":%s,\"note\":null,\"tags\":[\"alpha\",\"beta\",\"gamma %u\"],"
                      "\"size\":{\"w\":%u,\"h\":%u,\"d\":[%d,%d,%d]}}",
                      i ? "," : "", i, next(), next() % 1000, next() % 100, next() / 7.0,
                      static_cast<unsigned long long>(next()) * 1000003ull * 1000003ull,
                      -static_cast<int>(next() % 100000), next() & 1 ? "true" : "false",
                      next() % 50, next() % 2000, next() % 2000, -static_cast<int>(next() % 100),
                      static_cast<int>(next() % 100), static_cast<int>(next() % 100));
        text += record;
    }
    return text + "]}";
}

// Raw RapidJSON: one document, pool, output buffer and writer, as a careful
// user would keep them for repeated work.
struct Raw {
    ka::json::Heap heap;
    ka::json::Pool pool{ka::json::kChunkBytes, &heap};
    ka::json::Document document{&pool, ka::json::kParseStackBytes, &heap};
    ka::json::Buffer output{&heap, ka::json::kOutputBytes};
    ka::json::Writer writer{output, &heap};

    // Empties the pool as KaJson's Reset does, parses, writes.
    const char* Cycle(const std::string& text) {
        document.SetNull();
        pool.Clear();
        document.Parse(text.data(), text.size());
        output.Clear();
        writer.Reset(output);
        if (document.HasParseError() || !document.Accept(writer)) return "";
        return output.GetString();
    }
};

volatile char g_sink;

// Parse/write cycles on one long-lived document. Under Wine such a
// document's speed depends on where in the heap it first grew: a document
// set up beside another one ran its cycles up to four times slower or faster
// (freed chunks at the heap's end are decommitted and fault in again). So
// only one document lives at a time, each side set up anew every round, in
// turns, on the same free heap.
void CompareCycles(KaSystem* system, const std::string& text, const std::string& label,
                   int iterations, const char* unit, double scale) {
    std::vector<double> ours, theirs;
    for (int round = 0; round < 10; ++round) {
        for (int side = 0; side < 2; ++side) {
            if ((round + side) % 2 == 0) {
                KaJson* json = nullptr;
                system->CreateJsonDocument(&json);
                auto cycle = [&] {
                    json->Parse(text.data(), text.size());
                    g_sink = json->Write()[0];
                };
                cycle();
                ours.push_back(kabench::TimePerOp(cycle, iterations));
                json->Release();
            } else {
                Raw raw;
                auto cycle = [&] { g_sink = raw.Cycle(text)[0]; };
                cycle();
                theirs.push_back(kabench::TimePerOp(cycle, iterations));
            }
        }
    }
    double mine = kabench::Median(ours), baseline = kabench::Median(theirs);
    std::printf("bench json cycles %s: ours %.3f %s, baseline %.3f %s, ratio %.3f\n", label.c_str(),
                mine * scale, unit, baseline * scale, unit, mine / baseline);
    std::fflush(stdout);
}

}  // namespace

int main() {
    KaSystem* system = kabench::System();
    for (size_t size : {size_t(5) << 20, size_t(1) << 10}) {
        const std::string text = MakeDocument(size);
        const std::string label = size > 4096 ? "5MB" : "1KB";

        // Set-up check: both sides write the same text.
        KaJson* json = nullptr;
        if (!system->CreateJsonDocument(&json)) {
            std::fprintf(stderr, "bench json: CreateJsonDocument failed\n");
            return 1;
        }
        json->Parse(text.data(), text.size());
        bool same = json->IsObject() && std::string(json->Write()) == Raw().Cycle(text);
        json->Release();
        if (!same) {
            std::fprintf(stderr, "bench json: KaJson and RapidJSON disagree on the %s text\n",
                         label.c_str());
            return 1;
        }

        auto oursFresh = [&] {
            KaJson* fresh = nullptr;
            system->CreateJsonDocument(&fresh);
            fresh->Parse(text.data(), text.size());
            g_sink = fresh->Write()[0];
            fresh->Release();
        };
        auto rawFresh = [&] { g_sink = Raw().Cycle(text)[0]; };
        int iterations = size > 4096 ? 3 : 5000;
        const char* unit = size > 4096 ? "ms" : "us";
        std::string name = "json parse+write " + label;
        kabench::Compare(name.c_str(), oursFresh, rawFresh, iterations, unit, 0, 9);
        CompareCycles(system, text, label, iterations, unit, size > 4096 ? 1e3 : 1e6);
    }
    return 0;
}
