# The measurement client: main task, probe exchange, sessions and aggregator.
brindlemoor_library(bm_client
  SOURCES src/launcher.cpp
  LIBS bm_runtime bm_client_stats bm_packet bm_logging bm_common)
