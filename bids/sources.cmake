# BIDS datasets: file names, sidecars with inheritance, discovery of series and
# their field maps, the plan of a batch, derivative names and descriptions.
# Builds on core/ and the standard library, nlohmann-json and nifticlib
# (headers only: sizes); reads files, writes none.
set(WARPMENDER_BIDS_SOURCES
  bids/dataset_description.cpp
  bids/derivative_paths.cpp
  bids/discovery.cpp
  bids/file_name.cpp
  bids/inheritance.cpp
  bids/json_file.cpp
  bids/memory_estimate.cpp
  bids/plan.cpp
  bids/rerun.cpp)
