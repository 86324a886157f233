# Geometric transforms and the L*u*v* conversion against numpy, scipy and
# OpenCV (Debian python3-numpy, python3-scipy, python3-opencv): Kalvio
# writes small pictures and its results, check_pixel_ops.py recomputes them,
# one test per family. Included from tests/CMakeLists.txt after the interop
# folder, whose interpreter it shares.
add_executable(kalvio_write_pixel_ops ${CMAKE_CURRENT_LIST_DIR}/write_pixel_ops.cpp)
target_link_libraries(kalvio_write_pixel_ops PRIVATE Kalvio::kalvio)
project_target_defaults(kalvio_write_pixel_ops)

set(pixel_ops_python ${KALVIO_INTEROP_PYTHON})
if(NOT pixel_ops_python)
  set(pixel_ops_python python3)  # fail, rather than vanish, without one
endif()
set(pixel_ops_written ${CMAKE_CURRENT_BINARY_DIR}/interop/pixel-ops)
add_test(NAME interop_write_pixel_ops COMMAND kalvio_write_pixel_ops ${pixel_ops_written})
set_tests_properties(interop_write_pixel_ops PROPERTIES
  LABELS interop ENVIRONMENT "${PROJECT_TEST_ENVIRONMENT}" FIXTURES_SETUP kalvio_pixel_ops)
foreach(family bilinear enlarge reduce luv)
  add_test(NAME interop_pixel_ops_${family}
    COMMAND ${pixel_ops_python} ${CMAKE_CURRENT_LIST_DIR}/check_pixel_ops.py ${family} ${pixel_ops_written})
  set_tests_properties(interop_pixel_ops_${family} PROPERTIES
    LABELS interop FIXTURES_REQUIRED kalvio_pixel_ops)
endforeach()
