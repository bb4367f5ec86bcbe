"""Drives skevla for the end-to-end tests and the benchmark: an Xvfb server,
crafted IPv4 datagrams sent with IP_HDRINCL to 127.0.0.1 and IPv6 ones whose
header is written here sent to ::1, the program's log read line by line as
it comes, its window read back with xwd.

Run as root in a private network namespace (unshare --net) whose loopback
carries only these datagrams. Each one carries a TCP header that the stack
drops silently (data offset below 5) or none at all, so each is one frame.
"""

import ctypes
import os
import select
import signal
import socket
import struct
import subprocess
import time

# The one deadline for whatever a test waits for: a window shown, a line
# logged, a process ended, a file written. Every wait ends as soon as its
# condition holds, so a generous deadline costs nothing when things work; a
# slow machine raises it with SKEVLA_TEST_DEADLINE (seconds).
DEADLINE = float(os.environ.get("SKEVLA_TEST_DEADLINE", "60"))
# The system calls a program is watched sleeping in, by name: skevla's wait
# (ppoll), XCB's (poll), the benchmark's floor's (recvfrom).
CALLS = {"x86_64": {"7": "poll", "271": "ppoll", "45": "recvfrom"},
         "aarch64": {"73": "ppoll", "207": "recvfrom"}}[os.uname().machine]
ASLEEP = ("ppoll", "recvfrom")


def wait_for(condition, what, seen=lambda: "nothing"):
    """Waits until condition() returns something true and returns it; fails
    after DEADLINE naming what it waited for and what it saw."""
    deadline, interval = time.monotonic() + DEADLINE, 0.002
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError("waited %g s for %s; saw %s" % (DEADLINE, what, seen()))
        time.sleep(interval)
        interval = min(2 * interval, 0.05)


def ip_header(size, tos=0):
    """An IPv4 header from 127.0.0.1 to 127.0.0.1 whose id makes the checksum
    come out 0, so every byte of the datagram is known in advance."""
    words = struct.unpack("!10H", struct.pack("!BBHHHBBH4s4s", 0x45, tos, size, 0, 0, 64, 6, 0,
                                              socket.inet_aton("127.0.0.1"),
                                              socket.inet_aton("127.0.0.1")))
    total = sum(words)
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    ident = 0xFFFF - total or 0xFFFF
    return struct.pack("!BBHHHBBH4s4s", 0x45, tos, size, ident, 0, 64, 6, 0,
                       socket.inet_aton("127.0.0.1"), socket.inet_aton("127.0.0.1"))


def datagram(size, body=b"", tos=0):
    """size bytes: the header, then body from offset 20, then zeros."""
    data = (ip_header(size, tos) + bytes(body)).ljust(size, b"\0")[:size]
    assert size < 33 or data[32] >> 4 < 5, "the TCP stack would answer this one"
    return data


def ip6_datagram(size, body=b"", source="::1", next_header=6):
    """size bytes: an IPv6 header from source to ::1, then body from offset
    40, then zeros; TCP (with a data offset of 0) unless next_header says
    otherwise."""
    header = struct.pack("!IHBB16s16s", 0x60000000, size - 40, next_header, 64,
                         socket.inet_pton(socket.AF_INET6, source),
                         socket.inet_pton(socket.AF_INET6, "::1"))
    return (header + bytes(body)).ljust(size, b"\0")[:size]


def random_datagram(size, rng):
    """size bytes of a sound header and random bytes after it, but for a TCP
    data offset below 5 (the stack drops it silently)."""
    body = bytearray(rng.randbytes(max(size - 20, 0)))
    if len(body) > 12:
        body[12] &= 0x4F
    return datagram(size, body)


def signed(*values):
    """Bytes from signed values: -20 is 0xEC, a full channel at 20 x scale."""
    return bytes(v & 0xFF for v in values)


def send(*datagrams):
    """Sends each datagram, header included: IPv4 ones to 127.0.0.1, IPv6
    ones to ::1."""
    with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW) as raw, \
            socket.socket(socket.AF_INET6, socket.SOCK_RAW, socket.IPPROTO_RAW) as raw6:
        for data in datagrams:
            if data[0] >> 4 == 6:
                raw6.sendto(data, ("::1", 0))
            else:
                raw.sendto(data, ("127.0.0.1", 0))


