# Frames per second of the H.264 encoder at 1080p, through the codec library and end to end through the
# system's encoder thread, on all cores and on 2.
add_executable(bench_mpp_encoder ${CMAKE_CURRENT_LIST_DIR}/mpp_encoder_bench.cpp)
target_link_libraries(bench_mpp_encoder PRIVATE codec mpp)
