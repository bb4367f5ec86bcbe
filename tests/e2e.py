"""End-to-end tests: the real skevla binary under Xvfb, fed crafted IPv4
datagrams on the loopback of a private network namespace.

Run as root inside a fresh network namespace (unshare --net), with the path
of the binary as the only argument.
"""

import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from harness import (DEADLINE, Skevla, datagram, log_lines, pixel, send, signed, start_xvfb,
                     window_image, xdotool)

SKEVLA = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else "build/skevla"
AS_NOBODY = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")


def copy_for_nobody(directory):
    """A copy of the binary where user 65534 can run it: the build tree may
    lie below a home directory that others cannot enter."""
    os.chmod(directory, 0o755)
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
USAGE = b"Usage: -md(dot) -ml(line) -mp(poly) [DEFAULT] -h winy(int) -w winx(int)\n"


def reddish(colour):
    return colour[0] > 64 and colour[1] == colour[2] == 0


class Capture(Run):
    def test_banner_and_log_lines(self):
        program = self.started()
        for size in (41, 44, 20, 65535, 21):
            with self.subTest(size=size):
                self.assertEqual(program.frame(datagram(size)), log_lines(size))

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
        with tempfile.TemporaryDirectory() as directory:
            program = self.start(argv0=copy_for_nobody(directory), prefix=AS_NOBODY + (
                "--inh-caps=-all",))
            status, out, error = program.finish()
        self.assertEqual((status, out), (1, b""))
        self.assertRegex(error, r"^skevla: cannot open a raw TCP socket: Operation not permitted;"
                                r" .*root.*cap_net_raw.*\n$")

    def test_without_display_fails_at_once(self):
        status, out, error = self.start(display=None).finish()
        self.assertEqual((status, out), (1, b"SKEVLA BEGIN\n"))
        self.assertRegex(error, r"^skevla: .*display.*; set DISPLAY .*\n$")


class Privileges(Run):
    """Nothing privileged is held while datagrams are handled."""

    def assert_holds_nothing(self, program):
        with open("/proc/%d/status" % program.proc.pid) as status:
            fields = dict(line.split(":\t", 1) for line in status.read().splitlines())
        held = {key: fields[key].strip()
                for key in ("CapInh", "CapPrm", "CapEff", "CapAmb", "NoNewPrivs")}
        self.assertEqual(held, {"CapInh": "0" * 16, "CapPrm": "0" * 16, "CapEff": "0" * 16,
                                "CapAmb": "0" * 16, "NoNewPrivs": "1"})
        self.assertEqual(program.frame(datagram(40)), log_lines(40))

    def test_started_as_root(self):
        self.assert_holds_nothing(self.started())

    def test_started_as_nobody_through_file_capability(self):
        with tempfile.TemporaryDirectory() as directory:
            copy = copy_for_nobody(directory)
            subprocess.run(["setcap", "cap_net_raw=ep", copy], check=True)
            program = self.started(argv0=copy, prefix=AS_NOBODY)
            self.assertEqual(os.stat("/proc/%d" % program.proc.pid).st_uid, 65534)
            self.assert_holds_nothing(program)


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

    def test_resize_scales_next_frame(self):
        program = self.started()
        program.frame(self.POLY)
        self.assert_picture(program, {(250, 300): reddish})
        xdotool(self.display, "windowsize", program.window, "1000", "300")
        # The frame in flight is drawn at the old size; the resize is served
        # after it, and the frame after that scales by the new size.
        program.frame(datagram(40))
        program.frame(self.POLY)
        # Now sx is 10 and sy 3: the fan runs from (690, 0) to (100, 270) and
        # (900, 270), which covers (700, 150) and leaves (250, 280) black.
        self.assert_picture(program, {(700, 150): reddish, (250, 280): BLACK, (950, 50): BLACK},
                            size=(1000, 300))

    def test_next_frame_shows_only_its_own_datagram(self):
        program = self.started()
        program.frame(self.POLY)
        self.assert_picture(program, {(250, 300): reddish})
        program.frame(datagram(40))
        self.assert_picture(program, {(250, 300): BLACK, (100, 400): BLACK})


