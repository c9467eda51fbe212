#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <utility>

// Per-thread random numbers, seeded once per thread from the operating system's random source. Free of Asio so
// that pure modules can use it. No locking: each thread draws from its own generator.
namespace brindlemoor {

namespace random_detail {
inline std::mt19937_64& thread_generator() {
    thread_local std::mt19937_64 generator{[] {
        std::random_device source;
        std::seed_seq seed{source(), source(), source(), source()};
        return std::mt19937_64(seed);
    }()};
    return generator;
}
}  // namespace random_detail

// Every 64-bit value equally likely.
inline std::uint64_t random_u64() { return random_detail::thread_generator()(); }

// Uniform over the inclusive range between the two bounds (given in either order).
inline std::uint16_t random_u16(std::uint16_t lo, std::uint16_t hi) {
    if (hi < lo) std::swap(lo, hi);
    return std::uniform_int_distribution<std::uint16_t>(lo, hi)(random_detail::thread_generator());
}

// Uniform over 0 .. n-1; 0 when n is 0 or 1.
inline std::size_t random_index(std::size_t n) {
    if (n <= 1) return 0;
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_detail::thread_generator());
}

}  // namespace brindlemoor
