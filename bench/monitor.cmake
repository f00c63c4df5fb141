# norvix-monitor with a hook that reports its first paint and clicks "Open COM" (monitor_idle.sh).
if(TARGET nvx_monitor_program)
  add_executable(bench_monitor_driver ${CMAKE_CURRENT_SOURCE_DIR}/monitor_driver.cpp)
  target_link_libraries(bench_monitor_driver PRIVATE nvx_monitor_program)
  nvx_warnings(bench_monitor_driver)
endif()

# A bare Qt Widgets program with one 10 ms timer: the floor the monitor is compared with.
find_package(Qt6 COMPONENTS Widgets)
if(Qt6Widgets_FOUND)
  add_executable(bench_qt_timer_floor ${CMAKE_CURRENT_SOURCE_DIR}/qt_timer_floor.cpp)
  target_link_libraries(bench_qt_timer_floor PRIVATE Qt6::Widgets)
  nvx_warnings(bench_qt_timer_floor)
endif()
