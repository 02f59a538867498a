briskbox_add_fuzz_target(ctrl_dispatcher SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ctrl_dispatcher.cpp LIBS websockets)
