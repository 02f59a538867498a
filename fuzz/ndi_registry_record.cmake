briskbox_add_fuzz_target(ndi_registry_record SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ndi_registry_record.cpp LIBS ndi)
