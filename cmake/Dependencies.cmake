# Imported targets for the libraries the folders link; each folder links only what it uses.
pkg_check_modules(FFMPEG IMPORTED_TARGET libavcodec libavformat libavutil libswscale libswresample)
pkg_check_modules(DRM IMPORTED_TARGET libdrm)
pkg_check_modules(ALSA IMPORTED_TARGET alsa)
find_package(OpenCV QUIET COMPONENTS core imgproc imgcodecs)
find_package(RapidJSON QUIET)
find_package(GTest QUIET)
find_package(benchmark QUIET)

# Adds a GoogleTest executable for one folder's tests. Label "threaded" puts it in the ThreadSanitizer run.
function(briskbox_add_test name)
  # RESOURCE_LOCK names a fixed resource (such as a preview port) that the cases must not use at once.
  # RUN_SERIAL: cases paced in real time (the audio road) run with nothing else beside them.
  cmake_parse_arguments(ARG "THREADED;RUN_SERIAL" "RESOURCE_LOCK" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  if(TARGET briskbox_test_pch)
    target_precompile_headers(${name} REUSE_FROM briskbox_test_pch)
  endif()
  # One label per test: a list does not survive gtest_discover_tests' PROPERTIES.
  set(label unit)
  if(ARG_THREADED)
    set(label threaded)
  endif()
  # The ThreadSanitizer run takes only the threaded programs: the others are not built or listed there.
  if(BRISKBOX_SANITIZE STREQUAL "thread" AND NOT ARG_THREADED)
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL TRUE)
    return()
  endif()
  include(GoogleTest)
  set(extra)
  if(ARG_RESOURCE_LOCK)
    list(APPEND extra RESOURCE_LOCK ${ARG_RESOURCE_LOCK})
  endif()
  if(ARG_RUN_SERIAL)
    list(APPEND extra RUN_SERIAL TRUE)
  endif()
  # The cases are listed when ctest starts, not right after the link: running a program just written can
  # fail with "Text file busy" while the parallel build has other jobs starting.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS ${label} TIMEOUT 300 ${extra})
endfunction()
