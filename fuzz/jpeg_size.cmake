briskbox_add_fuzz_target(jpeg_size SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_jpeg_size.cpp LIBS codec)
