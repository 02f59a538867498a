briskbox_add_fuzz_target(webnet_dns SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_webnet_dns.cpp LIBS webnet)
