# The runtime shared by the device commands (console_session.h): a small library so that it can
# be tested, linked into nvx.
nvx_library(nvx_cli_session SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/console_session.cpp
  PUBLIC_LIBS nvx_tuv nvx_comm nvx_shell nvx_platform
)
target_link_libraries(nvx PRIVATE nvx_cli_session)
