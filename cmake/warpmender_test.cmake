# add_warpmender_test(NAME SOURCES ... LIBRARIES ...): one GoogleTest executable
# whose cases CTest lists one by one.
include(GoogleTest)
function(add_warpmender_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest GTest::gtest_main)
  set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
  target_compile_definitions(${name} PRIVATE
    WARPMENDER_PLUGIN_PATH="$<TARGET_FILE:warpmender>"
    WARPMENDER_BINARY_DIR="${CMAKE_BINARY_DIR}"
    WARPMENDER_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_dependencies(${name} warpmender)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
