# Edge detection, drawing, filters and distance transforms against numpy,
# scipy and OpenCV (Debian python3-numpy, python3-scipy, python3-opencv):
# Kalvio writes small pictures and its results, check_filters.py recomputes
# them, one test per family. Included from tests/CMakeLists.txt after the
# interop folder, whose interpreter it shares.
add_executable(kalvio_write_filters ${CMAKE_CURRENT_LIST_DIR}/write_filters.cpp)
target_link_libraries(kalvio_write_filters PRIVATE Kalvio::kalvio)
project_target_defaults(kalvio_write_filters)

set(filters_python ${KALVIO_INTEROP_PYTHON})
if(NOT filters_python)
  set(filters_python python3)  # fail, rather than vanish, without one
endif()
set(filters_written ${CMAKE_CURRENT_BINARY_DIR}/interop/filters)
add_test(NAME interop_write_filters COMMAND kalvio_write_filters ${filters_written})
set_tests_properties(interop_write_filters PROPERTIES
  LABELS interop ENVIRONMENT "${PROJECT_TEST_ENVIRONMENT}" FIXTURES_SETUP kalvio_filters)
foreach(family median distance_filter chamfer hysteresis edges sobel draw)
  add_test(NAME interop_filters_${family}
    COMMAND ${filters_python} ${CMAKE_CURRENT_LIST_DIR}/check_filters.py ${family} ${filters_written})
  set_tests_properties(interop_filters_${family} PROPERTIES
    LABELS interop FIXTURES_REQUIRED kalvio_filters)
endforeach()
