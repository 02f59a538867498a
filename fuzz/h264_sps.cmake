briskbox_add_fuzz_target(h264_sps SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_h264_sps.cpp LIBS codec)
