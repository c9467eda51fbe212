#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

// Helpers of the fuzz targets. A broken property aborts, which libFuzzer records as a crash with its input; the
// checks stay on in every build type, unlike assert().
namespace brindlemoor::fuzz {

inline void require(bool holds, std::string_view property) {
    if (holds) return;
    std::fprintf(stderr, "fuzz property broken: %.*s\n", static_cast<int>(property.size()), property.data());
    std::abort();
}

// Reads the input front to back; past its end every read yields zeros, so any input is usable.
class InputReader {
public:
    explicit InputReader(std::span<const std::uint8_t> input) : rest_(input) {}

    bool empty() const { return rest_.empty(); }

    std::uint8_t byte() {
        if (rest_.empty()) return 0;
        const std::uint8_t value = rest_.front();
        rest_ = rest_.subspan(1);
        return value;
    }

    // Up to `count` bytes; fewer when the input runs out.
    std::span<const std::uint8_t> bytes(std::size_t count) {
        const std::span<const std::uint8_t> taken = rest_.first(count < rest_.size() ? count : rest_.size());
        rest_ = rest_.subspan(taken.size());
        return taken;
    }

    // The next sizeof(Unsigned) bytes as a big-endian number.
    template <typename Unsigned>
    Unsigned big_endian() {
        Unsigned value = 0;
        for (std::size_t i = 0; i < sizeof(Unsigned); ++i) value = static_cast<Unsigned>((value << 8U) | byte());
        return value;
    }

private:
    std::span<const std::uint8_t> rest_;
};

}  // namespace brindlemoor::fuzz
