briskbox_add_fuzz_target(ip1_packets SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ip1_packets.cpp LIBS pull)
