briskbox_add_fuzz_target(webnet_multipart SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_webnet_multipart.cpp LIBS webnet)
