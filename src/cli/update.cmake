# nvx update, nvx eeprom: the Programming Tool's procedures on the console session.
target_sources(nvx PRIVATE ${CMAKE_CURRENT_LIST_DIR}/update_command.cpp
                           ${CMAKE_CURRENT_LIST_DIR}/update_command_line.cpp)
target_link_libraries(nvx PRIVATE nvx_progtool_tool nvx_cli_session)
target_sources(nvx PRIVATE ${CMAKE_CURRENT_LIST_DIR}/parallel_runner.cpp)
