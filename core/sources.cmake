set(WARPMENDER_CORE_SOURCES
  core/atomic_file.cpp
  core/fmr_keys.cpp
  core/fresh_memory.cpp
  core/helper_tools.cpp
  core/intensity_summary.cpp
  core/mat44.cpp
  core/temporary_names.cpp)
