"""The control channel seen by a real WebSocket client: "ping", a get and a set of every command group with
the settings files they change, the pushes that follow their requests, several clients, and messages that
must not bring the server down."""
import asyncio
import json
import signal
import unittest

import websockets

from web_fixture import WebServerProcess, binary_from_argv, wait_until

BINARY = None
GET, SET = 0xE1, 0xE0
QUIET_SECONDS = 0.6


def frame(b0, b1, direction, group, item, payload=None):
    data = b"" if payload is None else json.dumps(payload, separators=(",", ":")).encode()
    n = len(data)
    b5, b6 = ((n + 1) & 0xFF, (n + 1) >> 8) if n else (0, 0)
    head = [b0, b1, direction, group, item, b5, b6]
    head.append(sum(head) & 0xFF)
    text = "<F" + "".join("%02x" % b for b in head) + ">"
    return text + (data.decode() + "0" if n else "")


def unframe(text):
    assert text.startswith("<F") and text[18] == ">", text
    head = bytes.fromhex(text[2:18])
    length = head[5] | head[6] << 8
    payload = text[19:19 + length - 1] if length else ""
    if length:
        assert text[19 + length - 1:] == "0", text
    return head, (json.loads(payload) if payload else None)


class Client:
    """One connection; request ids go into b0/b1 and come back in the reply."""
    next_id = 0x0100

    def __init__(self, ws):
        self.ws = ws

    @classmethod
    async def open(cls, port):
        return cls(await websockets.connect("ws://127.0.0.1:%d/" % port, max_size=None))

    async def recv(self, timeout=5.0):
        return await asyncio.wait_for(self.ws.recv(), timeout)

    async def quiet(self, seconds=QUIET_SECONDS, skip_pushes=True):
        """True when nothing but pushes arrives within the given time."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + seconds
        while True:
            left = deadline - loop.time()
            if left <= 0:
                return True
            try:
                text = await asyncio.wait_for(self.ws.recv(), left)
            except asyncio.TimeoutError:
                return True
            if not (skip_pushes and text.startswith("<F") and "\"msg\"" not in text):
                return False

    async def call(self, direction, group, item, payload=None):
        """Sends one request and returns (header, reply) of its reply; pushes on the way are skipped."""
        Client.next_id += 1
        b0, b1 = Client.next_id >> 8 & 0xFF, Client.next_id & 0xFF
        await self.ws.send(frame(b0, b1, direction, group, item, payload))
        while True:
            head, body = unframe(await self.recv())
            if body is not None and "msg" in body:
                assert tuple(head[:5]) == (b0, b1, direction, group, item), (head.hex(), body)
                return head, body

    async def push(self, group, item, timeout=5.0):
        """The next push whose header names group and item."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        while True:
            head, body = unframe(await self.recv(max(0.01, deadline - loop.time())))
            if head[3] == group and head[4] == item and body is not None and "msg" not in body:
                return head, body


def run(coro):
    return asyncio.run(coro)


