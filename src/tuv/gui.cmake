# nvx_tuv_gui: the "TUV Communication" and "TUV Inside" windows over nvx_tuv.
if(NVX_GUI)
  nvx_library(nvx_tuv_gui SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/gui/tuv_comm_dlg.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gui/tuv_comm_dlg.h
    ${CMAKE_CURRENT_LIST_DIR}/gui/tuv_inside_dlg.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gui/tuv_inside_dlg.h
    PUBLIC_LIBS nvx_tuv nvx_platform_gui Qt6::Widgets
  )
endif()
