# The datagram codec and socket error classes (pure, no Asio I/O), and the async runtime layer on Boost.Asio.
brindlemoor_library(bm_packet
  SOURCES src/packet.cpp
  LIBS Boost::headers)

brindlemoor_library(bm_runtime
  SOURCES src/runtime/available_processors.cpp src/runtime/blocking_pool.cpp src/runtime/cpu_quota.cpp
          src/runtime/ctrl_c.cpp src/runtime/net.cpp src/runtime/runtime.cpp src/runtime/task.cpp
          src/runtime/tick_schedule.cpp src/runtime/timer.cpp src/runtime/wait.cpp src/runtime/worker_threads.cpp
  LIBS bm_packet Boost::headers Threads::Threads bm_common bm_logging)
target_precompile_headers(bm_runtime PRIVATE ${CMAKE_SOURCE_DIR}/src/runtime/pch.hpp)

# The aggregators' side of the result lines: the wait for room in the standard-output buffer, and the end of a run
# whose results cannot be written.
brindlemoor_library(bm_result_stream
  SOURCES src/result_stream.cpp
  LIBS bm_runtime bm_logging bm_common)
target_precompile_headers(bm_result_stream REUSE_FROM bm_runtime)

brindlemoor_test(packet_test
  SOURCES tests/unit/packet_test.cpp
  LIBS bm_packet)

brindlemoor_test(runtime_rules_test
  SOURCES tests/unit/runtime_rules_test.cpp
  LIBS bm_runtime)

# The tests that run tasks on a real runtime share the runtime's precompiled header.
foreach(runtime_test runtime_task_test runtime_wait_test runtime_net_test)
  brindlemoor_test(${runtime_test}
    SOURCES tests/unit/${runtime_test}.cpp
    LIBS bm_runtime)
  target_precompile_headers(${runtime_test} REUSE_FROM bm_runtime)
endforeach()
