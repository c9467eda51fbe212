# The server's result record with its text and JSON lines, and the per-port counters it is summed from.
brindlemoor_library(bm_server_output
  SOURCES src/bouncer_output.cpp src/bouncer_counters.cpp
  LIBS bm_common bm_logging fmt::fmt nlohmann_json::nlohmann_json)

brindlemoor_test(bouncer_output_test
  SOURCES tests/unit/bouncer_output_test.cpp
  LIBS bm_server_output)

brindlemoor_test(bouncer_counters_test
  SOURCES tests/unit/bouncer_counters_test.cpp
  LIBS bm_server_output Threads::Threads)
