briskbox_add_fuzz_target(audio_proc_files SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_audio_proc_files.cpp LIBS audio)
