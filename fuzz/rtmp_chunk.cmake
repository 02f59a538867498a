briskbox_add_fuzz_target(rtmp_chunk SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_rtmp_chunk.cpp LIBS rtmp_server)
