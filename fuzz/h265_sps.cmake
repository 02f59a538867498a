briskbox_add_fuzz_target(h265_sps SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_h265_sps.cpp LIBS codec)
