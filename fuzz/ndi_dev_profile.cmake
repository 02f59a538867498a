briskbox_add_fuzz_target(ndi_dev_profile SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_ndi_dev_profile.cpp LIBS ndi_dev)
