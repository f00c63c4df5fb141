# norvix-monitor with a hook that reports its first paint and clicks "Open COM" (monitor_idle.sh).
if(TARGET nvx_monitor_program)
  add_executable(bench_monitor_driver ${CMAKE_CURRENT_SOURCE_DIR}/monitor_driver.cpp)
  target_link_libraries(bench_monitor_driver PRIVATE nvx_monitor_program)
  nvx_warnings(bench_monitor_driver)
endif()
