# RTSP fan-out: N TCP players of the test feeder's 8 Mbit/s stream against our RTSP server and, in the same run,
# against GStreamer's RTSP server serving the same stream; prints both and their ratios.
if(NOT TARGET rtsp_feeder)
  add_executable(rtsp_feeder ${CMAKE_CURRENT_LIST_DIR}/../tests/streaming/rtsp_feeder.cpp)
  target_include_directories(rtsp_feeder PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../tests/tools)
  target_link_libraries(rtsp_feeder PRIVATE streaming)
endif()
add_executable(bench_rtsp_fanout ${CMAKE_CURRENT_LIST_DIR}/rtsp_fanout_bench.cpp)
target_compile_definitions(bench_rtsp_fanout PRIVATE
  RTSP_FEEDER_PATH="$<TARGET_FILE:rtsp_feeder>"
  GST_SERVER_SCRIPT="${CMAKE_CURRENT_LIST_DIR}/rtsp_fanout_gst_server.py")
add_dependencies(bench_rtsp_fanout rtsp_feeder)
