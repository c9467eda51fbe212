# The version text is "1.0.5-" and the short commit id of the checkout, read at configure time.
set(BRINDLEMOOR_VERSION_BASE "1.0.5")
set(BRINDLEMOOR_BUILD_MARK "0000000")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(
    COMMAND ${GIT_EXECUTABLE} rev-parse --short=7 HEAD
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE git_mark
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE git_result)
  if(git_result EQUAL 0 AND git_mark MATCHES "^[0-9a-f]+$")
    string(SUBSTRING "${git_mark}" 0 7 BRINDLEMOOR_BUILD_MARK)
  endif()
endif()
set(BRINDLEMOOR_VERSION "${BRINDLEMOOR_VERSION_BASE}-${BRINDLEMOOR_BUILD_MARK}")
configure_file(${CMAKE_SOURCE_DIR}/src/version.hpp.in ${CMAKE_BINARY_DIR}/generated/version.hpp @ONLY)
