# Test sources of the pipeline room (its process tests are in command.cmake).
list(APPEND WARPMENDER_UNIT_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/pipeline_run_maps_test.cpp)
