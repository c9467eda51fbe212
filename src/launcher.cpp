#include "launcher.hpp"

namespace brindlemoor {

runtime::Awaitable<void> run_client(std::string, std::optional<std::string>, std::uint64_t, std::uint64_t,
                                    std::uint64_t, std::uint16_t, std::uint16_t, bool, OutputMode) {
    co_return;
}

}  // namespace brindlemoor
