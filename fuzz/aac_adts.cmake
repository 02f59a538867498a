briskbox_add_fuzz_target(aac_adts SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_aac_adts.cpp LIBS audio)
