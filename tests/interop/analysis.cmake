# ---------------------------------------------------------------------------
# Histograms and the numerical routines under them, against numpy and scipy
# (Debian python3-numpy, python3-scipy): write_histogram.cpp writes pictures,
# matrices and Kalvio's counts, eigenvalues and Gaussian fits;
# check_histogram.py recomputes them, one test per family. Included from
# tests/CMakeLists.txt after the interop folder, whose interpreter it shares.
add_executable(kalvio_write_histogram ${CMAKE_CURRENT_LIST_DIR}/write_histogram.cpp)
target_link_libraries(kalvio_write_histogram PRIVATE Kalvio::kalvio)
project_target_defaults(kalvio_write_histogram)

set(histogram_python ${KALVIO_INTEROP_PYTHON})
if(NOT histogram_python)
  set(histogram_python python3)  # fail, rather than vanish, without one
endif()
set(histogram_written ${CMAKE_CURRENT_BINARY_DIR}/interop/histogram)
add_test(NAME interop_write_histogram COMMAND kalvio_write_histogram ${histogram_written})
set_tests_properties(interop_write_histogram PROPERTIES
  LABELS interop ENVIRONMENT "${PROJECT_TEST_ENVIRONMENT}" FIXTURES_SETUP kalvio_histogram)
foreach(family counts eigen fit)
  add_test(NAME interop_histogram_${family}
    COMMAND ${histogram_python} ${CMAKE_CURRENT_LIST_DIR}/check_histogram.py ${family} ${histogram_written})
  set_tests_properties(interop_histogram_${family} PROPERTIES
    LABELS interop FIXTURES_REQUIRED kalvio_histogram)
endforeach()
