# Fuzz targets under fuzz/: the datagram codec, the server's per-datagram handling, the command line and the
# RUST_LOG filter. With BRINDLEMOOR_FUZZ (clang only) they are libFuzzer programs over the pure libraries,
# instrumented for coverage and built with AddressSanitizer and UndefinedBehaviorSanitizer; fuzz/run.sh drives
# them. In every other build the same entry points replay the committed seeds and the inputs of fixed crashes as
# tests, so the targets keep compiling and every sanitizer build re-checks those inputs. Each target has its seeds
# in fuzz/seeds/<name>/, which is also how fuzz/run.sh finds the targets.
option(BRINDLEMOOR_FUZZ "Build the libFuzzer targets under fuzz/ (needs clang)" OFF)

set(BRINDLEMOOR_FUZZ_TARGETS packet bouncer args log_filter)
set(BRINDLEMOOR_FUZZ_LIBS_packet bm_packet)
set(BRINDLEMOOR_FUZZ_LIBS_bouncer bm_server_rules)
set(BRINDLEMOOR_FUZZ_LIBS_args bm_args)
set(BRINDLEMOOR_FUZZ_LIBS_log_filter bm_logging)

if(BRINDLEMOOR_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "BRINDLEMOOR_FUZZ needs clang (libFuzzer); configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  if(NOT BRINDLEMOOR_SANITIZER STREQUAL "")
    message(FATAL_ERROR "BRINDLEMOOR_FUZZ brings its own sanitizers; leave BRINDLEMOOR_SANITIZER empty")
  endif()
  set(fuzz_sanitizers -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  # Every library a target reaches, so coverage and sanitizer checks see the whole path of an input.
  foreach(library bm_common bm_logging bm_args bm_packet bm_server_output bm_server_rules)
    target_compile_options(${library} PRIVATE -fsanitize=fuzzer-no-link ${fuzz_sanitizers})
    target_link_options(${library} INTERFACE -fsanitize=address,undefined)
  endforeach()
  set(fuzz_program_suffix fuzz)
  set(fuzz_main "")  # libFuzzer brings main()
  set(fuzz_compile_options -fsanitize=fuzzer ${fuzz_sanitizers})
  set(fuzz_link_options -fsanitize=fuzzer,address,undefined)
else()
  set(fuzz_program_suffix replay)
  set(fuzz_main fuzz/replay_main.cpp)
  set(fuzz_compile_options "")
  set(fuzz_link_options "")
endif()

foreach(name IN LISTS BRINDLEMOOR_FUZZ_TARGETS)
  set(program ${name}_${fuzz_program_suffix})
  brindlemoor_executable(${program}
    SOURCES fuzz/${name}_fuzz.cpp ${fuzz_main}
    LIBS ${BRINDLEMOOR_FUZZ_LIBS_${name}}
    OPTIONS ${fuzz_compile_options})
  target_link_options(${program} PRIVATE ${fuzz_link_options})
  if(NOT BRINDLEMOOR_FUZZ)
    add_test(NAME fuzz_replay_${name}
             COMMAND ${program} ${CMAKE_SOURCE_DIR}/fuzz/seeds/${name} ${CMAKE_SOURCE_DIR}/fuzz/regressions/${name})
    set_tests_properties(fuzz_replay_${name} PROPERTIES TIMEOUT 300)
  endif()
endforeach()
