#!/usr/bin/env python3
"""A network receipt printer as the app's tests see it: a raw TCP port on
loopback (what a printer offers on port 9100) that keeps what it reads.

usage: tcp_sink.py DIR [--port N] [--stall | --hang-up | --rate BYTES_PER_SECOND]

Listens on port N (a printer that comes back where it was), else on a
free one; writes the port to DIR/port. Each connection's bytes go to
DIR/conn-NNNNNN.part while it is open; at its end the file becomes
DIR/conn-NNNNNN.prn (numbered in the order connections end), with the
wall-clock time of its last byte in DIR/conn-NNNNNN.last; or goes when
nothing came. --stall takes connections and never reads them, as a
printer with its cover open; --hang-up drops each connection at once (a
reset), as a printer switched off; --rate reads no faster than given. Stopped
by SIGTERM or SIGKILL; it leaves only DIR's files.
"""
import os
import signal
import socket
import sys
import threading
import time

STALLED_RECEIVE_BUFFER = 4096  # bytes the kernel holds for a printer that reads nothing
CHUNK = 65536


def main():
    args = sys.argv[1:]
    if not args:
        sys.exit(__doc__)
    folder = args[0]
    stall = "--stall" in args
    hang_up = "--hang-up" in args
    rate = int(args[args.index("--rate") + 1]) if "--rate" in args else 0
    port = int(args[args.index("--port") + 1]) if "--port" in args else 0

    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if stall:
        server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, STALLED_RECEIVE_BUFFER)
    server.bind(("127.0.0.1", port))
    server.listen(16)
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    with open(os.path.join(folder, "port.tmp"), "w") as f:
        f.write(str(server.getsockname()[1]))
    os.rename(os.path.join(folder, "port.tmp"), os.path.join(folder, "port"))

    lock = threading.Lock()
    counters = {"opened": 0, "ended": 0}
    held = []  # stalled connections, kept open and unread

    def receive(conn, number):
        part = os.path.join(folder, "conn-%06d.part" % number)
        total = 0
        last = 0.0
        start = time.monotonic()
        with open(part, "wb") as out:
            while True:
                try:
                    data = conn.recv(CHUNK if not rate else min(CHUNK, max(1, rate // 10)))
                except OSError:
                    data = b""
                if not data:
                    break
                last = time.time()
                out.write(data)
                out.flush()
                total += len(data)
                if rate:
                    ahead = total / rate - (time.monotonic() - start)
                    if ahead > 0:
                        time.sleep(ahead)
        conn.close()
        with lock:
            if total == 0:
                os.unlink(part)
                return
            counters["ended"] += 1
            with open(os.path.join(folder, "conn-%06d.last" % counters["ended"]), "w") as f:
                f.write("%.6f\n" % last)
            os.rename(part, os.path.join(folder, "conn-%06d.prn" % counters["ended"]))

    while True:
        conn, _ = server.accept()
        if stall:
            held.append(conn)
            continue
        if hang_up:
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            conn.close()
            continue
        counters["opened"] += 1
        threading.Thread(target=receive, args=(conn, counters["opened"]), daemon=True).start()


if __name__ == "__main__":
    main()