class WebSocketTest(unittest.TestCase):
    def setUp(self):
        self.server = WebServerProcess(BINARY, push_ms=200)
        self.server.start()

    def tearDown(self):
        code = self.server.stop()
        self.assertEqual(code, 0, "the server did not stop cleanly:\n" + self.server.log())

    def test_ping_in_any_case_and_near_misses(self):
        async def go():
            c = await Client.open(self.server.ws_port)
            for text in ["ping", "PING", "Ping", "pInG"]:
                await c.ws.send(text)
                while True:  # skip pushes
                    reply = await c.recv()
                    if not reply.startswith("<F"):
                        break
                self.assertEqual(reply, "ok", text)
            # Not exactly "ping": each goes to the dispatcher, which cannot cut a frame and sends nothing.
            for text in ["ping ", " ping", "pin", "pingping", "ok", ""]:
                await c.ws.send(text)
                self.assertTrue(await c.quiet(0.3), repr(text))
            await c.ws.close()
        run(go())

    def test_get_and_set_of_every_group(self):
        s = self.server

        async def go():
            c = await Client.open(s.ws_port)
            # Device group: network.
            _, r = await c.call(GET, 0x03, 0x00)
            self.assertEqual(r["data"]["ip"], "192.168.5.100")
            self.assertEqual(r["data"]["mac"], "02:00:00:12:34:56")
            _, r = await c.call(SET, 0x03, 0x00, {"ip": "10.1.2.3", "mask": "255.0.0.0", "gateway": "10.0.0.1",
                                                 "dns": "10.0.0.2", "switch": False})
            self.assertEqual(r["code"], 0)
            self.assertEqual(s.settings("net.json")["eth0"], {"ip": "10.1.2.3", "mask": "255.0.0.0",
                                                              "gw": "10.0.0.1", "dns": "10.0.0.2", "dhcp": False})
            _, r = await c.call(SET, 0x03, 0x00, {"ip": "10.1.2", "mask": "255.0.0.0", "gateway": "10.0.0.1",
                                                 "dns": "10.0.0.2", "switch": False})
            self.assertNotEqual(r["code"], 0)
            self.assertEqual(s.settings("net.json")["eth0"]["ip"], "10.1.2.3")
            _, r = await c.call(GET, 0x03, 0x00)
            self.assertEqual((r["data"]["ip"], r["data"]["dhcp"]), ("10.1.2.3", False))

            # Device group: camera, language, input on air.
            _, r = await c.call(SET, 0x03, 0x22, {"type": 1})
            self.assertEqual(r["data"], {"usbCamera": 1})
            _, r = await c.call(GET, 0x03, 0x22)
            self.assertEqual(r["data"], {"usbCamera": 1, "version": "1.42"})
            await c.call(SET, 0x03, 0x31, {"languageData": {"locae": 1}})
            _, r = await c.call(GET, 0x03, 0x34)
            self.assertEqual(r["data"], {"language": 1})
            await c.call(SET, 0x03, 0x36, {"typeMonitor": "NDI"})
            _, r = await c.call(GET, 0x03, 0x36)
            self.assertEqual(r["data"], {"MonitorName": ["UVC", "NDI", "IP1"], "typeMonitor": "NDI"})
            common = s.settings()
            self.assertEqual((common["camera_value"], common["user_language"], common["user_signal"]),
                             (True, True, 1))

            # NDI group: send and receive.
            _, r = await c.call(SET, 0x04, 0x02, {"check": True})
            _, r = await c.call(GET, 0x04, 0x00)
            self.assertEqual((r["data"]["isPush"], r["data"]["main"]["channelName"]), (True, "BRISKBOX-127.0.0.1"))
            await c.call(SET, 0x04, 0x01, {"check": True, "ndisource": {"name": "STUDIO-A (Camera 1)"}})
            _, r = await c.call(GET, 0x04, 0x02)
            self.assertEqual(r["data"], {"ndi_pull_name": "STUDIO-A (Camera 1)", "ndi_switch": True})
            common = s.settings()
            self.assertEqual((common["ndi_encode"], common["ndi_switch"], common["ndi_pull_name"]),
                             (True, True, "STUDIO-A (Camera 1)"))

            # Stream inputs: the second switch cannot go on while the first is.
            entry = {"netName": "cam", "netUrl": "rtsp://127.0.0.1:8554/live/main", "netSwitch": True}
            _, r = await c.call(SET, 0x11, 0x00, {"netInpt": [entry]})
            self.assertEqual(r["data"], {"check": True})
            _, r = await c.call(GET, 0x05, 0x00)
            self.assertEqual(r["data"], {"netinput": [entry]})
            rtmp = {"netName": "pub", "netUrl": "rtmp://127.0.0.1:1935/live/x", "netSwitch": True}
            _, r = await c.call(SET, 0x11, 0x01, {"netInpt": [rtmp]})
            self.assertEqual(r["data"], {"rtmpinput": [dict(rtmp, netSwitch=False)], "check": False})
            _, r = await c.call(GET, 0x05, 0x01)
            self.assertEqual(r["data"], {"rtmpinput": [dict(rtmp, netSwitch=False)]})

            # Port group and the factory reset.
            _, r = await c.call(GET, 0x10, 0x12)
            self.assertEqual(r["data"], {"inputPort": 0, "enable": True, "img": "null"})
            _, r = await c.call(SET, 0x10, 0x12, {"enable": False})
            self.assertNotIn("data", r)
            _, r = await c.call(SET, 0x03, 0x32)
            self.assertEqual(r, {"deviceUuid": "TESTSERIAL0001", "msg": "success", "code": 0})
            common = s.settings()
            self.assertEqual((common["user_signal"], common["ndi_switch"], common["netSwitch"], common["camera_value"]),
                             (0, False, False, False))
            self.assertEqual(s.settings("net.json")["eth0"]["ip"], "192.168.5.100")
            await c.ws.close()
        run(go())

    def test_pushes_carry_the_header_of_their_request(self):
        async def go():
            c = await Client.open(self.server.ws_port)
            # Statistics: every pass, with the header of the last get 03 35.
            head, r = await c.call(GET, 0x03, 0x35)
            self.assertIn("cpuOccupy", r["data"])
            cpus = set()
            for _ in range(3):
                push_head, push = await c.push(0x03, 0x35)
                self.assertEqual(push_head[:5], head[:5])
                self.assertEqual(set(push), {"data", "code"})
                self.assertEqual(set(push["data"]), set(r["data"]))
                cpus.add(push["data"]["cpuOccupy"])
            self.assertGreater(len(cpus), 1, "the pushes repeat one sample")

            # NDI sources: one push after a get 04 01 while no receive decodes.
            head, r = await c.call(GET, 0x04, 0x01)
            self.assertNotIn("data", r)
            push_head, push = await c.push(0x04, 0x01)
            self.assertEqual(push_head[:5], head[:5])
            self.assertEqual([s["name"] for s in push["data"]["ndisource"]],
                             ["STUDIO-A (Camera 1)", "STUDIO-B (Camera 2)"])

            # Port list: a push on a camera plug change, with the header of the last get 03 37.
            head, r = await c.call(GET, 0x03, 0x37)
            self.assertEqual(r["data"]["PortInfo"][0]["resolution"], "1920x1080@30")
            self.server.signal(signal.SIGUSR1)
            push_head, push = await c.push(0x03, 0x37)
            self.assertEqual(push_head[:5], head[:5])
            self.assertEqual(push["data"]["PortInfo"][0], {"index": 0, "portType": 0, "resolution": ""})
            await c.ws.close()
        run(go())

    def test_broadcast_reaches_every_client_after_one_is_killed(self):
        async def go():
            clients = [await Client.open(self.server.ws_port) for _ in range(3)]
            self.assertTrue(wait_until(lambda: "ws_count=3" in self.server.log()))
            await clients[0].call(GET, 0x03, 0x35)
            # Killed without a closing handshake: the socket just goes away.
            clients[1].ws.transport.abort()
            for c in (clients[0], clients[2]):
                for _ in range(3):
                    await c.push(0x03, 0x35)
            self.assertTrue(wait_until(lambda: "ws_count=2" in self.server.log()), self.server.log())
            for c in (clients[0], clients[2]):
                await c.ws.close()
            self.assertTrue(wait_until(lambda: "closed ws_count=0" in self.server.log()), self.server.log())
        run(go())

    def test_frames_are_cut_per_connection(self):
        async def go():
            a = await Client.open(self.server.ws_port)
            b = await Client.open(self.server.ws_port)
            text = frame(0x0A, 0x0B, GET, 0x03, 0x22, {})
            # Half a frame on a, a whole one on b: b is answered at once, a once its rest arrives.
            await a.ws.send(text[:10])
            self.assertTrue(await a.quiet(0.3))
            _, r = await b.call(GET, 0x03, 0x34)
            self.assertIn("language", r["data"])
            await a.ws.send(text[10:])
            head, body = unframe(await a.recv())
            while "msg" not in body:
                head, body = unframe(await a.recv())
            self.assertEqual(tuple(head[:5]), (0x0A, 0x0B, GET, 0x03, 0x22))
            await a.ws.close()
            await b.ws.close()
        run(go())

    def test_hostile_messages_leave_the_server_running(self):
        async def go():
            c = await Client.open(self.server.ws_port)
            # No reply at all: not JSON, a broken frame, garbage, a frame with a "null" result.
            for text in [frame(1, 2, GET, 0x03, 0x22)[:-1] + "x{", "<F00>", "\x00" * 50,
                         "<F0102e1032203000c>[1,0"]:
                await c.ws.send(text)
                self.assertTrue(await c.quiet(0.3), repr(text))
            # A service that throws inside the dispatcher: no reply, and the server carries on.
            await c.ws.send(frame(1, 2, SET, 0x04, 0x01, {"check": True, "ndisource": {"name": "throw-in-dispatcher"}}))
            self.assertTrue(await c.quiet(0.3))
            await c.ws.send("ping")
            while (reply := await c.recv()).startswith("<F"):
                pass
            self.assertEqual(reply, "ok")
            # Binary data and a message far over the limit close only that connection.
            await c.ws.send(b"\xff\xfe binary")
            big = await Client.open(self.server.ws_port)
            with self.assertRaises(websockets.ConnectionClosed) as closed:
                await big.ws.send("x" * (1 << 20))
                while True:
                    await big.recv(10)
            self.assertEqual(closed.exception.rcvd.code, 1009)
            fresh = await Client.open(self.server.ws_port)
            _, r = await fresh.call(GET, 0x03, 0x22)
            self.assertEqual(r["data"]["version"], "1.42")
            for client in (c, fresh):
                await client.ws.close()
            self.assertTrue(self.server.alive())
        run(go())


if __name__ == "__main__":
    BINARY = binary_from_argv()
    unittest.main(verbosity=2)
