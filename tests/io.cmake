# Test sources of the io room.
list(APPEND WARPMENDER_UNIT_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/io_amr_writer_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/io_fmr_writer_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/io_host_documents_test.cpp)
