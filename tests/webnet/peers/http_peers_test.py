#!/usr/bin/python3
"""The networking library's HTTP and WebSocket layers against real clients and servers: curl, Python's
http.client and raw sockets, python3-websockets as client and as server. Loopback only."""
import asyncio
import hashlib
import http.client
import os
import socket
import subprocess
import sys
import tempfile
import time

import websockets

from peer_check import check, finish

DRIVER = sys.argv[1]
def raw(port, data, shutdown=False, timeout=5.0):
    """Sends bytes on one connection and returns everything read until the server closes or goes quiet."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        for piece in data if isinstance(data, list) else [data]:
            s.sendall(piece)
            time.sleep(0.05)
        if shutdown:
            s.shutdown(socket.SHUT_WR)
        out = b""
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                out += chunk
        except (socket.timeout, ConnectionResetError):
            pass
        return out


def curl(*args):
    result = subprocess.run(["curl", "-s", "--max-time", "10", *args], capture_output=True)
    return result.returncode, result.stdout.decode(errors="replace")


passwords = tempfile.NamedTemporaryFile("w", delete=False)
ha1 = hashlib.md5(b"user:briskbox:secret").hexdigest()
passwords.write("other:briskbox:%s\nuser:elsewhere:%s\nuser:briskbox:%s\n" % (ha1, ha1, ha1))
passwords.close()

server = subprocess.Popen([DRIVER, "server", passwords.name], stdout=subprocess.PIPE, text=True)
try:
    line = server.stdout.readline()
    port = int(line.split()[1])
    base = "http://127.0.0.1:%d" % port

    # Request line, query, form variable decoding.
    code, out = curl(base + "/echo/sub?name=a%20b&x=1")
    check("GET fields", out.startswith("GET /echo/sub q=name=a%20b&x=1 len=0\n") and out.endswith("name=a b"), out)

    # python's http.client: a POST with a body, and keep-alive over one connection.
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    conn.request("POST", "/echo", body=b"payload", headers={"Content-Type": "text/plain"})
    r = conn.getresponse()
    body = r.read().decode()
    check("POST body", r.status == 200 and body == "POST /echo q= len=7\npayload", body)
    conn.request("GET", "/echo?name=second")
    r = conn.getresponse()
    body = r.read().decode()
    check("keep-alive second request", r.status == 200 and body.endswith("name=second"), body)
    check("server line", r.getheader("Server") == "WebNet/1.0", str(r.getheaders()))
    conn.close()

    # Two pipelined requests in one write are answered in order.
    out = raw(port, b"GET /echo?name=one HTTP/1.1\r\nHost: x\r\n\r\nGET /echo?name=two HTTP/1.1\r\nHost: x\r\n\r\n",
              timeout=1.0).decode()
    check("pipelining", out.count("HTTP/1.1 200") == 2 and out.index("name=one") < out.index("name=two"), out)

    # A chunked upload that arrives in pieces across several receive events, then a pipelined request.
    pieces = [b"POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel",
              b"lo\r\n6\r\n world\r\n", b"0\r\n\r\nGET /echo?name=after HTTP/1.1\r\nHost: x\r\n\r\n"]
    out = raw(port, pieces, timeout=1.0).decode()
    check("chunked upload in pieces", "len=11\nhello world" in out and "name=after" in out, out)
    code, out = curl("-H", "Transfer-Encoding: chunked", "--data-binary", "chunked by curl", base + "/echo")
    check("curl chunked upload", out.endswith("len=15\nchunked by curl"), out)

    # A chunked reply read by curl.
    code, out = curl(base + "/chunks")
    check("chunked reply", out == "first 1\nsecond\n", repr(out))

    # Malformed requests close the connection without a reply.
    for name, request in [("negative Content-Length", b"POST /echo HTTP/1.1\r\nContent-Length: -5\r\n\r\nabc"),
                          ("garbage Content-Length", b"POST /echo HTTP/1.1\r\nContent-Length: 5x\r\n\r\nabc"),
                          ("control byte", b"GET /echo HTTP/1.1\r\nX: a\tb\r\n\r\n"),
                          ("oversized header block", b"GET /echo HTTP/1.1\r\nX: " + b"a" * 9000)]:
        check(name, raw(port, request, timeout=2.0) == b"")

    # A body cut short by the peer is not delivered as a complete request.
    out = raw(port, b"POST /echo HTTP/1.1\r\nContent-Length: 100\r\n\r\nshort", shutdown=True, timeout=2.0)
    check("truncated body not answered", out == b"", out)

    # Error and redirect replies.
    code, out = curl("-i", base + "/missing")
    check("404", "HTTP/1.1 404 Not Found" in out and "Content-Length: 9" in out and out.endswith("Not Found"), out)
    code, out = curl("-i", base + "/redirect")
    check("redirect", "HTTP/1.1 302 Found" in out and "Location: /echo" in out and "X-Test: 1" in out, out)

    # Digest and Basic authentication with curl.
    code, out = curl("--digest", "-u", "user:secret", base + "/digest?x=1")
    check("digest right password", out == "digest ok\n", out)
    code, out = curl("-o", "/dev/null", "-w", "%{http_code}", "--digest", "-u", "user:wrong", base + "/digest")
    check("digest wrong password", out == "401", out)
    code, out = curl("-o", "/dev/null", "-w", "%{http_code}", base + "/digest")
    check("digest no credentials", out == "401", out)
    code, out = curl("-u", "user:pass", base + "/basic")
    check("basic", out == "basic ok\n", out)

    # python3-websockets as a client of our server.
    async def ws_session():
        async with websockets.connect("ws://127.0.0.1:%d/ws" % port) as ws:
            await ws.send("hello")
            first = await ws.recv()
            big = "x" * 70000
            await ws.send(big)
            second = await ws.recv()
            await ws.send(b"\x00\x01\x02")
            third = await ws.recv()
            pong = await ws.ping(b"p")
            await asyncio.wait_for(pong, 5)
            return first, second == big, third
    first, big_ok, third = asyncio.run(ws_session())
    check("websocket echo", first == "hello" and big_ok and third == b"\x00\x01\x02", (first, big_ok, third))

    # Our client against python3-websockets' server.
    async def serve_and_run():
        async def handler(ws, path=None):
            async for message in ws:
                await ws.send("echo:" + message)
        async with websockets.serve(handler, "127.0.0.1", 0) as srv:
            ws_port = srv.sockets[0].getsockname()[1]
            proc = await asyncio.create_subprocess_exec(DRIVER, "ws-client", "ws://127.0.0.1:%d/path?x=1" % ws_port,
                                                        "hi there", stdout=asyncio.subprocess.PIPE)
            out, _ = await asyncio.wait_for(proc.communicate(), 15)
            return proc.returncode, out.decode()
    rc, out = asyncio.run(serve_and_run())
    check("our websocket client", rc == 0 and out.strip() == "echo:hi there", (rc, out))
finally:
    server.terminate()
    server.wait(5)
    os.unlink(passwords.name)

finish()
