# Frames per second of the 2D-engine stand-in on one core, for the conversions the pipeline makes per frame.
add_executable(bench_rga_convert ${CMAKE_CURRENT_LIST_DIR}/rga_convert_bench.cpp)
target_link_libraries(bench_rga_convert PRIVATE codec)
