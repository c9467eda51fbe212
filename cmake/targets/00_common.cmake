# Small pieces that every area shares: output mode, debug text form, timestamps, standard streams, the open-file
# limit.
brindlemoor_library(bm_common
  SOURCES src/debug_text.cpp src/timestamp.cpp src/std_streams.cpp src/open_file_limit.cpp
  LIBS fmt::fmt)

brindlemoor_test(common_test
  SOURCES tests/unit/common_test.cpp
  LIBS bm_common)
