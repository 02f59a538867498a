#!/usr/bin/python3
"""The HTTP-FLV server against real peers on loopback: ffmpeg publishes a live stream to the RTMP server,
ffprobe and ffmpeg play it as HTTP-FLV, curl reads the raw bytes, which are walked tag by tag; a reader that
stops reading does not hold back a second one.

Margins: ffmpeg publishes in real time (-re); every wait below is for a condition (a line, N bytes, a tag
count) with a deadline of tens of seconds, far beyond what a loaded two-core machine under a sanitizer needs."""
import os
import select
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "webnet", "peers"))
from peer_check import check, finish  # noqa: E402

DRIVER = sys.argv[1]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


rtmp_port, flv_port = free_port(), free_port()
driver = subprocess.Popen([DRIVER, str(rtmp_port), str(flv_port)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          text=True)
lines = []
lines_lock = threading.Condition()


def read_driver():
    for line in driver.stdout:
        with lines_lock:
            lines.append(line.strip())
            lines_lock.notify_all()


threading.Thread(target=read_driver, daemon=True).start()


def wait_line(text, timeout=30.0, count=1):
    deadline = time.time() + timeout
    with lines_lock:
        while sum(1 for l in lines if l == text) < count:
            left = deadline - time.time()
            if left <= 0:
                return False
            lines_lock.wait(left)
    return True


def http_flv_stream(path, read_bytes, timeout=30.0):
    """Reads the reply head and read_bytes bytes of FLV body, or what came before the deadline."""
    s = socket.create_connection(("127.0.0.1", flv_port), timeout=timeout)
    s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % path).encode())
    data = b""
    deadline = time.time() + timeout
    while time.time() < deadline:
        head_end = data.find(b"\r\n\r\n")
        if head_end >= 0 and len(data) - head_end - 4 >= read_bytes:
            break
        r, _, _ = select.select([s], [], [], 0.2)
        if r:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    s.close()
    head_end = data.find(b"\r\n\r\n")
    return data[:head_end + 4].decode(errors="replace"), data[head_end + 4:] if head_end >= 0 else b""


def walk_flv(body):
    """Returns (flags, [(type, timestamp, payload)]) of the whole tags; raises on a framing error."""
    if body[:3] != b"FLV" or body[3] != 1 or body[5:13] != b"\x00\x00\x00\x09\x00\x00\x00\x00":
        raise ValueError("bad FLV header %r" % body[:13])
    tags, pos = [], 13
    while pos + 11 <= len(body):
        size = int.from_bytes(body[pos + 1:pos + 4], "big")
        ts = int.from_bytes(body[pos + 4:pos + 7], "big") | (body[pos + 7] << 24)
        if body[pos + 8:pos + 11] != b"\x00\x00\x00":
            raise ValueError("stream id not 0 at %d" % pos)
        if pos + 11 + size + 4 > len(body):
            break
        prev = struct.unpack(">I", body[pos + 11 + size:pos + 15 + size])[0]
        if prev != size + 11:
            raise ValueError("previous-tag size %d for a %d-byte tag at %d" % (prev, size, pos))
        tags.append((body[pos], ts, body[pos + 11:pos + 11 + size]))
        pos += 15 + size
    return body[4], tags


