# The stand-in workstation: workspace, parameter store, dialogs, the host API, alignment, loading the plug-in.
set(WARPMENDER_HOST_SOURCES
  host/alignment.cpp
  host/document_files.cpp
  host/host.cpp
  host/host_api.cpp
  host/plugin_library.cpp)
