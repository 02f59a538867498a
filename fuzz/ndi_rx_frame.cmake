briskbox_add_fuzz_target(ndi_rx_frame SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ndi_rx_frame.cpp LIBS ndi5_encode)
