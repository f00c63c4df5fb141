# Device catalogue, program files and the NPF transform; no window, no Qt.
nvx_library(nvx_progtool SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/device_catalogue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/device_description.cpp
  ${CMAKE_CURRENT_LIST_DIR}/program_file.cpp
  PUBLIC_LIBS nvx_platform
)
