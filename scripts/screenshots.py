"""Takes one screenshot per drawing mode of skevla drawing a loopback HTTP
fetch, as docs/poly.png, docs/dot.png and docs/line.png, and one of the same
fetch over IPv6 in poly mode, as docs/poly-ipv6.png, and one with the info
line (key i) over it, as docs/info.png; and one that skevla saves itself
(key s), paused with the info line, as docs/snapshot.png. Then two of a
replay of ten minutes of generated traffic: paused at its middle with the
info line, as docs/replay.png, and just after a jump a minute on, where the
info line says where it landed, as docs/replay-jump.png.

Run as root in a private network namespace (scripts/screenshots does). curl
fetches a page from a small local server, which sends the first part of its
answer and then holds the connection. A firewall rule drops the client's pure
acknowledgements, so the server retransmits that segment again and again and
it stays on screen: the picture shows a real HTTP response segment.
"""

import os
import random
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from harness import (Skevla, ip_header, press, start_xvfb, window_image,  # noqa: E402
                     write_pcap)

PORT = 8080
PAGE = (b"HTTP/1.1 200 OK\r\nServer: skevla-demo\r\nContent-Type: text/html; charset=utf-8\r\n"
        b"Content-Length: 100000\r\n\r\n<!DOCTYPE html>\n<html><head><title>SKEVLA</title></head>"
        b"<body><h1>Live TCP traffic, drawn</h1><p>" + b"Every segment is a picture. " * 24)


def serve(listener):
    """Answers each connection with the start of PAGE, then holds it open."""
    held = []
    while True:
        try:
            connection, _ = listener.accept()
        except OSError:
            return
        connection.recv(4096)
        connection.sendall(PAGE)
        held.append(connection)


def write_png(path, rows):
    raw = b"".join(b"\0" + bytes(channel for pixel in row for channel in pixel) for row in rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", len(rows[0]), len(rows), 8, 2, 0, 0, 0)
    with open(path, "wb") as png:
        png.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                  + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    skevla, out = os.path.abspath(sys.argv[1]), sys.argv[2]
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["nft", "-f", "-"], check=True, text=True, input=(
        "table inet screenshots { chain out { type filter hook output priority 0;"
        " tcp sport != %d tcp flags == ack drop; }; }" % PORT))
    listener = socket.create_server(("::", PORT), family=socket.AF_INET6, dualstack_ipv6=True)
    threading.Thread(target=serve, args=(listener,), daemon=True).start()
    xvfb, display = start_xvfb()
    shots = [  # file, mode, host, IP header, keys pressed
        ("poly", "p", "127.0.0.1", 20, ()), ("dot", "d", "127.0.0.1", 20, ()),
        ("line", "l", "127.0.0.1", 20, ()), ("poly-ipv6", "p", "[::1]", 40, ()),
        ("info", "p", "127.0.0.1", 20, ("space", "i")),
        ("snapshot", "p", "127.0.0.1", 20, ("space", "i", "s"))]
    try:
        for name, mode, host, header, keys in shots:
            answer = "Bytes received --> %5d" % (header + 32 + len(PAGE))  # TCP with timestamps
            program = Skevla(skevla, display, "-m" + mode, "--snapshots", out)
            try:
                program.line()
                program.wait_until_ready()
                curl = subprocess.Popen(["curl", "-s", "-o", "/dev/null", "-m", "10",
                                         "http://%s:%d/" % (host, PORT)])
                seen = 0
                while seen < 2:  # the answer, then its first retransmission
                    seen += program.line() == answer
                program.line()  # its source address
                program.wait_until_asleep()
                if keys:  # paused first, so the picture holds still
                    press(display, program.window, *keys)
                    time.sleep(0.5)
                if "s" in keys:  # saved by skevla, under its own name
                    saved = program.line(error=True).split("skevla: saved ")[1]
                    os.replace(os.path.join(out, saved), os.path.join(out, name + ".png"))
                else:
                    write_png(os.path.join(out, name + ".png"),
                              window_image(display, program.window))
                print("%s: %s" % (name, answer))
                curl.kill()
                curl.wait()
            finally:
                program.stop()
        replay_shots(skevla, display, out)
    finally:
        xvfb.kill()
        xvfb.wait()
        listener.close()


def tcp_segment(rng, number):
    """A segment of an HTTPS answer: a sound TCP header, random bytes after."""
    size = rng.choice((52, 60, 576, 1500))
    header = struct.pack("!HHIIBBHHH", 443, 50000 + number % 40, number * 1448, 1, 0x50, 0x18,
                         65535, 0, 0)
    return ip_header(size) + header + rng.randbytes(size - 40)


def replay_shots(skevla, display, out):
    """A replay paused at its middle, and one just after a jump."""
    rng = random.Random(7)
    with tempfile.TemporaryDirectory() as directory:
        os.chmod(directory, 0o755)
        capture = os.path.join(directory, "ten.pcap")
        write_pcap(capture, 101, [tcp_segment(rng, number) for number in range(6000)], step=0.1)
        os.chmod(capture, 0o644)
        for name, keys in (("replay", ("space", "i", "5")), ("replay-jump", ("Up",))):
            program = Skevla(skevla, display, "-r", capture)
            try:
                program.line()
                program.wait_for_window()
                program.lines(2)
                press(display, program.window, *keys)
                program.lines(2)  # where it landed
                time.sleep(0.3)
                write_png(os.path.join(out, name + ".png"), window_image(display, program.window))
                print(name)
            finally:
                program.stop()


if __name__ == "__main__":
    main()
