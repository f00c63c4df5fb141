# nvx_app: the main window's logic and the settings file (no Qt).
nvx_library(nvx_app SOURCES
  monitor.cpp
  monitor_settings.cpp
  PUBLIC_LIBS nvx_app_core nvx_platform
)

# The Qt main window, the composition of the program's windows and norvix-monitor.
if(NVX_GUI)
  include(${CMAKE_CURRENT_LIST_DIR}/gui/gui.cmake)
endif()
