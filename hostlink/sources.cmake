set(WARPMENDER_HOSTLINK_SOURCES
  hostlink/host_binding.cpp
  hostlink/log_sink.cpp)
