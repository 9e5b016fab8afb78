set(WARPMENDER_HOST_SOURCES
  host/alignment.cpp
  host/atomic_file.cpp
  host/document_files.cpp
  host/file_checks.cpp
  host/fmr_file.cpp
  host/host.cpp
  host/host_api.cpp
  host/nifti_document.cpp
  host/plugin_library.cpp
  host/vmr_file.cpp)
set(WARPMENDER_HOST_LIBRARIES nifti::niftiio)
# The warpmender command (empty until it has sources).
set(WARPMENDER_COMMAND_SOURCES)
set(WARPMENDER_COMMAND_LIBRARIES)
