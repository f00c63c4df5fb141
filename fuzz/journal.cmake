nvx_fuzz_target(fuzz_service_journal
  SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_service_journal.cpp LIBS nvx_journal)
