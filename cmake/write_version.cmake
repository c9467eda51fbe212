# Writes the version header: VERSION, a hyphen and the checkout's short commit id ("0000000" outside a git
# checkout). Run at every build (cmake -P); the header is rewritten only when its text changes, so an unchanged
# mark rebuilds nothing.
set(mark "0000000")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(
    COMMAND ${GIT_EXECUTABLE} rev-parse --short=7 HEAD
    WORKING_DIRECTORY ${SOURCE_DIR}
    OUTPUT_VARIABLE git_mark
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE git_result)
  if(git_result EQUAL 0 AND git_mark MATCHES "^[0-9a-f]+$")
    string(SUBSTRING "${git_mark}" 0 7 mark)
  endif()
endif()
set(BRINDLEMOOR_VERSION "${VERSION}-${mark}")
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
