briskbox_add_fuzz_target(webnet_http SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_webnet_http.cpp LIBS webnet)
