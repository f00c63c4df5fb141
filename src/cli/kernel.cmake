# nvx kernel
target_sources(nvx PRIVATE ${CMAKE_CURRENT_LIST_DIR}/kernel_command.cpp)
target_link_libraries(nvx PRIVATE nvx_kernel_api nvx_cli_session)
