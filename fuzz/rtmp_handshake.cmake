briskbox_add_fuzz_target(rtmp_handshake SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_rtmp_handshake.cpp LIBS rtmp_server)