def flood(datagrams, seconds, stop=None):
    """Sends datagrams over and over for seconds, or until the event stop
    is set, in bursts every millisecond that overfill a receiver's socket
    buffer yet leave the CPU mostly to the programs watched. Returns how
    many were sent."""
    sent, end = 0, time.monotonic() + seconds
    with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW) as raw:
        while time.monotonic() < end and not (stop and stop.is_set()):
            for data in datagrams:
                raw.sendto(data, ("127.0.0.1", 0))
            sent += len(datagrams)
            time.sleep(0.001)
    return sent


def log_lines(size, source="127.0.0.1"):
    return ["Bytes received --> %5d" % size, "Source address --> %s" % source]


def write_pcap(path, link_type, frames, step=0.0):
    """A pcap file of frames, the first stamped at 1000 s and each next one
    step seconds later."""
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, link_type))
        for number, frame in enumerate(frames):
            seconds, fraction = divmod(1000 + number * step, 1)
            out.write(struct.pack("<IIII", int(seconds), round(fraction * 1e6), len(frame),
                                  len(frame)) + frame)


def write_pcapng(path, link_type, frames, stamps=None):
    """The same in pcapng: a section, one interface, an enhanced packet a
    frame; stamps, in microseconds, default to a second apart from 1000 s."""
    def block(kind, body):
        body += b"\0" * (-len(body) % 4)
        return struct.pack("<II", kind, len(body) + 12) + body + struct.pack("<I", len(body) + 12)

    with open(path, "wb") as out:
        out.write(block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)))
        out.write(block(1, struct.pack("<HHI", link_type, 0, 65535)))
        for number, frame in enumerate(frames):
            stamp = stamps[number] if stamps else (1000 + number) * 10 ** 6
            out.write(block(6, struct.pack("<IIIII", 0, stamp >> 32, stamp & 0xFFFFFFFF,
                                           len(frame), len(frame)) + frame))


