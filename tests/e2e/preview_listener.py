#!/usr/bin/python3
# Stands in for the companion process: listens on 127.0.0.1 at the given ports and writes one line
# "connected <port>" to the log for every connection, then reads and drops what arrives.
import socket
import sys
import threading

log_path = sys.argv[1]
lock = threading.Lock()


def serve(port):
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(4)
    while True:
        conn, _ = server.accept()
        with lock, open(log_path, "a") as log:
            log.write("connected %d\n" % port)
        threading.Thread(target=drain, args=(conn,), daemon=True).start()


def drain(conn):
    while conn.recv(65536):
        pass


for port in sys.argv[2:]:
    threading.Thread(target=serve, args=(int(port),), daemon=True).start()
threading.Event().wait()
