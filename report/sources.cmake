# The report of a corrected run (HTML with embedded PNG images, and JSON)
# and the dataset's index page. Builds on correction/; reads no input file.
set(WARPMENDER_REPORT_SOURCES
  report/atomic_write.cpp
  report/html_text.cpp
  report/index_page.cpp
  report/run_page.cpp
  report/run_report.cpp
  report/slices.cpp)
