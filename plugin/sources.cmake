set(WARPMENDER_PLUGIN_SOURCES
  plugin/dispatcher.cpp
  plugin/distortioncorrector.cpp
  plugin/procedures.cpp)
