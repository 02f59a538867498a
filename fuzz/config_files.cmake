briskbox_add_fuzz_target(config_files SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_config_files.cpp LIBS config)
