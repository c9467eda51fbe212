# Small pieces that every area shares: output mode, debug text form, timestamps, the standard streams with their
# writer threads and line queues, and the open-file limit.
brindlemoor_library(bm_common
  SOURCES src/debug_text.cpp src/unicode/debug_escapes_table.cpp src/timestamp.cpp src/line_queue.cpp
          src/std_streams.cpp src/open_file_limit.cpp
  LIBS fmt::fmt Threads::Threads)

brindlemoor_test(common_test
  SOURCES tests/unit/common_test.cpp
  LIBS bm_common)

brindlemoor_test(line_queue_test
  SOURCES tests/unit/line_queue_test.cpp
  LIBS bm_common)

# The checked-in table of the debug form's escaped code points is what the Unicode data gives.
add_test(NAME debug_escapes_table_is_current
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/src/unicode/generate_debug_escapes.py --check)
