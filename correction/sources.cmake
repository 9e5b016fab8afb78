# The command's own processing beyond the plug-in: world alignment, intensity
# correction, direct field maps and two phase images, the magnitude's scale,
# the phase-encoding sense check and folding.
# Builds on core/ and fieldmap/ only; reads no file.
set(WARPMENDER_CORRECTION_SOURCES
  correction/field_sources.cpp
  correction/folding.cpp
  correction/grid_pairing.cpp
  correction/jacobian.cpp
  correction/magnitude_scale.cpp
  correction/pe_check.cpp
  correction/world_grid.cpp)
