"""End-to-end tests: the real skevla binary under Xvfb, fed crafted IPv4
datagrams on the loopback of a private network namespace.

Run as root inside a fresh network namespace (unshare --net), with the path
of the binary as the only argument.
"""

import os
import errno
import fcntl
import json
import pty
import random
import re
import resource
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest
import urllib.request

from harness import (DEADLINE, Skevla, close_window, datagram, descriptor_of,
                     find_windows, flood,
                     ip6_datagram, log_lines, pixel, png_pixels, press, random_datagram, refusing,
                     send, signed, start_xvfb, syscall, wait_for, window_image, write_pcap,
                     write_pcapng, xdotool)

SKEVLA = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else "build/skevla"
HELPER = os.path.join(os.path.dirname(SKEVLA), "skevla-capture")
# The programs skevla starts, each found beside it.
CHILDREN = [os.path.join(os.path.dirname(SKEVLA), name)
            for name in ("skevla-capture", "skevla-reader", "skevla-keeper", "skevla-encoder")]
TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SANITIZED = "ASAN_OPTIONS" in os.environ
AS_NOBODY = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")
# root under sudo for user 65534, who must be able to run the programs
# skevla starts as that user (copy_for_nobody).
SUDO = ("env", "SUDO_UID=65534", "SUDO_GID=65534", "SUDO_USER=nobody")
with open(os.path.join(TOP, "CMakeLists.txt")) as cmake:
    VERSION = re.search(r"project\(skevla VERSION (\S+)", cmake.read()).group(1).encode()


def suppressions_for_all():
    """Points LSAN_OPTIONS at a copy of its suppressions that every user can
    read: skevla's processes run as other users, and the tree may lie in a
    private home."""
    options = os.environ.get("LSAN_OPTIONS", "")
    named = re.search(r"suppressions=([^:]+)", options)
    if named:
        directory = tempfile.mkdtemp()
        os.chmod(directory, 0o755)
        copy = shutil.copy(named.group(1), directory)
        os.chmod(copy, 0o644)
        os.environ["LSAN_OPTIONS"] = options.replace(named.group(1), copy)
        return directory
    return None


def copy_for_nobody(directory, children=CHILDREN):
    """A copy of skevla and the programs it starts where user 65534 can run
    them: the build tree may lie below a home directory that others cannot
    enter. Returns skevla's."""
    os.chmod(directory, 0o755)
    for program in children:
        shutil.copy(program, directory)
    return shutil.copy(SKEVLA, directory)


class Run(unittest.TestCase):
    """Shared set-up: one X server for the whole file, one program per test."""

    @classmethod
    def setUpClass(cls):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        cls.xvfb, cls.display = start_xvfb()

    @classmethod
    def tearDownClass(cls):
        cls.xvfb.kill()
        cls.xvfb.wait()

    def start(self, *args, display="", argv0=SKEVLA, **kwargs):
        program = Skevla(argv0, self.display if display == "" else display, *args, **kwargs)
        self.addCleanup(self.assert_no_sanitizer_report, program)
        return program

    def assert_no_sanitizer_report(self, program):
        error = program.stop()
        self.assertNotRegex(error, "Sanitizer|runtime error", "a sanitizer reported")

    def started(self, *args, **kwargs):
        """A running program with its window shown, past its banner."""
        program = self.start(*args, **kwargs)
        self.assertEqual(program.line(), "SKEVLA BEGIN")
        program.wait_until_ready()
        return program

    def assert_silent(self, program):
        """Nothing more on standard output for a while."""
        self.assertEqual(program.pending, b"")
        self.assertEqual(select.select([program.proc.stdout], [], [], 0.3)[0], [])

    def assert_same_picture(self, program, before):
        """The window shows exactly the picture before, pixel for pixel."""
        now = window_image(self.display, program.window)
        differ = [(x, y) for y, (a, b) in enumerate(zip(now, before)) for x in range(len(a))
                  if a[x] != b[x]]
        self.assertEqual(len(differ), 0, "pixels differ, the first at %s: %s, was %s" % (
            differ[:3], [now[y][x] for x, y in differ[:3]], [before[y][x] for x, y in differ[:3]]))

    def assert_picture(self, program, expected, size=None):
        """Waits until the window shows every expected colour at its place;
        expected maps GL coordinates (x, y), or a tuple of them of which any
        one will do, to a test on (r, g, b)."""
        deadline = time.monotonic() + DEADLINE
        while True:
            image = window_image(self.display, program.window)
            shown = {at: [pixel(image, *p) for p in (at if isinstance(at[0], tuple) else [at])]
                     for at in expected}
            if all(any(map(test, shown[at])) for at, test in expected.items()):
                break
            if time.monotonic() > deadline:
                self.fail("window shows %r" % shown)
            time.sleep(0.05)
        if size:
            self.assertEqual((len(image[0]), len(image)), size)


BLACK = (0, 0, 0).__eq__
RED, GREEN, BLUE = (255, 0, 0).__eq__, (0, 255, 0).__eq__, (0, 0, 255).__eq__
CYAN, WHITE = (0, 255, 255).__eq__, (255, 255, 255).__eq__
# XCB waits for the X server in poll, skevla's loop in ppoll.
WAITING_ON_X = ("poll",)
USAGE = (b"Usage: -md(dot) -ml(line) -mp(poly) [DEFAULT] -h winy(int) -w winx(int)\n"
         b"       -f filter(expression) -i interface(name) -Q direction(in=received [DEFAULT], out=sent, inout=both)"
         b" -B size(capture buffer in KiB, 256-1048576, default 2048) -c count(int)"
         b" -v(one line each) -D(list interfaces) --version\n"
         b"       -r file(capture, - for stdin) -t(replay at top speed) -x factor(replay speed,"
         b" 0.01-1000) -o file(record what is shown) --from time --to time(replay that part of it:"
         b" 90, 1:30, 3:10:00.5)\n"
         b"       --fps N(cap the frames drawn, 1-1000) --snapshots dir(where s saves, default .)"
         b" --video file(what is shown, .mp4 .webm .mkv)"
         b" --no-sandbox(for profilers and debuggers) --help\n")
KEYS = (b"Keys:  Escape quit   Space pause, resume   n, Right one datagram while paused   i info line\n"
        b"       s save a PNG   f full screen   +, - replay twice, half as fast\n"
        b"       Left, Right replay 5 s back, on   Down, Up a minute back, on   Home, End its start,"
        b" end   0-9 0% to 90% of it\n")


# A record's header on the channels (record.h): its kind and the bytes that
# follow; a picture's kind and a frame's.
RECORD_HEADER = struct.Struct("II")
PICTURE, FRAME = 12, 14


def counts(received, dropped=0):
    return "skevla: %d datagram%s received, %d dropped by the kernel\n" % (
        received, "" if received == 1 else "s", dropped)


# Over 5,000 characters, as a list of hosts makes them.
LONG_FILTER = "dst port 443 and not host (%s)" % " or ".join(
    "10.0.%d.%d" % divmod(n, 256) for n in range(500))


def to_port(port, size):
    """A datagram whose TCP header names port as its destination."""
    return datagram(size, struct.pack("!HH", 1234, port))


def ip6_to_port(port, size):
    return ip6_datagram(size, struct.pack("!HH", 1234, port))


def tcpdump_sizes(path):
    """The IP datagram sizes in an Ethernet capture of lo, in order, for
    each sender, as far as tcpdump has written it."""
    sizes = {"::1": [], "127.0.0.1": []}
    with open(path, "rb") as capture:
        content = capture.read()
    at = 24
    while at + 16 <= len(content):
        length = struct.unpack_from("<I", content, at + 8)[0]
        if at + 16 + length > len(content):
            break
        packet = content[at + 16 + 14:at + 16 + length]
        if packet[0] >> 4 == 6:
            sizes[socket.inet_ntop(socket.AF_INET6, packet[8:24])].append(
                40 + struct.unpack_from("!H", packet, 4)[0])
        else:
            sizes[socket.inet_ntoa(packet[12:16])].append(struct.unpack_from("!H", packet, 2)[0])
        at += 16 + length
    return sizes


