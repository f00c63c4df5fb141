# nvx decode, nvx listen
target_sources(nvx PRIVATE ${CMAKE_CURRENT_LIST_DIR}/frames_command.cpp)
target_link_libraries(nvx PRIVATE nvx_tuv nvx_cli_session)
