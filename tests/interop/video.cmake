# Movies against FFmpeg's command-line tools, OpenCV and numpy (Debian
# ffmpeg, python3-opencv, python3-numpy): check_video.py makes movies and
# YUV files, runs write_video.cpp on them and compares what CVideo reads and
# writes with what the other programs make of the same files, one test per
# family. Included from tests/CMakeLists.txt after the interop folder,
# whose interpreter it shares.
add_executable(kalvio_write_video ${CMAKE_CURRENT_LIST_DIR}/write_video.cpp)
target_link_libraries(kalvio_write_video PRIVATE Kalvio::kalvio)
project_target_defaults(kalvio_write_video)

set(video_python ${KALVIO_INTEROP_PYTHON})
if(NOT video_python)
  set(video_python python3)  # fail, rather than vanish, without one
endif()
foreach(family read write yuv hostile)
  add_test(NAME interop_video_${family}
    COMMAND ${video_python} ${CMAKE_CURRENT_LIST_DIR}/check_video.py ${family}
            $<TARGET_FILE:kalvio_write_video> ${CMAKE_CURRENT_BINARY_DIR}/interop/video/${family})
  # The writer runs under the sanitizers' settings: a report fails the test.
  set_tests_properties(interop_video_${family} PROPERTIES
    LABELS interop ENVIRONMENT "${PROJECT_TEST_ENVIRONMENT}")
endforeach()