def tcpdump_into(test, path, interface, expression):
    """tcpdump writing what passes interface into path as it comes, once it
    listens; ended with the test. In immediate mode its default ring holds
    only a few packets of lo's size, which a busy machine can overrun
    before tcpdump runs, so it gets 32 MiB."""
    dump = subprocess.Popen(["tcpdump", "-i", interface, "-w", path, "-U", "--immediate-mode",
                             "-B", "32768", "-Z", "root", expression],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    test.addCleanup(dump.wait)
    test.addCleanup(dump.terminate)
    listening(dump)
    return dump


def listening(dump):
    """Waits for tcpdump to say it listens; fails with what it said instead."""
    said = b""
    while b"listening on" not in said:
        line = dump.stderr.readline()
        if not line:
            raise AssertionError("tcpdump ended: %r" % said)
        said += line


def fetch(port, *hosts):
    """One HTTP fetch from each host, once its server listens."""
    for host in hosts:
        def fetched():
            try:
                urllib.request.urlopen("http://%s:%d/" % (host, port), timeout=DEADLINE).read()
                return True
            except OSError:
                return False
        wait_for(fetched, "a page from %s port %d" % (host, port))


def tcp_settled(port):
    """Whether every TCP socket of this namespace on port listens or is in
    TIME-WAIT: nothing more will be sent on any of its connections."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as rows:
            for row in list(rows)[1:]:
                local, remote, state = row.split()[1:4]
                ports = {int(end.rsplit(":", 1)[1], 16) for end in (local, remote)}
                if port in ports and state not in ("06", "0A"):
                    return False
    return True


LAG = re.compile(r"skevla: frames are slower than the traffic; the kernel has dropped \d+ "
                 r"datagrams?; --fps 30 logs every datagram and draws fewer frames; -B 16384 keeps "
                 r"more of a burst\n")


def queued(pipe):
    """Bytes written into a pipe and not yet read."""
    return struct.unpack("i", fcntl.ioctl(pipe, termios.FIONREAD, b"\0" * 4))[0]


def drained(program, sent, log=None):
    """Asks for the counts with SIGUSR1 until what was received and what was
    dropped add up to what was sent, the kernel's queue drained; returns
    both. The warning that frames lag is passed over, and kept in
    program.lag. Every line counts as received only what the log file, if
    given, has, asked for in the middle of a batch as well."""
    seen = []

    def counted():
        program.proc.send_signal(signal.SIGUSR1)
        seen.append(program.line(error=True))
        if LAG.fullmatch(seen[-1] + "\n"):
            program.lag = seen.pop()
            seen.append(program.line(error=True))
        received, dropped = map(int, re.fullmatch(
            r"skevla: (\d+) datagrams? received, (?:\d+ not yet taken, )?(\d+) dropped by the "
            r"kernel", seen[-1]).groups())
        if log:
            logged = os.pread(log.fileno(), 1 << 26, 0).count(b"Source")
            assert received <= logged, "%d counted received, %d logged" % (received, logged)
        return (received, dropped) if received + dropped == sent else None

    return wait_for(counted, "all %d datagrams sent to be received or dropped" % sent,
                    lambda: seen[-1:])


def reddish(colour):
    return colour[0] > 64 and colour[1] == colour[2] == 0


class Capture(Run):
    def test_banner_and_log_lines(self):
        program = self.started()
        rows = [(datagram(size), log_lines(size)) for size in (41, 44, 20, 65535, 21)] + [
            (ip6_datagram(60), log_lines(60, "::1")),
            (ip6_datagram(40), log_lines(40, "::1")),
            (ip6_datagram(1500, source="2001:db8::7"), log_lines(1500, "2001:db8::7")),
            (ip6_datagram(65535), log_lines(65535, "::1")),  # 40 bytes more, cut to the buffer
        ]
        for data, lines in rows:
            with self.subTest(size=len(data), version=data[0] >> 4):
                self.assertEqual(program.frame(data), lines)

    def test_real_fetches_over_both_families(self):
        # Each segment of an HTTP fetch over ::1 and one over 127.0.0.1 is
        # logged once, with the size tcpdump sees on lo.
        dump_path = os.path.join(tempfile.mkdtemp(), "lo.pcap")
        self.addCleanup(shutil.rmtree, os.path.dirname(dump_path))
        os.chmod(os.path.dirname(dump_path), 0o755)  # replayed as nobody
        servers = [subprocess.Popen([sys.executable, "-m", "http.server", "-b", address, "8080"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                   for address in ("::1", "127.0.0.1")]
        for server in servers:
            self.addCleanup(server.wait)
            self.addCleanup(server.kill)
        dump = tcpdump_into(self, dump_path, "lo", "tcp port 8080")
        with tempfile.TemporaryFile() as log:
            program = self.start("-f", "tcp port 8080", stdout=log)
            program.wait_until_ready()
            fetch(8080, "[::1]", "127.0.0.1")
            wait_for(lambda: tcp_settled(8080), "the fetches' connections to close")

            def logged():
                lines = os.pread(log.fileno(), 1 << 20, 0).decode().split("\n")[1:-1]
                sizes = {"::1": [], "127.0.0.1": []}
                for count, source in zip(lines[::2], lines[1::2]):
                    sizes[source.split()[-1]].append(int(count.split()[-1]))
                return sizes

            wait_for(lambda: logged() == tcpdump_sizes(dump_path), "the log to show what tcpdump saw",
                     lambda: "%s, tcpdump %s" % (logged(), tcpdump_sizes(dump_path)))
            dump.terminate()
            dump.communicate()
            sizes = logged()
        self.assertEqual(sizes, tcpdump_sizes(dump_path))
        self.assertGreater(min(map(len, sizes.values())), 5)
        # -v replaying the same file agrees with tcpdump's own lines on the
        # fields they share; -c ends the replay after the last.
        segments = sum(map(len, sizes.values()))
        status, out, _ = self.start("-v", "-r", dump_path, "-t", "-c", str(segments)).finish()
        theirs = subprocess.run(["tcpdump", "-n", "-r", dump_path], capture_output=True,
                                text=True, check=True).stdout.splitlines()
        shared = [re.sub(r"(: Flags \[[^]]*\]).*(, length \d+).*", r"\1\2", line)
                  for line in theirs]
        self.assertEqual(out.decode().splitlines(), ["SKEVLA BEGIN"] + shared)
        self.assertEqual((status, len(shared)), (0, segments))

    def test_directions_over_a_link(self):
        # A fetch from a second namespace over a veth pair: by default only
        # what this host receives, with -Q out only what it sends, with
        # inout both, each once and in order, as tcpdump shows them there.
        peer = "skevla-way-%d" % os.getpid()
        subprocess.run(["ip", "netns", "add", peer], check=True)
        self.addCleanup(subprocess.run, ["ip", "netns", "del", peer], check=True)
        for args in (["link", "add", "near0", "up", "type", "veth", "peer", "name", "far0",
                      "netns", peer], ["addr", "add", "10.9.0.1/24", "dev", "near0"],
                     ["addr", "add", "2001:db8:9::1/64", "dev", "near0", "nodad"],
                     ["-n", peer, "link", "set", "far0", "up"],
                     ["-n", peer, "addr", "add", "10.9.0.2/24", "dev", "far0"],
                     ["-n", peer, "addr", "add", "2001:db8:9::2/64", "dev", "far0", "nodad"]):
            subprocess.run(["ip", *args], check=True)
        server = subprocess.Popen(["ip", "netns", "exec", peer, sys.executable, "-m",
                                   "http.server", "-b", "::", "8081"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(server.wait)
        self.addCleanup(server.kill)
        dump_path = os.path.join(tempfile.mkdtemp(), "near0.pcap")
        self.addCleanup(shutil.rmtree, os.path.dirname(dump_path))
        dump = tcpdump_into(self, dump_path, "near0", "tcp port 8081")
        logs = {way: tempfile.TemporaryFile() for way in ("in", "out", "inout")}
        for log in logs.values():
            self.addCleanup(log.close)
        programs = {way: self.start("-v", "-i", "near0", "-f", "tcp port 8081", "-Q", way,
                                    stdout=log) for way, log in logs.items()}
        for program in programs.values():
            program.wait_for_window()
            program.wait_until_asleep()
        fetch(8081, "10.9.0.2", "[2001:db8:9::2]")
        wait_for(lambda: tcp_settled(8081), "the fetches' connections to close")
        ours = ("IP 10.9.0.1.", "IP6 2001:db8:9::1.")

        def read():
            theirs = [re.sub(r"^\S+ (.*?: Flags \[[^]]*\]).*(, length \d+).*", r"\1\2", line)
                      for line in subprocess.run(["tcpdump", "-n", "-r", dump_path],
                                                 capture_output=True, text=True).stdout.splitlines()]
            logged = {way: [line.split(" ", 1)[1] for line in os.pread(
                log.fileno(), 1 << 20, 0).decode().splitlines()[1:]] for way, log in logs.items()}
            return theirs, logged

        def complete():
            theirs, logged = read()
            mine = sum(line.startswith(ours) for line in theirs)
            return [len(logged[way]) for way in ("in", "out", "inout")] == [
                len(theirs) - mine, mine, len(theirs)]

        wait_for(complete, "each log to hold what tcpdump saw go its way", read)
        dump.terminate()
        dump.communicate()
        theirs, logged = read()
        # Received, the two families come through two sockets: in order
        # within each.
        self.assertGreater(len(theirs), 20)
        self.assertEqual(logged["inout"], theirs)
        for family in ("IP ", "IP6 "):
            mine = [line for line in theirs if line.startswith(family)]
            self.assertEqual([line for line in logged["out"] if line.startswith(family)],
                             [line for line in mine if line.startswith(ours)])
            self.assertEqual([line for line in logged["in"] if line.startswith(family)],
                             [line for line in mine if not line.startswith(ours)])
        # On the loopback interface, which hands each frame over twice, once.
        for program in programs.values():
            program.stop()
        program = self.started("-Q", "inout")
        self.assertEqual(program.frame(datagram(40)), log_lines(40))
        self.assertEqual(program.frame(ip6_datagram(40)), log_lines(40, "::1"))
        self.assert_silent(program)
        # What the stack drops but a packet socket sees first (an IPv4 header
        # length of 0, a total length under the header's) and a frame's
        # padding: each length is judged by one rule, so what is logged live
        # is what a replay of the recording logs, worded as tcpdump words it.
        recorded = os.path.join(dump_path + ".shown")
        program = self.started("-Q", "inout", "-o", recorded)
        bad_len = bytearray(datagram(40))
        bad_len[2:4] = b"\0\x0a"
        rows = [  # sent after the Ethernet header, logged length, tcpdump's words
            (datagram(40) + bytes(6), 40, "IP 127.0.0.1.0 > 127.0.0.1.0:  tcp 20 [bad hdr length 0 "
             "- too short, < 20]"),
            (b"\x40" + datagram(40)[1:], 40, "IP bad-hlen 0"),
            (bytes(bad_len) + bytes(6), 46, "IP bad-len 10"),
        ]
        with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as link:
            link.bind(("lo", 0))
            for data, length, _ in rows:
                link.send(bytes(12) + b"\x08\x00" + data)
                self.assertEqual(program.lines(2), log_lines(length))
        program.proc.send_signal(signal.SIGTERM)
        program.finish()
        theirs = subprocess.run(["tcpdump", "-n", "-r", recorded], capture_output=True, text=True,
                                check=True).stdout.splitlines()
        status, out, _ = self.start("-v", "-t", "-c", str(len(rows)), "-r", recorded).finish()
        self.assertEqual([line.split(" ", 1)[1] for line in theirs], [words for *_, words in rows])
        self.assertEqual((status, out.decode().splitlines()[1:]), (0, theirs))

    def test_both_families_in_the_order_they_came(self):
        # Paused while IPv4 and IPv6 datagrams queue one after the other on
        # their two sockets, then resumed: the log, stamped by the kernel,
        # and the recording keep the order they came in.
        directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, directory)
        recorded = os.path.join(directory, "shown.pcap")
        program = self.started("-v", "-o", recorded)
        press(self.display, program.window, "space")
        families = ["IP", "IP", "IP6", "IP", "IP6", "IP6", "IP", "IP", "IP6", "IP6", "IP6", "IP"]
        for n, family in enumerate(families):
            send(datagram(40 + 4 * n) if family == "IP" else ip6_datagram(60 + 4 * n))
        press(self.display, program.window, "space")
        lines = program.lines(12)
        self.assertEqual([line.split()[1] for line in lines], families)
        self.assertEqual(lines, sorted(lines))  # by their stamps
        def recorded_stamps():  # the last record is written just after its lines
            with open(recorded, "rb") as capture:
                content = capture.read()
            stamps, at = [], 24
            while at < len(content):
                seconds, fraction, length = struct.unpack_from("<III", content, at)
                stamps.append((seconds, fraction))
                at += 16 + length
            return stamps if len(stamps) == 12 else None
        stamps = wait_for(recorded_stamps, "12 datagrams recorded")
        self.assertEqual(stamps, sorted(stamps))

    def test_log_is_live_on_a_file(self):
        with tempfile.TemporaryFile() as log:
            program = self.start(stdout=log)
            program.wait_until_ready()
            send(datagram(40))
            deadline = time.monotonic() + DEADLINE
            expected = ("SKEVLA BEGIN\n" + "\n".join(log_lines(40)) + "\n").encode()
            while os.pread(log.fileno(), 4096, 0) != expected and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertEqual(os.pread(log.fileno(), 4096, 0), expected)

    def test_without_privilege_fails_at_once(self):
        with tempfile.TemporaryDirectory(prefix="with space") as directory:
            copy = copy_for_nobody(directory)
            rows = [  # arguments, exit status, standard error (a pattern)
                # The remedy names the binary where it is, quoted, so it can be pasted.
                ((), 1, r"^skevla: cannot open a capture socket: Operation not permitted;"
                        r" .*root.*sudo setcap cap_net_raw=ep '%s'\n$" % re.escape(
                            os.path.join(directory, "skevla-capture"))),
                # The filter is read before the socket is asked for.
                (("-f", "port 80 and"), 2, r"^skevla: bad filter expression .*syntax error\n$"),
            ]
            for args, status, error in rows:
                with self.subTest(args=args):
                    program = self.start(*args, argv0=copy, prefix=AS_NOBODY + (
                        "--inh-caps=-all",))
                    code, out, stderr = program.finish()
                    self.assertEqual((code, out), (status, b""))
                    self.assertRegex(stderr, error)

    def test_filters_across_both_families(self):
        # One expression for both families, with tcpdump's meaning: only
        # what it accepts is logged and counted.
        sent = [to_port(80, 44), to_port(443, 40), ip6_to_port(80, 64), ip6_to_port(443, 60)]
        rows = [  # filter, the sizes logged, of the datagrams above
            ("tcp dst port 443", [40, 60]),
            ("ip6", [64, 60]),
            ("ip", [44, 40]),
            ("ip6 and dst port 80", [64]),
            ("", [44, 40, 64, 60]),  # as tcpdump takes it: everything
            (LONG_FILTER, [40, 60]),
        ]
        for expression, logged in rows:
            with self.subTest(filter=expression):
                program = self.started("-f", expression)
                for data in sent:
                    send(data)
                    if len(data) in logged:
                        self.assertEqual(program.lines(2), log_lines(
                            len(data), "::1" if data[0] >> 4 == 6 else "127.0.0.1"))
                self.assert_silent(program)
                program.proc.send_signal(signal.SIGTERM)
                self.assertEqual(program.finish(), (0, b"", counts(len(logged))))

    def test_interface(self):
        # A bridge carries nothing of the loopback's traffic; when it goes
        # down or away while watched, skevla says so after the counts.
        rows = [("down", ["ip", "link", "set", "quiet0", "down"]),
                ("away", ["ip", "link", "del", "quiet0"])]
        on_lo = self.started("-iface", "lo")
        for went, change in rows:
            with self.subTest(went=went):
                subprocess.run(["ip", "link", "add", "quiet0", "up", "type", "bridge"], check=True)
                quiet = self.started("-i", "quiet0")
                self.assertEqual(on_lo.frame(datagram(48)), log_lines(48))
                self.assertEqual(on_lo.frame(ip6_datagram(48)), log_lines(48, "::1"))
                self.assert_silent(quiet)
                subprocess.run(change, check=True)
                self.assertEqual(quiet.finish(), (1, b"", counts(0) + "skevla: interface quiet0 "
                                                  "went %s\n" % went))
                subprocess.run(["ip", "link", "del", "quiet0"], stderr=subprocess.DEVNULL)
        # One that is down from the start is refused, as tcpdump refuses it.
        subprocess.run(["ip", "link", "add", "quiet0", "type", "bridge"], check=True)
        self.addCleanup(subprocess.run, ["ip", "link", "del", "quiet0"], check=True)
        status, out, error = self.start("-i", "quiet0").finish()
        self.assertEqual((status, out), (1, b""))
        self.assertRegex(error, r"^skevla: cannot capture on interface 'quiet0': Network is down;"
                                r" .*ip link set NAME up.*\n$")

    def test_list_interfaces(self):
        # -D needs no privilege and opens no window.
        subprocess.run(["ip", "link", "add", "listed0", "type", "bridge"], check=True)
        self.addCleanup(subprocess.run, ["ip", "link", "del", "listed0"], check=True)
        with tempfile.TemporaryDirectory() as directory:
            status, out, error = self.start("-D", display=None, argv0=copy_for_nobody(directory),
                                            prefix=AS_NOBODY + ("--inh-caps=-all",)).finish()
        index = socket.if_nametoindex("listed0")
        self.assertEqual((status, error), (0, ""))
        self.assertIn(b"1.lo [Up, Running, Loopback]\n", out)
        self.assertIn(b"%d.listed0 [none]\n" % index, out)

    def test_without_display(self):
        # Refused at once, unless the run makes a video: then it draws off
        # screen, with no window, and ends as any run does.
        status, out, error = self.start(display=None).finish()
        self.assertEqual((status, out), (1, b""))
        self.assertRegex(error, r"^skevla: .*display.*; set DISPLAY .*\n$")
        directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, directory)
        video = os.path.join(directory, "live.webm")
        # (unix:97: Xlib tries no TCP, whose datagrams skevla would log.)
        for display, said in ((None, ""), ("unix:97", "skevla: cannot open the X display "
                                                      "unix:97; the video is drawn off screen, "
                                                      "with no window\n")):
            with self.subTest(display=display):
                program = self.start("--video", video, "-c", "3", display=display)
                self.assertEqual(program.line(), "SKEVLA BEGIN")
                program.wait_until_asleep()
                for size in (40, 60, 80):
                    self.assertEqual(program.frame(datagram(size)), log_lines(size))
                self.assertEqual(program.finish(), (0, b"", said + counts(3)))
                self.assertEqual(probed(video)[1:], ("30/1", (500, 500), ""))


STUB_DRIVER = r"""
#include <stdio.h>
#include <stdlib.h>
__attribute__((constructor)) static void record(void)
{
    FILE *in = fopen("/proc/self/status", "r"), *out = fopen(getenv("STUB_RECORD"), "r+");
    char line[256];
    while (in && out && fgets(line, sizeof line, in))
        fputs(line, out);
}
"""
HELD = ("CapInh", "CapPrm", "CapEff", "CapAmb", "NoNewPrivs")
NOTHING = {"CapInh": "0" * 16, "CapPrm": "0" * 16, "CapEff": "0" * 16, "CapAmb": "0" * 16,
           "NoNewPrivs": "1"}


def status_fields(path, keys):
    with open(path) as status:
        fields = dict(line.split(":\t", 1) for line in status.read().splitlines())
    return {key: fields[key].strip() for key in keys}


def child_named(program, name):
    """The pid of the viewer's child process called name, or None."""
    with open("/proc/%d/task/%d/children" % (program.pid, program.pid)) as children:
        for child in children.read().split():
            try:
                with open("/proc/%s/comm" % child) as called:
                    if called.read().strip() == name:
                        return int(child)
            except FileNotFoundError:  # reaped meanwhile
                pass
    return None


def peer_of(pid, fd):
    """The descriptor in skevla's viewer at the other end of pid's socket fd."""
    inode = os.readlink("/proc/%d/fd/%d" % (pid, fd))[8:-1]
    listed = subprocess.run(["ss", "-x", "-a", "-n", "-p"], capture_output=True, text=True,
                            check=True).stdout
    rows = [line.split() for line in listed.splitlines() if len(line.split()) > 8]
    peer = next(row[7] for row in rows if row[5] == inode)  # local and peer inodes
    return int(re.search(r"\(\(\"skevla\",pid=\d+,fd=(\d+)\)\)",
                         next(row[8] for row in rows if row[5] == peer)).group(1))


def gone_or_zombie(pid):
    """Whether the process has ended, reaped or not."""
    try:
        return status_fields("/proc/%d/status" % pid, ["State"])["State"][0] == "Z"
    except FileNotFoundError:
        return True


def capture_process(program, name=None):
    """The capture process (the helper or the replay reader), or the
    process of the viewer's called name."""
    pid = child_named(program, name) if name else (
        child_named(program, "skevla-capture") or child_named(program, "skevla-reader"))
    if pid is None:
        raise AssertionError("skevla has no child called %s" % (name or "skevla-capture"))
    return pid


def keeper_directory(pid):
    """The directory descriptor the keeper holds."""
    for fd in os.listdir("/proc/%d/fd" % pid):
        with open("/proc/%d/fdinfo/%s" % (pid, fd)) as info:
            if int(info.read().split("flags:")[1].split()[0], 8) & 0o10000000:  # O_PATH
                return int(fd)
    raise AssertionError("the keeper holds no directory")


def capture_sockets(pid):
    """The raw and packet sockets a process holds, by inode."""
    inodes = set()
    for table in ("raw", "raw6", "packet"):
        with open("/proc/%d/net/%s" % (pid, table)) as lines:
            header, *rows = [line.split() for line in lines]
            inodes |= {row[header.index("Inode") if "Inode" in header else 9] for row in rows}
    held = [os.readlink("/proc/%d/fd/%s" % (pid, fd)) for fd in os.listdir("/proc/%d/fd" % pid)]
    return [link for link in held if link.startswith("socket:[") and link[8:-1] in inodes]


OWN = "skevla's own id"


def processes_of(uid):
    """The processes with uid as their real user id."""
    found = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if status_fields("/proc/%s/status" % pid, ["Uid"])["Uid"].split()[0] == uid:
                found.add(int(pid))
        except FileNotFoundError:
            pass
    return found


def threads(pid, *keys):
    """The status fields of each of a process's threads."""
    return [status_fields("/proc/%d/task/%s/status" % (pid, task), keys)
            for task in os.listdir("/proc/%d/task" % pid)]


class Privileges(Run):
    """Nothing privileged is held from the banner on, in any thread, nor by
    the GL driver as it loads; from the first frame on every thread is in
    the sandbox."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # A GL driver of the user's choosing, made once.
        cls.drivers = tempfile.mkdtemp()
        os.chmod(cls.drivers, 0o755)
        subprocess.run(["clang", "-shared", "-fPIC", "-x", "c", "-o",
                        os.path.join(cls.drivers, "swrast_dri.so"), "-"],
                       input=STUB_DRIVER.encode(), check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.drivers)
        super().tearDownClass()

    def setUp(self):
        self.directory = tempfile.mkdtemp()
        os.chmod(self.directory, 0o755)
        self.addCleanup(shutil.rmtree, self.directory)
        # Where every user may write: the only place the stub driver may.
        self.writable = tempfile.mkdtemp()
        os.chmod(self.writable, 0o777)
        self.addCleanup(shutil.rmtree, self.writable)
        self.record = os.path.join(self.writable, "record")
        write_pcap(os.path.join(self.directory, "raw.pcap"), 101, TCP)

    def test_starts(self):
        copy = copy_for_nobody(self.directory)
        subprocess.run(["setcap", "cap_net_raw=ep", os.path.join(self.directory, "skevla-capture")],
                       check=True)
        replay = ("-r", os.path.join(self.directory, "raw.pcap"))
        # A build tree in a home only root may enter, as root's own.
        home = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, home)
        os.chmod(home, 0o700)
        for program in CHILDREN:
            shutil.copy(program, home)
        private = shutil.copy(SKEVLA, home)
        rows = [  # how, arguments, prefix, argv0, user and group ids (OWN: skevla's own)
            ("root, live", (), (), SKEVLA, OWN),
            ("root, from a home only root may enter", (), (), private, OWN),
            ("nobody through the file capability", (), AS_NOBODY, copy, "65534"),
            ("root, replay", replay, (), SKEVLA, OWN),
            ("root under sudo, live", (), SUDO, copy, "65534"),
            ("root under sudo, replay", replay, SUDO, copy, "65534"),
        ]
        for how, args, prefix, argv0, expected in rows:
            with self.subTest(start=how):
                if args:  # through a pipe kept open: the capture process stays to be seen
                    stdin, feed = os.pipe()
                    self.addCleanup(os.close, feed)
                    with open(args[1], "rb") as capture:
                        os.write(feed, capture.read())
                    program = self.start("-r", "-", "--snapshots", self.writable, prefix=prefix,
                                         argv0=argv0, stdin=stdin)
                    os.close(stdin)
                else:
                    program = self.start("--snapshots", self.writable, prefix=prefix, argv0=argv0)
                self.assertEqual(program.line(), "SKEVLA BEGIN")
                at_banner = threads(program.proc.pid, *HELD, "Uid", "Gid")
                ids = at_banner[0]["Uid"].split()[0] if expected is OWN else expected
                if expected is OWN:  # never root's, never nobody's: the run's own
                    self.assertTrue(61184 <= int(ids) <= 65519, ids)
                self.assertEqual(at_banner, [dict(NOTHING, Uid="\t".join([ids] * 4),
                                                  Gid="\t".join([ids] * 4))] * len(at_banner))
                program.wait_until_ready()
                self.assertEqual(program.lines(2) if args else program.frame(datagram(40)),
                                 log_lines(40))
                # The capture process and the keeper: never root, nothing
                # held, boxed in, and no process but the run's has their id.
                capture, keeper = capture_process(program), capture_process(program, "skevla-keeper")
                for pid, name in ((capture, "skevla-reader" if args else "skevla-capture"),
                                  (keeper, "skevla-keeper")):
                    self.assertEqual(status_fields("/proc/%d/status" % pid,
                                                   HELD + ("Uid", "Seccomp", "Name")),
                                     dict(NOTHING, Uid="\t".join([ids] * 4), Seccomp="2",
                                          Name=name))
                if expected is OWN:
                    self.assertEqual(processes_of(ids), {program.pid, capture, keeper})
                if expected is OWN:  # kept, as systemd keeps its own
                    with open("/run/systemd/dynamic-uid/" + ids, "r+b") as lock:
                        with self.assertRaises(OSError):
                            fcntl.lockf(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                # Holding the sockets, the helper lets no process of its user
                # attach to it.
                if not args:
                    self.assertEqual(os.stat("/proc/%d/status" % capture).st_uid, 0)
                program.stop()
                # The same start with a GL driver of the user's choosing.
                with open(self.record, "w"):
                    os.chmod(self.record, 0o666)
                # It is loaded with the X connection, before Landlock, and
                # writes a file open to all.
                self.start(*args, "--snapshots", self.writable,
                           prefix=prefix + ("env", "LIBGL_DRIVERS_PATH=" + self.drivers,
                                            "STUB_RECORD=" + self.record),
                           argv0=argv0).finish()
                self.assertEqual(status_fields(self.record, HELD), NOTHING)

    def test_helper_trusts_no_caller(self):
        # Made privileged by a file capability, the helper never runs
        # unboxed, whoever asks; run by hand, it keeps nothing it was given
        # but its standard descriptors and the channel.
        copy = copy_for_nobody(self.directory)
        subprocess.run(["setcap", "cap_net_raw=ep", os.path.join(self.directory, "skevla-capture")],
                       check=True)
        self.assertEqual(self.start("--no-sandbox", argv0=copy, prefix=AS_NOBODY).finish(),
                         (2, b"", "skevla: --no-sandbox is refused to a privileged helper\n"))
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        given, kept = os.pipe()

        def hand_over():
            os.dup2(theirs.fileno(), 3)
            os.dup2(kept, 5)

        helper = subprocess.Popen([HELPER], pass_fds=(3, 5), preexec_fn=hand_over)
        self.addCleanup(helper.wait)
        self.addCleanup(ours.close)
        theirs.close()
        ours.recv(65536)  # ready: boxed
        held = {os.readlink("/proc/%d/fd/%s" % (helper.pid, fd))
                for fd in os.listdir("/proc/%d/fd" % helper.pid)}
        self.assertNotIn(os.readlink("/proc/self/fd/%d" % kept), held)
        os.close(given)
        os.close(kept)

    def test_sandbox(self):
        for end in os.pipe():
            os.dup2(end, 9)
            os.close(end)
        self.addCleanup(os.close, 9)
        for place in (self.directory, self.writable):
            os.mkdir(os.path.join(place, "sub"), 0o777)
        # Started in one directory with snapshots kept in another, beside a
        # process of its own user. Root's X cookies, copied for the display
        # alone, are closed once X has connected.
        cookies = os.path.join(self.directory, "cookies")
        for display in (self.display, ":99"):
            subprocess.run(["xauth", "-f", cookies, "add", display, ".", "0123456789abcdef" * 2],
                           check=True)
        video = os.path.join(self.writable, "run.mkv")
        program = self.started("--snapshots", self.writable, "--video", video, pass_fds=[9],
                               preexec_fn=lambda: os.chdir(self.directory),
                               prefix=("env", "XAUTHORITY=" + cookies))
        own, group = (status_fields("/proc/%d/status" % program.pid, [field])[field].split()[0]
                      for field in ("Uid", "Gid"))
        other = subprocess.Popen(["setpriv", "--reuid=" + own, "--regid=" + group,
                                  "--clear-groups", "sleep", "600"])
        self.addCleanup(other.wait)
        self.addCleanup(other.kill)
        self.assertEqual(program.frame(datagram(40)), log_lines(40))
        every = threads(program.proc.pid, *HELD, "Seccomp")
        self.assertGreater(len(every), 1)  # the GL driver's threads too
        self.assertEqual(every, [dict(NOTHING, Seccomp="2")] * len(every))
        # Made from inside each process: the viewer may read files, not
        # write or create them anywhere, make a socket, or act on any other
        # process; the capture process opens nothing; the keeper creates
        # only what it names, in its directory; the encoder holds its video
        # and opens nothing. None holds a capture socket but the capture
        # process.
        new = (os.path.join(self.directory, "new") + "\0").encode()
        capture = capture_process(program)
        keeper = capture_process(program, "skevla-keeper")
        encoder = capture_process(program, "skevla-encoder")
        creating = 0o301  # O_WRONLY | O_CREAT | O_EXCL
        made = [(program.pid, (257, -100, (os.path.join(place, where, "made") + "\0").encode(),
                               creating, 0o644), -errno.EPERM)
                for place in (".", self.writable) for where in ("", "sub")]
        rows = [  # process, call and arguments, result
            (program.pid, (2, b"/proc/self/status\0", 0), lambda fd: fd >= 0),
            (program.pid, (2, new, 0o101, 0o600), -errno.EPERM),
            *made,
            (program.pid, (62, other.pid, 0), -errno.EPERM),  # kill
            (program.pid, (434, other.pid, 0), -errno.EPERM),  # pidfd_open
            (program.pid, (302, other.pid, 0, 0, b"\0" * 16), -errno.EPERM),  # prlimit64
            (program.pid, (2, b"/proc/%d/mem\0" % other.pid, 0), -errno.EACCES),  # Landlock
            (keeper, (257, -100, b"/tmp/skevla-made.png\0", 0o2400301, 0o644), -errno.EACCES),
            (keeper, (257, keeper_directory(keeper), b"made.png\0", 0o102, 0o644),
             -errno.EACCES),  # O_RDWR | O_CREAT
            (program.pid, (41, 2, 1, 0), -errno.EPERM),  # socket
            (program.pid, (91, 1, 0o666), -errno.EPERM),  # fchmod
            (program.pid, (16, 0, 0x5412, b"x"), -errno.EPERM),  # ioctl TIOCSTI
            (program.pid, (16, 0, 0xFFFFFFFF00005412, b"x"), -errno.EPERM),  # its low 32 bits
            (program.pid, (57,), -errno.EPERM),  # fork
            # LeakSanitizer clones its tracer: the sanitized build allows it.
            *[(program.pid, (56, signal.SIGCHLD, 0, 0, 0, 0), -errno.EPERM)] * (not SANITIZED),
            (program.pid, (435, b"\0" * 88, 88), -errno.ENOSYS),  # clone3
            (program.pid, (44, 3, b"x", 1, 0, 0, 0), -errno.EPERM),  # sendto
            (program.pid, (54, 3, 1, 2, b"\1\0\0\0", 4), -errno.EPERM),  # setsockopt
            (program.pid, (323, 0), -errno.EPERM),  # userfaultfd
            (capture, (2, b"/proc/self/status\0", 0), -errno.EACCES),
            (encoder, (257, -100, (os.path.join(self.writable, "made.mkv") + "\0").encode(),
                       creating, 0o644), -errno.EACCES),
            (encoder, (2, b"/proc/self/status\0", 0), -errno.EACCES),
            (capture, (257, -100, b"/proc/self/status\0", 0), -errno.EACCES),  # openat
            # No System V memory but a picture's, private and its own (an id
            # for this run alone keeps the others' out of reach), no queue,
            # and no path told of by a box that opens none.
            (program.pid, (29, 0, 4096, 0o1600), lambda id: id >= 0),  # shmget
            (program.pid, (29, 1234, 4096, 0o1600), -errno.EPERM),  # a key others could find
            (program.pid, (29, 0, 1 << 30, 0o1600), -errno.EPERM),  # more than any picture
            (program.pid, (29, 0, 4096, 0o1666), -errno.EPERM),  # open to others
            (program.pid, (31, 0, 1, 0), -errno.EPERM),  # shmctl IPC_SET
            (program.pid, (68, 0, 0o1600), -errno.EPERM),  # msgget
            *[(pid, (262, -100, b"/etc/shadow\0", b"\0" * 144, 0), -errno.EACCES)  # newfstatat
              for pid in (capture, encoder, keeper)],
        ]
        for pid, call, result in rows:
            with self.subTest(pid=pid, call=call[0]):
                got = syscall(pid, *call)
                self.assertTrue(result(got) if callable(result) else got == result, got)
        self.assertEqual(capture_sockets(program.pid), [])
        self.assertEqual(capture_sockets(keeper), [])
        # The keeper removes nothing, its own files or others'.
        self.assertEqual(syscall(keeper, 263, keeper_directory(keeper), b"made.png\0", 0),
                         "killed by SIGSYS")  # unlinkat
        self.assertEqual(len(capture_sockets(capture)), 1)
        # Whoever gets hold of a capture socket cannot lift its filter.
        for link in capture_sockets(capture):
            fd = next(fd for fd in os.listdir("/proc/%d/fd" % capture)
                      if os.readlink("/proc/%d/fd/%s" % (capture, fd)) == link)
            with socket.socket(fileno=descriptor_of(capture, int(fd))) as taken:
                with self.assertRaises(PermissionError):
                    taken.setsockopt(socket.SOL_SOCKET, 27, 0)  # SO_DETACH_FILTER
        self.assertEqual(sorted(os.listdir(self.writable) + os.listdir(self.directory)),
                         ["cookies", "raw.pcap", "run.mkv", "sub", "sub"])
        held = [os.readlink("/proc/%d/fd/%s" % (program.pid, fd))
                for fd in os.listdir("/proc/%d/fd" % program.pid)]
        self.assertNotIn(os.readlink("/proc/self/fd/9"), held)  # inherited, closed
        self.assertNotIn(video, held)
        self.assertEqual(os.readlink("/proc/%d/fd/4" % encoder), video)
        self.assertEqual([link for link in held if "xauthority" in link], [])
        self.assertFalse(os.path.exists(os.path.join(self.directory, "new")))
        self.assertEqual(program.frame(datagram(44)), log_lines(44))
        # --no-sandbox says so, and leaves the privileges dropped all the same.
        program = self.started("--no-sandbox")
        self.assertEqual(program.line(error=True), "skevla: running without the sandboxes: no system "
                         "call filter and no Landlock in any of its processes")
        self.assertEqual(program.frame(datagram(40)), log_lines(40))
        every = threads(program.proc.pid, *HELD, "Seccomp")
        self.assertEqual(every, [dict(NOTHING, Seccomp="0")] * len(every))


class Picture(Run):
    # A 26-byte datagram in poly mode: the header's vertices lie on the bottom
    # and left edges, and the group at offset 20 adds (50, 450) and (450, 450),
    # so the polygon fans from (345, 0) up to a red top edge.
    POLY = datagram(26, signed(-10, 90, 90, 90))

    def test_poly_frame(self):
        program = self.started()
        program.frame(self.POLY)
        self.assert_picture(program, {(250, 300): reddish, (450, 100): BLACK, (250, 480): BLACK},
                            size=(500, 500))

    def test_resize_redraws_at_once(self):
        program = self.started()
        program.frame(self.POLY)
        self.assert_picture(program, {(250, 300): reddish})
        xdotool(self.display, "windowsize", program.window, "1000", "300")
        # With no traffic, the same datagram at the new scale: sx 10 and sy 3
        # fan it from (690, 0) to (100, 270) and (900, 270), which covers
        # (700, 150) and leaves (250, 280) black. Nothing is logged again.
        self.assert_picture(program, {(700, 150): reddish, (250, 280): BLACK, (950, 50): BLACK},
                            size=(1000, 300))
        self.assert_silent(program)

    def test_uncovered_window_shows_its_picture_again(self):
        program = self.started()
        program.frame(self.POLY)
        self.assert_picture(program, {(250, 300): reddish})
        cover = subprocess.Popen(["xlogo", "-display", self.display, "-geometry", "500x500+0+0"])
        try:
            wait_for(lambda: find_windows(self.display, "--class", "xlogo"), "xlogo's window")
            self.assert_picture(program, {(250, 300): lambda colour: not reddish(colour)})
        finally:
            cover.kill()
            cover.wait()
        self.assert_picture(program, {(250, 300): reddish, (450, 100): BLACK})
        self.assert_silent(program)

    def test_ipv6_datagram_drawn_from_its_first_byte(self):
        # The same rules from the IPv6 header's 0x60 on: of 48 bytes the
        # group at offset 40 is drawn (red at (100, 100) and (200, 100)), the
        # last one, at 44, is not (green at (100, 200)).
        program = self.started("-md")
        program.frame(ip6_datagram(48, signed(-20, 40, 20, 20, 20, -60, 40, 40)))
        self.assert_picture(program, {(100, 100): RED, (200, 100): RED, (100, 200): BLACK,
                                      (300, 200): BLACK})

    def test_pause_step_resume_and_info(self):
        program = self.started()
        program.frame(self.POLY)
        # Paused: what comes is neither logged nor drawn, and the window is
        # still served. The picture is read after a redraw: llvmpipe's first
        # draw of a polygon may differ from its redraws by a colour level.
        press(self.display, program.window, "space")
        send(datagram(40), ip6_datagram(44))
        self.assert_silent(program)
        xdotool(self.display, "windowsize", program.window, "400", "400")
        xdotool(self.display, "windowsize", program.window, "500", "500")
        self.assert_picture(program, {(250, 300): reddish}, size=(500, 500))
        # Once the resizes are drawn: the window idle, its picture settled.
        def settled():
            program.wait_until_idle()
            first = window_image(self.display, program.window)
            program.wait_until_idle()
            return first == window_image(self.display, program.window) and first
        before = wait_for(settled, "the picture to settle after the resizes")
        # The info line over the picture, then the picture exactly as it was.
        press(self.display, program.window, "i")
        band = [(x, y) for x in range(0, 200) for y in range(484, 498)]
        self.assert_picture(program, {(250, 300): reddish, tuple(band): WHITE})
        press(self.display, program.window, "i")
        self.assert_picture(program, {(250, 300): reddish})
        self.assert_same_picture(program, before)
        # n and the Right arrow take one queued datagram each, in the order
        # they came.
        press(self.display, program.window, "n")
        self.assertEqual(program.lines(2), log_lines(40))
        self.assert_silent(program)
        self.assert_picture(program, {(250, 300): BLACK})
        press(self.display, program.window, "Right")
        self.assertEqual(program.lines(2), log_lines(44, "::1"))
        self.assert_silent(program)
        press(self.display, program.window, "space")
        self.assertEqual(program.frame(datagram(48)), log_lines(48))
        # Paused on a quiet link, more comes than the capture ring has
        # blocks (a block closes 8 ms after its first datagram): all of it
        # is kept, and logged in order once resumed.
        press(self.display, program.window, "space")
        sizes = [40 + n % 60 for n in range(100)]
        for size in sizes:
            send(datagram(size))
            time.sleep(0.015)  # the traffic's pace, not a wait
        self.assert_silent(program)
        press(self.display, program.window, "space")
        self.assertEqual(program.lines(2 * len(sizes)), sum(map(log_lines, sizes), []))
        program.proc.send_signal(signal.SIGUSR1)
        self.assertEqual(program.line(error=True) + "\n", counts(4 + len(sizes)))

    def assert_saved(self, program, directory, keys, number=1, band=0):
        """Presses keys, the last of them s, and finds the window as it
        shows now saved at once beneath directory, as often as s was
        pressed; returns the next snapshot's number. The top band rows are
        left out: the info line's rate and drops move on by themselves."""
        press(self.display, program.window, *keys)
        names = [re.fullmatch(r"skevla: saved (skevla-\d{8}-\d{6}-%d\.png)" % (number + n),
                              program.line(error=True)).group(1) for n in range(keys.count("s"))]
        window = window_image(self.display, program.window)
        for name in names:
            saved = png_pixels(os.path.join(directory, name))
            self.assertEqual((len(saved[0]), len(saved)), (len(window[0]), len(window)))
            self.assertLessEqual(max(abs(a - b) for row, other in zip(saved[band:], window[band:])
                                     for p, q in zip(row, other) for a, b in zip(p, q)), 2,
                                 "%s: the snapshot differs from the window" % name)
            number += 1
        return number

    def test_snapshots_and_full_screen(self):
        # s saves what the window shows, now, here or beneath --snapshots,
        # in whatever state the run is; nothing can be created anywhere
        # else, even from inside; f fills the screen.
        for where in ("here", "--snapshots"):
            with self.subTest(saved=where):
                directory = tempfile.mkdtemp()
                self.addCleanup(shutil.rmtree, directory)
                os.chmod(directory, 0o777)  # started as root, skevla saves as its own user
                args = ("--snapshots", directory) if where != "here" else ()
                program = self.started(*args, preexec_fn=lambda: os.chdir(directory))
                program.frame(self.POLY)
                number = 1
                band = 0
                for keys in (["s"], ["i", "s"], ["space", "s"], ["s", "s", "s"], ["i", "s"]):
                    band = 40 - band if "i" in keys else band  # the info line's, two rows high
                    number = self.assert_saved(program, directory, keys, number, band)
                self.assertEqual(len(os.listdir(directory)), number - 1)
                outside = (os.path.dirname(directory) + "/skevla-outside.png\0").encode()
                self.assertEqual(syscall(program.pid, 257, -100, outside, 0o301, 0o644),
                                 -errno.EPERM)  # openat(O_WRONLY|O_CREAT|O_EXCL)
                if where == "here":
                    program.stop()  # so the next window is the only one
        press(self.display, program.window, "f")
        deadline = time.monotonic() + DEADLINE
        while "Geometry: 1600x1200" not in xdotool(self.display, "getwindowgeometry",
                                                   program.window):
            self.assertLess(time.monotonic(), deadline, "not full screen")
            time.sleep(0.05)

    def test_keeper_holds_to_its_limits(self):
        # Requests sent to the keeper on the viewer's own channel, as a
        # subverted viewer could send them: what no window could be, or no
        # press of s could ask, ends the keeper before it sizes anything,
        # and makes nothing; a run's budget is refused past its end; a save
        # that fails leaves no file behind.
        directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, directory)
        os.chmod(directory, 0o777)

        def keeper_channel():
            program = self.started("--snapshots", directory)
            keeper = capture_process(program, "skevla-keeper")
            return program, keeper, socket.socket(
                fileno=descriptor_of(program.pid, peer_of(keeper, 3)))

        def request(channel, width, height, copies, size):
            pixels = os.memfd_create("pixels")
            os.write(pixels, bytes(size))
            socket.send_fds(channel, [RECORD_HEADER.pack(PICTURE, 16) +
                                      struct.pack("IIII", width, height, copies, 0)], [pixels])
            os.close(pixels)

        rows = [  # width, height, copies, bytes of pixels
            (32767, 32767, 1, 3),  # 3 GB, were it sized first
            (1600, 1201, 1, 1600 * 1201 * 3),  # past the screen
            (1, 1, 11, 3),  # more presses than one paint answers
            (2, 2, 1, 11),  # pixels that are not the picture's
        ]
        for width, height, copies, size in rows:
            with self.subTest(request=(width, height, copies, size)):
                program, keeper, channel = keeper_channel()
                request(channel, width, height, copies, size)
                channel.close()
                wait_for(lambda: gone_or_zombie(keeper), "the keeper to end")
                self.assertEqual(os.listdir(directory), [])
                program.stop()
        program, keeper, channel = keeper_channel()
        for _ in range(100):
            request(channel, 1, 1, 10, 3)
            for _ in range(10):
                self.assertRegex(program.line(error=True), r"^skevla: saved skevla-\S+\.png$")
        request(channel, 1, 1, 1, 3)
        self.assertEqual(program.line(error=True), "skevla: cannot save the picture: the run has "
                         "spent its budget of 1000 snapshots or 1024 MiB")
        self.assertEqual(len(os.listdir(directory)), 1000)
        channel.close()  # the keeper ends with its channel
        program.stop()
        for name in os.listdir(directory):
            os.remove(os.path.join(directory, name))
        program, keeper, channel = keeper_channel()
        channel.close()
        own, group = (status_fields("/proc/%d/status" % keeper, [field])[field].split()[0]
                      for field in ("Uid", "Gid"))
        subprocess.run(["setpriv", "--reuid=" + own, "--regid=" + group, "--clear-groups",
                        "prlimit", "--pid", str(keeper), "--fsize=100"], check=True)
        press(self.display, program.window, "s")
        self.assertEqual(program.line(error=True), "skevla: cannot save the picture: File too large")
        self.assertEqual(os.listdir(directory), [])

    def test_next_frame_shows_only_its_own_datagram(self):
        program = self.started()
        program.frame(self.POLY)
        self.assert_picture(program, {(250, 300): reddish})
        program.frame(datagram(40))
        self.assert_picture(program, {(250, 300): BLACK, (100, 400): BLACK})