def start_xvfb():
    """An X server of its own. It never resets: by default a server resets
    when its last client leaves, and a program connecting meanwhile fails."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1600x1200x24",
                             "-nolisten", "tcp", "-ac", "-noreset"], pass_fds=[write_end],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    while not number.endswith(b"\n"):
        ready, _, _ = select.select([read_end], [], [], DEADLINE)
        chunk = os.read(read_end, 16) if ready else b""
        if not chunk:
            raise RuntimeError("Xvfb did not start")
        number += chunk
    os.close(read_end)
    return xvfb, ":" + number.decode().strip()


class Skevla:
    """One run of the program, its output read line by line as it comes."""

    def __init__(self, binary, display, *args, prefix=(), stdout=subprocess.PIPE, stdin=None,
                 stderr=subprocess.PIPE, preexec_fn=None, pass_fds=()):
        env = dict(os.environ, DISPLAY=display) if display else {
            k: v for k, v in os.environ.items() if k != "DISPLAY"}
        self.display = display
        # Windows of programs that run on, which are not this one's.
        self.others = set(find_windows(display, "--name", "^SKEVLA$")) if display else set()
        self.proc = subprocess.Popen([*prefix, binary, *args], env=env, stdin=stdin,
                                     stdout=stdout, stderr=stderr, preexec_fn=preexec_fn,
                                     pass_fds=pass_fds)
        self.pid = self.proc.pid  # the process whose sleep is watched: skevla's, under a wrapper
        self.pending = b""  # read from standard output, not yet taken
        self.error_pending = b""  # the same for standard error
        self.window = None
        self.error = None
        self.lag = None  # the warning that frames lag the traffic, once read

    def line(self, error=False):
        """The next line of standard output, or of standard error."""
        pipe, pending = ((self.proc.stderr, self.error_pending) if error
                         else (self.proc.stdout, self.pending))
        deadline = time.monotonic() + DEADLINE
        while b"\n" not in pending:
            ready, _, _ = select.select([pipe], [], [], deadline - time.monotonic())
            chunk = os.read(pipe.fileno(), 65536) if ready else b""
            if not chunk:
                raise AssertionError("no line on %s; so far %r" % (pipe, pending))
            pending += chunk
        line, pending = pending.split(b"\n", 1)
        if error:
            self.error_pending = pending
        else:
            self.pending = pending
        return line.decode()

    def lines(self, count):
        return [self.line() for _ in range(count)]

    def wait_for_window(self):
        def shown():
            if self.proc.poll() is not None:
                raise AssertionError("skevla ended with status %d before its window showed: %r"
                                     % (self.proc.returncode, self.stop()))
            return [window for window in find_windows(self.display, "--name", "^SKEVLA$")
                    if window not in self.others]
        self.window = wait_for(shown, "skevla's window to show")[0]

    def wait_until_ready(self):
        """Waits until the window is shown and the program sleeps, waiting
        for a datagram, so the next one sent is drawn in it."""
        self.wait_for_window()
        self.wait_until_asleep()

    def frame(self, data):
        """Sends one datagram and returns its two log lines once it has been
        drawn: the program is asleep again, or has ended."""
        send(data)
        lines = self.lines(2)
        self.wait_until_asleep()
        return lines

    def call(self):
        """The system call the program's main thread is in, by name (by
        number for one not named here), or "running"."""
        fields = self.call_fields()
        return CALLS.get(fields[0], fields[0])

    def call_fields(self):
        try:
            with open("/proc/%d/syscall" % self.pid) as syscall:
                return syscall.read().split() or ["gone"]
        except OSError:
            return ["gone"]

    def wait_until_idle(self):
        """Waits until the program sleeps in its wait with nothing due (no
        timeout) and has used no CPU since it was last looked at: nothing
        spins while nothing happens."""
        seen = [None]

        def idle():
            fields = self.call_fields()
            with open("/proc/%d/schedstat" % self.pid) as stat:
                used = stat.read().split()[0]
            still = (CALLS.get(fields[0]) == "ppoll" and fields[3] == "0x0"
                     and seen[0] == used)
            seen[0] = used
            return still
        wait_for(idle, "pid %d to sleep with nothing due" % self.pid,
                 lambda: "system call %s" % " ".join(self.call_fields()[:4]))

    def wait_until_in(self, calls, what):
        """Waits until the main thread sleeps in one of calls, or the
        program has ended."""
        wait_for(lambda: self.proc.poll() is not None or self.call() in calls, what,
                 lambda: "system call " + self.call())

    def wait_until_asleep(self):
        """Waits until the program sleeps in its wait, or has ended. The log
        is written before the frame is drawn, so the picture is there only
        then."""
        self.wait_until_in(ASLEEP, "pid %d to sleep in its wait" % self.pid)

    def signal_pending(self, number):
        with open("/proc/%d/status" % self.pid) as status:
            masks = [int(line.split()[1], 16) for line in status
                     if line.startswith(("SigPnd:", "ShdPnd:"))]
        return any(mask >> (number - 1) & 1 for mask in masks)

    def signal(self, number):
        """Sends signal number, and waits until the program has taken it
        (it is no longer pending), so a second one is not merged into it."""
        self.proc.send_signal(number)
        wait_for(lambda: self.proc.poll() is not None or not self.signal_pending(number),
                 "pid %d to take signal %d" % (self.pid, number))

    def wait_until_catching(self, number):
        """Waits until the program has its handler for signal number in place."""
        def caught():
            with open("/proc/%d/status" % self.pid) as status:
                mask = [line.split()[1] for line in status if line.startswith("SigCgt:")][0]
            return int(mask, 16) >> (number - 1) & 1
        wait_for(caught, "pid %d to catch signal %d" % (self.pid, number))

    def finish(self):
        """Waits for the end: exit status, the rest of standard output, and
        standard error."""
        try:
            out, err = self.proc.communicate(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            raise AssertionError("skevla did not end within %g s; it is in system call %s"
                                 % (DEADLINE, self.call())) from None
        self.error = (self.error_pending + (err or b"")).decode()
        return self.proc.returncode, self.pending + (out or b""), self.error

    def stop(self):
        """Ends the program if it still runs; returns its standard error."""
        if self.proc.poll() is None:
            self.proc.kill()
        if self.error is None:
            self.error = (self.error_pending + (self.proc.communicate()[1] or b"")).decode()
        return self.error


def find_windows(display, *search):
    """The visible windows xdotool's search finds, as ids."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", *search],
                           env=dict(os.environ, DISPLAY=display), capture_output=True,
                           text=True, timeout=DEADLINE)
    return found.stdout.split()


