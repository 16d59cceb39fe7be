// A KaStream of the caller's own for tests and benchmarks: it records what is
// written (and the size of every write), the seeks it is asked for and its
// flushes, serves `bytes` to reads, and refuses writes or fails a chosen read
// on demand. Not reference-counted: it lives on the caller's stack.
#ifndef KA_TESTS_SUPPORT_FAKE_STREAM_H
#define KA_TESTS_SUPPORT_FAKE_STREAM_H

#include "ka/fs.h"

#include <string>
#include <utility>
#include <vector>

namespace katest {

struct FakeStream final : KaStream {
    std::string bytes;
    std::vector<size_t> writes;
    std::vector<std::pair<int64_t, uint32_t>> seeks;
    int flushes = 0;
    bool refuseWrites = false;
    int readsBeforeFailure = -1;  // -1: no read fails
    size_t position = 0;

    void AddRef() override {}
    int32_t Release() override { return 1; }
    int32_t GetRefCount() override { return 1; }
    bool Duplicate(KaStream**) override { return false; }
    bool Flush() override { return ++flushes > 0; }
    bool CopyTo(KaStream*, size_t, size_t*, size_t*) override { return false; }
    void Destroy(uint32_t) override {}
    bool Seek(int64_t offset, uint32_t origin, uint64_t*) override {
        seeks.emplace_back(offset, origin);
        return true;
    }
    bool Write(const void* data, size_t count, size_t* written) override {
        if (refuseWrites) return false;
        writes.push_back(count);
        bytes.append(static_cast<const char*>(data), count);
        if (written != nullptr) *written = count;
        return true;
    }
    bool Read(void* buffer, size_t count, size_t* got) override {
        if (buffer == nullptr || got == nullptr) return false;
        if (readsBeforeFailure >= 0 && readsBeforeFailure-- == 0) return false;
        *got = bytes.copy(static_cast<char*>(buffer), count, position);
        position += *got;
        return true;
    }
};

}  // namespace katest

#endif
