# Test sources of the fieldmap room.
# pipeline steps
list(APPEND WARPMENDER_UNIT_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/steps_undistort_test.cpp)