publisher = None
try:
    check("driver ready", wait_line("ready"))
    publisher = subprocess.Popen(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-re",
         "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30",
         "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
         "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-g", "30", "-pix_fmt", "yuv420p",
         "-c:a", "aac", "-ac", "2", "-b:a", "128k", "-t", "120",
         "-f", "flv", "rtmp://127.0.0.1:%d/live/cam" % rtmp_port],
        stdin=subprocess.DEVNULL)
    check("ffmpeg publishes", wait_line("event publish.start /live/cam"))

    # Refusals, as raw replies.
    head, _ = http_flv_stream("/live/nothing.flv", 0, timeout=5)
    check("404 for a stream nobody publishes", head.startswith("HTTP/1.1 404 Not Found"), head)
    head, _ = http_flv_stream("/live/cam", 0, timeout=5)
    check("400 without .flv", head.startswith("HTTP/1.0 400 Bad Request"), head)

    # The raw stream, walked tag by tag.
    head, body = http_flv_stream("/live/cam.flv", 400000)
    check("200 with the FLV type", head.startswith("HTTP/1.1 200 OK\r\nContent-Type: video/x-flv"), head)
    try:
        flags, tags = walk_flv(body)
        check("header flags: audio and video", flags == 0x05, flags)
        check("AVC sequence header first, at 0", len(tags) > 2 and tags[0][0] == 9 and tags[0][2][:2] == b"\x17\x00"
              and tags[0][1] == 0, tags[:1])
        check("AAC sequence header second, at 0", len(tags) > 2 and tags[1][0] == 8 and tags[1][2][:2] == b"\xaf\x00"
              and tags[1][1] == 0, tags[1:2])
        media = tags[2:]
        first_video = next((t for t in media if t[0] == 9), None)
        check("media starts with a key frame", first_video is not None and first_video[2][0] == 0x17,
              first_video[2][:2] if first_video else None)
        check("audio and video tags", sum(1 for t in media if t[0] == 8) > 10 and sum(1 for t in media if t[0] == 9) > 10,
              len(media))
        vts = [t[1] for t in media if t[0] == 9]
        check("video timestamps never go back", all(b >= a for a, b in zip(vts, vts[1:])), vts[:20])
    except ValueError as e:
        check("FLV framing", False, str(e))

    # curl as an HTTP client that reads the body until it stops itself.
    out = subprocess.run(["curl", "-s", "--max-time", "4", "-o", "-", "http://127.0.0.1:%d/live/cam.flv" % flv_port],
                         capture_output=True)
    check("curl reads an FLV body", out.stdout[:3] == b"FLV" and len(out.stdout) > 20000, len(out.stdout))
    check("play and stop announced", wait_line("event http-flv.play /live/cam.flv", count=2)
          and wait_line("event http-flv.stop /live/cam.flv", count=2))

    # A reader that never reads: its queue fills; a second reader still plays, and ffprobe sees both streams.
    stuck = socket.socket()
    stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stuck.connect(("127.0.0.1", flv_port))
    stuck.sendall(b"GET /live/cam.flv HTTP/1.1\r\nHost: x\r\n\r\n")
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width,height,sample_rate",
                            "-of", "csv=p=0", "http://127.0.0.1:%d/live/cam.flv" % flv_port],
                           capture_output=True, text=True, timeout=60)
    streams = sorted(probe.stdout.split())
    check("ffprobe: H.264 640x360 and AAC 48 kHz", streams == ["aac,48000", "h264,640,360"], probe.stdout + probe.stderr)

    # ffmpeg decodes three seconds without an error while the stuck reader stays connected.
    dec = subprocess.run(["ffmpeg", "-hide_banner", "-v", "error", "-i", "http://127.0.0.1:%d/live/cam.flv" % flv_port,
                          "-t", "3", "-f", "null", "-"], capture_output=True, text=True, timeout=60)
    check("ffmpeg decodes without errors", dec.returncode == 0 and dec.stderr.strip() == "", dec.stderr[-600:])

    # The stuck reader then drains what it was sent: whole tags only, resumed at a key frame after a gap.
    stuck.setblocking(False)
    got = b""
    deadline = time.time() + 10
    while time.time() < deadline:
        r, _, _ = select.select([stuck], [], [], 0.5)
        if not r:
            if got:
                break
            continue
        chunk = stuck.recv(1 << 20)
        if not chunk:
            break
        got += chunk
    stuck.close()
    body = got[got.find(b"\r\n\r\n") + 4:]
    try:
        flags, tags = walk_flv(body[:len(body)])
        check("a slow reader gets whole tags", len(tags) > 2, len(tags))
    except ValueError as e:
        check("a slow reader gets whole tags", False, str(e))
finally:
    if publisher:
        publisher.kill()
        publisher.wait()
    driver.stdin.close()
    try:
        driver.wait(timeout=20)
    except subprocess.TimeoutExpired:
        driver.kill()
    check("driver stops cleanly", driver.returncode == 0, driver.returncode)

finish()
