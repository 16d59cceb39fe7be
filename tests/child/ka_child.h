// What ka_child.exe writes, shared with the programs that check it.
#ifndef KA_TESTS_CHILD_KA_CHILD_H
#define KA_TESTS_CHILD_KA_CHILD_H

#include <cstddef>
#include <string>

namespace kachild {

// Byte `i` of the `n`-byte pattern that `out n` and `both n` write. The block
// number takes part, so lost, doubled or swapped 4 KiB pieces show; stdout
// and stderr differ by `salt`.
inline char PatternByte(size_t i, unsigned salt) {
    return static_cast<char>((i * 31 + (i >> 12) + salt) & 0xFF);
}
constexpr unsigned kOutSalt = 0;
constexpr unsigned kErrSalt = 101;

inline std::string Pattern(size_t n, unsigned salt) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) bytes[i] = PatternByte(i, salt);
    return bytes;
}

}  // namespace kachild

#endif
