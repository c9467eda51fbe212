# End-to-end tests: Python scripts that run the real binary against real UDP sockets on loopback.
file(GLOB BRINDLEMOOR_E2E_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/test_*.py)
foreach(test_file IN LISTS BRINDLEMOOR_E2E_TESTS)
  get_filename_component(test_module ${test_file} NAME_WE)
  add_test(NAME e2e_${test_module}
           COMMAND ${Python3_EXECUTABLE} -m unittest -v ${test_module}
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/e2e)
  set_tests_properties(e2e_${test_module} PROPERTIES
    ENVIRONMENT "BRINDLEMOOR_BIN=$<TARGET_FILE:brindlemoor>;PYTHONDONTWRITEBYTECODE=1"
    TIMEOUT 600)
endforeach()