class Options(Run):
    def test_command_line_that_starts_nothing(self):
        rows = [  # arguments, exit status, standard output, standard error
            (["--bogus"], 2, b"", USAGE),
            (["300"], 2, b"", USAGE),
            (["-m", "d"], 2, b"", USAGE),
            (["-display", self.display], 2, b"", USAGE),
            (["-ml", "-w"], 2, b"", USAGE),
            (["-h"], 2, b"", USAGE),
            (["--help"], 0, USAGE, b""),
        ]
        for args, status, out, error in rows:
            with self.subTest(args=args):
                program = self.start(*args)
                code, stdout, stderr = program.finish()
                self.assertEqual((code, stdout, stderr.encode()), (status, out, error))

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


def random_datagram(size, rng):
    """size bytes of a sound header and random bytes after it, but for a TCP
    data offset below 5 (the stack drops it silently)."""
    body = bytearray(rng.randbytes(max(size - 20, 0)))
    if len(body) > 12:
        body[12] &= 0x4F
    return datagram(size, body)


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

    def test_random_flood_then_a_known_datagram(self):
        rng = random.Random(11)
        pool = [random_datagram(rng.randint(20, 65535), rng) for _ in range(64)]
        with tempfile.TemporaryFile() as log:
            program = self.start(stdout=log)
            program.wait_until_ready()
            sent, end = 0, time.monotonic() + 3
            while time.monotonic() < end:  # pauses leave the program a core
                send(*pool)
                sent += len(pool)
                time.sleep(0.002)
            program.wait_until_quiet(log)
            send(datagram(1234))
            program.wait_until_quiet(log)
            self.assertIsNone(program.proc.poll())
            lines = os.pread(log.fileno(), 1 << 24, 0).decode().split("\n")
        self.assertEqual(lines[0], "SKEVLA BEGIN")
        self.assertEqual(lines[-3:], log_lines(1234) + [""])
        pairs = list(zip(lines[1:-1:2], lines[2:-1:2]))
        for count, source in pairs:
            self.assertRegex(count, r"^Bytes received --> [ \d]{5}$")
            self.assertTrue(20 <= int(count.split()[-1]) <= 65535, count)
            self.assertEqual(source, "Source address --> 127.0.0.1")
        self.assertEqual(len(lines), 2 * len(pairs) + 2)
        print("\nflood: %d datagrams sent, %d logged" % (sent, len(pairs) - 1), file=sys.stderr)

    def test_losing_the_display(self):
        xvfb, display = start_xvfb()
        try:
            program = self.start(display=display)
            self.assertEqual(program.line(), "SKEVLA BEGIN")
            program.wait_until_ready()
            self.assertEqual(program.frame(datagram(40)), log_lines(40))
        finally:
            xvfb.kill()
            xvfb.wait()
        send(datagram(44))
        status, out, error = program.finish()
        self.assertEqual(status, 1)
        self.assertEqual(out.decode().splitlines(), log_lines(44))
        self.assertRegex(error, "X connection to %s broken" % re.escape(display))


class Keys(Run):
    def test_escape_ends_after_next_datagram_and_q_does_nothing(self):
        program = self.started()
        xdotool(self.display, "mousemove", "--window", program.window, "250", "250")
        xdotool(self.display, "key", "q", "Q")
        self.assertEqual(program.frame(datagram(40)), log_lines(40))
        xdotool(self.display, "key", "Escape")
        time.sleep(0.5)
        self.assertIsNone(program.proc.poll(), "Escape acted before the next datagram")
        self.assertEqual(program.frame(datagram(60)), log_lines(60))
        self.assertEqual(program.finish()[0], 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
