# The command line: argument declaration, matching, help, version and usage errors.
brindlemoor_library(bm_args
  SOURCES src/args.cpp src/command_line.cpp src/command_line_text.cpp
  LIBS bm_common fmt::fmt)

brindlemoor_test(args_test
  SOURCES tests/unit/args_test.cpp
  LIBS bm_args)