class Options(Run):
    def test_command_line_that_starts_nothing(self):
        def refused(reason):  # the usage text, then why
            return "^%sskevla: %s\n$" % (re.escape(USAGE.decode()), re.escape(reason))

        rows = [  # arguments, exit status, standard output, standard error (a pattern)
            (["--bogus"], 2, b"", refused("unknown option '--bogus'")),
            (["300"], 2, b"", refused("unknown option '300'")),
            (["-m", "d"], 2, b"", refused("unknown option 'd'")),
            (["-display", self.display], 2, b"", refused("unknown option '-display'")),
            (["-ml", "-w"], 2, b"", refused("-w needs a value")),
            (["-h"], 2, b"", refused("-h needs a value")),
            (["-md", "-f"], 2, b"", refused("-f needs a value")),
            (["-r", "x.pcap", "-i", "lo"], 2, b"", refused("-i cannot be used with -r")),
            (["-t"], 2, b"", refused("-t needs -r")),
            (["-Q", "up"], 2, b"", refused("-Q needs in, out or inout")),
            (["-x", "2"], 2, b"", refused("-x needs -r")),
            (["-r", "x.pcap", "-x", "1e9"], 2, b"", refused("-x needs a factor from 0.01 to 1000")),
            (["--fps", "0"], 2, b"", refused("--fps needs a whole number of frames from 1 to 1000")),
            (["-o", "/dev/full"], 2, b"",
             r"^skevla: -o /dev/full is a device; name a regular file\n$"),
            (["--snapshots", "/nonexistent"], 2, b"",
             r"^skevla: --snapshots '/nonexistent': No such file or directory; .*\n$"),
            (["-r", "x.pcap", "-Q", "in"], 2, b"", refused("-Q cannot be used with -r")),
            (["-c", "0"], 2, b"", refused("-c needs a positive count")),
            (["-B", "128"], 2, b"", refused("-B needs a whole number of KiB from 256 to 1048576")),
            (["-r", "x.pcap", "-B", "512"], 2, b"", refused("-B cannot be used with -r")),
            (["-c", "3x"], 2, b"", refused("-c needs a positive count")),
            (["--from", "1:00"], 2, b"",
             refused("--from needs -r: it chooses a part of a capture file")),
            (["-r", "x.pcap", "--to"], 2, b"", refused("--to needs a value")),
            (["-r", "x.pcap", "--from", "1:75"], 2, b"", refused(
                "--from needs a time into the capture such as 90, 1:30 or 3:10:00.5, not '1:75'")),
            (["-r", "x.pcap", "--to", "-5"], 2, b"", refused(
                "--to needs a time into the capture such as 90, 1:30 or 3:10:00.5, not '-5'")),
            (["-r", "x.pcap", "--from", "2:00", "--to", "90"], 2, b"",
             refused("--to 90 is not after --from 2:00")),
            (["--video", "talk.avi"], 2, b"",
             refused("--video needs a file ending in .mp4, .webm or .mkv")),
            (["--video", "talk/.MP4"], 2, b"", refused(
                "--video talk/.MP4 names no file before its extension; name one such as run.mp4")),
            (["--video", "talk.mp4", "-w", "16385", "-h", "10"], 2, b"", refused(
                "a .mp4 video of 16385 x 10 pixels is more than its encoder takes (16384 on a "
                "side at most, and fewer than 268 million pixels); ask for less with -w and -h")),
            (["--video", "/nonexistent/talk.mkv"], 1, b"",
             r"^skevla: cannot write the video /nonexistent/talk.mkv: No such file or directory; "
             r"name a file where you may write\n$"),
            (["--help"], 0, USAGE + KEYS, "^$"),
            (["-md", "--version"], 0, b"skevla %s\n" % VERSION, "^$"),
            (["-f", "tcp port"], 2, b"", r"^skevla: .*syntax error.*\n$"),
            (["-f", "udp"], 2, b"", r"^skevla: bad filter expression 'udp': .*\n$"),
            (["-f", LONG_FILTER + " and"], 2, b"",  # quoted whole
             "^skevla: bad filter expression '%s': .*syntax error\n$" % re.escape(LONG_FILTER + " and")),
            (["-i", "nosuch0"], 2, b"", r"^skevla: .*'nosuch0'.*No such device.*\n$"),
            (["-i", ""], 2, b"", r"^skevla: .*''.*No such device.*\n$"),
            # Larger than this GL's viewport (llvmpipe: 16384): nothing drawn.
            (["-w", "32767", "-h", "32767"], 2, b"",
             r"^skevla: a window of 32767 x 32767 pixels is larger than this GL can draw "
             r"\(\d+ x \d+\).*\n$"),
            # X keeps sizes in 16 bits: refused before X is asked.
            (["-w", "99999"], 2, b"", refused("-w must be at most 32767 pixels, as X allows")),
            # A kernel or a container that refuses what skevla needs: said at
            # once, with the cause.
            ([], 1, b"", r"^skevla: cannot close the descriptors it was started with: Function "
             r"not implemented\n$", refusing("close_range")),

        ]
        for args, status, out, error, *before in rows:
            with self.subTest(args=args):
                program = self.start(*args, preexec_fn=before[0] if before else None)
                code, stdout, stderr = program.finish()
                self.assertEqual((code, stdout), (status, out))
                self.assertRegex(stderr, error)

    def test_command_lines_that_run(self):
        rows = [  # arguments, window size
            # GLUT's own options are never read out of ours; 0 sizes leave
            # GLUT's default.
            (["-h", "-display", "-w", ":99"], (300, 300)),
            (["-w", "3000", "-h", "2000"], (3000, 2000)),
            (["-B", "256"], (500, 500)),  # the least capture ring
        ]
        for args, size in rows:
            with self.subTest(args=args):
                program = self.started(*args)
                geometry = xdotool(self.display, "getwindowgeometry", "--shell", program.window)
                self.assertIn("WIDTH=%d\nHEIGHT=%d\n" % size, geometry)
                self.assertEqual(program.frame(datagram(40)), log_lines(40))
                program.stop()  # so the next one's window is the only one

    def test_start_script_prints_only_the_usage(self):
        start = subprocess.run([os.path.join(TOP, "scripts", "start"), "--help"],
                               stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
        self.assertEqual((start.returncode, start.stdout), (0, USAGE + KEYS), start.stderr.decode())

    def test_line_mode_at_requested_size(self):
        # 640 x 480 makes sx 6 and sy 4: the group at offset 20 is a red
        # segment from (60, 200) to (540, 200), the one at offset 24 a green
        # one from (120, 400) to (240, 440). Which of two rows a line on a
        # pixel edge lights is the GL's choice.
        program = self.started("-w", "640", "-h", "480", "-ml")
        program.frame(datagram(30, signed(-10, 90, 50, 50, 20, -40, 100, 110)))
        self.assert_picture(program, {
            ((300, 199), (300, 200)): RED, (300, 197): BLACK, (300, 202): BLACK,
            (55, 200): BLACK, (545, 200): BLACK,
            ((180, 419), (180, 420), (180, 421)): GREEN, (180, 410): BLACK, (250, 443): BLACK},
            size=(640, 480))

    def test_dot_mode_points(self):
        # One point per vertex, 10 pixels wide, in its group's colour; the
        # last complete group (offset 40) of a 44-byte datagram is not drawn.
        program = self.started("-md")
        program.frame(datagram(44, signed(
            -20, 40, 20, 20,  # red at (100, 100) and (200, 100)
            20, -60, 40, 40,  # green at (100, 200) and (300, 200)
            80, 80, -60, 80,  # blue at (400, 300) and (400, 400)
            48, -48, -48, 90,  # cyan at (240, 240) and (240, 450)
            -90, -90, -10, -90,  # white at (450, 50) and (450, 450)
            -70, -70, -70, -70)))  # would be white at (350, 350)
        self.assert_picture(program, {
            (100, 100): RED, (200, 100): RED, (100, 200): GREEN, (300, 200): GREEN,
            (400, 300): BLUE, (400, 400): BLUE, (240, 240): CYAN, (240, 450): CYAN,
            (450, 50): WHITE, (450, 450): WHITE, (350, 350): BLACK, (150, 150): BLACK,
            (95, 95): RED, (104, 104): RED, (94, 100): BLACK, (105, 100): BLACK,
            (100, 94): BLACK, (100, 105): BLACK}, size=(500, 500))


# A capture process that misbehaves, in place of the helper: it says it is
# ready, then, as FAKE asks, answers a request for the counts with
# datagrams for ever, or tells the kernel's drops as 5 with a datagram and
# as 3 after, or has its sandbox refuse a call before it is ready.
FAKE_HELPER = r"""
#include "child.h"
#include "record.h"
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
int main()
{
    const int channel = channel_descriptor;
    if (std::strcmp(std::getenv("FAKE"), "refused") == 0) {
        sendRecord(channel, record_kind::refused, refused_fields{131, 0}); // sigaltstack
        std::signal(SIGSYS, SIG_DFL);
        raise(SIGSYS);
    }
    sendRecord(channel, record_kind::ready, ready_fields{0});
    unsigned char bytes[20] = {0x45, 0, 0, 20};
    datagram_fields datagram{};
    datagram.length = sizeof bytes;
    datagram.summary.family = 4;
    datagram.summary.shape = segment_shape::truncated;
    datagram.told.dropped = 5;
    stream_fields older{};
    older.told.dropped = 3;
    const bool drops = std::strcmp(std::getenv("FAKE"), "drops") == 0;
    bool told = false;
    alignas(8) unsigned char request[64];
    for (ssize_t got; (got = read(channel, request, sizeof request)) > 0;) {
        const bool counts = reinterpret_cast<record_header *>(request)->kind == record_kind::ask_counts;
        if (drops && counts)
            sendRecord(channel, record_kind::counts, older);
        else if (drops && !told)
            told = sendRecord(channel, record_kind::datagram, datagram, bytes, sizeof bytes);
        while (!drops && sendRecord(channel, record_kind::datagram, datagram, bytes, sizeof bytes) &&
               counts) {
        }
    }
}
"""


class Reliability(Run):
    def test_size_sweep_in_every_mode(self):
        rng = random.Random(7)
        sizes = [*range(20, 81), 576, 1500, 9000, 65533, 65534, 65535]
        for flag in ("-mp", "-md", "-ml", "-mx"):
            with self.subTest(mode=flag):
                program = self.started(flag)
                for size in sizes:
                    self.assertEqual(program.frame(random_datagram(size, rng)), log_lines(size),
                                     "size %d" % size)

    def test_flood_while_paused(self):
        # Paused through a flood: the ring and, past it, the capture process
        # keep what comes up to -B each, logged once resumed; the rest is
        # dropped and counted. The counts add up, and a pause is no lag.
        program = self.started()
        press(self.display, program.window, "space")
        send(datagram(40))  # not logged: the pause has begun
        self.assert_silent(program)
        sent = 1 + flood([datagram(40)] * 64, 2)  # more than the 4 MiB they keep
        logged = []
        reader = threading.Thread(target=lambda: logged.extend(iter(
            lambda: os.read(program.proc.stdout.fileno(), 1 << 16), b"")))
        reader.start()
        press(self.display, program.window, "space")
        received, dropped = drained(program, sent)
        program.proc.kill()
        reader.join()
        self.assertEqual(b"".join(logged).count(b"Source"), received)
        self.assertGreater(dropped, 0)
        self.assertGreater(received, 2048 * 1024 // 176)  # what the capture process holds alone
        self.assertIsNone(program.lag)

    def test_random_flood_then_a_known_datagram(self):
        rng = random.Random(11)
        pool = [random_datagram(rng.randint(20, 65535), rng) for _ in range(64)]
        with tempfile.TemporaryFile() as log:
            program = self.start(stdout=log)
            program.wait_until_ready()
            sent = flood(pool, 3)
            # With nothing after the flood, every datagram sent is received
            # or dropped, the last drops included.
            received, dropped = drained(program, sent)
            self.assertGreater(dropped, 0)
            # The drops are said once, as they begin, on standard error.
            self.assertRegex(program.lag + "\n", LAG)
            send(datagram(1234))
            last = ("\n".join(log_lines(1234)) + "\n").encode()
            wait_for(lambda: os.pread(log.fileno(), 1 << 24, 0).endswith(last),
                     "the last datagram's lines")
            program.proc.send_signal(signal.SIGINT)
            status, _, error = program.finish()
            lines = os.pread(log.fileno(), 1 << 24, 0).decode().split("\n")
        self.assertEqual((status, error), (0, counts(received + 1, dropped)))
        self.assertEqual(lines[0], "SKEVLA BEGIN")
        self.assertEqual(lines[-3:], log_lines(1234) + [""])
        pairs = list(zip(lines[1:-1:2], lines[2:-1:2]))
        for count, source in pairs:
            self.assertRegex(count, r"^Bytes received --> [ \d]{5}$")
            self.assertTrue(20 <= int(count.split()[-1]) <= 65535, count)
            self.assertEqual(source, "Source address --> 127.0.0.1")
        self.assertEqual(len(lines), 2 * len(pairs) + 2)
        self.assertEqual(len(pairs), received + 1)
        print("\nflood: %d datagrams sent, %d logged; %s" % (sent, received, error.strip()),
              file=sys.stderr)

    def test_death_of_either_side(self):
        # The capture process killed, or killed by its filter for sending
        # through its raw socket: the counts, then how it ended, status 1,
        # at once.
        rows = [
            ("SIGKILL", lambda pid: os.kill(pid, signal.SIGKILL), "killed by SIGKILL"),
            ("a send", lambda pid: syscall(pid, 44, 4, b"x", 1, 0, 0, 0),  # sendto
             "killed by SIGSYS: its sandbox refused a call (sendto)"),
            # What could carry its socket to the viewer.
            ("a message", lambda pid: syscall(pid, 46, 3, 0, 0),  # sendmsg
             "killed by SIGSYS: its sandbox refused a call (sendmsg)"),
        ]
        for how, kill, cause in rows:
            with self.subTest(how=how):
                program = self.started()
                self.assertEqual(program.frame(datagram(40)), log_lines(40))
                kill(capture_process(program))
                killed = time.monotonic()
                program.proc.wait(DEADLINE)
                print("\nthe capture process %s: skevla ended %.3f s after" % (
                    how, time.monotonic() - killed), file=sys.stderr)
                self.assertEqual(program.finish(), (1, b"", counts(1) + (
                    "skevla: the capture process ended: %s\n" % cause)))
        # One that talks on at the end is cut off after a second; one whose
        # sandbox refused a call at start is named with the call.
        directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, directory)
        subprocess.run(["clang++", "-std=c++20", "-I", os.path.join(TOP, "src", "common"), "-o",
                        os.path.join(directory, "skevla-capture"), "-x", "c++", "-",
                        os.path.join(TOP, "src", "common", "record.cpp")],
                       input=FAKE_HELPER.encode(), check=True)
        copy = copy_for_nobody(directory, CHILDREN[1:])
        program = self.started(argv0=copy, prefix=("env", "FAKE=talks"))
        self.assertEqual(program.lines(2), log_lines(20, "0.0.0.0"))
        program.proc.send_signal(signal.SIGTERM)
        self.assertEqual(program.proc.wait(DEADLINE), 0)
        # An older count of the kernel's drops than one told before never
        # lowers it.
        program = self.started("--fps", "30", argv0=copy, prefix=("env", "FAKE=drops"))
        self.assertEqual(program.lines(2), log_lines(20, "0.0.0.0"))
        program.proc.send_signal(signal.SIGUSR1)
        self.assertEqual(program.line(error=True) + "\n", counts(1, 5))
        program.proc.send_signal(signal.SIGTERM)
        self.assertEqual(program.finish(), (0, b"", counts(1, 5)))
        status, out, error = self.start(argv0=copy, prefix=("env", "FAKE=refused")).finish()
        self.assertEqual((status, out, error), (1, b"", "skevla: the capture process ended: killed "
                                                "by SIGSYS: its sandbox refused a call "
                                                "(sigaltstack)\n"))
        # The viewer killed: the capture process goes with it.
        program = self.started()
        capture = capture_process(program)
        program.proc.kill()
        wait_for(lambda: gone_or_zombie(capture), "the capture process to end with skevla")

    def test_frame_cap(self):
        # --fps 10 under a flood of 1,500-byte datagrams in poly mode: every
        # datagram taken is logged. Without a cap frames lag the flood and
        # the kernel drops, which is said once; with one it is not. What the
        # cap saves in CPU is the benchmark's to measure.
        for args in ((), ("--fps", "10")):
            with self.subTest(args=args), tempfile.TemporaryFile() as log:
                program = self.start(*args, stdout=log)
                program.wait_until_ready()
                sent = flood([random_datagram(1500, random.Random(5))] * 8, 2.0)
                drained(program, sent, log)
                program.proc.send_signal(signal.SIGTERM)
                status, _, error = program.finish()
                received = int(re.search(r"skevla: (\d+) datagrams", error).group(1))
                self.assertEqual(os.pread(log.fileno(), 1 << 24, 0).count(b"Source"), received)
                self.assertEqual(program.lag is not None, not args, program.lag)

    def test_losing_the_display(self):
        # The X server gone, or the connection killed by another client: no
        # traffic comes, yet the program notices at once and says so, with
        # its display, whatever the cause.
        rows = [("server gone", lambda xvfb, program: xvfb.kill()),
                ("client killed", lambda xvfb, program: xdotool(
                    program.display, "windowkill", program.window))]
        for how, lose in rows:
            with self.subTest(how=how):
                xvfb, display = start_xvfb()
                try:
                    program = self.start(display=display)
                    self.assertEqual(program.line(), "SKEVLA BEGIN")
                    program.wait_until_ready()
                    self.assertEqual(program.frame(datagram(40)), log_lines(40))
                    lost = time.monotonic()
                    lose(xvfb, program)
                    program.proc.wait(DEADLINE)
                    print("\nthe display %s: skevla ended %.3f s after" % (
                        how, time.monotonic() - lost), file=sys.stderr)
                finally:
                    xvfb.kill()
                    xvfb.wait()
                status, out, error = program.finish()
                self.assertEqual((status, out), (1, b""))
                self.assertEqual(error, "%sskevla: X connection to %s broken\n"
                                 % (counts(1), display))


def fill(pipe):
    """Fills a pipe to its last byte, leaving its write end non-blocking."""
    os.set_blocking(pipe, False)
    for chunk in (4096, 1):
        try:
            while True:
                os.write(pipe, b"x" * chunk)
        except BlockingIOError:
            pass


class Ending(Run):
    def test_ways_to_end_with_no_traffic(self):
        def escape(program):
            press(self.display, program.window, "q", "Q", "Escape")

        def reader_gone(program):  # noticed at once, with no traffic after it
            program.proc.stdout.close()

        def reader_gone_then_traffic(program):  # what it took but could not log is no drop
            program.proc.stdout.close()
            send(datagram(48))

        rows = [  # how, counted: each ends with status 0 and the counts line
            ("Escape", escape, 2),
            ("close", lambda program: close_window(self.display, program.window), 2),
            ("destroyed by another client",
             lambda program: xdotool(self.display, "windowclose", program.window), 2),
            ("SIGINT", lambda program: program.proc.send_signal(signal.SIGINT), 2),
            ("SIGTERM", lambda program: program.proc.send_signal(signal.SIGTERM), 2),
            ("log reader gone", reader_gone, 2),
            ("log reader gone, then a datagram", reader_gone_then_traffic, 2),
        ]
        for how, end, counted in rows:
            with self.subTest(how=how):
                program = self.started()
                self.assertEqual(program.frame(datagram(40)), log_lines(40))
                # SIGUSR1 reports and the program goes on.
                program.proc.send_signal(signal.SIGUSR1)
                self.assertEqual(program.line(error=True) + "\n", counts(1))
                self.assertEqual(program.frame(datagram(44)), log_lines(44))
                end(program)
                self.assertEqual(program.finish(), (0, b"", counts(counted)))

    def test_stalled_log_reader(self):
        # Nobody reads the log, whose pipe is full: the program holds its
        # lines, takes no datagram, and still answers the window and signals.
        rows = [("Escape", lambda program: press(self.display, program.window, "Escape")),
                ("SIGTERM", lambda program: program.proc.send_signal(signal.SIGTERM))]
        for how, end in rows:
            with self.subTest(how=how):
                read_end, write_end = os.pipe()
                self.addCleanup(os.close, read_end)
                program = self.start(stdout=write_end)
                program.wait_until_ready()
                fill(write_end)
                os.close(write_end)
                # More than the ring and the capture process hold: drops.
                sent = flood([datagram(1400)] * 64, 0.5)
                program.wait_until_asleep()
                end(program)
                status, _, error = program.finish()
                self.assertNotIn(b"Source", os.read(read_end, 1 << 17))
                # Every datagram is told of: the kernel's drops, and what it
                # passed that was never logged, as not yet taken.
                waiting, dropped = map(int, re.fullmatch(
                    r"skevla: 0 datagrams received, (\d+) not yet taken, (\d+) dropped by the "
                    r"kernel\n", error).groups())
                self.assertGreater(dropped, 0)
                self.assertEqual((status, waiting + dropped), (0, sent))

    def test_signals_during_a_flood(self):
        # Answered at once; with --fps, in the middle of a batch, whose
        # datagrams count as received only once they are logged.
        rows = [(signal.SIGUSR1, ()), (signal.SIGUSR1, ("--fps", "30")), (signal.SIGINT, ()),
                (signal.SIGTERM, ())]
        for number, args in rows:
            with self.subTest(signal=number.name, args=args), tempfile.TemporaryFile() as log:
                program = self.start(*args, stdout=log)
                program.wait_until_ready()
                stop = threading.Event()
                sender = threading.Thread(target=flood, args=([datagram(40)] * 64, 10, stop))
                sender.start()
                try:
                    wait_for(lambda: b"Source" in os.pread(log.fileno(), 4096, 0),
                             "the flood to reach skevla")
                    program.proc.send_signal(number)
                    sent = time.monotonic()
                    line = program.line(error=True)
                    print("\n%s: answered %.3f s after" % (number.name, time.monotonic() - sent),
                          file=sys.stderr)
                    received = int(re.search(r"(\d+) datagrams? received", line).group(1))
                    self.assertLessEqual(received, os.pread(log.fileno(), 1 << 26, 0).count(
                        b"Source"))
                    if number == signal.SIGUSR1:
                        self.assertIsNone(program.proc.poll())
                    else:
                        self.assertEqual(program.proc.wait(1.0), 0)
                finally:
                    stop.set()
                    sender.join()

    def test_never_wedged(self):
        # Whatever the program waits on, the signals act at once: a file's
        # header that does not come (SIGUSR1 writes the counts meanwhile), a
        # standard error or a terminal nobody reads, and a stopped X server,
        # where the second SIGTERM ends it with 143.
        def quiet_header():
            read_end, write_end = os.pipe()
            self.addCleanup(os.close, write_end)
            program = self.start("-r", "-", stdin=read_end)
            os.close(read_end)
            program.wait_until_catching(signal.SIGUSR1)
            program.proc.send_signal(signal.SIGUSR1)
            self.assertEqual(program.line(error=True),
                             "skevla: 0 datagrams received from -, 0 packets skipped")
            return program

        def fifo_without_writer():
            directory = tempfile.mkdtemp()
            self.addCleanup(shutil.rmtree, directory)
            os.chmod(directory, 0o755)  # opened as nobody
            fifo = os.path.join(directory, "fifo")
            os.mkfifo(fifo, 0o666)
            program = self.start("-r", fifo)
            program.wait_until_catching(signal.SIGUSR1)
            program.proc.send_signal(signal.SIGUSR1)
            self.assertEqual(program.line(error=True),
                             "skevla: 0 datagrams received from %s, 0 packets skipped" % fifo)
            return program

        def full_error():
            read_end, write_end = os.pipe()
            self.addCleanup(os.close, read_end)
            fill(write_end)
            os.set_blocking(write_end, True)  # as the shell would hand it over
            program = self.started(stderr=write_end)
            os.close(write_end)
            program.proc.send_signal(signal.SIGUSR1)
            return program

        def unread_terminal():
            terminal, other_end = os.openpty()
            self.addCleanup(os.close, terminal)
            program = self.start(stdout=other_end)
            os.close(other_end)
            program.wait_until_ready()
            flood([datagram(40)] * 64, 1.0)
            program.wait_until_asleep()
            return program

        def stopped_keeper():  # on a hung file system: s refused, the rest served
            directory = tempfile.mkdtemp()
            self.addCleanup(shutil.rmtree, directory)
            os.chmod(directory, 0o777)
            program = self.started("--snapshots", directory)
            keeper = capture_process(program, "skevla-keeper")
            os.kill(keeper, signal.SIGSTOP)
            self.addCleanup(os.kill, keeper, signal.SIGKILL)
            for _ in range(10):  # some presses may share a paint
                press(self.display, program.window, "s")
            self.assertEqual(program.line(error=True), "skevla: cannot save the picture now: the "
                             "snapshot keeper is still saving the last ones")
            self.assertEqual(program.frame(datagram(40)), log_lines(40))
            return program

        def stopped_display():
            xvfb, display = start_xvfb()
            self.addCleanup(xvfb.wait)
            self.addCleanup(xvfb.kill)
            program = self.start(display=display, stdout=subprocess.DEVNULL)
            program.wait_until_ready()
            xvfb.send_signal(signal.SIGSTOP)
            send(*[random_datagram(9000, random.Random(1))] * 50)
            program.wait_until_in(WAITING_ON_X, "skevla to wait on the stopped X server")
            self.addCleanup(xvfb.send_signal, signal.SIGCONT)
            return program

        rows = [  # what it waits on, the signals sent, the exit status
            ("a file's header", quiet_header, [signal.SIGTERM], 0),
            ("a FIFO with no writer", fifo_without_writer, [signal.SIGINT], 0),
            ("a full standard error", full_error, [signal.SIGTERM], 0),
            ("a terminal nobody reads", unread_terminal, [signal.SIGTERM], 0),
            ("a stopped snapshot keeper", stopped_keeper, [signal.SIGTERM], 0),
            ("a stopped X server", stopped_display, [signal.SIGTERM, signal.SIGTERM], 143),
        ]
        for what, start, signals, status in rows:
            with self.subTest(waiting_on=what):
                program = start()
                self.assertIsNone(program.proc.poll())
                for number in signals:
                    program.signal(number)
                sent = time.monotonic()
                self.assertEqual(program.proc.wait(DEADLINE), status)
                took = time.monotonic() - sent
                print("\nwaiting on %s: ended %.3f s after the last signal" % (what, took),
                      file=sys.stderr)

    def test_closed_standard_descriptors(self):
        # Closed, they are not taken by the socket or the X connection.
        program = self.start(prefix=("sh", "-c", 'exec "$0" "$@" <&- >&-'))
        program.wait_until_ready()
        send(datagram(40))
        deadline = time.monotonic() + DEADLINE  # with no log, the counts tell
        while program.proc.send_signal(signal.SIGUSR1) or program.line(error=True) != counts(
                1).strip():
            self.assertLess(time.monotonic(), deadline, "the datagram was not counted")
            time.sleep(0.05)
        program.proc.send_signal(signal.SIGTERM)
        self.assertEqual(program.finish(), (0, b"", counts(1)))

    def test_count(self):
        # -c 3: three of five datagrams are logged, then the counts, status 0,
        # whether they come together or one at a time, each in a message of
        # its own.
        for together in (True, False):
            with self.subTest(together=together):
                program = self.started("-c", "3")
                lines = sum([log_lines(40 + 4 * n) for n in range(3)], [])
                if together:
                    send(*[datagram(40 + 4 * n) for n in range(5)])
                else:
                    for n in range(3):
                        send(datagram(40 + 4 * n))
                        self.assertEqual([program.line(), program.line()], lines[:2])
                        lines = lines[2:]
                        if n == 2:
                            send(datagram(60), datagram(64))
                self.assertEqual(program.finish(), (0, "\n".join(lines).encode() + (
                    b"\n" if lines else b""), counts(3)))

    def test_asleep_while_nothing_happens(self):
        program = self.started()
        program.wait_until_idle()


def from_source(data, source):
    """data with another IPv4 source address (a file's checksum is not checked)."""
    return data[:12] + socket.inet_aton(source) + data[16:]


ETHERNET = bytes(range(1, 13)) + b"\x08\x00"
SLL = bytes(14) + b"\x08\x00"
SLL2 = b"\x08\x00" + bytes(18)
# Two TCP datagrams and, between them, what a replay passes over: UDP.
TCP = [datagram(40), from_source(to_port(443, 61), "192.0.2.7")]
UDP = datagram(28)[:9] + b"\x11" + datagram(28)[10:]
LOGGED = log_lines(40) + log_lines(61, "192.0.2.7")
# The same over IPv6: one TCP datagram is shown, UDP is passed over.
TCP6 = ip6_datagram(64, struct.pack("!HH", 1234, 443), source="2001:db8::7")
UDP6 = ip6_datagram(48, next_header=17)
LOGGED_BOTH = LOGGED[:2] + log_lines(64, "2001:db8::7") + LOGGED[2:]


def logged_at(seconds):
    """How -v logs a stamp: the local time of day, to the microsecond."""
    whole = int(seconds)
    return time.strftime("%H:%M:%S", time.localtime(whole)) + ".%06d" % round(
        (seconds - whole) * 1e6)


def probed(path):
    """A video's duration, frame rate and size as ffprobe reads them, and
    what decoding all of it reports (nothing, for a sound file). The rate
    is constant where its average is the same, and named with it where not."""
    shown = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "format=duration:stream=r_frame_rate,avg_frame_rate,width,height",
                            "-of", "json", path], capture_output=True, text=True, check=True)
    info = json.loads(shown.stdout)
    stream = info["streams"][0]
    rate = stream["r_frame_rate"]
    if stream["avg_frame_rate"] != rate:
        rate += " (on average %s)" % stream["avg_frame_rate"]
    decoded = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"],
                             capture_output=True, text=True)
    return (float(info["format"].get("duration", "nan")), rate, (stream["width"], stream["height"]),
            decoded.stderr)


