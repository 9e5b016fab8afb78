# Pure numerics: no host call, no dialog, no save; progress lines go to the log sink.
set(WARPMENDER_FIELDMAP_SOURCES
  fieldmap/anatomy_mapping.cpp
  fieldmap/filter_kernels.cpp
  fieldmap/fmg.cpp
  fieldmap/kernel_isa.cpp
  fieldmap/multigrid_unwrap.cpp
  fieldmap/phase_to_shift.cpp
  fieldmap/quality_unwrap.cpp
  fieldmap/relax_unwrap.cpp
  fieldmap/undistort.cpp)
