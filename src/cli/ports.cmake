# nvx ports
target_sources(nvx PRIVATE ${CMAKE_CURRENT_LIST_DIR}/ports_command.cpp)
target_link_libraries(nvx PRIVATE nvx_platform)