def xdotool(display, *args):
    return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display), check=True,
                          capture_output=True, text=True, timeout=DEADLINE).stdout


def press(display, window, *keys):
    """Types keys into the window, the pointer over it (focus follows it)."""
    xdotool(display, "mousemove", "--window", window, "10", "10")
    xdotool(display, "key", *keys)


def close_window(display, window):
    """Asks the window to close as a window manager does: a WM_DELETE_WINDOW
    client message."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5),
                    ("pad", ctypes.c_long * 12)]  # the rest of an XEvent

    connection = x11.XOpenDisplay(display.encode())
    event = ClientMessage(type=33, window=int(window), format=32,
                          message_type=x11.XInternAtom(connection, b"WM_PROTOCOLS", 0))
    event.data[0] = x11.XInternAtom(connection, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(connection, int(window), 0, 0, ctypes.byref(event))
    x11.XCloseDisplay(connection)  # flushes


def cpu_ticks(pid):
    """User and system time of a process so far, in clock ticks."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def window_image(display, window):
    """The window's pixels as rows of (r, g, b), top row first, from xwd."""
    dump = subprocess.run(["xwd", "-silent", "-id", window, "-display", display], check=True,
                          capture_output=True, timeout=DEADLINE).stdout
    fields = struct.unpack(">25I", dump[:100])
    header_size, width, height = fields[0], fields[4], fields[5]
    byte_order, bits_per_pixel, bytes_per_line, colours = fields[7], fields[11], fields[12], fields[19]
    assert bits_per_pixel == 32, "expected a 24-bit visual"
    pixels = dump[header_size + 12 * colours:]
    order = "<" if byte_order == 0 else ">"
    rows = []
    for y in range(height):
        row = struct.unpack_from(order + "%dI" % width, pixels, y * bytes_per_line)
        rows.append([((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF) for p in row])
    return rows


def pixel(image, x, y):
    """The colour at GL window coordinates (x, y): origin at the bottom left."""
    return image[len(image) - 1 - y][x]


def syscall(pid, number, *args):
    """Makes a system call inside a running process, as a fault there could,
    and returns its result (a negative errno), or the signal it raised (the
    filter's SIGSYS) as a string, which the process is then left to take,
    or "killed by SIGSYS" where the filter killed it outright.
    Through ptrace, x86_64 only: gdb cannot call functions on every kernel."""
    assert os.uname().machine == "x86_64", "injecting calls is written for x86_64"
    libc = ctypes.CDLL(None, use_errno=True)
    libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
    libc.ptrace.restype = ctypes.c_long
    regs_type = ctypes.c_ulonglong * 27  # user_regs_struct
    rax, orig_rax, rip, rsp = 10, 15, 16, 19
    seize, interrupt, getregs, setregs, step, detach = 0x4206, 0x4207, 12, 13, 9, 17
    getsiginfo, setsiginfo = 0x4202, 0x4203

    def trace(request, data=None):
        if libc.ptrace(request, pid, None, data) < 0:
            raise OSError(ctypes.get_errno(), "ptrace %d of %d" % (request, pid))

    # Stopped while it runs its own code (a busy encoder), there is no call
    # to turn into another: it is let go and stopped again, until it is in
    # one.
    saved, regs = regs_type(), regs_type()
    deadline = time.monotonic() + DEADLINE
    while True:
        trace(seize)
        trace(interrupt)
        os.waitpid(pid, 0x40000000)  # __WALL
        trace(getregs, ctypes.byref(saved))
        with open("/proc/%d/mem" % pid, "rb", buffering=0) as memory:
            memory.seek(saved[rip] - 2)
            if saved[orig_rax] != 0xFFFFFFFFFFFFFFFF and memory.read(2) == b"\x0f\x05":
                break
        trace(detach)
        if time.monotonic() > deadline:
            raise AssertionError("pid %d was never stopped in a system call" % pid)
        time.sleep(0.01)
    ctypes.memmove(regs, saved, ctypes.sizeof(saved))
    with open("/proc/%d/mem" % pid, "r+b", buffering=0) as memory:
        # Arguments that are bytes go below the stack's red zone.
        place, values = saved[rsp] - 4096, []
        for arg in args:
            if isinstance(arg, bytes):
                memory.seek(place)
                memory.write(arg)
                values.append(place)
                place += (len(arg) + 15) & ~15
            else:
                values.append(arg & 0xFFFFFFFFFFFFFFFF)
    for index, value in zip((14, 13, 12, 7, 9, 8), values):  # rdi rsi rdx r10 r8 r9
        regs[index] = value
    regs[rax], regs[orig_rax], regs[rip] = number, 0xFFFFFFFFFFFFFFFF, saved[rip] - 2
    trace(setregs, ctypes.byref(regs))
    trace(step)
    # A signal the call raised (the filter's SIGSYS) may be reported before
    # the step's SIGTRAP, which must be taken here or it kills the process;
    # the signal is handed back once the process has its registers again.
    raised, info = None, ctypes.create_string_buffer(128)  # siginfo_t
    while True:
        _, status = os.waitpid(pid, 0x40000000)
        if os.WIFSIGNALED(status):  # its filter killed it outright
            return "killed by " + signal.Signals(os.WTERMSIG(status)).name
        if os.WSTOPSIG(status) == signal.SIGTRAP:
            break
        raised = raised or signal.Signals(os.WSTOPSIG(status)).name
        trace(getsiginfo, info)
        trace(step)
    trace(getregs, ctypes.byref(regs))
    trace(setregs, ctypes.byref(saved))
    if raised:
        trace(setsiginfo, info)  # so the handler learns what was refused
    trace(detach, getattr(signal, raised) if raised else None)
    return raised or ctypes.c_longlong(regs[rax]).value


def descriptor_of(pid, fd):
    """A descriptor of another process's, taken as a process that got hold
    of it could (pidfd_getfd)."""
    libc = ctypes.CDLL(None, use_errno=True)
    pidfd = os.pidfd_open(pid)
    try:
        taken = libc.syscall(438, pidfd, fd, 0)  # pidfd_getfd
        if taken < 0:
            raise OSError(ctypes.get_errno(), "pidfd_getfd of %d's %d" % (pid, fd))
        return taken
    finally:
        os.close(pidfd)


def refusing(*calls):
    """A preexec_fn under which the named system calls fail with ENOSYS, as
    an older kernel or a container's profile has them fail."""
    def refuse():
        seccomp = ctypes.CDLL("libseccomp.so.2")
        seccomp.seccomp_init.restype = ctypes.c_void_p
        context = ctypes.c_void_p(seccomp.seccomp_init(0x7FFF0000))  # allow the rest
        for call in calls:
            number = seccomp.seccomp_syscall_resolve_name(call.encode())
            seccomp.seccomp_rule_add(context, 0x00050000 | 38, number, 0)  # ENOSYS
        if seccomp.seccomp_load(context) != 0:
            raise OSError("cannot load a filter refusing %s" % (calls,))
    return refuse


def png_pixels(path):
    """An 8-bit RGB PNG's pixels as rows of (r, g, b), top row first."""
    import zlib
    with open(path, "rb") as image:
        data = image.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    at, packed, width = 8, b"", 0
    while at < len(data):
        length, kind = struct.unpack_from(">I4s", data, at)
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack_from(">IIBB", body)
            assert (depth, colour) == (8, 2), "expected 8-bit RGB"
        elif kind == b"IDAT":
            packed += body
        at += 12 + length
    raw, stride, rows, previous = zlib.decompress(packed), 3 * width, [], bytearray(3 * width)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            left = line[x - 3] if x >= 3 else 0
            up, corner = previous[x], previous[x - 3] if x >= 3 else 0
            guess = left + up - corner
            nearest = min((abs(guess - left), 0, left), (abs(guess - up), 1, up),
                          (abs(guess - corner), 2, corner))[2]
            line[x] = (line[x] + [0, left, up, (left + up) // 2, nearest][kind]) & 0xFF
        rows.append([tuple(line[x:x + 3]) for x in range(0, stride, 3)])
        previous = line
    return rows
