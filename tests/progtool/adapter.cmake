# The programmer adapter's tests and the end-to-end updates: they run the built adapter, nvx, the
# virtual device and the monitor as child processes. A program that is not built leaves its path
# empty and its tests skipped.
target_link_libraries(progtool_tests PRIVATE nvx_progtool_adapter)
foreach(program norvixosp.exe nvx norvix-sim norvix-monitor)
  string(MAKE_C_IDENTIFIER "${program}" var)
  set(path_${var} "")
  if(TARGET ${program})
    add_dependencies(progtool_tests ${program})
    set(path_${var} "$<TARGET_FILE:${program}>")
  endif()
endforeach()
target_compile_definitions(progtool_tests PRIVATE
  NVX_ADAPTER_EXE="${path_norvixosp_exe}"
  NVX_SIM_EXE="${path_norvix_sim}"
  NVX_CLI_EXE="${path_nvx}"
  NVX_MONITOR_EXE="${path_norvix_monitor}")
