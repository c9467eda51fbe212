# Log set-up: the RUST_LOG filter, the text and JSON line formats and the process-wide subscriber.
brindlemoor_library(bm_logging
  SOURCES src/logging.cpp src/log_filter.cpp src/log_format.cpp
  LIBS bm_common fmt::fmt)

brindlemoor_test(log_filter_test
  SOURCES tests/unit/log_filter_test.cpp
  LIBS bm_logging)

brindlemoor_test(log_format_test
  SOURCES tests/unit/log_format_test.cpp
  LIBS bm_logging)

# Cost of formatting one log line; run by hand, not a test.
brindlemoor_executable(log_format_bench
  SOURCES bench/log_format_bench.cpp
  LIBS bm_logging benchmark::benchmark)