def frames_in(path):
    """How many frames a video holds, counted by reading it through."""
    return int(subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-select_streams",
                               "v:0", "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0",
                               path], capture_output=True, text=True).stdout.strip() or 0)


def video_frames(path, width, height):
    """A lossless video's frames, each as its RGB bytes, top row first."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-fps_mode", "passthrough", "-f",
                          "rawvideo", "-pix_fmt", "rgb24", "-"], capture_output=True,
                         check=True).stdout
    size = width * height * 3
    return [raw[at:at + size] for at in range(0, len(raw), size)]


class Replay(Run):
    def setUp(self):
        self.directory = tempfile.mkdtemp()
        os.chmod(self.directory, 0o755)
        self.addCleanup(shutil.rmtree, self.directory)

    def path(self, name):
        return os.path.join(self.directory, name)

    def replayed(self, path, *args, frames=2, **kwargs):
        """Replays path at top speed to its end; returns the program, its log
        read, asleep under the last picture."""
        program = self.started("-r", path, "-t", *args, **kwargs)
        lines = program.lines(2 * frames)
        program.wait_until_asleep()
        return program, lines

    def assert_ends(self, program, path, received, skipped):
        program.proc.send_signal(signal.SIGTERM)
        line = "skevla: %d datagram%s received from %s, %d packet%s skipped\n" % (
            received, "" if received == 1 else "s", path, skipped, "" if skipped == 1 else "s")
        self.assertEqual(program.finish(), (0, b"", line + line))  # at the end, then on leaving

    def tcpdump(self, interface):
        """A capture of TCP by tcpdump on interface, written as it comes."""
        path = self.path(interface + ".pcap")
        link = len(ETHERNET) if interface == "lo" else len(SLL2)
        size = 24 + sum(16 + link + len(data) for data in TCP + [TCP6])
        dump = tcpdump_into(self, path, interface, "tcp")
        send(TCP[0], TCP6, TCP[1])
        wait_for(lambda: os.path.getsize(path) >= size, "tcpdump to write %d bytes" % size,
                 lambda: "%d" % os.path.getsize(path))
        dump.terminate()
        dump.communicate()
        return path

    def test_link_types(self):
        def written(name, link_type, link, link6, writer=write_pcap):
            frames = [link + TCP[0], link + UDP, link6 + UDP6, link6 + TCP6, link + TCP[1]]
            writer(self.path(name), link_type, frames)
            return self.path(name)

        def v6(link):  # the same link header, naming IPv6
            return link[:-2] + b"\x86\xdd" if len(link) > 4 else link

        vlans = ETHERNET[:12] + b"\x88\xa8\x00\x05\x81\x00\x00\x07\x08\x00"
        rows = [  # file, packets skipped, the log, options
            (self.tcpdump("lo"), 0, LOGGED_BOTH),  # Ethernet
            (self.tcpdump("any"), 0, LOGGED_BOTH),  # Linux cooked v2
            (written("vlan.pcap", 1, vlans, v6(vlans)), 2, LOGGED_BOTH),
            # A filter has tcpdump's meaning for the file's own link type,
            # though raw IP has no VLANs.
            (self.path("vlan.pcap"), 0, log_lines(64, "2001:db8::7") + LOGGED[2:],
             ("-f", "vlan and vlan and tcp port 443")),
            (written("sll.pcap", 113, SLL, v6(SLL)), 2, LOGGED_BOTH),
            (written("sll2.pcap", 276, SLL2, b"\x86\xdd" + SLL2[2:]), 2, LOGGED_BOTH),
            (written("raw.pcap", 101, b"", b""), 2, LOGGED_BOTH),
            (written("ipv6.pcap", 229, b"", b""), 4, log_lines(64, "2001:db8::7")),
            # An IPv4 link type cannot carry IPv6: both are passed over.
            (written("ipv4.pcap", 228, b"", b""), 3, LOGGED),
            (written("null-le.pcap", 0, b"\x02\x00\x00\x00", b"\x1e\x00\x00\x00"), 2,
             LOGGED_BOTH),
            (written("null-be.pcap", 0, b"\x00\x00\x00\x02", b"\x00\x00\x00\x18"), 2,
             LOGGED_BOTH),
            (written("loop.pcap", 108, b"\x00\x00\x00\x02", b"\x00\x00\x00\x1c"), 2,
             LOGGED_BOTH),
            (written("ethernet.pcapng", 1, ETHERNET, v6(ETHERNET), write_pcapng), 2, LOGGED_BOTH),
        ]
        for path, skipped, logged, *options in rows:
            with self.subTest(file=os.path.basename(path), options=options):
                program, lines = self.replayed(path, *sum(options, ()), frames=len(logged) // 2)
                self.assertEqual(lines, logged)
                self.assert_ends(program, path, len(logged) // 2, skipped)

    def test_picture_filter_and_standard_input(self):
        # Ethernet padding is not part of the datagram; the filter has
        # tcpdump's meaning for the file's link type.
        poly = ETHERNET + Picture.POLY + bytes(60 - 14 - len(Picture.POLY))
        write_pcap(self.path("e.pcap"), 1, [poly, ETHERNET + TCP[1], ETHERNET + TCP[0]])
        program, lines = self.replayed(self.path("e.pcap"), "-f", "tcp dst port 443", frames=1)
        self.assertEqual(lines, LOGGED[2:])
        program.stop()
        # From a pipe that then goes quiet: what came is shown, and the
        # window is served while the pipe has nothing.
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, write_end)
        with open(self.path("e.pcap"), "rb") as capture:
            os.write(write_end, capture.read()[:-16 - len(ETHERNET + TCP[0])])
        program, lines = self.replayed("-", stdin=read_end)
        os.close(read_end)
        self.assertEqual(lines, log_lines(26) + LOGGED[2:])
        press(self.display, program.window, "Escape")
        self.assertEqual(program.finish(),
                         (0, b"", "skevla: 2 datagrams received from -, 0 packets skipped\n"))
        program, lines = self.replayed(self.path("e.pcap"), "-f", "len == 60", frames=1)
        self.assert_picture(program, {(250, 300): reddish, (450, 100): BLACK})

    def test_pipes_that_end_or_go_quiet(self):
        # A pipe that ends is the end of the file: the counts, the picture
        # held, the reader reaped, asleep; so also where SIGCHLD comes
        # ignored, and where standard error refuses the counts, which the
        # status then tells. One that goes quiet, even after a record not
        # drawn, leaves the window, Escape and the signals served, and its
        # reader, waiting on it, ends with skevla.
        write_pcap(self.path("raw.pcap"), 101, [TCP[0], UDP])
        with open(self.path("raw.pcap"), "rb") as capture:
            content = capture.read()
        escape = lambda program: press(self.display, program.window, "Escape")  # noqa: E731
        term = lambda program: program.proc.send_signal(signal.SIGTERM)  # noqa: E731
        ignore_sigchld = lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN)  # noqa: E731
        unread, gone = os.pipe()
        os.close(unread)
        self.addCleanup(os.close, gone)
        full = os.open("/dev/full", os.O_WRONLY)
        self.addCleanup(os.close, full)
        rows = [  # the pipe, whether it ends, how skevla is ended, its standard error,
            # what is set before it starts, its status
            ("ends", True, term, subprocess.PIPE, None, 0),
            ("ends, SIGCHLD ignored", True, term, subprocess.PIPE, ignore_sigchld, 0),
            ("ends, standard error full", True, escape, full, None, 1),
            ("ends, standard error's reader gone", True, escape, gone, None, 1),
            # A kernel or a container with no pidfd_open: ends are seen all the same.
            ("ends, no pidfd", True, term, subprocess.PIPE, refusing("pidfd_open"), 0),
            ("quiet, Escape", False, escape, subprocess.PIPE, None, 0),
            ("quiet, SIGTERM", False, term, subprocess.PIPE, None, 0),
        ]
        line = "skevla: 1 datagram received from -, 1 packet skipped\n"
        for name, ends, end, error, before, code in rows:
            with self.subTest(pipe=name):
                read_end, write_end = os.pipe()
                os.write(write_end, content)
                if ends:
                    os.close(write_end)
                else:
                    self.addCleanup(os.close, write_end)
                program, lines = self.replayed("-", frames=1, stdin=read_end, stderr=error,
                                               preexec_fn=before)
                os.close(read_end)
                self.assertEqual(lines, LOGGED[:2])
                reader = child_named(program, "skevla-reader")
                if ends and error == subprocess.PIPE:
                    self.assertEqual(program.line(error=True) + "\n", line)
                if ends:  # and the reader, done, is reaped
                    wait_for(lambda: child_named(program, "skevla-reader") is None,
                             "the reader to be reaped")
                program.wait_until_idle()
                end(program)
                self.assertEqual(program.finish(), (code, b"", line if error == subprocess.PIPE
                                                    else ""))
                if reader:
                    wait_for(lambda: gone_or_zombie(reader), "the reader to end with skevla")

    def test_watching_another_host(self):
        # A second namespace stands for the other host and a veth pair for
        # the link to it: tcpdump there writes into a pipe that skevla
        # replays, as with ssh HOST 'tcpdump -U -w - tcp' | skevla -r -.
        peer = "skevla-peer-%d" % os.getpid()
        subprocess.run(["ip", "netns", "add", peer], check=True)
        self.addCleanup(subprocess.run, ["ip", "netns", "del", peer], check=True)
        subprocess.run(["ip", "link", "add", "near0", "up", "type", "veth", "peer", "name", "far0",
                        "netns", peer], check=True)
        subprocess.run(["ip", "-n", peer, "link", "set", "far0", "up"], check=True)
        dump = subprocess.Popen(["ip", "netns", "exec", peer, "tcpdump", "-U", "-B", "32768", "-w",
                                 "-", "-i", "far0", "tcp"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(dump.communicate)
        self.addCleanup(dump.kill)
        listening(dump)
        program = self.start("-r", "-", stdin=dump.stdout)
        dump.stdout.close()
        with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as link:
            link.bind(("near0", 0))
            for data in TCP:  # to 127.0.0.1, which the far end's stack drops
                link.send(ETHERNET + data)
        self.assertEqual(program.lines(5), ["SKEVLA BEGIN"] + LOGGED)
        dump.terminate()
        self.assertEqual(program.line(error=True),
                         "skevla: 2 datagrams received from -, 0 packets skipped")
        program.proc.send_signal(signal.SIGTERM)
        self.assertEqual(program.finish()[0], 0)

    def test_log_that_cannot_be_written(self):
        write_pcap(self.path("raw.pcap"), 101, TCP + TCP)
        # Room for the banner, one datagram's lines and part of the next.
        limited = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))  # noqa: E731
        rows = [  # log, limit, standard output, standard error
            # The banner cannot be written: nothing has begun.
            ("/dev/full", None, b"", "skevla: cannot write the log: No space left on device\n"),
            # Part way: the counts of what was logged, then the cause.
            (self.path("log"), limited, ("SKEVLA BEGIN\n" + "\n".join(LOGGED)).encode()[:100],
             "skevla: 1 datagram received from %s, 0 packets skipped\n"
             "skevla: cannot write the log: File too large\n" % self.path("raw.pcap")),
        ]
        for log, limit, written, error in rows:
            with self.subTest(log=log), open(log, "w+b") as out:
                program = self.start("-r", self.path("raw.pcap"), "-t", stdout=out,
                                     preexec_fn=limit)
                self.assertEqual(program.finish(), (1, b"", error))
                if limit:  # /dev/full reads as endless zeros
                    self.assertEqual(os.pread(out.fileno(), 4096, 0), written)
        # A recording past the limit: its real cause after the counts, and
        # the file cut back to its last whole record, which tcpdump reads
        # to the end: the header and two records of 56 and 77 bytes.
        record = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (170, 170))  # noqa: E731
        program = self.start("-r", self.path("raw.pcap"), "-t", "-o", self.path("shown.pcap"),
                             preexec_fn=record)
        status, _, error = program.finish()
        self.assertEqual((status, error), (1, "skevla: 3 datagrams received from %s, 0 packets "
                                              "skipped\nskevla: cannot write %s: File too large\n"
                                           % (self.path("raw.pcap"), self.path("shown.pcap"))))
        self.assertEqual(os.path.getsize(self.path("shown.pcap")), 24 + 56 + 77)
        read = subprocess.run(["tcpdump", "-n", "-r", self.path("shown.pcap")],
                              capture_output=True, text=True)
        self.assertEqual((read.returncode, len(read.stdout.splitlines())), (0, 2), read.stderr)

    def test_files_written_only_as_told(self):
        # Started as root, -o and --video write a new file, 0600, or a
        # regular one of root's with one name: never through a link another
        # user planted, into a FIFO, another user's file, a second name of
        # a file or a directory, each refused at once with status 2 and
        # nothing changed.
        write_pcap(self.path("raw.pcap"), 101, TCP)
        public = self.path("public")
        os.mkdir(public)
        os.chmod(public, 0o1777)
        secret = self.path("secret")
        with open(secret, "wb") as kept:
            kept.write(b"root's own")
        os.chmod(secret, 0o600)

        def theirs(path):
            with open(path, "wb") as planted:
                planted.write(b"theirs")
            os.chown(path, 65534, 65534)

        rows = [  # how the file is planted, what it is said to be
            (lambda path: os.symlink(secret, path), "a symbolic link"),
            (lambda path: os.mkfifo(path, 0o666), "a FIFO"),
            (theirs, "another user's file"),
            (lambda path: os.link(secret, path), r"a file with other names \(hard links\)"),
            (os.mkdir, "a directory"),
        ]
        for option, name in (("-o", "shown.pcap"), ("--video", "shown.mkv")):
            path = os.path.join(public, name)
            for plant, said in rows:
                with self.subTest(option=option, planted=said):
                    plant(path)
                    status, out, error = self.start("-r", self.path("raw.pcap"), "-t", option,
                                                    path, display=None).finish()
                    self.assertEqual((status, out), (2, b""))
                    self.assertRegex(error, "^skevla: %s %s is %s; name .*\n$" % (
                        option, re.escape(path), said))
                    with open(secret, "rb") as kept:
                        self.assertEqual(kept.read(), b"root's own")
                    (os.rmdir if os.path.isdir(path) and not os.path.islink(path) else os.remove)(
                        path)
            for existing in (False, True):
                with self.subTest(option=option, existing=existing):
                    if existing:
                        with open(path, "wb") as earlier:
                            earlier.write(b"an earlier run" * 1000)
                        os.chmod(path, 0o644)
                    video = ("--video", path) if option == "--video" else ()
                    status, _, error = self.start("-r", self.path("raw.pcap"), "-t", "-c", "2",
                                                  *(video or ("-o", path))).finish()
                    self.assertEqual(status, 0, error)
                    made = os.stat(path)
                    self.assertEqual((made.st_uid, made.st_mode & 0o777),
                                     (0, 0o644 if existing else 0o600))
                    with open(path, "rb") as written:
                        self.assertNotIn(b"an earlier run", written.read())
                    os.remove(path)
        # Under sudo the files are for the user who ran it: theirs is
        # written, root's refused before anything starts.
        copy = copy_for_nobody(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, os.path.dirname(copy))
        path = os.path.join(public, "sudo.pcap")
        for owner, status in ((65534, 0), (0, 2)):
            with self.subTest(sudo_file_of=owner):
                with open(path, "wb") as earlier:
                    earlier.write(b"an earlier run")
                os.chown(path, owner, owner)
                code, _, error = self.start("-r", self.path("raw.pcap"), "-t", "-c", "2", "-o",
                                            path, prefix=SUDO, argv0=copy).finish()
                self.assertEqual(code, status, error)
                with open(path, "rb") as kept:
                    self.assertEqual(kept.read() == b"an earlier run", status == 2)
                os.remove(path)

    def test_under_a_profiler(self):
        # valgrind knows no pidfd_open, Landlock or seccomp: with
        # --no-sandbox, as the README offers for profilers, a run goes to its
        # end with status 0.
        if SANITIZED:
            self.skipTest("the sanitizers and valgrind do not go together")
        write_pcap(self.path("raw.pcap"), 101, TCP)
        status, out, error = self.start("--no-sandbox", "-r", self.path("raw.pcap"), "-t", "-c",
                                        "2", prefix=("valgrind", "--tool=memcheck", "-q")).finish()
        self.assertEqual((status, out.decode().splitlines()), (0, ["SKEVLA BEGIN"] + LOGGED),
                         error)
        self.assertIn("skevla: 2 datagrams received from %s" % self.path("raw.pcap"), error)

    def test_hostile_stamps(self):
        # Years ahead, then back before the first: each shown at once.
        write_pcapng(self.path("stamps.pcapng"), 101, TCP + TCP,
                     stamps=[10 ** 9, 2 ** 64 - 1, 0, 1])
        program = self.started("-r", self.path("stamps.pcapng"))
        self.assertEqual(program.lines(8), LOGGED + LOGGED)
        self.assertEqual(program.line(error=True),
                         "skevla: 4 datagrams received from %s, 0 packets skipped"
                         % self.path("stamps.pcapng"))
        # The video's clock keeps the same gaps, at the slowest speed too.
        status, _, error = self.start("-r", self.path("stamps.pcapng"), "-t", "-x", "0.01",
                                      "--video", self.path("stamps.mkv"), display=None).finish()
        self.assertEqual(status, 0, error)

    def test_paused_replay_keeps_its_clock(self):
        # Records a second apart: paused after the first for longer than
        # that, the second comes about a second after resuming.
        write_pcap(self.path("paced.pcap"), 101, TCP, step=1.0)
        program = self.started("-r", self.path("paced.pcap"))
        self.assertEqual(program.lines(2), LOGGED[:2])
        shown = time.monotonic()
        press(self.display, program.window, "space")
        # Paused, nothing is due and nothing spins, for longer than the gap
        # recorded.
        program.wait_until_idle()
        wait_for(lambda: time.monotonic() - shown > 1.5, "a pause longer than the gap")
        self.assert_silent(program)
        press(self.display, program.window, "space")
        resumed = time.monotonic()
        self.assertEqual(program.lines(2), LOGGED[2:])
        self.assertGreaterEqual(time.monotonic() - resumed, 0.8)

    def test_recording_and_speed(self):
        # -o: three datagrams shown, then SIGKILL: tcpdump reads all three,
        # and skevla replays them again.
        program = self.started("-o", self.path("shown.pcap"))
        for data in (datagram(40), ip6_datagram(60), datagram(44)):
            program.frame(data)
        program.proc.kill()
        read = subprocess.run(["tcpdump", "-n", "-r", self.path("shown.pcap")],
                              capture_output=True, text=True)
        self.assertEqual(len(read.stdout.splitlines()), 3, read.stderr)
        _, lines = self.replayed(self.path("shown.pcap"), frames=3)
        self.assertEqual(lines, log_lines(40) + log_lines(60, "::1") + log_lines(44))
        # -x 4: four records a second apart take three quarters of a second
        # at least (no gap is shortened), and about a quarter of the time
        # they take at the recorded pace. Measured from before the start, a
        # late start cannot shorten what is measured.
        write_pcap(self.path("paced.pcap"), 101, TCP + TCP, step=1.0)
        took = {}
        for speed in ("1", "4"):
            started = time.monotonic()
            program = self.start("-r", self.path("paced.pcap"), "-x", speed)
            self.assertEqual(program.lines(3)[1:], LOGGED[:2])
            first = time.monotonic()
            self.assertEqual(program.lines(6), LOGGED[2:] + LOGGED)
            took[speed] = (time.monotonic() - started, time.monotonic() - first)
            program.stop()
        self.assertGreaterEqual(took["1"][0], 3.0, took)
        self.assertGreaterEqual(took["4"][0], 0.75, took)
        self.assertGreater(took["1"][1] / took["4"][1], 2, took)

    def test_count_across_messages(self):
        # More than a message of the stream holds: -c ends the replay after
        # its count, whether that is every datagram or one less.
        data = [datagram(1000 + n) for n in range(300)]
        write_pcap(self.path("long.pcap"), 101, data)
        for count in (300, 299):
            with self.subTest(count=count):
                status, out, error = self.start("-r", self.path("long.pcap"), "-t", "-c",
                                                str(count)).finish()
                self.assertEqual((status, error), (0, (
                    "skevla: %d datagrams received from %s, 0 packets skipped\n" % (
                        count, self.path("long.pcap")))))
                self.assertEqual(out.decode().splitlines()[1:], sum(
                    [log_lines(1000 + n) for n in range(count)], []))

    def test_videos(self):
        # A replay's video runs at the recorded pace, whatever pace the
        # replay itself goes at, with or without a window, and every ending
        # leaves a file that plays. ffprobe's duration is the last picture's
        # time rounded up to a frame, plus that frame's own: within two
        # frames of the datagrams' span.
        step, count = 0.05, 60
        path = self.path("span.pcap")
        write_pcap(path, 101, [datagram(40 + 7 * n) for n in range(count)], step=step)

        def escape(program):
            press(self.display, program.window, "Escape")

        def close(program):
            close_window(self.display, program.window)

        def kill_encoder(program):
            os.kill(child_named(program, "skevla-encoder"), signal.SIGKILL)

        # A disk that fills within the video, after its first second.
        os.mkdir(self.path("small"))
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=24k,mode=0777", "tmpfs",
                        self.path("small")], check=True)
        self.addCleanup(subprocess.run, ["umount", self.path("small")])

        rows = [  # file, in a window, options, how it ends after the datagrams shown (None:
            # by itself), frame rate, size, exit status and the line that says why
            ("top.mp4", True, ["-t"], count, escape, "30/1", (500, 500), 0, ""),
            ("top.webm", False, ["-t"], count, None, "30/1", (500, 500), 0, ""),
            ("counted.mkv", False, ["-t", "-c", "30"], 30, None, "30/1", (500, 500), 0, ""),
            ("closed.mkv", True, ["-t"], count, close, "30/1", (500, 500), 0, ""),
            # H.264's and VP9's colours come in pairs of pixels: an odd side
            # gets a black line more.
            ("odd.mp4", False, ["-t", "-w", "301", "-h", "199", "--fps", "25"], count, None,
             "25/1", (302, 200), 0, ""),
            ("default size.mkv", False, ["-t", "-w", "-5"], count, None, "30/1", (300, 300), 0,
             ""),
            ("four times.webm", False, ["-t", "-x", "4"], count, None, "30/1", (500, 500), 0, ""),
            # Every frame there, in order, at the highest rate.
            ("thousand.mp4", False, ["-t", "--fps", "1000"], count, None, "1000/1", (500, 500), 0,
             ""),
            # Cut back to its last whole fragment: it plays to there. (The
            # disk fills after a second of video or more.)
            ("small/full.mp4", False, ["-t"], 20, None, "30/1", (500, 500), 1,
             "skevla: cannot write the video %s: No space left on device\n" % self.path(
                 "small/full.mp4")),
            ("terminated.webm", True, [], 20,
             lambda program: program.proc.send_signal(signal.SIGTERM), "30/1", (500, 500), 0, ""),
            ("killed.mp4", True, [], 20, lambda program: program.proc.kill(), "30/1", (500, 500),
             -signal.SIGKILL, None),
            # Cut off, MP4 keeps its fragments of a second written whole.
            ("encoder killed.mp4", True, [], 50, kill_encoder, "30/1", (500, 500), 1,
             "skevla: the video encoder ended: killed by SIGKILL\n"),
        ]
        for name, windowed, args, shown, end, rate, size, status, why in rows:
            with self.subTest(video=name):
                video = self.path(name)
                program = self.start("-r", path, "--video", video, *args,
                                     display=self.display if windowed else None)
                lines = program.lines(1 + 2 * shown)
                if end:
                    if windowed:
                        program.wait_for_window()
                    end(program)
                code, _, error = program.finish()
                # A paced run shows more before it ends.
                shown = max([shown] + [int(number) for number in re.findall(
                    r"skevla: (\d+) datagrams received", error)])
                counted = "skevla: %d datagrams received from %s, 0 packets skipped\n" % (
                    shown, path)
                self.assertEqual(code, status, error)
                if why is not None:
                    self.assertEqual(set(error.replace(why, "").splitlines(True)) - {counted},
                                     set(), error)
                duration, frame_rate, dimensions, damage = probed(video)
                self.assertEqual((frame_rate, dimensions, damage), (rate, size, ""))
                if status == 0:
                    frame = 1 / int(rate.split("/")[0])
                    speed = float(args[args.index("-x") + 1]) if "-x" in args else 1
                    self.assertLessEqual(abs(duration - step * (shown - 1) / speed),
                                         2 * frame + 1e-3)
                self.assertEqual(lines[0], "SKEVLA BEGIN")
        # A quiet night keeps ten seconds of its still picture.
        night = self.path("night.pcap")
        write_pcap(night, 101, [datagram(40), datagram(60), datagram(80)], step=3600)
        self.assertEqual(self.start("-r", night, "-t", "--video", self.path("night.webm"),
                                    display=None).finish()[0], 0)
        duration, frame_rate, _, damage = probed(self.path("night.webm"))
        self.assertEqual((frame_rate, damage), ("30/1", ""))
        self.assertLessEqual(abs(duration - 20), 2 / 30)
        # A run refused touches no file it names: one that was there is as
        # it was, one that was not is not made; nor is one -r reads.
        kept, made = self.path("kept.webm"), self.path("made.pcap")
        with open(kept, "wb") as earlier:
            earlier.write(b"an earlier video")
        rows = [  # options, display, exit status
            (["--video", kept, "-f", "udp"], None, 2),
            (["--video", kept, "-w", "16384", "-h", "16384"], None, 2),
            (["--video", kept, "-o", self.path("kept.webm")], None, 2),
            (["--video", kept, "-w", "32767", "-h", "300"], self.display, 2),  # past the GL's
            (["-o", made], "unix:97", 1),  # no display answers
            (["-o", made, "-r", self.path("none.pcap")], None, 1),
            (["-o", made, "-f", "tcp port"], self.display, 2),
            (["-o", path], self.display, 2),  # the file -r reads
        ]
        for args, display, status in rows:
            with self.subTest(refused=args):
                code, out, _ = self.start("-r", path, "-t", *args, display=display).finish()
                self.assertEqual((code, out), (status, b""))
                with open(kept, "rb") as earlier:
                    self.assertEqual(earlier.read(), b"an earlier video")
                self.assertFalse(os.path.exists(made))
                self.assertEqual(os.path.getsize(path), 24 + count * 16 + sum(
                    len(datagram(40 + 7 * n)) for n in range(count)))

    def test_video_frames_are_the_pictures(self):
        # Lossless, the video's frames are the window's pictures pixel for
        # pixel: the last is the snapshot s takes of the last datagram;
        # drawn off screen, they are the same.
        count = 20
        path = self.path("shown.pcap")
        write_pcap(path, 101, [datagram(26 + 13 * n, signed(-10 + n, 90, 90 - n, 90))
                               for n in range(count)], step=0.1)
        snapshots = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, snapshots)
        os.chmod(snapshots, 0o777)
        program, _ = self.replayed(path, "--video", self.path("window.mkv"), "--snapshots",
                                   snapshots, frames=count)
        press(self.display, program.window, "s")
        while not (line := program.line(error=True)).startswith("skevla: saved "):
            pass
        snapshot = png_pixels(os.path.join(snapshots, line.split()[-1]))
        press(self.display, program.window, "Escape")
        self.assertEqual(program.finish()[0], 0)
        status, _, error = self.start("-r", path, "-t", "--video", self.path("screen.mkv"),
                                      display=None).finish()
        self.assertEqual(status, 0, error)
        frames = video_frames(self.path("window.mkv"), 500, 500)
        self.assertEqual(frames[-1], bytes(value for row in snapshot for pixel in row
                                           for value in pixel))
        self.assertEqual(frames, video_frames(self.path("screen.mkv"), 500, 500))
        self.assertGreater(len(set(frames)), count // 2)
        # Live, each datagram's picture, as s saves it, is a frame of the
        # video: the frame read back from what the window drew. (At 1000
        # frames a second, its frame is due before the next can come.)
        program = self.started("--video", self.path("live.mkv"), "--snapshots", snapshots,
                               "--fps", "1000")
        saved = []
        for n in range(3):
            program.frame(datagram(26 + 40 * n, signed(-10 - 20 * n, 90, 90 - 30 * n, 90)))
            press(self.display, program.window, "s")
            saved.append(png_pixels(os.path.join(snapshots, re.fullmatch(
                r"skevla: saved (\S+)", program.line(error=True)).group(1))))
        press(self.display, program.window, "Escape")
        self.assertEqual(program.finish()[0], 0)
        frames = set(video_frames(self.path("live.mkv"), 500, 500))
        for picture in saved:
            self.assertIn(bytes(value for row in picture for pixel in row for value in pixel),
                          frames)

    def test_killed_runs_keep_all_but_their_last_second(self):
        # Live, a burst, then a picture that stands still: every second is
        # in the file as it passes, so a run killed whole (the viewer and
        # the encoder at once, as the OOM killer would) keeps all but its
        # last second, in each kind, and what it keeps plays.
        for name in ("killed.mp4", "killed.webm", "killed.mkv"):
            with self.subTest(video=name):
                video = self.path(name)
                program = self.start("--video", video, display=None)
                self.assertEqual(program.line(), "SKEVLA BEGIN")
                program.wait_until_asleep()
                for size in (40, 60, 80):
                    self.assertEqual(program.frame(datagram(size)), log_lines(size))
                wait_for(lambda: frames_in(video) >= 90,
                         "three seconds of a still picture in " + name)
                # Both stopped first, so that neither sees the other end.
                both = (child_named(program, "skevla-encoder"), program.pid)
                for number in (signal.SIGSTOP, signal.SIGKILL):
                    for pid in both:
                        os.kill(pid, number)
                self.assertEqual(program.finish()[0], -signal.SIGKILL)
                _, frame_rate, size, damage = probed(video)
                self.assertEqual((frame_rate, size, damage), ("30/1", (500, 500), ""))
                self.assertGreaterEqual(frames_in(video), 90)

    def test_encoder_holds_to_its_limits(self):
        # Frames sent to the encoder on the viewer's own channel, as a
        # subverted viewer could send them: what the run's video could not
        # be ends the encoder, which the viewer then says, status 1.
        def frame(channel, width, height, pts, size):
            pixels = [os.memfd_create("pixels")] if size is not None else []
            if pixels:
                os.write(pixels[0], bytes(size))
            socket.send_fds(channel, [RECORD_HEADER.pack(FRAME, 16) +
                                      struct.pack("IIq", width, height, pts)], pixels)
            for fd in pixels:
                os.close(fd)

        whole = 500 * 500 * 3
        rows = [  # frames: width, height, time in frames, bytes of pixels (None: none sent)
            [(32767, 32767, 100, 3)],  # not the video's size
            [(500, 500, 100, whole - 1)],  # pixels that are not the frame's
            [(500, 500, 100, None)],  # no pixels
            [(500, 500, 100, whole), (500, 500, 99, whole)],  # back in time
        ]
        for frames in rows:
            with self.subTest(frames=frames):
                program = self.start("--video", self.path("run.mp4"), display=None)
                self.assertEqual(program.line(), "SKEVLA BEGIN")
                program.wait_until_asleep()
                encoder = capture_process(program, "skevla-encoder")
                with socket.socket(fileno=descriptor_of(program.pid,
                                                        peer_of(encoder, 3))) as channel:
                    for sent in frames:
                        frame(channel, *sent)
                status, _, error = program.finish()
                self.assertEqual(status, 1)
                self.assertTrue(error.endswith(
                    "skevla: the video encoder ended: exited with status 1\n"), error)

    def test_video_progress_on_a_terminal(self):
        # Rendered as fast as it goes, one line on a terminal says how far it
        # is, rewritten in place and taken away before the counts; none
        # reaches a pipe (the other tests' standard error), nor a terminal
        # the log scrolls, nor comes once the replay has ended.
        path = self.path("span.pcap")
        write_pcap(path, 101, [datagram(40 + n) for n in range(60)], step=0.05)
        counted = r"skevla: 60 datagrams received from %s, 0 packets skipped\r\n"
        rows = [  # replayed, the log on the terminal too, in a window, what the terminal shows
            (path, False, False, r"^(\rskevla: \d+% of the file read, 0:00:0\d of video made"
                                 r"\x1b\[K)+\r\x1b\[K" + counted % re.escape(path) + "$"),
            ("-", False, False, r"^(\rskevla: 0:00:0\d of video made\x1b\[K)+\r\x1b\[K" +
             counted % "-" + "$"),
            (path, True, False, r"^SKEVLA BEGIN\r\n(Bytes received --> +\d+\r\nSource address "
                                r"--> 127\.0\.0\.1\r\n){60}" + counted % re.escape(path) + "$"),
            # Ended in a window, which stays until Escape: the counts at the
            # end of the file and at Escape, and nothing more.
            (path, False, True, r"^(\rskevla: \d+% of the file read, 0:00:0\d of video made"
                                r"\x1b\[K)+\r\x1b\[K(" + counted % re.escape(path) + "){2}$"),
        ]
        for replayed, log_too, windowed, shown_pattern in rows:
            with self.subTest(replayed=replayed, log_too=log_too, windowed=windowed):
                terminal, side = pty.openpty()
                feeding = subprocess.Popen(["cat", path], stdout=subprocess.PIPE)
                program = self.start("-r", replayed, "-t", "--video", self.path("long.webm"),
                                     display=self.display if windowed else None, stderr=side,
                                     stdin=feeding.stdout,
                                     stdout=side if log_too else subprocess.PIPE)
                feeding.stdout.close()
                feeding.wait()
                os.close(side)
                shown = b""

                def read_on():
                    nonlocal shown
                    try:
                        chunk = os.read(terminal, 4096)
                    except OSError:  # the other side closed
                        return True
                    shown += chunk
                    return not chunk

                if windowed:
                    while b"datagrams received" not in shown:
                        self.assertFalse(read_on(), shown)
                    program.wait_for_window()
                    program.wait_until_idle()
                    press(self.display, program.window, "Escape")
                while not read_on():
                    pass
                os.close(terminal)
                self.assertEqual(program.finish()[0], 0)
                self.assertRegex(shown.decode(), shown_pattern)

    def test_recorded_pace(self):
        # A second apart, as recorded: the last of four three seconds or
        # more after the start.
        write_pcap(self.path("paced.pcap"), 101, TCP + TCP, step=1.0)
        started = time.monotonic()
        program = self.started("-r", self.path("paced.pcap"))
        self.assertEqual(program.lines(8), LOGGED + LOGGED)
        self.assertGreaterEqual(time.monotonic() - started, 3.0)

    def test_without_privilege(self):
        write_pcap(self.path("raw.pcap"), 101, TCP)
        program, lines = self.replayed(self.path("raw.pcap"), argv0=copy_for_nobody(
            self.directory), prefix=AS_NOBODY + ("--inh-caps=-all",))
        self.assertEqual(lines, LOGGED)

    def ten_minutes(self):
        """A capture of ten minutes, a datagram every 100 ms, each its own size,
        the first at 1000 s."""
        path = self.path("ten.pcap")
        write_pcap(path, 101, [datagram(40 + number % 1400) for number in range(6000)], step=0.1)
        return path

    def piped(self, path):
        """path's bytes through a pipe, as cat gives them."""
        cat = subprocess.Popen(["cat", path], stdout=subprocess.PIPE)
        self.addCleanup(cat.wait)
        self.addCleanup(cat.kill)
        return cat.stdout

    def pause_and_drain(self, program):
        """Pauses the replay, and passes over what it logged before; returns
        the last line of that."""
        press(self.display, program.window, "space")
        program.wait_until_asleep()
        while select.select([program.proc.stdout], [], [], 0)[0]:
            chunk = os.read(program.proc.stdout.fileno(), 65536)
            if not chunk:
                break
            program.pending += chunk
        last = program.pending.rstrip(b"\n").rsplit(b"\n", 1)[-1].decode()
        program.pending = b""
        return last

    def test_clips_by_time(self):
        capture = self.ten_minutes()
        for name, source in [("file", capture), ("pipe", "-")]:
            with self.subTest(source=name):
                clip, video = self.path(name + ".pcap"), self.path(name + ".mp4")
                program = self.start("-r", source, "--from", "1:00", "--to", "90s", "-t",
                                     "-o", clip, "--video", video, display=None,
                                     stdin=self.piped(capture) if source == "-" else None)
                status, out, error = program.finish()
                self.assertEqual(status, 0, error)
                # Both ends of the half minute, 301 datagrams: none before,
                # none after, and those before counted as passed over.
                self.assertEqual(error, "skevla: 301 datagrams received from %s, 0 packets "
                                 "skipped, 600 packets passed over\n" % source)
                stamps = subprocess.run(["tcpdump", "-n", "-tt", "-r", clip], capture_output=True,
                                        text=True, check=True).stdout.split("\n")[:-1]
                self.assertEqual(len(stamps), 301)
                self.assertEqual((stamps[0].split()[0], stamps[-1].split()[0]),
                                 ("1060.000000", "1090.000000"))
                duration, rate, _, decoded = probed(video)
                self.assertAlmostEqual(duration, 30, delta=0.1)
                self.assertEqual((rate, decoded), ("30/1", ""))
        # A time past the end is refused, by the file's headers at once, by a
        # pipe at its end; what was there stays.
        precious = self.path("precious.pcap")
        for source in [capture, "-"]:
            with self.subTest(past_the_end=source):
                with open(precious, "wb") as kept:
                    kept.write(b"kept")
                program = self.start("-r", source, "--from", "10:01", "-t", "-o", precious,
                                     stdin=self.piped(capture) if source == "-" else None)
                status, _, error = program.finish()
                self.assertEqual(status, 2)
                self.assertRegex(error, "skevla: --from 0:10:01.0 is past the end of %s, "
                                 "which lasts 0:09:59.9\n$" % re.escape(source))
                if source != "-":
                    with open(precious, "rb") as kept:
                        self.assertEqual(kept.read(), b"kept")

    def test_keys_move_a_replay(self):
        capture = self.ten_minutes()
        program = self.started("-r", capture, "-v")
        self.pause_and_drain(program)

        def lands(keys, at):
            press(self.display, program.window, *keys)
            self.assertEqual(program.line().split()[0], logged_at(at), keys)

        # Paused, a jump shows the picture where it lands, one datagram.
        rows = [  # keys, the stamp of the datagram shown
            (["5"], 1300),       # half of ten minutes
            (["End"], 1599.9),   # the last
            (["Home"], 1000),    # the first, after the end
            (["Right"], 1000.1), # paused: the next one
            (["Up"], 1060.1),    # a minute on
            (["Left"], 1055.1),  # five seconds back
            (["Down"], 1000),    # a minute back, kept to the start
            (["9"], 1540),
        ]
        for keys, at in rows:
            lands(keys, at)
        program.wait_until_asleep()
        self.assert_silent(program)
        # Going on, it plays on from there.
        press(self.display, program.window, "space")
        self.assertEqual(program.line().split()[0], logged_at(1540.1))
        program.proc.send_signal(signal.SIGTERM)
        status, _, error = program.finish()
        self.assertEqual(status, 0)
        self.assertRegex(error, r"\d+ packets passed over\n$")

    def test_a_pipe_goes_on_but_never_back(self):
        capture = self.ten_minutes()
        program = self.started("-r", "-", "-v", stdin=self.piped(capture))
        last = self.pause_and_drain(program).split()[0]
        # Where it was paused: the datagrams are 100 ms apart from 1000 s.
        paused_at = next(1000 + number / 10 for number in range(6000)
                         if logged_at(1000 + number / 10) == last)
        press(self.display, program.window, "Up")
        self.assertEqual(program.line().split()[0], logged_at(paused_at + 60))
        for keys in (["Left"], ["Home"]):
            press(self.display, program.window, *keys)
            self.assertEqual(program.line(error=True),
                             "skevla: a replay from a pipe cannot go back, only on")
        program.wait_until_asleep()
        self.assert_silent(program)

    def test_files_refused(self):
        banner = b"SKEVLA BEGIN\n"
        write_pcap(self.path("usb.pcap"), 189, TCP)
        write_pcap(self.path("cut.pcap"), 101, TCP + TCP)
        with open(self.path("cut.pcap"), "r+b") as cut:
            cut.truncate(os.path.getsize(self.path("cut.pcap")) - 5)
        write_pcapng(self.path("claims.pcapng"), 101, TCP)
        with open(self.path("claims.pcapng"), "ab") as claims:  # a block of a megabyte, cut
            claims.write(struct.pack("<II", 6, 1 << 20) + bytes(100))
        with open(self.path("text.pcap"), "w") as text:
            text.write("not a capture\n" * 4)
        # Root's alone: under sudo the file is opened as the user who ran it.
        locked = os.path.join(self.directory, "locked")
        os.mkdir(locked, 0o700)
        write_pcap(os.path.join(locked, "secret.pcap"), 101, TCP)
        copy = copy_for_nobody(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, os.path.dirname(copy))
        rows = [  # file, options, prefix, exit status, standard output, standard error (a pattern)
            ("none.pcap", [], (), 1, b"", r"none\.pcap: No such file or directory"),
            ("text.pcap", [], (), 1, b"", r"text\.pcap: .*format"),
            ("usb.pcap", [], (), 1, b"", r"usb\.pcap: link type 189 \(USB_LINUX\) is not supported"),
            ("raw.pcap", ["-f", "tcp port"], (), 2, b"", r"syntax error"),
            ("raw.pcap", ["-f", "udp"], (), 2, b"", r"'udp': it admits no TCP, and skevla shows "
                                                    r"TCP alone"),
            # One line, as live: what cannot be printed is escaped.
            ("raw.pcap", ["-f", "tcp\nfoo"], (), 2, b"", r"'tcp\\nfoo': .*syntax error"),
            # The counts, then the cause.
            ("cut.pcap", ["-t"], (), 1,
             banner + ("\n".join(LOGGED + LOGGED[:2]) + "\n").encode(),
             r"3 datagrams received from .*cut\.pcap, 0 packets skipped\nskevla: .*cut\.pcap: "
             r"truncated"),
            # The sanitizers' runtime gets what it needs in the box too.
            ("claims.pcapng", ["-t"], (), 1,
             banner + ("\n".join(LOGGED) + "\n").encode(),
             r"2 datagrams received from .*claims\.pcapng, 0 packets skipped\nskevla: "
             r".*claims\.pcapng: truncated pcapng dump file"),
            # As root, a file of root's is opened before root is given up.
            ("locked/secret.pcap", ["-t", "-c", "2"], (), 0,
             banner + ("\n".join(LOGGED) + "\n").encode(), r"2 datagrams received from"),
            ("locked/secret.pcap", [], SUDO, 1, b"", r"secret\.pcap: Permission denied"),
            ("locked/none.pcap", [], SUDO, 1, b"", r"none\.pcap: Permission denied"),
            ("/dev/null", [], (), 1, b"", r"/dev/null: truncated dump file"),
            ("/dev/zero", [], (), 1, b"", r"/dev/zero: unknown file format"),
            ("-", [], ("sh", "-c", 'exec "$0" "$@" </dev/null'), 1, b"",
             r"-: truncated dump file"),
        ]
        write_pcap(self.path("raw.pcap"), 101, TCP)
        for name, args, prefix, status, out, error in rows:
            with self.subTest(file=name):
                path = name if name.startswith(("/", "-")) else self.path(name)
                code, stdout, stderr = self.start("-r", path, *args, prefix=prefix,
                                                  argv0=copy if prefix == SUDO else SKEVLA).finish()
                self.assertEqual((code, stdout), (status, out))
                self.assertRegex(stderr, r"^skevla: .*%s.*\n$" % error)


