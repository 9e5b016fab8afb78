# The warpmender command: session and sidecar handling as a library (tests and
# fuzzers use it), main() and one file per subcommand.
set(WARPMENDER_COMMAND_LIB_SOURCES
  host/acquisition_ranges.cpp
  host/command_session.cpp
  host/console.cpp
  host/phantom_files.cpp
  host/run_correct.cpp
  host/run_demo.cpp
  host/run_diff.cpp
  host/run_info.cpp
  host/run_polar.cpp
  host/run_preflight.cpp
  host/run_run.cpp
  host/session.cpp
  host/sidecar.cpp)
set(WARPMENDER_COMMAND_SOURCES host/command_main.cpp)
set(WARPMENDER_COMMAND_LIBRARIES warpmender_command_lib)
