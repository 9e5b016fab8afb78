# Synthetic data for tests, the demo and the benchmarks: a head phantom, its
# field, the field-map scan, distorted EPI, error metrics and PNG figures.
set(WARPMENDER_SIM_SOURCES
  sim/dataset.cpp
  sim/dipole_field.cpp
  sim/epi.cpp
  sim/error_metrics.cpp
  sim/fieldmap_scan.cpp
  sim/figure.cpp
  sim/grid.cpp
  sim/phantom.cpp)
add_library(warpmender_sim STATIC ${WARPMENDER_SIM_SOURCES})
target_include_directories(warpmender_sim PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(warpmender_sim PUBLIC PkgConfig::FFTW3 PNG::PNG)
