#include "bouncer.hpp"

namespace brindlemoor {

runtime::Awaitable<void> run_server(std::string, std::optional<std::string>, std::uint64_t, std::uint64_t,
                                    std::uint16_t, std::uint16_t, OutputMode) {
    co_return;
}

}  // namespace brindlemoor
