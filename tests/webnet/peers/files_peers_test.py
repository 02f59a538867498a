#!/usr/bin/python3
"""The networking library's file serving, CGI, server-side includes, reverse proxy and multipart parsing
against curl, wget and Python's http.server. Loopback only; a canary file outside the served root must never
be reachable."""
import gzip
import http.server
import os
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time

from peer_check import check, finish

DRIVER = sys.argv[1]
def curl(*args):
    r = subprocess.run(["curl", "-s", "--max-time", "10", "--path-as-is", *args], capture_output=True)
    return r.stdout.decode(errors="replace")


def head_and_body(out):
    head, _, body = out.partition("\r\n\r\n")
    return head, body


def start(root, *options):
    proc = subprocess.Popen([DRIVER, "files", root, *options], stdout=subprocess.PIPE, text=True)
    port = int(proc.stdout.readline().split()[1])
    return proc, "http://127.0.0.1:%d" % port, port


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(text if isinstance(text, bytes) else text.encode())
    os.chmod(path, mode)


top = tempfile.mkdtemp()
root = os.path.join(top, "root")
write(os.path.join(top, "secret.txt"), "CANARY")
write(os.path.join(root, "index.html"), "home")
write(os.path.join(root, "a.txt"), "0123456789")
write(os.path.join(root, "sub/one.txt"), "1")
write(os.path.join(root, "sub/<b>.txt"), "2")
write(os.path.join(root, "sub/.htpasswd"), "user:realm:0000")
write(os.path.join(root, "sub/skip.tmp"), "hidden")
write(os.path.join(root, "both/index.htm"), "htm")
write(os.path.join(root, "both/index.html"), "html")
write(os.path.join(root, "g.txt.gz"), gzip.compress(b"zipped"))
write(os.path.join(root, "x.gz"), gzip.compress(b"raw"))
cgi_env = "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\nenv | sort\nif [ -n \"$CONTENT_LENGTH\" ]; then printf 'BODY:'; head -c \"$CONTENT_LENGTH\"; fi\n"
write(os.path.join(root, "cgi/env.cgi"), cgi_env, 0o755)
write(os.path.join(root, "cgi/status.cgi"), "#!/bin/sh\nprintf 'Status: 404 Not Found\\r\\nX-Own: yes\\r\\n\\r\\nnothing'\n", 0o755)
write(os.path.join(root, "cgi/loc.cgi"), "#!/bin/sh\nprintf 'Status: 200 OK\\r\\nLocation: /a.txt\\r\\n\\r\\n'\n", 0o755)
write(os.path.join(root, "cgidir/index.cgi"), cgi_env, 0o755)
marker = os.path.join(top, "hidden-script-ran")
write(os.path.join(root, "cgi/skip.tmp.cgi"), "#!/bin/sh\ntouch %s\nprintf '\\r\\n\\r\\nran'\n" % marker, 0o755)
write(os.path.join(root, "ssi/page.shtml"),
      "A<!--#include virtual=\"a.txt\" -->B<!--#include file=\"part.txt\"-->C<!-- plain -->D<!--#call hello -->E"
      "<!--#include-->F<!--#bogus x -->G")
write(os.path.join(root, "ssi/part.txt"), "part")
for level in range(12):
    write(os.path.join(root, "ssi/n%d.shtml" % level), "[%d<!--#include file=\"n%d.shtml\" -->]" % (level, level + 1))

