// The C boundary: no C++ exception may leave the library through one of its C functions (the
// caller's stack has no unwinding information, and an escaping exception ends the process).
// Every SDK and asisim_* entry point runs its body through `guarded`, which turns an exception
// into the function's error value: out of memory is said once on stderr, since a caller sees
// only a general error.
#pragma once

#include <cstdio>
#include <exception>
#include <new>

namespace asisim {

template <class R, class Body> R guarded(R failed, Body &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        std::fputs("asisim: out of memory; the call failed\n", stderr);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "asisim: the call failed: %s\n", e.what());
    } catch (...) {
        std::fputs("asisim: the call failed\n", stderr);
    }
    return failed;
}

// For functions without a result.
template <class Body> void guarded_void(Body &&body) noexcept {
    guarded(0, [&] {
        body();
        return 0;
    });
}

} // namespace asisim
