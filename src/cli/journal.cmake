# nvx journal: the service journal of the start directory as a table.
target_sources(nvx PRIVATE ${CMAKE_CURRENT_LIST_DIR}/journal_command.cpp)
target_link_libraries(nvx PRIVATE nvx_journal nvx_progtool_tool nvx_cli_session)
