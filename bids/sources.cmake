# BIDS datasets: file names, sidecars with inheritance, discovery of series and
# their field maps, the plan of a batch, derivative names and descriptions,
# the arguments of one correction and the derivatives it leaves (images,
# sidecars, the dataset's description and index). Builds on core/ and
# report/, nlohmann-json, nifticlib (headers only: sizes) and zlib.
set(WARPMENDER_BIDS_SOURCES
  bids/correct_call.cpp
  bids/dataset_description.cpp
  bids/dataset_files.cpp
  bids/derivative_paths.cpp
  bids/derivatives.cpp
  bids/discovery.cpp
  bids/file_name.cpp
  bids/inheritance.cpp
  bids/json_file.cpp
  bids/memory_estimate.cpp
  bids/plan.cpp
  bids/rerun.cpp)
