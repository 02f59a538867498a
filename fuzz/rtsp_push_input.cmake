briskbox_add_fuzz_target(rtsp_push_input SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_rtsp_push_input.cpp LIBS rtsp_server)
