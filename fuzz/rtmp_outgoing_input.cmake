briskbox_add_fuzz_target(rtmp_outgoing_input SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_rtmp_outgoing_input.cpp
                         LIBS rtmp_server)
