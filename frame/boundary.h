// No C++ exception may cross a slot: a host built by another compiler cannot
// catch ours, so one escaping (std::bad_alloc from a std::wstring, say) would
// end the host. Every slot whose work can throw runs its body through
// Boundary, which turns any exception into the slot's failure value and one
// log line naming the slot (the function that called Boundary).
#ifndef KA_FRAME_BOUNDARY_H
#define KA_FRAME_BOUNDARY_H

#include <exception>
#include <new>
#include <source_location>

namespace ka {

// Writes "Operation failed in <slot>: <what>" as an ERROR line, the slot
// being the qualified name of the function `where` lies in; allocates nothing.
void ReportEscapedException(const char* what, const std::source_location& where) noexcept;

template <typename Result, typename Body>
Result Boundary(Result failure, Body&& body,
                std::source_location where = std::source_location::current()) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        ReportEscapedException("out of memory", where);
    } catch (const std::exception& error) {
        ReportEscapedException(error.what(), where);
    } catch (...) {
        ReportEscapedException("unexpected exception", where);
    }
    return failure;
}

// For slots without a result.
template <typename Body>
void Boundary(Body&& body, std::source_location where = std::source_location::current()) noexcept {
    Boundary(
        0,
        [&] {
            body();
            return 0;
        },
        where);
}

}  // namespace ka

#endif
