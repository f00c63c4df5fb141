# The programmer adapter norvixosp.exe: its logic as a library (tested without avrdude) and the
# program that runs avrdude.
nvx_library(nvx_progtool_adapter SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/adapter/programmer_adapter.cpp
  PUBLIC_LIBS nvx_progtool
)
add_executable(norvixosp.exe ${CMAKE_CURRENT_LIST_DIR}/adapter/main.cpp)
target_link_libraries(norvixosp.exe PRIVATE nvx_progtool_adapter)
nvx_warnings(norvixosp.exe)
# A program for the monitor, not for users' PATH; norvix-monitor-start copies it into a work
# directory together with the part descriptions.
install(TARGETS norvixosp.exe DESTINATION lib/norvix-monitor)
