# ---------------------------------------------------------------------------
# PNG, JPEG and TIFF against Pillow and ImageMagick (Debian python3-pil,
# imagemagick): check_pictures.py writes pictures of every variant with
# them, reads each through picture_tool.cpp (CImage::ReadImage) and compares
# the samples with Pillow's own decoding; it also checks the PNG files
# Kalvio writes. One test per family. Included from tests/CMakeLists.txt
# after the interop folder, whose interpreter it shares.
add_executable(kalvio_picture_tool ${CMAKE_CURRENT_LIST_DIR}/picture_tool.cpp)
target_link_libraries(kalvio_picture_tool PRIVATE Kalvio::kalvio)
project_target_defaults(kalvio_picture_tool)

set(pictures_python ${KALVIO_INTEROP_PYTHON})
if(NOT pictures_python)
  set(pictures_python python3)  # fail, rather than vanish, without one
endif()
foreach(family png jpeg tiff write)
  add_test(NAME interop_pictures_${family}
    COMMAND ${pictures_python} ${CMAKE_CURRENT_LIST_DIR}/check_pictures.py ${family}
            $<TARGET_FILE:kalvio_picture_tool> ${CMAKE_CURRENT_BINARY_DIR}/interop/pictures/${family})
  # The tool runs under the sanitizers' settings: a report fails the test.
  set_tests_properties(interop_pictures_${family} PROPERTIES
    LABELS interop ENVIRONMENT "${PROJECT_TEST_ENVIRONMENT}")
endforeach()
