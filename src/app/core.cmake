nvx_library(nvx_app_core SOURCES
  shell.cpp
  switches.cpp
  startup.cpp
  PUBLIC_LIBS nvx_platform nvx_comm
)
target_compile_definitions(nvx_app_core PRIVATE NVX_VERSION="${PROJECT_VERSION}")
