# Debian packages the build uses (installed by scripts/setup).
find_package(ZLIB REQUIRED)

find_path(NIFTI_INCLUDE_DIR nifti1_io.h PATH_SUFFIXES nifti REQUIRED)
find_library(NIFTI_IO_LIBRARY niftiio REQUIRED)
find_library(ZNZ_LIBRARY znz REQUIRED)
add_library(nifti::niftiio INTERFACE IMPORTED)
target_include_directories(nifti::niftiio INTERFACE ${NIFTI_INCLUDE_DIR})
target_link_libraries(nifti::niftiio INTERFACE ${NIFTI_IO_LIBRARY} ${ZNZ_LIBRARY} ZLIB::ZLIB m)

find_package(nlohmann_json 3 REQUIRED)
find_package(CLI11 CONFIG REQUIRED)
find_package(PNG REQUIRED)
# FFTW (double precision), for the synthetic data's dipole field.
find_package(PkgConfig REQUIRED)
pkg_check_modules(FFTW3 REQUIRED IMPORTED_TARGET fftw3)
find_package(Threads REQUIRED)
if(WARPMENDER_TESTS)
  find_package(GTest REQUIRED)
endif()
if(WARPMENDER_BENCH)
  find_package(benchmark REQUIRED)
endif()
