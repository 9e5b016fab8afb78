# Test sources of the BIDS room.
list(APPEND WARPMENDER_UNIT_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/bids_derivatives_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/bids_discovery_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/bids_file_name_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/bids_plan_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/bids_real_maps_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/bids_sidecar_test.cpp)
# The bids subcommand and the Snakefile run as processes.
list(APPEND WARPMENDER_COMMAND_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/bids_command_test.cpp)
