nvx_library(nvx_app_core SOURCES
  shell.cpp
  PUBLIC_LIBS nvx_platform
)
