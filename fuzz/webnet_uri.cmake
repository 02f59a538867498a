briskbox_add_fuzz_target(webnet_uri SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_webnet_uri.cpp LIBS webnet)
