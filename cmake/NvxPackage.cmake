# What the Debian package holds beyond the programs (manual pages, documentation, the example
# udev rule, copyright and changelog), and the package itself:
#   cmake --build build/release --target package   ->  norvix-monitor_<version>_amd64.deb
include(GNUInstallDirs)

set(NVX_PACKAGE_NAME norvix-monitor)
set(NVX_PACKAGE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${NVX_PACKAGE_NAME})
set(NVX_PACKAGE_MAINTAINER "Norvix PC Monitor maintainers <maintainers@norvix-monitor.invalid>"
  CACHE STRING "Maintainer field of the Debian package")

# Manual pages: scdoc sources in docs/man, gzip -9n as Debian wants them (no name, no time stamp,
# so the package is reproducible). The roff pages stay in the build tree for `man -l`.
find_program(NVX_SCDOC scdoc REQUIRED)
file(GLOB nvx_man_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.scd)
set(nvx_man_pages)
foreach(source IN LISTS nvx_man_sources)
  get_filename_component(page ${source} NAME_WLE)  # nvx.1
  set(roff ${PROJECT_BINARY_DIR}/man/${page})
  add_custom_command(OUTPUT ${roff}.gz
    COMMAND sh -c "exec \"$0\" < \"$1\" > \"$2\"" ${NVX_SCDOC} ${source} ${roff}
    COMMAND gzip -9nkf ${roff}
    DEPENDS ${source}
    COMMENT "Manual page ${page}"
    VERBATIM)
  list(APPEND nvx_man_pages ${roff}.gz)
endforeach()
add_custom_target(nvx_man ALL DEPENDS ${nvx_man_pages})
install(FILES ${nvx_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The launcher is described in the monitor's page.
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/man)
file(CREATE_LINK norvix-monitor.1.gz ${PROJECT_BINARY_DIR}/man/norvix-monitor-start.1.gz SYMBOLIC)
install(FILES ${PROJECT_BINARY_DIR}/man/norvix-monitor-start.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Documentation. The changelog's newest entry must name this version: a release without an entry
# is refused here rather than shipped with a changelog that contradicts --version.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog nvx_changelog_head LIMIT_COUNT 1)
if(NOT nvx_changelog_head MATCHES "^${NVX_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: the newest entry is not for ${PROJECT_VERSION}: ${nvx_changelog_head}")
endif()
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
  COMMAND sh -c "exec gzip -9nc < \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/packaging/changelog
    ${PROJECT_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(nvx_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
install(FILES
  ${PROJECT_SOURCE_DIR}/README.md
  ${PROJECT_SOURCE_DIR}/packaging/copyright
  ${PROJECT_SOURCE_DIR}/packaging/60-norvix-serial.rules
  ${PROJECT_BINARY_DIR}/changelog.gz
  DESTINATION ${NVX_PACKAGE_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${NVX_PACKAGE_DOCDIR}/docs
  FILES_MATCHING PATTERN "*.md" PATTERN "man" EXCLUDE)

# The package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${NVX_PACKAGE_NAME})
set(CPACK_PACKAGE_CONTACT ${NVX_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The Programming Tool's adapter runs avrdude; dpkg-shlibdeps cannot see that.
set(CPACK_DEBIAN_PACKAGE_DEPENDS avrdude)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service tool for Norvix heating and climate controllers")
# The extended description; CPack puts the summary above it and indents it as Debian wants.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Talks to a Norvix controller, operating panel or sensor over a serial port:
kernel commands, the frame traffic on the line, the starting texts of an
operating panel, EEPROM images with their error memory report, and firmware
updates through the device's bootloader.

The package holds the monitor window (norvix-monitor and its launcher
norvix-monitor-start), the same jobs for scripts without a window (nvx), and a
virtual device on a pseudo-terminal for training and tests (norvix-sim).")
include(CPack)
