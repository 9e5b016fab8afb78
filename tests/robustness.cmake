# Test sources of the robustness room: fuzz findings kept as regressions, faults of the command as a process.
list(APPEND WARPMENDER_UNIT_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/faults_unit_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_regressions_test.cpp)
list(APPEND WARPMENDER_COMMAND_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/faults_test.cpp)
