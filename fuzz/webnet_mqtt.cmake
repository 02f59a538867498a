briskbox_add_fuzz_target(webnet_mqtt SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_webnet_mqtt.cpp LIBS webnet)
