# Age of the main job's pictures (RTMP in as "ip1", RTSP out) from the first picture on, beside the floor of a
# plain relay (nginx with its RTMP module) and ffmpeg alone doing the same transcode, and the process's memory
# and CPU while serving RTSP players. A Python program drives the real briskbox binary, nginx and the ffmpeg
# peers; bench_latency is its launcher.
if(TARGET briskbox)
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/bench_latency
       CONTENT "#!/bin/sh\nexec /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/latency_bench.py $<TARGET_FILE:briskbox> \"$@\"\n"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
