briskbox_add_fuzz_target(ndi_wire SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ndi_wire.cpp LIBS ndi)
