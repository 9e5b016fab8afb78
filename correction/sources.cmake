# The command's own processing beyond the plug-in: world alignment, intensity
# correction, direct field maps and two phase images, the magnitude's scale.
# Builds on core/ and fieldmap/ only; reads no file.
set(WARPMENDER_CORRECTION_SOURCES
  correction/field_sources.cpp
  correction/jacobian.cpp
  correction/magnitude_scale.cpp
  correction/world_grid.cpp)
