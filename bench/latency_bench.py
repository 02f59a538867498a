#!/usr/bin/python3
"""Age of the appliance's pictures on air, from the first picture on, beside the floor of a plain relay, in one run.

Every source picture carries the moment it was made as a barcode (48 blocks across the picture: 32 bits of
milliseconds on this program's monotonic clock and 16 check bits), which survives scaling and H.264. The
source publishes over RTMP; the output is read back and decoded, and each picture's age is the time it was
seen minus the time it was drawn. Each reader is started before the pictures reach it and every picture it
decodes counts, from the first one on, so the start (what the appliance buffered while it opened the stream)
is part of the figures.

  device:  source -> RTMP server of briskbox (rtmp://<eth0>:1935/live/av0) -> "ip1" on air -> encoder ->
           RTSP rtsp://<eth0>:8554/live/main -> reader
  floor:   source -> nginx with its RTMP module (a relay, no transcoding) -> RTMP reader
  ffmpeg:  source -> ffmpeg (RTMP listen, libx264 zerolatency, 1920x1080) -> RTSP -> listening reader

Then briskbox's resident memory and CPU while 1 and 10 RTSP players read its stream.
  bench_latency [FRAMES]     (run inside scripts/sandbox.sh; it starts a fresh sandbox of its own)
"""
import asyncio
import os
import socket
import statistics
import subprocess
import sys
import threading
import time

BINARY = os.path.abspath(sys.argv[1])
FRAMES = int(sys.argv[2]) if len(sys.argv) > 2 else 300
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ETH0 = "198.51.100.2"
SRC_W, SRC_H, FPS = 1280, 720, 30
READ_W, READ_H = 480, 270
BITS = 48
NGINX_RTMP_PORT = 19351
NGINX_MODULE = "/usr/lib/nginx/modules/ngx_rtmp_module.so"

if os.environ.get("BRISKBOX_BENCH_INSIDE") != "1":
    os.environ["BRISKBOX_BENCH_INSIDE"] = "1"
    os.execv(os.path.join(REPO, "scripts", "sandbox.sh"),
             [os.path.join(REPO, "scripts", "sandbox.sh"), sys.executable, os.path.abspath(__file__)] + sys.argv[1:])

CLOCK_START = time.monotonic()


def now_ms():
    return int((time.monotonic() - CLOCK_START) * 1000)


def code_bits(value):
    check = (~value) & 0xFFFF
    word = (value & 0xFFFFFFFF) | (check << 32)
    return [(word >> i) & 1 for i in range(BITS)]


def read_code(row):
    """The stamp in one gray row of the read-back picture, or None when the check bits do not match."""
    word = 0
    for i in range(BITS):
        x = int((i + 0.5) * READ_W / BITS)
        if row[x] >= 128:
            word |= 1 << i
    value = word & 0xFFFFFFFF
    return value if (word >> 32) == ((~value) & 0xFFFF) else None


