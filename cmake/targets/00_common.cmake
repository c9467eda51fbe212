# Small pieces that every area shares: output mode, debug text form, timestamps, standard streams.
brindlemoor_library(bm_common
  SOURCES src/debug_text.cpp src/unicode/debug_escapes_table.cpp src/timestamp.cpp src/std_streams.cpp
  LIBS fmt::fmt)

brindlemoor_test(common_test
  SOURCES tests/unit/common_test.cpp
  LIBS bm_common)

# The checked-in table of the debug form's escaped code points is what the Unicode data gives.
add_test(NAME debug_escapes_table_is_current
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/src/unicode/generate_debug_escapes.py --check)
