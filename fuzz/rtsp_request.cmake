briskbox_add_fuzz_target(rtsp_request SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_rtsp_request.cpp LIBS rtsp_server)
