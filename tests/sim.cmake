# Test sources of the synthetic-data room.
list(APPEND WARPMENDER_UNIT_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/sim_dataset_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sim_dipole_field_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sim_epi_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sim_error_metrics_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sim_fieldmap_scan_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sim_figure_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sim_phantom_test.cpp)
