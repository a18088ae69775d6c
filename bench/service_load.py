#!/usr/bin/env python3
"""Login answer time of devservice under misbehaving and slow clients.

    bench/service_load.py DEVSERVICE WORK_DIR [--trickle N] [--downloads N]

Starts DEVSERVICE (--rate 128, the demo's setting) on a free port, then keeps
N trickling clients connected (half of them trickle a TLS handshake, half a
request head after a finished handshake, one byte every 4 s, reconnecting
when dropped) and N downloads of a 16 MiB file running, and measures the time
of a login every second for 10 s. Prints the times; it asserts nothing.
"""
import argparse
import os
import re
import socket
import ssl
import statistics
import subprocess
import sys
import threading
import time

TRICKLE_GAP = 4.0


def launcher_version():
    """The version in project(VERSION) of the top-level CMakeLists.txt."""
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "CMakeLists.txt")
    with open(top, encoding="utf-8") as cmake:
        found = re.search(r"^project\(\w+ VERSION ([0-9.]+)", cmake.read(), re.M)
    return found.group(1) if found else ""


LOGIN = b"username=player&password=salt&gtoken=&version=" + launcher_version().encode()


def context(ca):
    ctx = ssl.create_default_context(cafile=ca)
    ctx.check_hostname = False
    return ctx


def trickler(port, ctx, tls_done, stop, dropped):
    hello = b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + os.urandom(64)
    head = b"GET /launcher/ HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 200
    while not stop.is_set():
        try:
            raw = socket.create_connection(("127.0.0.1", port), timeout=30)
            conn = ctx.wrap_socket(raw) if tls_done else raw
            for byte in head if tls_done else hello:
                if stop.wait(TRICKLE_GAP):
                    break
                conn.send(bytes([byte]))
            conn.close()
        except OSError:
            dropped[0] += 1  # the service hung up on it: connect again


def downloader(port, ctx, stop):
    request = b"GET /win32/big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
    while not stop.is_set():
        try:
            with ctx.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=30)) as s:
                s.sendall(request)
                while not stop.is_set() and s.recv(65536):
                    pass
        except OSError:
            time.sleep(0.1)


def login_time(port, ctx):
    start = time.monotonic()
    with ctx.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=120)) as s:
        s.sendall(b"POST /login/ HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                  b"Content-Type: application/x-www-form-urlencoded\r\n"
                  b"Content-Length: %d\r\n\r\n" % len(LOGIN) + LOGIN)
        answer = b""
        while True:
            piece = s.recv(65536)
            if not piece:
                break
            answer += piece
    if b'"status":7' not in answer:
        raise RuntimeError("unexpected login answer: %r" % answer[:200])
    return time.monotonic() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("devservice")
    parser.add_argument("work")
    parser.add_argument("--trickle", type=int, default=200)
    parser.add_argument("--downloads", type=int, default=16)
    args = parser.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    work = os.path.join(os.path.abspath(args.work), "service-load")
    serve = os.path.join(work, "serve")
    os.makedirs(serve, exist_ok=True)
    big = os.path.join(serve, "big.bin")
    if not os.path.exists(big):
        with open(big, "wb") as f:
            f.write(os.urandom(16 << 20))

    service = subprocess.Popen(
        [args.devservice, "--port", "0", "--state", os.path.join(work, "state"),
         "--accounts", os.path.join(root, "devservice/accounts.example.json"),
         "--news", os.path.join(root, "devservice/news.html"), "--serve", serve,
         "--rate", "128"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    stop = threading.Event()
    threads = []
    try:
        line = service.stdout.readline()
        match = re.search(r"127\.0\.0\.1:(\d+)/ \(CA (.*), ", line)
        if not match:
            sys.exit("devservice did not start: " + line)
        port, ctx = int(match.group(1)), context(match.group(2))
        print("idle login: %.3f s" % login_time(port, ctx))
        dropped = [0]
        for i in range(args.trickle):
            threads.append(threading.Thread(
                target=trickler, args=(port, ctx, i % 2 == 1, stop, dropped), daemon=True))
        for _ in range(args.downloads):
            threads.append(threading.Thread(target=downloader, args=(port, ctx, stop),
                                            daemon=True))
        for t in threads:
            t.start()
        time.sleep(2 * TRICKLE_GAP)  # every trickler connected and sending
        times = []
        for _ in range(10):
            times.append(login_time(port, ctx))
            time.sleep(1)
        print("%d trickling clients + %d downloads at 128 KiB/s: login answered in "
              "median %.3f s, worst %.3f s (target about 1 s); trickling clients dropped %d "
              "times" % (args.trickle, args.downloads, statistics.median(times), max(times),
                         dropped[0]))
    finally:
        stop.set()
        service.terminate()
        service.wait()


if __name__ == "__main__":
    main()
