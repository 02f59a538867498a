"""Starts web_test_server on free loopback ports over a private file tree, for the HTTP and WebSocket tests.

The tree holds the web root (<root>/usr/bin/html) and the settings folder (<root>/userdata/config); a canary
file sits beside the web root, outside it, and must never be served.
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

CANARY = "CANARY-7f3e1c-must-never-be-served"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class WebServerProcess:
    def __init__(self, binary, push_ms=200):
        self.binary = binary
        self.push_ms = push_ms
        self.tmp = tempfile.mkdtemp(prefix="web-test-")
        self.root = os.path.join(self.tmp, "root")
        self.html = os.path.join(self.root, "usr/bin/html")
        self.config = os.path.join(self.root, "userdata/config")
        os.makedirs(self.html)
        os.makedirs(self.config)
        with open(os.path.join(self.root, "usr/bin/secret.txt"), "w") as f:
            f.write(CANARY)
        self.http_port = free_port()
        self.ws_port = free_port()
        self.proc = None
        self.output = []
        self._reader = None

    def start(self):
        self.proc = subprocess.Popen(
            [self.binary, "--root", self.root, "--http-port", str(self.http_port),
             "--ws-port", str(self.ws_port), "--push-ms", str(self.push_ms)],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
        ready = threading.Event()

        def read():
            for line in self.proc.stdout:
                self.output.append(line)
                if line.startswith("ready "):
                    ready.set()
        self._reader = threading.Thread(target=read, daemon=True)
        self._reader.start()
        if not ready.wait(20):
            self.stop()
            raise RuntimeError("web_test_server did not start:\n" + "".join(self.output))

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def signal(self, number):
        self.proc.send_signal(number)

    def stop(self):
        """Stops the server with SIGTERM; returns its exit code (0 after a clean stop)."""
        code = None
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.send_signal(signal.SIGTERM)
            try:
                code = self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                code = self.proc.wait()
            self._reader.join(5)
            self.proc.stdout.close()
        shutil.rmtree(self.tmp, ignore_errors=True)
        return code

    def log(self):
        return "".join(self.output)

    def settings(self, name="common.json"):
        path = os.path.join(self.config, name)
        if not os.path.exists(path):
            return None
        with open(path) as f:
            return json.load(f)


def binary_from_argv():
    if len(sys.argv) < 2:
        sys.exit("usage: %s WEB_TEST_SERVER" % sys.argv[0])
    return sys.argv.pop(1)


def wait_until(predicate, seconds=10.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()
