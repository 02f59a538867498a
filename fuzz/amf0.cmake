briskbox_add_fuzz_target(amf0 SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_amf0.cpp LIBS rtmp_server)
