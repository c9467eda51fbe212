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
