# Instrumentation of the whole build: a sanitizer (BRINDLEMOOR_SANITIZER) or the fuzzing build (BRINDLEMOOR_FUZZ).
if(BRINDLEMOOR_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "BRINDLEMOOR_FUZZ needs clang (libFuzzer); configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  if(NOT BRINDLEMOOR_SANITIZER STREQUAL "")
    message(FATAL_ERROR "BRINDLEMOOR_FUZZ brings its own sanitizers; leave BRINDLEMOOR_SANITIZER empty")
  endif()
  # Every library a fuzz target reaches is instrumented, so that coverage and the sanitizers see an input's path.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(BRINDLEMOOR_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(BRINDLEMOOR_SANITIZER STREQUAL "thread")
  # Asio's fenced blocks use std::atomic_thread_fence, which ThreadSanitizer does not model; its queues are
  # mutex-protected, which ThreadSanitizer does see.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_compile_definitions(BOOST_ASIO_DISABLE_FENCED_BLOCK)
  add_link_options(-fsanitize=thread)
elseif(NOT BRINDLEMOOR_SANITIZER STREQUAL "")
  message(FATAL_ERROR "BRINDLEMOOR_SANITIZER must be empty, 'address' or 'thread'")
endif()
if((BRINDLEMOOR_FUZZ OR BRINDLEMOOR_SANITIZER STREQUAL "address") AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # Clang 14 cannot emit UndefinedBehaviorSanitizer's function-type check in coroutine frames ("Cannot represent
  # a difference across sections"); the other checks stay.
  add_compile_options(-fno-sanitize=function)
endif()
if(NOT BRINDLEMOOR_SANITIZER STREQUAL "" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12's flow analysis reports false "may be used uninitialized" warnings on std::optional<std::string>
  # once sanitizer instrumentation is added; the plain build keeps the warning.
  add_compile_options(-Wno-maybe-uninitialized)
endif()
