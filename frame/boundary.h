// No C++ exception may cross a slot: a host built by another compiler cannot
// catch ours, so one escaping (std::bad_alloc from a std::wstring, say) would
// end the host. Every slot whose work can throw runs its body through
// Boundary, which turns any exception into the slot's failure value and one
// log line.
#ifndef KA_FRAME_BOUNDARY_H
#define KA_FRAME_BOUNDARY_H

#include <exception>
#include <new>

namespace ka {

// Writes "Operation failed: <what>" as an ERROR line; allocates nothing.
void ReportEscapedException(const char* what) noexcept;

template <typename Result, typename Body>
Result Boundary(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        ReportEscapedException("out of memory");
    } catch (const std::exception& error) {
        ReportEscapedException(error.what());
    } catch (...) {
        ReportEscapedException("unexpected exception");
    }
    return failure;
}

// For slots without a result.
template <typename Body>
void Boundary(Body&& body) noexcept {
    Boundary(0, [&] {
        body();
        return 0;
    });
}

}  // namespace ka

#endif
