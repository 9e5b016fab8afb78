# The architecture: rooms.txt and every include of the tree.
list(APPEND WARPMENDER_UNIT_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/layering_test.cpp)
