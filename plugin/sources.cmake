set(WARPMENDER_PLUGIN_SOURCES
  plugin/dispatcher.cpp
  plugin/display_funcs.cpp
  plugin/distortioncorrector.cpp
  plugin/host_binding.cpp
  plugin/procedures.cpp)
