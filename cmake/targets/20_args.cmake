# The command line: argument declaration, matching (CLI11), help, version and usage errors.
brindlemoor_library(bm_args
  SOURCES src/args.cpp
  LIBS bm_common CLI11::CLI11 fmt::fmt)

brindlemoor_test(args_test
  SOURCES tests/unit/args_test.cpp
  LIBS bm_args)
