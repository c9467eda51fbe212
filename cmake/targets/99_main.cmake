# The program itself.
add_executable(brindlemoor src/main.cpp)
target_include_directories(brindlemoor PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
target_compile_options(brindlemoor PRIVATE ${BRINDLEMOOR_WARNINGS})
target_link_libraries(brindlemoor PRIVATE bm_common)
