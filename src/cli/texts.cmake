# nvx texts
target_sources(nvx PRIVATE ${CMAKE_CURRENT_LIST_DIR}/texts_command.cpp)
target_link_libraries(nvx PRIVATE nvx_texts)
