# The reflector server: main task, port tasks and aggregator, over the rules that need no socket.
brindlemoor_library(bm_server_rules
  SOURCES src/bouncer_port.cpp src/bouncer_aggregator_state.cpp
  LIBS bm_server_output bm_packet bm_logging bm_common fmt::fmt)

brindlemoor_library(bm_server
  SOURCES src/bouncer.cpp src/bouncer_aggregator.cpp
  LIBS bm_server_rules bm_runtime bm_server_output bm_result_stream bm_packet bm_logging bm_common)
target_precompile_headers(bm_server REUSE_FROM bm_runtime)

brindlemoor_test(bouncer_rules_test
  SOURCES tests/unit/bouncer_rules_test.cpp
  LIBS bm_server_rules)
