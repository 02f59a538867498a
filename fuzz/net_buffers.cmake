briskbox_add_fuzz_target(net_buffers SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_net_buffers.cpp LIBS net)
