set(WARPMENDER_CORE_SOURCES
  core/helper_tools.cpp
  core/intensity_summary.cpp
  core/mat44.cpp
  core/temporary_names.cpp)
