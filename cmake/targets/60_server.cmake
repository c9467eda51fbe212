# The reflector server: main task, port tasks and aggregator.
brindlemoor_library(bm_server
  SOURCES src/bouncer.cpp
  LIBS bm_runtime bm_server_output bm_packet bm_logging bm_common)
