# Parse and print throughput of the JSON tree core beside RapidJSON's on the same documents.
add_executable(bench_json ${CMAKE_CURRENT_LIST_DIR}/json_bench.cpp)
target_link_libraries(bench_json PRIVATE jsonobject)
