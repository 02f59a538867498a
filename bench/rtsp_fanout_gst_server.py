#!/usr/bin/python3
# GStreamer's RTSP server as the benchmark's peer: serves an MP4 (H.264 + AAC) as rtsp://127.0.0.1:PORT/live/main,
# one shared pipeline for every client, played in real time.
#   rtsp_fanout_gst_server.py PORT FILE.mp4
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

Gst.init(None)
port, path = sys.argv[1], sys.argv[2]
server = GstRtspServer.RTSPServer()
server.set_service(port)
factory = GstRtspServer.RTSPMediaFactory()
factory.set_launch(
    "( filesrc location=%s ! qtdemux name=d "
    "d.video_0 ! queue ! h264parse ! rtph264pay name=pay0 pt=96 config-interval=-1 "
    "d.audio_0 ! queue ! aacparse ! rtpmp4gpay name=pay1 pt=97 )" % path)
factory.set_shared(True)
server.get_mount_points().add_factory("/live/main", factory)
server.attach(None)
print("gst rtsp server on port %s" % port, flush=True)
GLib.MainLoop().run()
