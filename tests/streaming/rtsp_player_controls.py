#!/usr/bin/python3
# A GStreamer player (rtspsrc) drives its session as a user would: it plays, pauses (PAUSE), plays again, and
# sends SET_PARAMETER and GET_PARAMETER. Each request must be answered with success and the video must keep
# coming after each step.
#   rtsp_player_controls.py URL tcp|udp
# Exit 0 on success; the failed step is printed otherwise.
import sys
import time

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

Gst.init(None)
url, protocol = sys.argv[1], sys.argv[2]
pipeline = Gst.Pipeline.new("player")
src = Gst.ElementFactory.make("rtspsrc", "src")
src.set_property("location", url)
src.set_property("protocols", protocol)
src.set_property("latency", 100)
pipeline.add(src)
video_buffers = [0]


def on_pad_added(_element, pad):
    sink = Gst.ElementFactory.make("fakesink", None)
    sink.set_property("sync", False)
    sink.set_property("async", False)
    pipeline.add(sink)
    sink.sync_state_with_parent()
    pad.link(sink.get_static_pad("sink"))
    caps = pad.get_current_caps() or pad.query_caps(None)
    if "media=(string)video" in caps.to_string():
        def count(_pad, _info):
            video_buffers[0] += 1
            return Gst.PadProbeReturn.OK
        pad.add_probe(Gst.PadProbeType.BUFFER, count)


src.connect("pad-added", on_pad_added)
bus = pipeline.get_bus()


def fail(step):
    print("FAIL: " + step, flush=True)
    pipeline.set_state(Gst.State.NULL)
    sys.exit(1)


def run_for(seconds):
    # Runs the bus for a while; an error ends the test.
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        msg = bus.timed_pop_filtered(50 * Gst.MSECOND, Gst.MessageType.ERROR | Gst.MessageType.WARNING)
        if msg is not None:
            err, debug = msg.parse_error() if msg.type == Gst.MessageType.ERROR else msg.parse_warning()
            fail("player reported: %s (%s)" % (err.message, debug))


def wait_video(more, seconds, step):
    target = video_buffers[0] + more
    end = time.monotonic() + seconds
    while video_buffers[0] < target:
        if time.monotonic() > end:
            fail("%s: %d video buffers, wanted %d" % (step, video_buffers[0], target))
        run_for(0.1)
    print("%s: %d video buffers" % (step, video_buffers[0]), flush=True)


def request(signal, name, value=None):
    promise = Gst.Promise.new()
    if value is None:
        src.emit(signal, name, None, promise)
    else:
        src.emit(signal, name, value, None, promise)
    if promise.wait() != Gst.PromiseResult.REPLIED:
        fail("%s: no reply" % signal)
    reply = promise.get_reply()
    code = reply.get_value("rtsp-code") if reply is not None and reply.has_field("rtsp-code") else None
    result = reply.get_value("rtsp-result") if reply is not None and reply.has_field("rtsp-result") else None
    print("%s: code %s result %s" % (signal, code, result), flush=True)
    if code != 200:
        fail("%s answered %s" % (signal, code))


pipeline.set_state(Gst.State.PLAYING)
wait_video(60, 20, "playing")
if pipeline.set_state(Gst.State.PAUSED) == Gst.StateChangeReturn.FAILURE:
    fail("pause")
run_for(2)
pipeline.set_state(Gst.State.PLAYING)
wait_video(60, 20, "playing after the pause")
request("set-parameter", "volume", "3")
request("get-parameter", "position")
wait_video(60, 20, "playing after the parameters")
pipeline.set_state(Gst.State.NULL)
print("controls answered, still playing", flush=True)
