# Each processing step with its logs, dialogs and saves, built from fieldmap/ and io/.
set(WARPMENDER_STEPS_SOURCES
  plugin/steps/filters.cpp
  plugin/steps/multigrid_unwrap.cpp
  plugin/steps/phase_scaling.cpp
  plugin/steps/shift_maps.cpp
  plugin/steps/undistort.cpp
  plugin/steps/unreached.cpp
  plugin/steps/unwrapping.cpp
  plugin/steps/vmr_mapping.cpp)
# The plug-in object, the dispatcher and the procedures.
set(WARPMENDER_PLUGIN_SOURCES
  ${WARPMENDER_STEPS_SOURCES}
  plugin/dispatcher.cpp
  plugin/distortioncorrector.cpp
  plugin/procedures.cpp)
