# The client's bookkeeping: session reports and their fold rule, the stats vector, the client's result lines.
brindlemoor_library(bm_client_stats
  SOURCES src/session_report.cpp src/stats_vector.cpp src/launcher_output.cpp
  LIBS bm_common bm_logging fmt::fmt nlohmann_json::nlohmann_json)

brindlemoor_test(stats_vector_test
  SOURCES tests/unit/stats_vector_test.cpp
  LIBS bm_client_stats)

brindlemoor_test(launcher_output_test
  SOURCES tests/unit/launcher_output_test.cpp
  LIBS bm_client_stats)

brindlemoor_test(session_report_test
  SOURCES tests/unit/session_report_test.cpp
  LIBS bm_client_stats)

# Speed and allocations per datagram of the stats vector; run by hand, not a test.
# It replaces operator new with malloc to count allocations; GCC then sees free() on new'd memory.
brindlemoor_executable(stats_vector_bench
  SOURCES bench/stats_vector_bench.cpp
  LIBS bm_client_stats benchmark::benchmark
  OPTIONS -Wno-mismatched-new-delete)
