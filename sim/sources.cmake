# Synthetic data for tests, the demo and the benchmarks.
set(WARPMENDER_SIM_SOURCES)
if(WARPMENDER_SIM_SOURCES)
  add_library(warpmender_sim STATIC ${WARPMENDER_SIM_SOURCES})
else()
  add_library(warpmender_sim INTERFACE)
endif()
target_include_directories(warpmender_sim INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
