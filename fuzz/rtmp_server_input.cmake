briskbox_add_fuzz_target(rtmp_server_input SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_rtmp_server_input.cpp
                         LIBS rtmp_server)
