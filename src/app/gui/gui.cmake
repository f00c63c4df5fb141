# nvx_app_gui: the main window and the About box. nvx_monitor_program: the program's windows put
# together (the plug-in point of every window is monitor_program.cpp). norvix-monitor: the program.
nvx_library(nvx_app_gui SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/monitor_dlg.cpp
  ${CMAKE_CURRENT_LIST_DIR}/monitor_dlg.h
  ${CMAKE_CURRENT_LIST_DIR}/detached_starter.cpp
  PUBLIC_LIBS nvx_app nvx_platform_gui Qt6::Widgets
)
qt_add_resources(nvx_app_gui "monitor_icon"
  PREFIX "/norvix"
  BASE ${PROJECT_SOURCE_DIR}/packaging
  FILES ${PROJECT_SOURCE_DIR}/packaging/norvix-monitor.png
)

nvx_library(nvx_monitor_program SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/monitor_program.cpp
  ${CMAKE_CURRENT_LIST_DIR}/termination_requests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/termination_requests.h
  PUBLIC_LIBS nvx_app_gui nvx_platform_qt nvx_tuv_gui
    nvx_texts_gui nvx_kernel_api_gui nvx_progtool_gui
)

add_executable(norvix-monitor ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(norvix-monitor PRIVATE nvx_monitor_program)
target_link_libraries(norvix-monitor PRIVATE nvx_version)
nvx_warnings(norvix-monitor)

include(GNUInstallDirs)
install(TARGETS norvix-monitor)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/norvix-monitor.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/norvix-monitor.png
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/norvix-monitor.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The work directory's ReadMe.txt with CR LF line ends, and the launcher that prepares a work
# directory and starts the monitor in it (the desktop entry runs the launcher).
file(READ ${PROJECT_SOURCE_DIR}/packaging/ReadMe.txt readme_text)
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/ReadMe.txt CONTENT "${readme_text}" @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/ReadMe.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/norvix-monitor)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/norvix-monitor-start DESTINATION ${CMAKE_INSTALL_BINDIR})
