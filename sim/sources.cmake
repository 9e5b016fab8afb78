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
