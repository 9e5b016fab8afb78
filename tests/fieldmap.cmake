# Test sources of the fieldmap room.
# pipeline steps
list(APPEND WARPMENDER_UNIT_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/steps_filters_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/steps_phase_scaling_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/steps_shift_maps_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/steps_undistort_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/steps_vmr_mapping_test.cpp)
list(APPEND WARPMENDER_PLUGIN_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/steps_commands_test.cpp)
# unwrapping
list(APPEND WARPMENDER_UNIT_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/fmg_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/relax_unwrap_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/multigrid_unwrap_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/quality_unwrap_test.cpp)
list(APPEND WARPMENDER_PLUGIN_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/unwrap_plugin_test.cpp)
