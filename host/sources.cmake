set(WARPMENDER_HOST_SOURCES
  host/alignment.cpp
  host/host.cpp
  host/host_api.cpp
  host/plugin_library.cpp)
set(WARPMENDER_HOST_LIBRARIES)
# The warpmender command (empty until it has sources).
set(WARPMENDER_COMMAND_SOURCES)
set(WARPMENDER_COMMAND_LIBRARIES)
