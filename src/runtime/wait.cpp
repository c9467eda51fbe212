#include "runtime/wait.hpp"

namespace brindlemoor::runtime {

Awaitable<void> yield_now() {
    detail::coop_reset();
    co_await boost::asio::post(co_await boost::asio::this_coro::executor, boost::asio::use_awaitable);
}

}  // namespace brindlemoor::runtime