class Source:
    """Raw pictures with the barcode, paced at 30 per second, into an ffmpeg that publishes them over RTMP."""

    def __init__(self, url):
        self.proc = subprocess.Popen(
            ["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "yuv420p",
             "-s", "%dx%d" % (SRC_W, SRC_H), "-r", str(FPS), "-i", "-",
             "-re", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
             "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-g", str(FPS), "-b:v", "4M",
             "-c:a", "aac", "-ac", "2", "-ar", "48000", "-f", "flv", url],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        luma = SRC_W * SRC_H
        base = bytearray([60]) * luma + bytearray([128]) * (luma // 2)
        top, bottom = SRC_H // 10, SRC_H * 3 // 10
        start = time.monotonic()
        n = 0
        try:
            while self.running:
                delay = start + n / FPS - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                stamp = now_ms()
                row = bytearray(SRC_W)
                for i, bit in enumerate(code_bits(stamp)):
                    x0, x1 = i * SRC_W // BITS, (i + 1) * SRC_W // BITS
                    row[x0:x1] = bytes([235 if bit else 16]) * (x1 - x0)
                frame = bytearray(base)
                for y in range(top, bottom):
                    frame[y * SRC_W:(y + 1) * SRC_W] = row
                self.proc.stdin.write(frame)
                n += 1
        except (BrokenPipeError, ValueError):
            pass

    def stop(self):
        self.running = False
        self.thread.join(timeout=2)
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        self.proc.kill()
        self.proc.wait()


def measure(reader_args, frames, timeout_s):
    """Starts an ffmpeg reader that writes gray READ_WxREAD_H pictures; returns the latencies in ms."""
    proc = subprocess.Popen(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-fflags", "nobuffer", "-flags", "low_delay",
         "-probesize", "32768", "-analyzeduration", "0"] +
        reader_args + ["-an", "-vf", "scale=%d:%d" % (READ_W, READ_H), "-pix_fmt", "gray", "-f", "rawvideo", "-"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    size = READ_W * READ_H
    row_offset = int(READ_H * 0.2) * READ_W
    latencies = []
    deadline = time.monotonic() + timeout_s
    try:
        while len(latencies) < frames and time.monotonic() < deadline:
            picture = proc.stdout.read(size)
            if len(picture) < size:
                break
            arrived = now_ms()
            stamp = read_code(picture[row_offset:row_offset + READ_W])
            if stamp is None:
                continue
            latencies.append(arrived - stamp)
    finally:
        proc.kill()
        proc.wait()
    return latencies


def report(name, latencies):
    if not latencies:
        print("%-34s no pictures read back" % name)
        return
    ordered = sorted(latencies)
    p95 = ordered[min(len(ordered) - 1, int(round(0.95 * (len(ordered) - 1))))]
    print("%-34s frames %4d  median %6.1f ms  p95 %6d ms  min %5d  max %5d" %
          (name, len(ordered), statistics.median(ordered), p95, ordered[0], ordered[-1]), flush=True)
    if os.environ.get("BENCH_TRACE"):
        print("  first:", latencies[:12], " last:", latencies[-12:])


def port_open(host, port):
    try:
        socket.create_connection((host, port), timeout=0.5).close()
        return True
    except OSError:
        return False


def wait_port(host, port, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if port_open(host, port):
            return True
        time.sleep(0.2)
    return False


def control_frame(group, item, payload):
    body = payload.encode()
    length = len(body) + 1
    head = [0x5A, 0x01, 0xE0, group, item, length & 0xFF, length >> 8]
    head.append(sum(head) & 0xFF)
    return "<F" + "".join("%02x" % b for b in head) + ">" + payload + "0"


async def send_controls(commands):
    import websockets
    async with websockets.connect("ws://%s:8081" % ETH0, open_timeout=10) as ws:
        for group, item, payload in commands:
            await ws.send(control_frame(group, item, payload))
            await asyncio.wait_for(ws.recv(), timeout=10)


def process_sample(pid, seconds):
    """CPU share (percent of one core) over the window and resident memory (MB) at its end."""
    def cpu_ticks():
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    ticks0, t0 = cpu_ticks(), time.monotonic()
    time.sleep(seconds)
    ticks1, t1 = cpu_ticks(), time.monotonic()
    rss_kb = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss_kb = int(line.split()[1])
    return 100.0 * (ticks1 - ticks0) / os.sysconf("SC_CLK_TCK") / (t1 - t0), rss_kb / 1024.0


def device_chain():
    with open("/tmp/mydog.json", "w") as f:
        f.write('{"mydog_count":0,"net_flag":1,"display_flga":0}')
    log = open("/tmp/bench-briskbox.out", "w")
    device = subprocess.Popen([BINARY], stdout=log, stderr=subprocess.STDOUT)
    source = None
    try:
        if not (wait_port(ETH0, 8081, 30) and wait_port(ETH0, 1935, 30) and wait_port(ETH0, 8554, 30)):
            print("briskbox did not start")
            return
        url = "rtmp://%s:1935/live/av0" % ETH0
        source = Source(url)
        rtsp = "rtsp://%s:8554/live/main" % ETH0
        result = {}

        def read():
            # The reader is in place before "ip1" goes on air; until pictures come, it connects again.
            deadline = time.monotonic() + 90
            while not result.get("latencies") and time.monotonic() < deadline:
                result["latencies"] = measure(["-rtsp_transport", "tcp", "-i", rtsp], FRAMES, 60)
                if not result["latencies"]:
                    time.sleep(0.2)

        reader = threading.Thread(target=read)
        reader.start()
        time.sleep(2)
        # The first "ip1" start of a process waits 5 s; then the pull connects and its pictures go on air.
        asyncio.run(send_controls([
            (0x11, 0x01, '{"netInpt":[{"netName":"rtmp","netUrl":"%s","netSwitch":true}]}' % url),
            (0x03, 0x36, '{"typeMonitor":"IP1"}')]))
        reader.join()
        latencies = result.get("latencies", [])
        report("briskbox (RTMP in, ip1, RTSP out)", latencies)

        print("briskbox resources, source on air:", flush=True)
        players = []
        for count in (0, 1, 10):
            while len(players) < count:
                players.append(subprocess.Popen(
                    ["ffmpeg", "-hide_banner", "-loglevel", "error", "-rtsp_transport", "tcp", "-i", rtsp,
                     "-c", "copy", "-f", "null", "-"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            time.sleep(5)
            cpu, rss = process_sample(device.pid, 10)
            alive = sum(1 for p in players if p.poll() is None)
            print("  %2d RTSP players (%2d alive): CPU %6.1f %% of one core, RSS %6.1f MB" % (count, alive, cpu, rss),
                  flush=True)
        for p in players:
            p.kill()
            p.wait()
    finally:
        if source:
            source.stop()
        device.kill()
        device.wait()
        log.close()


def floor_chain():
    """The same source through nginx's RTMP relay, read back over RTMP: what the network path alone costs."""
    work = "/tmp/bench-nginx"
    os.makedirs(work + "/logs", exist_ok=True)
    with open(work + "/nginx.conf", "w") as f:
        f.write("load_module %s;\ndaemon off;\nmaster_process off;\nworker_processes 1;\n"
                "error_log %s/logs/error.log;\npid %s/nginx.pid;\nevents { worker_connections 64; }\n"
                "rtmp { server { listen 127.0.0.1:%d; chunk_size 4096;\n"
                "  application live { live on; } } }\n" % (NGINX_MODULE, work, work, NGINX_RTMP_PORT))
    nginx = subprocess.Popen(["nginx", "-p", work, "-c", work + "/nginx.conf"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    source = None
    result = {}
    try:
        if not wait_port("127.0.0.1", NGINX_RTMP_PORT, 10):
            print("%-34s nginx with its RTMP module did not start" % "floor (nginx RTMP relay)")
            return
        url = "rtmp://127.0.0.1:%d/live/floor" % NGINX_RTMP_PORT

        def read():
            deadline = time.monotonic() + 60
            while not result.get("latencies") and time.monotonic() < deadline:
                result["latencies"] = measure(["-i", url], FRAMES, 60)
                if not result["latencies"]:
                    time.sleep(0.2)

        reader = threading.Thread(target=read)
        reader.start()
        time.sleep(1)
        source = Source(url)
        reader.join()
    finally:
        if source:
            source.stop()
        nginx.kill()
        nginx.wait()
    report("floor (nginx RTMP relay, RTMP out)", result.get("latencies", []))


def ffmpeg_chain():
    rtmp = "rtmp://127.0.0.1:19350/live/base"
    rtsp = "rtsp://127.0.0.1:18554/live/base"
    transcoder = None
    source = None
    result = {}

    def read():
        result["latencies"] = measure(["-rtsp_flags", "listen", "-i", rtsp], FRAMES, 90)

    reader = threading.Thread(target=read)
    reader.start()
    try:
        time.sleep(1)
        transcoder = subprocess.Popen(
            ["ffmpeg", "-hide_banner", "-loglevel", "error", "-fflags", "nobuffer", "-probesize", "32768",
             "-analyzeduration", "0", "-listen", "1", "-i", rtmp,
             "-vf", "scale=1920:1080", "-fps_mode", "passthrough", "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency",
             "-b:v", "8M", "-maxrate", "8M", "-bufsize", "8M", "-g", str(FPS), "-c:a", "aac", "-ar", "48000",
             "-f", "rtsp", "-rtsp_transport", "tcp", rtsp],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)
        source = Source(rtmp)
        reader.join(timeout=120)
    finally:
        if source:
            source.stop()
        if transcoder:
            transcoder.kill()
            transcoder.wait()
        reader.join(timeout=5)
    report("ffmpeg alone (RTMP in, RTSP out)", result.get("latencies", []))


print("age of the first %d pictures read back (%dx%d@%d source), each chain from its first picture on:" %
      (FRAMES, SRC_W, SRC_H, FPS), flush=True)
device_chain()
floor_chain()
ffmpeg_chain()