server, base, port = start(root, "hidden=**.tmp$|**.tmp.cgi$", "cgi_interpreter=/bin/sh", "extra_headers=X-Extra: 1")
try:
    # Path traversal: nothing outside the root, whatever the encoding.
    for uri in ["/../secret.txt", "/%2e%2e/secret.txt", "/a/../../secret.txt", "/%2e%2e%2fsecret.txt",
                "/sub/%2F..%2F..%2Fsecret.txt", "/..%5csecret.txt", "/sub/../../../secret.txt", "/%00/../secret.txt",
                "/./.././secret.txt"]:
        out = curl("-i", base + uri)
        check("traversal " + uri, "CANARY" not in out, out)

    out = curl("-i", base + "/")
    check("index file", out.endswith("home") and "X-Extra: 1" in out, out)
    check("directory redirect", "301" in curl("-i", base + "/sub") and "Location: /sub/" in curl("-i", base + "/sub"))
    check("index order", curl(base + "/both/") == "html")
    head, body = head_and_body(curl("-i", "-H", "Range: bytes=0-0", base + "/a.txt"))
    check("range 0-0", "206 Partial Content" in head and "Content-Length: 1" in head and
          "Content-Range: bytes 0-0/10" in head and body == "0", head)
    head, body = head_and_body(curl("-i", "-H", "Range: bytes=5-", base + "/a.txt"))
    check("range 5-", "Content-Range: bytes 5-9/10" in head and body == "56789", head)
    head, body = head_and_body(curl("-i", "-H", "Range: bytes=10-", base + "/a.txt"))
    check("range 10-", "416" in head and "Content-Range: bytes */10" in head, head)
    head, _ = head_and_body(curl("-i", base + "/a.txt"))
    etag = [l.split(": ", 1)[1] for l in head.split("\r\n") if l.lower().startswith("etag:")][0]
    head, body = head_and_body(curl("-i", "-H", "If-None-Match: " + etag.upper(), base + "/a.txt"))
    check("etag 304", "304" in head and "Content-Length: 0" in head and body == "", head)
    head, body = head_and_body(curl("-i", "-H", "If-Modified-Since: Tue, 01 Jan 2036 00:00:00 GMT", base + "/a.txt"))
    check("if-modified-since 304", "304" in head, head)
    head, body = head_and_body(curl("-i", "-I", base + "/a.txt"))
    raw = socket.create_connection(("127.0.0.1", port))
    raw.sendall(b"HEAD /a.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    reply = b""
    while True:
        chunk = raw.recv(4096)
        if not chunk:
            break
        reply += chunk
    raw.close()
    check("HEAD has no body", reply.endswith(b"\r\n\r\n") and b"Content-Length: 10" in reply, reply)
    out = curl("-i", "--http1.0", base + "/a.txt")
    check("HTTP/1.0 closes", "Connection: close" in out, out)
    out = curl("-i", "-X", "OPTIONS", base + "/a.txt")
    check("OPTIONS", "Allow: GET, POST, HEAD, CONNECT, OPTIONS" in out, out)
    head, body = head_and_body(curl("-i", base + "/g.txt.gz"))
    check("gz of text", "Content-Type: text/plain" in head and "Content-Encoding: gzip" in head, head)
    head, body = head_and_body(curl("-i", base + "/x.gz"))
    check("plain gz", "Content-Type: application/x-gunzip" in head and "Content-Encoding" not in head, head)
    out = curl("-i", base + "/sub/.htpasswd") + curl("-i", "-d", "", base + "/sub/.htpasswd")
    check(".htpasswd never served", out.count("404 Not Found") == 2 and "0000" not in out, out)
    check("path info on a file", "501" in curl("-i", base + "/a.txt/more"))

    # Listing: names escaped, hidden files left out; wget walks it.
    listing = curl(base + "/sub/")
    check("listing", "one.txt" in listing and "&lt;b>.txt" in listing and ".htpasswd" not in listing and
          "skip.tmp" not in listing and "WebNet/1.0" in listing, listing)
    mirror = tempfile.mkdtemp()
    subprocess.run(["wget", "-q", "-r", "-np", "-nH", "-P", mirror, base + "/sub/"], timeout=30)
    check("wget -r", os.path.exists(os.path.join(mirror, "sub/one.txt")) and
          not os.path.exists(os.path.join(mirror, "sub/.htpasswd")), os.listdir(mirror))
    shutil.rmtree(mirror)

    # CGI with /bin/sh: the environment, the body, status lines.
    out = curl("-H", "X-Forwarded-For: 10.9.9.9", "-d", "posted", base + "/cgi/env.cgi/extra/path?q=1")
    for want in ["REQUEST_METHOD=POST", "QUERY_STRING=q=1", "HTTP_X_FORWARDED_FOR=10.9.9.9", "PATH_INFO=/extra/path",
                 "SCRIPT_NAME=/cgi/env.cgi", "GATEWAY_INTERFACE=CGI/1.1", "SERVER_SOFTWARE=WebNet/1.0", "BODY:posted",
                 "REQUEST_URI=/cgi/env.cgi/extra/path?q=1", "REMOTE_ADDR=127.0.0.1"]:
        check("cgi " + want, want in out, out)
    out = curl(base + "/cgidir/")
    check("cgi index SCRIPT_NAME", "SCRIPT_NAME=/cgidir/index.cgi" in out, out)
    out = curl("-i", base + "/cgi/status.cgi")
    check("cgi Status", out.startswith("HTTP/1.1 404 Not Found\r\n") and "X-Own: yes" in out, out)
    out = curl("-i", base + "/cgi/loc.cgi")
    check("cgi Location", out.startswith("HTTP/1.1 302 Moved"), out)
    out = curl("-i", base + "/cgi/skip.tmp.cgi")
    time.sleep(0.3)
    check("hidden script never runs", "404" in out and not os.path.exists(marker), out)

    # Server-side includes.
    out = curl(base + "/ssi/page.shtml")
    check("ssi page", out == "A0123456789BpartC<!-- plain -->D[called:hello]EBad SSI #include: []FG", out)
    out = curl(base + "/ssi/n0.shtml")
    check("ssi depth", out.count("[") == 11 and "SSI #include level is too deep" in out, out)

    # Multipart uploads from curl.
    out = curl("-F", "field=value", "-F", "file=@%s;filename=a.txt" % os.path.join(root, "a.txt"), base + "/upload")
    check("multipart", out == "field||5|value\nfile|a.txt|10|0123456789\n", out)
finally:
    server.terminate()
    server.wait(5)

# Access list: 127.0.0.1 allowed, another loopback source refused.
server, base, port = start(root, "acl=-0.0.0.0/0,+127.0.0.1")
try:
    check("acl allows", curl(base + "/a.txt") == "0123456789")
    out = curl("-i", "--interface", "127.0.0.2", base + "/a.txt")
    check("acl refuses", "403 Forbidden" in out, out)
finally:
    server.terminate()
    server.wait(5)

# Reverse proxy in front of Python's http.server (query kept), and a chunked upstream reply.
class Upstream(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        if self.path.startswith("/chunked"):
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for part in [b"hello ", b"chunked"]:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(part), part))
            self.wfile.write(b"0\r\n\r\n")
        else:
            body = ("upstream saw " + self.path).encode()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

    def log_message(self, *args):
        pass


upstream = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Upstream)
threading.Thread(target=upstream.serve_forever, daemon=True).start()
up_port = upstream.server_address[1]
server, base, port = start(root, "rewrites=/up/=http://127.0.0.1:%d/" % up_port,
                           "own_port_redirect=http://127.0.0.1:1")
try:
    out = curl(base + "/up/path?x=1&y=2")
    check("proxy keeps the query", out == "upstream saw /path?x=1&y=2", out)
    out = curl("-i", base + "/up/chunked")
    check("proxy chunked reply", out.endswith("hello chunked") and "Content-Length: 13" in out, out)
finally:
    server.terminate()
    server.wait(5)
    upstream.shutdown()

# A redirect rule for the listener's own port sends every request elsewhere.
server, base, port = start(root, "own_port_redirect=http://127.0.0.1:1")
try:
    out = curl("-i", base + "/a.txt?z=1")
    check("port redirect", "301" in out and "Location: http://127.0.0.1:1/a.txt?z=1" in out, out)
finally:
    server.terminate()
    server.wait(5)

shutil.rmtree(top)
finish()
