# RTMP relay fan-out: server CPU per player, resident memory and frame delivery for 1 to 100 players, beside
# nginx's RTMP module under the same load.
add_executable(bench_rtmp_fanout ${CMAKE_CURRENT_LIST_DIR}/rtmp_fanout_bench.cpp)
target_include_directories(bench_rtmp_fanout PRIVATE ${CMAKE_SOURCE_DIR}/tests/rtmp_server)
target_link_libraries(bench_rtmp_fanout PRIVATE rtmp_server)
