"""Raw HTTP requests to the web server: static files with their types, the two login calls, and the
path-traversal table. The requests are written byte for byte, because ordinary clients clean up ".."."""
import os
import socket
import unittest

from web_fixture import CANARY, WebServerProcess, binary_from_argv

BINARY = None

CORS_HEADERS = {
    "access-control-allow-origin": "*",
    "access-control-allow-credentials": "true",
    "access-control-allow-headers":
        "Content-Type, Accept, token, Authorization, X-Auth-Token, X-XSRF-TOKEN, Access-Control-Allow-Headers",
    "access-control-allow-methods": "GET, POST, PUT, DELETE, HEAD",
    "access-control-max-age": "151200",
    "connection": "keep-alive",
}

INDEX = b"<!doctype html><title>index</title>INDEX-PAGE"
PNG = b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR" + bytes(range(256))

# name, content, expected Content-Type
STATIC_FILES = [
    ("index.html", INDEX, "text/html"),
    ("app.js", b"console.log('app');", "application/javascript"),
    ("X.JS", b"var upper = 1;", "application/javascript"),
    ("style.css", b"body{margin:0}", "text/css"),
    ("data.json", b'{"a":1}', "application/json"),
    ("img.png", PNG, "image/png"),
    ("photo.jpg", b"\xff\xd8\xff\xe0JPG", "image/jpeg"),
    ("photo.JPEG", b"\xff\xd8\xff\xe0JPEG", "image/jpeg"),
    ("anim.gif", b"GIF89a\x00\x00", "image/gif"),
    ("icon.svg", b"<svg xmlns='http://www.w3.org/2000/svg'/>", "image/svg+xml"),
    ("favicon.ico", b"\x00\x00\x01\x00ICO", "image/x-icon"),
    ("blob.bin", b"\x00\x01\x02binary", "application/octet-stream"),
    ("README", b"no extension", "application/octet-stream"),
    ("sub/page.html", b"<p>sub page</p>", "text/html"),
    ("with space.txt", b"spaced", "application/octet-stream"),
]


class Reply:
    def __init__(self, raw):
        head, _, body = raw.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        self.status = int(lines[0].split(" ")[1]) if lines and lines[0].startswith("HTTP/") else 0
        self.headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            self.headers[name.strip().lower()] = value.strip()
        length = int(self.headers.get("content-length", len(body)))
        self.body = body[:length]
        self.raw = raw

    @property
    def content_type(self):
        return self.headers.get("content-type")


class HttpTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = WebServerProcess(BINARY)
        for name, content, _ in STATIC_FILES:
            path = os.path.join(cls.server.html, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(content)
        os.makedirs(os.path.join(cls.server.html, "folder"))
        open(os.path.join(cls.server.html, "empty.txt"), "wb").close()
        os.mkfifo(os.path.join(cls.server.html, "pipe"))
        # A link inside the root that leads outside it, to the canary.
        os.symlink("../secret.txt", os.path.join(cls.server.html, "link-out.txt"))
        cls.server.start()

    @classmethod
    def tearDownClass(cls):
        code = cls.server.stop()
        assert code == 0, "the server did not stop cleanly (exit %s):\n%s" % (code, cls.server.log())

    def request(self, method, target, body=b"", headers=None):
        lines = ["%s %s HTTP/1.1" % (method, target), "Host: 127.0.0.1:%d" % self.server.http_port]
        for name, value in (headers or {}).items():
            lines.append("%s: %s" % (name, value))
        if body or method == "POST":
            lines.append("Content-Length: %d" % len(body))
        data = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body
        with socket.create_connection(("127.0.0.1", self.server.http_port), timeout=10) as s:
            s.sendall(data)
            raw = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                raw += chunk
                reply = Reply(raw)
                if b"\r\n\r\n" in raw and len(reply.body) >= int(reply.headers.get("content-length", 1 << 30)):
                    break
        reply = Reply(raw)
        self.assertTrue(raw.startswith(b"HTTP/1.1 "), "%s %r: no HTTP reply: %r" % (method, target, raw[:200]))
        for name, value in CORS_HEADERS.items():
            self.assertEqual(reply.headers.get(name), value, "%s %r: header %s" % (method, target, name))
        self.assertNotIn(CANARY.encode(), raw, "%s %r served the canary" % (method, target))
        return reply

    def post_json(self, path, text):
        return self.request("POST", path, text.encode("utf-8"), {"Content-Type": "application/json"})

    def test_static_files_have_their_types(self):
        for name, content, mime in STATIC_FILES:
            target = "/" + name.replace(" ", "%20")
            with self.subTest(target=target):
                reply = self.request("GET", target)
                self.assertEqual((reply.status, reply.content_type, reply.body), (200, mime, content))

    def test_special_targets(self):
        app = b"console.log('app');"
        cases = [
            # method, target, status, Content-Type, body
            ("GET", "/", 200, "text/html", INDEX),
            ("GET", "/app.js?v=2", 200, "application/javascript", app),
            ("GET", "/app.js#part", 200, "application/javascript", app),
            ("GET", "/%61pp.js", 200, "application/javascript", app),
            ("POST", "/app.js", 200, "application/javascript", app),
            # A missing file, a folder, an empty file and a FIFO get the page, so its own routes load.
            ("GET", "/missing.html", 200, "text/html", INDEX),
            ("GET", "/status/network", 200, "text/html", INDEX),
            ("GET", "/folder", 200, "text/html", INDEX),
            ("GET", "/folder/", 200, "text/html", INDEX),
            ("GET", "/empty.txt", 200, "text/html", INDEX),
            ("GET", "/pipe", 200, "text/html", INDEX),
            # Decoded once only: "%252e" is the file name "%2e", which does not exist.
            ("GET", "/%252e%252e/secret.txt", 200, "text/html", INDEX),
            # A browser's preflight passes.
            ("OPTIONS", "/api/login/phone", 200, "text/html", INDEX),
            ("GET", "/api/login/phone", 200, "text/html", INDEX),
            # Broken escapes are refused.
            ("GET", "/%zz", 404, None, b"404 Not Found"),
            ("GET", "/app.js%", 404, None, b"404 Not Found"),
            ("GET", "/app.js%4", 404, None, b"404 Not Found"),
        ]
        for method, target, status, mime, body in cases:
            with self.subTest(method=method, target=target):
                reply = self.request(method, target)
                self.assertEqual(reply.status, status)
                if mime is not None:
                    self.assertEqual(reply.content_type, mime)
                self.assertEqual(reply.body, body)

    def test_missing_index_gives_404(self):
        index = os.path.join(self.server.html, "index.html")
        os.rename(index, index + ".away")
        try:
            for target in ["/", "/missing.html", "/folder"]:
                with self.subTest(target=target):
                    reply = self.request("GET", target)
                    self.assertEqual((reply.status, reply.body), (404, b"404 Not Found"))
            self.assertEqual(self.request("GET", "/app.js").status, 200)
        finally:
            os.rename(index + ".away", index)

    def test_path_traversal_never_leaves_the_root(self):
        refused = [
            "/../secret.txt",
            "/sub/../../secret.txt",
            "/../../../../../../../etc/passwd",
            "/%2e%2e/secret.txt",
            "/%2E%2E/secret.txt",
            "/.%2e/secret.txt",
            "/%2e./secret.txt",
            "/..%2fsecret.txt",
            "/..%2Fsecret.txt",
            "/sub/..%2f..%2fsecret.txt",
            "/%2e%2e%2fsecret.txt",
            "/%2e%2e%2f%2e%2e%2f%2e%2e%2fuserdata%2fconfig%2fcommon.json",
            "/..\\secret.txt",
            "/%5c..%5csecret.txt",
            "/..%5csecret.txt",
            "/./index.html",
            "/sub/./page.html",
            "/secret.txt%00.html",
            "/link-out.txt",
            "..%2fsecret.txt",
            "../secret.txt",
            "secret.txt",
            "http://127.0.0.1/../secret.txt",
            "http://127.0.0.1/index.html",
            "*",
        ]
        for target in refused:
            with self.subTest(target=target):
                reply = self.request("GET", target)
                self.assertEqual((reply.status, reply.body), (404, b"404 Not Found"))
        # Absolute file names stay inside the root: they name files there, which do not exist.
        for target in ["//etc/passwd", "/%2fetc%2fpasswd", "//usr/bin/secret.txt", "/usr/bin/secret.txt"]:
            with self.subTest(target=target):
                reply = self.request("GET", target)
                self.assertEqual((reply.status, reply.body), (200, INDEX))
        # The settings file with the password is outside the root too.
        with open(os.path.join(self.server.config, "common.json"), "w") as f:
            f.write('{"user_passwd":"%s"}' % CANARY)
        for target in ["/../../../userdata/config/common.json", "/%2e%2e/%2e%2e/%2e%2e/userdata/config/common.json"]:
            with self.subTest(target=target):
                self.assertEqual(self.request("GET", target).status, 404)
        os.remove(os.path.join(self.server.config, "common.json"))

    def test_login(self):
        ok, wrong, bad = "ok".encode(), "账号密码错误".encode(), "参数有误".encode()
        cases = [
            ('{"userName":"velto","passw":"velto"}', 200, ok),
            ('{"passw":"velto","userName":"velto","extra":[1,2]}', 200, ok),
            ('{"userName":"velto","passw":"wrong"}', 200, wrong),
            ('{"userName":"admin","passw":"velto"}', 200, wrong),
            ('{"userName":"管理员","passw":"密码"}', 200, wrong),
            ('{"userName":"velto","passw":""}', 200, wrong),
            ('{"userName":"","passw":"velto"}', 401, bad),
            ('{"userName":"velto"}', 401, bad),
            ('{"passw":"velto"}', 401, bad),
            ('{"userName":"velto","passw":5}', 401, bad),
            ('{"userName":["velto"],"passw":"velto"}', 401, bad),
            ('["velto","velto"]', 401, bad),
            ('"velto"', 401, bad),
            ("userName=velto&passw=velto", 401, bad),
            ('{"userName":"velto","passw":"velto"', 401, bad),
            ("", 401, bad),
        ]
        for body, status, text in cases:
            with self.subTest(body=body):
                reply = self.post_json("/api/login/phone", body)
                self.assertEqual((reply.status, reply.content_type, reply.body),
                                 (status, "application/octet-stream", text))

    def test_password_change(self):
        ok, mismatch, wrong_old = "ok".encode(), "新密码和确认密码不一致".encode(), "旧密码有误".encode()
        self.assertIsNone(self.server.settings())

        def change(old, new, sure):
            body = '{"oldPassw":"%s","passw":"%s","surePassw":"%s"}' % (old, new, sure)
            reply = self.post_json("/api/login/updatePassword", body)
            self.assertEqual((reply.status, reply.content_type), (200, "application/octet-stream"))
            return reply.body

        def login(password):
            return self.post_json("/api/login/phone", '{"userName":"velto","passw":"%s"}' % password).body

        # Refused changes store nothing.
        self.assertEqual(change("nope", "a", "b"), mismatch)
        self.assertEqual(change("nope", "a", "a"), wrong_old)
        refused_bodies = ["not json", "[]", '{"oldPassw":"velto","passw":"x"}',
                          '{"oldPassw":1,"passw":"x","surePassw":"x"}']
        for body in refused_bodies:
            with self.subTest(body=body):
                reply = self.post_json("/api/login/updatePassword", body)
                self.assertEqual((reply.status, reply.body), (200, wrong_old))
        self.assertIsNone(self.server.settings())
        self.assertEqual(login("velto"), ok)

        # The right old password changes it and saves it; the old one stops working.
        self.assertEqual(change("velto", "s3cret-新", "s3cret-新"), ok)
        self.assertEqual(self.server.settings()["user_passwd"], "s3cret-新")
        self.assertEqual(login("s3cret-新"), ok)
        self.assertEqual(login("velto"), "账号密码错误".encode())
        self.assertEqual(change("s3cret-新", "velto", "velto"), ok)
        self.assertEqual(self.server.settings()["user_passwd"], "velto")

    def test_oversized_body_is_refused_and_the_server_goes_on(self):
        body = b'{"userName":"velto","passw":"' + b"x" * (200 * 1024) + b'"}'
        try:
            with socket.create_connection(("127.0.0.1", self.server.http_port), timeout=10) as s:
                s.sendall(b"POST /api/login/phone HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % len(body))
                s.sendall(body)
                raw = s.recv(65536)
                self.assertFalse(raw.startswith(b"HTTP/1.1 200"), raw[:100])
        except (ConnectionResetError, BrokenPipeError):
            pass
        self.assertTrue(self.server.alive())
        self.assertEqual(self.request("GET", "/").status, 200)


if __name__ == "__main__":
    BINARY = binary_from_argv()
    unittest.main(verbosity=2)
