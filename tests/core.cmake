list(APPEND WARPMENDER_UNIT_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/datahandler_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/fresh_memory_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/helper_tools_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/mat44_test.cpp)
list(APPEND WARPMENDER_PLUGIN_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/plugin_frame_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/command_protocol_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/procedures_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/mapping_test.cpp)
