# The Programming Tool's procedures as a service, its window logic and the update procedure; no
# Qt (nvx runs the service too).
nvx_library(nvx_progtool_tool SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/update_procedure.cpp
  ${CMAKE_CURRENT_LIST_DIR}/update_messages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/programmer_run.cpp
  ${CMAKE_CURRENT_LIST_DIR}/programming_service.cpp
  ${CMAKE_CURRENT_LIST_DIR}/prog_tool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/service_run.cpp
  PUBLIC_LIBS nvx_progtool nvx_journal nvx_eeprom nvx_comm nvx_shell nvx_platform
)
