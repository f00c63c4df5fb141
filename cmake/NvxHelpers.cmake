# Shared build settings for every target of the project.
function(nvx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow)
  if(NVX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# nvx_library(name SOURCES ... [PUBLIC_LIBS ...])
# A static library whose headers are included as "<area>/<file>.h" from src/.
function(nvx_library name)
  cmake_parse_arguments(A "" "" "SOURCES;PUBLIC_LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${A_PUBLIC_LIBS})
  nvx_warnings(${name})
endfunction()

# nvx_tests(area [SERIAL] SOURCES ... [LIBS ...]): one test program per area from the listed
# tests/<area>/*_test.cpp. A listed file that is missing stops the build; a *_test.cpp of the
# folder that is not listed stops the configuration, so no test drops out unseen.
# SERIAL: its tests race a device in real time and run with nothing else beside them.
function(nvx_tests area)
  cmake_parse_arguments(A "SERIAL" "" "SOURCES;LIBS" ${ARGN})
  file(GLOB present CONFIGURE_DEPENDS RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
    ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(f IN LISTS present)
    if(NOT f IN_LIST A_SOURCES)
      message(FATAL_ERROR "tests/${area}/${f} is not listed in tests/${area}/CMakeLists.txt")
    endif()
  endforeach()
  add_executable(${area}_tests ${A_SOURCES})
  target_include_directories(${area}_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${area}_tests PRIVATE ${A_LIBS} GTest::gmock GTest::gtest_main)
  target_compile_definitions(${area}_tests PRIVATE
    NVX_FIXTURES_DIR="${PROJECT_SOURCE_DIR}/tests/fixtures"
    NVX_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    NVX_BINARY_DIR="${PROJECT_BINARY_DIR}")
  nvx_warnings(${area}_tests)
  gtest_discover_tests(${area}_tests DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;NVX_BINARY_DIR=${PROJECT_BINARY_DIR}"
               RUN_SERIAL ${A_SERIAL})
endfunction()