class Timed(unittest.TextTestResult):
    """Notes how long each test takes, to name the slowest at the end."""
    took = {}

    def startTest(self, test):
        self.started = time.monotonic()
        super().startTest(test)

    def stopTest(self, test):
        Timed.took[test.id().split(".", 1)[1]] = time.monotonic() - self.started
        super().stopTest(test)


def end_strays():
    """Ends any process of ours that a failed test left holding our standard
    output, which would keep ctest waiting for its end until the timeout."""
    ours, ancestors, pid = os.fstat(1), set(), os.getpid()
    while pid > 1:
        ancestors.add(pid)
        with open("/proc/%d/stat" % pid) as stat:
            pid = int(stat.read().rsplit(")", 1)[1].split()[1])
    for pid in map(int, filter(str.isdigit, os.listdir("/proc"))):
        try:
            held = os.stat("/proc/%d/fd/1" % pid)
            stray = (pid not in ancestors and os.getpgid(pid) == os.getpgrp()
                     and (held.st_dev, held.st_ino) == (ours.st_dev, ours.st_ino))
            if stray:
                with open("/proc/%d/comm" % pid) as comm:
                    print("ending %s, left running by a test" % comm.read().strip(),
                          file=sys.stderr)
                os.kill(pid, signal.SIGKILL)
        except OSError:
            continue


if __name__ == "__main__":
    readable = suppressions_for_all()
    run = unittest.main(testRunner=unittest.TextTestRunner(verbosity=2, resultclass=Timed),
                        exit=False)
    if readable:
        shutil.rmtree(readable)
    end_strays()
    name, took = max(Timed.took.items(), key=lambda item: item[1])
    # Beside the binary, for scripts/test's summary.
    with open(os.path.join(os.path.dirname(SKEVLA), "e2e-slowest.txt"), "w") as slowest:
        slowest.write("%s %.1f s\n" % (name, took))
    sys.exit(not run.result.wasSuccessful())
