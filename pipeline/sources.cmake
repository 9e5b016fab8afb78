# The command's correction of one run beside the plug-in: the field sources it
# prepares (two phase images, direct field maps, quality-guided unwrapping),
# world alignment of the maps, the intensity correction of the series and the
# run's report, all on host documents. Reads and writes no file itself.
set(WARPMENDER_PIPELINE_SOURCES
  pipeline/run_maps.cpp
  pipeline/run_review.cpp)
