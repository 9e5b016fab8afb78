# The command's own code, tested in-process.
list(APPEND WARPMENDER_UNIT_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/session_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/command_safety_unit_test.cpp)
# The command run as a process, as a user runs it.
list(APPEND WARPMENDER_COMMAND_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/command_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/command_safety_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/command_correct_test.cpp)
