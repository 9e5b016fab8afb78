# Files on disk for the host side: FMR/STC, VMR, NIfTI, BIDS sidecars, the checks every reader makes.
set(WARPMENDER_FORMATS_SOURCES
  formats/document.cpp
  formats/file_checks.cpp
  formats/fmr_file.cpp
  formats/format_table.cpp
  formats/input_file.cpp
  formats/input_headers.cpp
  formats/nifti_document.cpp
  formats/png_image.cpp
  formats/sidecar.cpp
  formats/vmr_file.cpp)
