briskbox_add_fuzz_target(json_round_trip SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_json_round_trip.cpp LIBS jsonobject)
