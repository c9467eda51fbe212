# The program itself.
brindlemoor_executable(brindlemoor
  SOURCES src/main.cpp src/main_body.cpp
  LIBS bm_server bm_client bm_args bm_logging bm_runtime bm_common)
