# The measurement client: its pure decisions (run checks and timing, ports, reply tests, rounds), free of Asio
# so that they build and test fast; and the main task with the probe exchange, the session task and the aggregator
# on the runtime.
brindlemoor_library(bm_client_logic
  SOURCES src/launcher_plan.cpp src/launcher_reply.cpp src/launcher_rounds.cpp
  LIBS bm_client_stats bm_packet fmt::fmt)

brindlemoor_library(bm_client
  SOURCES src/launcher.cpp src/launcher_session.cpp src/launcher_aggregator.cpp
  LIBS bm_client_logic bm_runtime bm_client_stats bm_result_stream bm_packet bm_logging bm_common)
target_precompile_headers(bm_client REUSE_FROM bm_runtime)
# The session's coroutine frame is too large for Asio's frame cache, so GCC 12 sees its aligned_alloc next to
# Asio's sized operator delete (which frees it correctly) and reports a mismatch that is not there.
set_source_files_properties(src/launcher_session.cpp PROPERTIES COMPILE_OPTIONS -Wno-mismatched-new-delete)

brindlemoor_test(launcher_logic_test
  SOURCES tests/unit/launcher_plan_test.cpp tests/unit/launcher_reply_test.cpp tests/unit/launcher_rounds_test.cpp
  LIBS bm_client_logic)
