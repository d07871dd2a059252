// The hash helpers every deterministic draw of the simulator is made from: the same inputs give
// the same numbers in every run, on every thread.
#pragma once

#include <cstdint>

namespace asisim {

// Well-mixed 64 bits from any 64 bits (splitmix64's finaliser).
constexpr uint64_t mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
constexpr uint64_t hash_combine(uint64_t a, uint64_t b) {
    return mix64(a ^ (b + 0x9E3779B97F4A7C15ull + (a << 6)));
}
// A number in [0, 1) from a hash.
constexpr double unit_from(uint64_t h) {
    return double(h >> 11) * 0x1.0p-53;
}

} // namespace asisim
