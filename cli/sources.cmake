# The warpmender command: one file per subcommand, the session file, its run
# and report, console and progress, as a library (tests and fuzzers use it);
# main() apart.
set(WARPMENDER_COMMAND_LIB_SOURCES
  cli/acquisition_ranges.cpp
  cli/child_process.cpp
  cli/command_session.cpp
  cli/console.cpp
  cli/demo_figure.cpp
  cli/failure_context.cpp
  cli/interrupt.cpp
  cli/memory_budget.cpp
  cli/output_folder.cpp
  cli/correction_plan.cpp
  cli/phantom_files.cpp
  cli/run_bids.cpp
  cli/run_correct.cpp
  cli/run_demo.cpp
  cli/run_diff.cpp
  cli/run_info.cpp
  cli/run_lock.cpp
  cli/run_polar.cpp
  cli/run_preflight.cpp
  cli/run_run.cpp
  cli/session.cpp
  cli/subcommands.cpp)
set(WARPMENDER_COMMAND_SOURCES cli/command_main.cpp)
