# The stand-alone C tools that the benchmark drivers under bench/ run beside the program; not tests.
foreach(tool udp_flood minimal_echo gap_reflector paced_sender ping_client)
  brindlemoor_executable(${tool} SOURCES bench/${tool}.c LIBS Threads::Threads)
endforeach()

# Preloaded into a program under load to count its heap allocations and mutex locks.
add_library(hot_path_counter MODULE bench/hot_path_counter.c)
target_compile_options(hot_path_counter PRIVATE ${BRINDLEMOOR_WARNINGS})
target_link_libraries(hot_path_counter PRIVATE ${CMAKE_DL_LIBS})
