briskbox_add_fuzz_target(ctrl_frames SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ctrl_frames.cpp LIBS websockets)
