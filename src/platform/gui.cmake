# nvx_platform_gui: message boxes and tones for the windows (Qt Widgets and Multimedia).
if(NOT NVX_GUI)
  return()
endif()
nvx_library(nvx_platform_gui SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/qt_dialogs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_tones.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_tones.h
  PUBLIC_LIBS nvx_platform Qt6::Widgets Qt6::Multimedia
)
