# Test sources of the report room.
list(APPEND WARPMENDER_UNIT_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/report_browser_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/report_files_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/report_run_test.cpp)
