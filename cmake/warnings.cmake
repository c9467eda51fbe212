# brindlemoor_warnings(TARGET): the warnings the project's own code is built with; errors with BRINDLEMOOR_WERROR.
function(brindlemoor_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
                                           $<$<BOOL:${BRINDLEMOOR_WERROR}>:-Werror>)
endfunction()
