# Helpers that give every library, program and test of the project the same settings.

set(BRINDLEMOOR_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion)
if(BRINDLEMOOR_WERROR)
  list(APPEND BRINDLEMOOR_WARNINGS -Werror)
endif()

# brindlemoor_library(NAME SOURCES file... [LIBS lib...]): its users get the source and generated headers.
function(brindlemoor_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
  target_compile_options(${name} PRIVATE ${BRINDLEMOOR_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

# brindlemoor_executable(NAME SOURCES file... LIBS lib... [OPTIONS flag...]): a program over the project's
# libraries, which bring its include directories; OPTIONS are compile options beyond the warnings.
function(brindlemoor_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;OPTIONS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${BRINDLEMOOR_WARNINGS} ${ARG_OPTIONS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
endfunction()

# brindlemoor_test(NAME SOURCES file... LIBS lib...): a GoogleTest executable registered with CTest.
function(brindlemoor_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  brindlemoor_executable(${name} SOURCES ${ARG_SOURCES} LIBS ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()
