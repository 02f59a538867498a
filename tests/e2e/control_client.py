#!/usr/bin/python3
# Sends control frames to the device's WebSocket channel, one per argument, and prints each reply's JSON.
#   control_client.py ws://HOST:8081 [--push SECONDS] set|get|listen GROUP ITEM [JSON] ...   (GROUP and ITEM in hex)
# With --push, after the last reply it also waits (up to SECONDS) for the first push that carries the last
# command's header (a push has no "deviceUuid") and prints it as "push <JSON>". "listen" sends nothing: it
# only names the header (that of a get GROUP ITEM) whose push is waited for.
# Frame: "<F" + 8 header bytes as 16 lower-case hex digits + ">" + payload + "0"; b2 0xE0 set / 0xE1 get,
# b3 group, b4 item, b5-b6 payload length + 1 (little-endian), b7 the 8-bit sum of b0..b6.
import asyncio
import sys

import websockets


def frame(direction, group, item, payload):
    body = payload.encode()
    length = len(body) + 1 if body else 0
    head = [0x5A, 0x01, 0xE0 if direction == "set" else 0xE1, group, item, length & 0xFF, length >> 8]
    head.append(sum(head) & 0xFF)
    return "<F" + "".join("%02x" % b for b in head) + ">" + payload + ("0" if body else "")


def payload_of(text):
    if not text.startswith("<F") or len(text) < 19:
        return None
    body = text[19:]
    return body[:-1] if body.endswith("0") else body


async def main(url, commands, push_seconds):
    async with websockets.connect(url, open_timeout=10) as ws:
        for direction, group, item, payload in commands:
            if direction == "listen":
                # Nothing sent: only the push that carries a get GROUP ITEM header is waited for.
                want = "%02x%02x%02x" % (0xE1, group, item)
                continue
            await ws.send(frame(direction, group, item, payload))
            # Pushes may arrive between (they carry no "deviceUuid"); take the first reply that carries this
            # command's header.
            want = "%02x%02x%02x" % (0xE0 if direction == "set" else 0xE1, group, item)
            while True:
                reply = await asyncio.wait_for(ws.recv(), timeout=10)
                if reply[6:12] == want and '"deviceUuid"' in reply:
                    print(direction, "%02x %02x" % (group, item), payload_of(reply), flush=True)
                    break
        if push_seconds > 0:
            async def first_push():
                while True:
                    message = await ws.recv()
                    payload = payload_of(message)
                    if message[6:12] == want and payload is not None and '"deviceUuid"' not in payload:
                        return payload
            print("push", await asyncio.wait_for(first_push(), timeout=push_seconds), flush=True)


args = sys.argv[2:]
push_seconds = 0
if args and args[0] == "--push":
    push_seconds = float(args[1])
    args = args[2:]
commands = []
while args:
    direction, group, item = args[0], int(args[1], 16), int(args[2], 16)
    payload = args[3] if len(args) > 3 and args[3].startswith("{") else ""
    args = args[4:] if payload else args[3:]
    commands.append((direction, group, item, payload))
asyncio.run(main(sys.argv[1], commands, push_seconds))
