#!/usr/bin/python3
"""Reads an RTSP stream with ffprobe for a stretch of wall-clock time and compares its timeline with the clock.

  rtsp_timeline_probe.py URL SETTLE_S SECONDS

The packets that arrive during the first SETTLE_S seconds are skipped (the player's own start); over the next
SECONDS the script prints, per stream, the packets read, the packets per second of wall clock and the span of
their presentation times, and the difference between the video and the audio spans:
  video packets=300 rate=30.00 span=10.012 wall=10.000
  audio packets=469 rate=46.90 span=10.005 wall=10.000
  drift=0.007
Exit status 1 when the stream gives no packets of a kind.
"""
import subprocess
import sys
import time

url, settle, seconds = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
probe = subprocess.Popen(
    ["stdbuf", "-oL", "ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-timeout", "10000000", "-i", url,
     "-show_entries", "packet=codec_type,pts_time", "-of", "csv=p=0"],
    stdout=subprocess.PIPE, text=True)
start = None
packets = {"video": [], "audio": []}
try:
    for line in probe.stdout:
        now = time.monotonic()
        fields = line.strip().split(",")
        if len(fields) != 2 or fields[0] not in packets or fields[1] in ("", "N/A"):
            continue
        if start is None:
            start = now
        if now - start < settle:
            continue
        if now - start >= settle + seconds:
            break
        packets[fields[0]].append(float(fields[1]))
finally:
    probe.kill()
    probe.wait()

spans = {}
for kind in ("video", "audio"):
    times = packets[kind]
    if len(times) < 2:
        print("%s packets=%d" % (kind, len(times)))
        sys.exit(1)
    spans[kind] = max(times) - min(times)
    print("%s packets=%d rate=%.2f span=%.3f wall=%.3f" %
          (kind, len(times), len(times) / seconds, spans[kind], seconds), flush=True)
print("drift=%.3f" % (spans["video"] - spans["audio"]))
