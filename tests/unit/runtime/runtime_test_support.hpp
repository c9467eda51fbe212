#pragma once

// What the tests that run tasks on a real runtime share.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "runtime/datagram_socket.hpp"
#include "runtime/runtime.hpp"
#include "runtime/task.hpp"

namespace brindlemoor::runtime {

// A panic's report is the most useful failure message for a task that should have returned.
inline void expect_returned(const JoinOutcome& outcome) {
    EXPECT_TRUE(outcome.returned()) << outcome.panic->to_string();
}

// Runs `body` as a task on a fresh runtime of several workers and expects it to return.
template <typename Body>
void run_task(Body body) {
    Runtime runtime(4);
    expect_returned(spawn(std::move(body)).join_blocking());
}

// The address to reach a socket bound on 127.0.0.1.
inline std::string loopback_address(const DatagramSocket& socket) {
    return "127.0.0.1:" + std::to_string(socket.local_endpoint().port());
}

}  // namespace brindlemoor::runtime
