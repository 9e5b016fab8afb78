set(WARPMENDER_IO_SOURCES
  io/amr_writer.cpp
  io/display_funcs.cpp
  io/fmr_writer.cpp
  io/host_documents.cpp)
