# The program itself.
add_executable(brindlemoor src/main.cpp src/main_body.cpp)
target_include_directories(brindlemoor PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
target_compile_options(brindlemoor PRIVATE ${BRINDLEMOOR_WARNINGS})
target_link_libraries(brindlemoor PRIVATE bm_server bm_client bm_args bm_logging bm_runtime bm_common)
