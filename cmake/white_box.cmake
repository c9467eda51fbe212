# brindlemoor_white_box(TARGET PART): links TARGET (a test, fuzz target or benchmark) to the library of PART and lets
# it see what the part's own sources see: the part's private headers and everything the part uses.
function(brindlemoor_white_box target part)
  get_target_property(part_uses brindlemoor_${part} LINK_LIBRARIES)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src/${part}
                                               ${PROJECT_BINARY_DIR}/src/${part}/generated)
  target_link_libraries(${target} PRIVATE brindlemoor_${part} ${part_uses})
endfunction()
