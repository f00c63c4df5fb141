# The Programming Tool's tests: its logic, and a stand-in for the programmer adapter that the
# procedure tests start as a real child process.
target_link_libraries(progtool_tests PRIVATE nvx_progtool_tool nvx_test_support)
# The switch tests set /W and /E the way the monitor reads them.
target_link_libraries(progtool_tests PRIVATE nvx_app)

add_executable(nvx_standin_programmer
  ${PROJECT_SOURCE_DIR}/tests/fixtures/progtool/stand_in/stand_in_programmer.cpp)
nvx_warnings(nvx_standin_programmer)
add_dependencies(progtool_tests nvx_standin_programmer)
target_compile_definitions(progtool_tests PRIVATE
  NVX_STANDIN_PROGRAMMER="$<TARGET_FILE:nvx_standin_programmer>")

if(TARGET nvx_progtool_gui)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  target_link_libraries(progtool_tests PRIVATE nvx_progtool_gui Qt6::Test)
  target_compile_definitions(progtool_tests PRIVATE NVX_PROGTOOL_GUI=1)
endif()

# The monitor program with the Programming Tool among its windows.
if(TARGET nvx_monitor_program AND TARGET nvx_progtool_gui)
  target_link_libraries(progtool_tests PRIVATE nvx_monitor_program)
  target_compile_definitions(progtool_tests PRIVATE NVX_MONITOR_PROGRAM=1)
endif()
