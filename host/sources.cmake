set(WARPMENDER_HOST_SOURCES
  host/alignment.cpp
  core/temporary_names.cpp
  host/atomic_file.cpp
  host/document_files.cpp
  host/failure_context.cpp
  host/file_checks.cpp
  host/fmr_file.cpp
  host/host.cpp
  host/host_api.cpp
  host/input_file.cpp
  host/input_headers.cpp
  host/interrupt.cpp
  host/memory_budget.cpp
  host/nifti_document.cpp
  host/output_folder.cpp
  host/plugin_library.cpp
  host/run_lock.cpp
  host/vmr_file.cpp)
set(WARPMENDER_HOST_LIBRARIES nifti::niftiio)
# The warpmender command (empty until it has sources).
set(WARPMENDER_COMMAND_SOURCES)
set(WARPMENDER_COMMAND_LIBRARIES)
