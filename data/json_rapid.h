// The RapidJSON set-up of KaJson: the one place that includes RapidJSON, and
// the types a document is made of. In the library only data/json.cpp
// includes it (RapidJSON is compiled in that one unit). The JSON benchmark
// and test include it too: their raw-RapidJSON baselines and references run
// on exactly the same allocators and buffers.
#ifndef KA_DATA_JSON_RAPID_H
#define KA_DATA_JSON_RAPID_H

#include <cstddef>
#include <cstdlib>
#include <new>

// RapidJSON 1.1.0 predates C++20: its member iterator derives from the
// deprecated std::iterator. Harmless; silenced for its headers only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#pragma GCC diagnostic pop

namespace ka::json {

// The base allocator under every RapidJSON allocation of a document: the
// pool's chunks, the parse stack, the writer's level stack and the output
// buffer. RapidJSON uses what an allocator returns without a null check, so
// running out of memory throws here instead, and the slot's boundary turns
// it into a failed call.
class Heap {
public:
    static const bool kNeedFree = true;
    void* Malloc(size_t size) {
        if (size == 0) return nullptr;  // as RapidJSON's own allocator answers
        void* block = std::malloc(size);
        if (block == nullptr) throw std::bad_alloc();
        return block;
    }
    void* Realloc(void* block, size_t, size_t newSize) {
        if (newSize == 0) {
            std::free(block);
            return nullptr;
        }
        void* grown = std::realloc(block, newSize);
        if (grown == nullptr) throw std::bad_alloc();  // the old block stays valid
        return grown;
    }
    static void Free(void* block) { std::free(block); }
};

using Pool = rapidjson::MemoryPoolAllocator<Heap>;
using Document = rapidjson::GenericDocument<rapidjson::UTF8<>, Pool, Heap>;
using Value = Document::ValueType;
using Buffer = rapidjson::GenericStringBuffer<rapidjson::UTF8<>, Heap>;
using Writer = rapidjson::Writer<Buffer, rapidjson::UTF8<>, rapidjson::UTF8<>, Heap>;

constexpr size_t kChunkBytes = size_t{64} * 1024;
constexpr size_t kParseStackBytes = 1024;
constexpr size_t kOutputBytes = 256;
// The writer's default, and the most a double can need.
constexpr unsigned kMaxDecimalPlaces = 324;

// RapidJSON's default (strict) grammar, read by the iterative parser: it
// accepts exactly what the recursive one does, but keeps its state on the
// heap, so a deeply nested text cannot exhaust the thread's stack.
constexpr unsigned kIterativeParseFlags =
    rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag;

}  // namespace ka::json

#endif
