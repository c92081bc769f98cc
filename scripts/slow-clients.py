#!/usr/bin/env python3
"""Holds many slow clients open against an HTTP server on loopback: each connection sends one
byte of a request head a second and never finishes it. Prints "ready" once every connection has
sent its first byte, and at the end how many the server had closed.

Usage: scripts/slow-clients.py PORT HOST-HEADER COUNT SECONDS"""
import socket
import sys
import time


def main():
    port, host, count, seconds = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
    head = ("GET / HTTP/1.1\r\nHost: %s\r\nX-Slow: " % host).encode() + b"a" * 4096
    socks = []
    for i in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        socks.append(s)
        if i % 500 == 499:
            time.sleep(0.05)  # the listener's backlog is finite
    time.sleep(0.5)
    alive = [True] * count
    start = time.time()
    pos = 0
    told = False
    while time.time() - start < seconds:
        for i, s in enumerate(socks):
            if not alive[i]:
                continue
            try:
                s.send(head[pos:pos + 1])
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                alive[i] = False
        pos = (pos + 1) % len(head)
        if not told:
            print("ready", flush=True)
            told = True
        time.sleep(1)
    print("closed by the server: %d of %d" % (alive.count(False), count), flush=True)
    for s in socks:
        s.close()


if __name__ == "__main__":
    main()
