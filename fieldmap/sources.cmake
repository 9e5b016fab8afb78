set(WARPMENDER_FIELDMAP_SOURCES
  fieldmap/filters.cpp
  fieldmap/fmg.cpp
  fieldmap/phase_scaling.cpp)
