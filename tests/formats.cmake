# Test sources of the formats room (and the workstation that opens them).
list(APPEND WARPMENDER_UNIT_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/host_document_files_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/host_file_checks_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/host_fmr_file_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/host_nifti_document_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/host_vmr_file_test.cpp)
