# Test sources of the correction room.
list(APPEND WARPMENDER_UNIT_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/correction_field_sources_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/correction_folding_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/correction_grid_pairing_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/correction_jacobian_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/correction_magnitude_scale_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/correction_pe_check_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/correction_reverse_pe_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/correction_world_grid_test.cpp)
