"""Benchmark: skevla against a frame floor, both flooded with datagrams.

Run as root in a private network namespace (unshare --net), as scripts/bench
does, with the paths of skevla, the floor and the allocation counter. Prints
Markdown tables: frames per second and CPU time per frame for each mode and
datagram size beside the floor's, heap allocations per frame, and resident
memory under a 10-second flood of the largest datagrams. With --smoke first,
a few seconds of each step (one mode, one size, one run), which the test
suite runs so that the benchmark cannot break unnoticed; a rate of 0 fails
it.
"""

import multiprocessing
import random
import os
import re
import platform
import select
import shutil
import struct
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import harness  # noqa: E402
from harness import (Skevla, cpu_ticks, press, random_datagram, send, start_xvfb,  # noqa: E402
                     write_pcap)

SMOKE = sys.argv[1:2] == ["--smoke"]
if SMOKE:
    sys.argv.pop(1)
SIZES = (40,) if SMOKE else (40, 1500, 65535)
MODES = {"dot": "-md"} if SMOKE else {"poly": "-mp", "dot": "-md", "line": "-ml"}
WARM_UP, MEASURE = (0.3, 1.0) if SMOKE else (1.0, 3.0)  # seconds
REPEATS = 1 if SMOKE else 3  # rates: the median of this many runs, skevla's and the floor's interleaved
FRAMES = (10, 100) if SMOKE else (100, 1000)  # allocations: the difference leaves out start-up
REPLAYED = 4000 if SMOKE else 40000  # datagrams in the replayed file
FILTERED, FLOODED = (1, 2) if SMOKE else (5, 10)  # seconds of the filter's and the memory's floods
PACED, PACED_FOR = 300, (1 if SMOKE else 5)  # datagrams a second, and for how long, against --fps
# --video: a replay of this many 40-byte datagrams 20 ms apart rendered at
# top speed, in each kind.
RENDERED = 100 if SMOKE else 3000
VIDEOS = (".mkv",) if SMOKE else (".mp4", ".webm", ".mkv")
# The race against tcpdump, as users' traffic comes: sizes (a size in
# bytes, imix: 7 of 40 bytes, 4 of 576, 1 of 1500; random: 20 to 65535),
# how many, and rates a second (0: as fast as the sender can).
RACES = [("40", 2000, 10000)] if SMOKE else [
    ("40", 200000, 10000), ("40", 200000, 30000), ("40", 200000, 100000), ("40", 200000, 0),
    ("1500", 100000, 10000), ("1500", 100000, 30000), ("1500", 100000, 0),
    ("65000", 20000, 1000), ("65000", 20000, 3000), ("65000", 20000, 0),
    ("imix", 200000, 100000), ("imix", 200000, 0),
    ("random", 16000, 2000)]
# Moving in a large capture: this many records of the sizes below in turn,
# 10 ms apart, and the clip cut from it (seconds from its start, and long).
MOVED = 20000 if SMOKE else 2000000
MOVED_SIZES = (40, 40, 40, 52, 60, 576, 1500, 40, 120, 500)
CLIP_AT, CLIP_LENGTH = MOVED * 0.01 * 0.95, 30
TICK = os.sysconf("SC_CLK_TCK")
# A busy machine can take long to show a window or drain a flood; a step
# that still fails is named, not left as a traceback.
harness.DEADLINE = max(harness.DEADLINE, 60.0)
step = "starting"


def datagram(size):
    """A datagram of random payload bytes, as real traffic has, the same for
    every run: zero bytes would put every vertex at the origin and draw
    almost nothing."""
    return random_datagram(size, random.Random(size))


def flood(data, seconds):
    """Sends data for seconds in bursts that overfill the receiver's socket
    buffer (which the kernel then drops)."""
    harness.flood([data] * min(64, max(2, 150000 // (len(data) + 700))), seconds)


def flooding(data, seconds):
    sender = multiprocessing.Process(target=flood, args=(data, seconds))
    sender.start()
    return sender


def cpu_seconds(pid):
    return cpu_ticks(pid) / TICK


def status(pid, key):
    for line in open("/proc/%d/status" % pid):
        if line.startswith(key + ":"):
            return int(line.split()[1])
    raise KeyError(key)


def measure(pid, size, frames):
    """Frames per second and CPU milliseconds per frame over MEASURE seconds
    of a flood of size-byte datagrams that has run for WARM_UP; frames()
    counts frames so far."""
    sender = flooding(datagram(size), WARM_UP + MEASURE + 1)
    time.sleep(WARM_UP)
    t0, cpu0, frames0 = time.monotonic(), cpu_seconds(pid), frames()
    time.sleep(MEASURE)
    t1, cpu1, frames1 = time.monotonic(), cpu_seconds(pid), frames()
    sender.join()
    count = max(frames1 - frames0, 1)
    return count / (t1 - t0), 1000 * (cpu1 - cpu0) / count


IN_MEMORY = "/dev/shm" if os.path.isdir("/dev/shm") else None


def skevla_rate(binary, display, args, size):
    """skevla's rate with args, under a flood of size-byte datagrams. A
    replay reads none of them, but the flood keeps the machine as busy as
    for the floor: with idle cores, waking Xvfb for each swap takes longer."""
    lines = len("Bytes received --> %5d\nSource address --> 127.0.0.1\n" % size)
    # The log goes to memory, as into a pipe, rather than through a disk's
    # file system; its size tells the frames drawn.
    with tempfile.TemporaryFile(dir=IN_MEMORY) as log:
        program = Skevla(binary, display, *args, stdout=log)
        try:
            # A replay at top speed is seldom caught asleep before its end.
            if "-r" in args:
                program.wait_for_window()
            else:
                program.wait_until_ready()
            banner = len("SKEVLA BEGIN\n")
            return measure(program.proc.pid, size,
                           lambda: (os.fstat(log.fileno()).st_size - banner) // lines)
        finally:
            program.stop()


def datagrams_received():
    """The network namespace's count of IPv4 datagrams received."""
    with open("/proc/net/snmp") as snmp:
        names, values = [line.split() for line in snmp if line.startswith("Ip:")][:2]
    return int(values[names.index("InReceives")])


def rejected_flood_cost(binary, display):
    """CPU milliseconds that skevla spends during a 5-second flood of
    datagrams its filter rejects, and how many were sent."""
    with open(os.devnull, "wb") as devnull:
        program = Skevla(binary, display, "-f", "tcp port 9", stdout=devnull)
        try:
            program.wait_until_ready()
            cpu0, sent0 = cpu_seconds(program.proc.pid), datagrams_received()
            flooding(datagram(40), FILTERED).join()
            return 1000 * (cpu_seconds(program.proc.pid) - cpu0), datagrams_received() - sent0
        finally:
            program.stop()


def paced_cost(binary, display, args):
    """CPU milliseconds a second that skevla spends on PACED 1,500-byte
    datagrams a second, a rate a software GL can draw, how many it logged,
    and the milliseconds a second of its video encoder, if any."""
    data = datagram(1500)
    with tempfile.TemporaryFile(dir=IN_MEMORY) as log:
        program = Skevla(binary, display, *args, stdout=log)
        try:
            program.wait_until_ready()
            encoder = harness_child(program.proc.pid, "skevla-encoder")
            cpu0 = cpu_seconds(program.proc.pid)
            encoder0 = cpu_seconds(encoder) if encoder else 0
            with harness.socket.socket(harness.socket.AF_INET, harness.socket.SOCK_RAW,
                                       harness.socket.IPPROTO_RAW) as raw:
                start = time.monotonic()
                for n in range(PACED * PACED_FOR):
                    time.sleep(max(0.0, start + n / PACED - time.monotonic()))
                    raw.sendto(data, ("127.0.0.1", 0))
            time.sleep(0.5)
            cost = 1000 * (cpu_seconds(program.proc.pid) - cpu0) / PACED_FOR
            encoding = 1000 * (cpu_seconds(encoder) - encoder0) / PACED_FOR if encoder else 0
            return cost, os.pread(log.fileno(), 1 << 24, 0).count(b"Source"), encoding
        finally:
            program.stop()


def harness_child(pid, name):
    """The pid of pid's child called name, or None."""
    with open("/proc/%d/task/%d/children" % (pid, pid)) as children:
        for child in children.read().split():
            with open("/proc/%s/comm" % child) as called:
                if called.read().strip() == name:
                    return int(child)
    return None


def render_speed(binary, display, capture, video):
    """Seconds of recorded time a second that a replay at top speed goes
    through: into video (its kind's extension) with no display, or, for
    None, in its window with no video, until its counts line."""
    directory = tempfile.mkdtemp(dir=IN_MEMORY)
    try:
        args = ["-r", capture, "-t"] + (["--video", os.path.join(directory, "x" + video)]
                                        if video else [])
        started = time.monotonic()
        program = Skevla(binary, None if video else display, *args, stdout=subprocess.DEVNULL)
        try:
            if video:
                code, _, error = program.finish()
                if code != 0:
                    raise RuntimeError("the render ended with %d: %s" % (code, error))
            else:
                program.line(error=True)
            return 0.02 * (RENDERED - 1) / (time.monotonic() - started)
        finally:
            program.stop()
    finally:
        subprocess.run(["rm", "-rf", directory], check=True)


def settled(path):
    """Waits until a file written by another program has not grown for
    longer than tcpdump keeps a block of its ring (a second)."""
    size, since = -1, time.monotonic()
    while time.monotonic() - since < 1.5:
        if os.path.getsize(path) != size:
            size, since = os.path.getsize(path), time.monotonic()
        time.sleep(0.05)


def race(skevla, sender, display, args, size, count, rate):
    """skevla with args beside tcpdump on lo, both listening while the
    sender sends count datagrams of size at rate: tcpdump -n -Q in
    writing its text to a file, or with -o, tcpdump -w beside skevla's
    recording. Returns the rate achieved, what skevla logged and the kernel
    dropped for it, how many it logged a second (without --fps its frames),
    and what tcpdump captured and the kernel dropped for it."""
    with tempfile.TemporaryDirectory(dir=IN_MEMORY) as scratch:
        os.chmod(scratch, 0o777)  # skevla's own user writes the recording
        ours, theirs = os.path.join(scratch, "skevla"), os.path.join(scratch, "tcpdump")
        args = [arg.replace("FILE", ours + ".pcap") for arg in args]
        writing = ["-w", theirs + ".pcap"] if "-o" in args else []
        with open(ours, "wb") as log, open(theirs, "wb") as text:
            dump = subprocess.Popen(["tcpdump", "-n", "-Q", "in", "-i", "lo", *writing, "tcp"],
                                    stdout=text, stderr=subprocess.PIPE)
            said = b""
            while b"listening on" not in said:
                said += dump.stderr.readline() or b"(ended)"
                if said.endswith(b"(ended)"):
                    raise RuntimeError("tcpdump did not start: %r" % said)
            program = Skevla(skevla, display, *args, stdout=log)
            try:
                program.wait_until_ready()
                start = time.monotonic()
                sent, took = subprocess.run([sender, str(count), size, str(rate)],
                                            capture_output=True, text=True,
                                            check=True).stdout.split()

                def counts():
                    program.proc.send_signal(signal.SIGUSR1)
                    line = program.line(error=True)
                    while "frames are slower" in line:
                        line = program.line(error=True)
                    # What the capture holds but has not yet handed over
                    # is neither: the wait goes on until it is one or the
                    # other.
                    found = re.search(r"(\d+) datagrams? received, (?:\d+ not yet taken, )?"
                                      r"(\d+) dropped", line)
                    return tuple(map(int, found.groups()))

                got = harness.wait_for(lambda: (lambda c: c if sum(c) >= count else None)(
                    counts()), "skevla to take every datagram sent")
                elapsed = time.monotonic() - start
            finally:
                program.stop()
            settled(theirs + ".pcap" if writing else theirs)
            dump.send_signal(signal.SIGINT)
            _, said = dump.communicate()
        captured, dropped = (int(re.search(rb"(\d+) packets? %s" % what, said).group(1))
                             for what in (b"captured", b"dropped by kernel"))
    return int(sent) / float(took), got[0], got[1], got[0] / elapsed, captured, dropped


def renderer_name(floor, display):
    program = Skevla(floor, display)
    try:
        return program.line()
    finally:
        program.stop()


def floor_rate(binary, display, size):
    program = Skevla(binary, display)
    try:
        program.line()  # the renderer's name
        program.wait_until_ready()

        def frames():
            program.proc.send_signal(signal.SIGUSR1)
            return int(program.line())

        return measure(program.proc.pid, size, frames)
    finally:
        program.stop()


def heap_count(binary, counter, display, args, drive):
    """Heap allocations of a whole run of binary, counted by the preloaded
    counter, which writes them last on standard error; drive(program) takes
    it from its first frame to its end."""
    program = Skevla(binary, display, *args, prefix=("env", "LD_PRELOAD=" + counter))
    try:
        program.line()  # skevla's banner, or the floor's renderer
        program.wait_until_ready()
        drive(program)
    finally:
        error = program.stop()
    counted = re.search(r"^malloc_count: (\d+)$", error, re.M)
    if not counted:
        raise RuntimeError("no allocation count on standard error: %r" % error[-200:])
    return int(counted.group(1))


def allocations(binary, counter, display, flag, size, frames):
    """Heap allocations of a skevla run that draws frames datagrams and ends
    on Escape."""
    data = datagram(size)

    def drive(program):
        for _ in range(frames):
            send(data)
            program.lines(2)
        program.wait_until_asleep()
        press(display, program.window, "Escape")
        if program.proc.wait(10) != 0:
            raise RuntimeError("skevla did not end on Escape")

    return heap_count(binary, counter, display, [flag], drive)


def floor_allocations(binary, counter, display, size, frames):
    """Heap allocations of a floor run of frames datagrams."""
    data = datagram(size)

    def drive(program):
        deadline = time.monotonic() + 60
        while program.proc.poll() is None and time.monotonic() < deadline:
            send(data)  # the floor counts what it draws; drops do not matter
            time.sleep(0.0005)
        if program.proc.poll() != 0:
            raise RuntimeError("the floor did not end after %d frames" % frames)

    return heap_count(binary, counter, display, [str(frames)], drive)


def write_large_capture(path):
    """MOVED records 10 ms apart from 1000 s, raw IP, written in blocks."""
    records = []
    for size in MOVED_SIZES:
        data = datagram(size)
        records.append((len(data), data))
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
        block = []
        for number in range(MOVED):
            length, data = records[number % len(records)]
            hundredths = 100000 + number
            block.append(struct.pack("<IIII", hundredths // 100, hundredths % 100 * 10000, length,
                                     length))
            block.append(data)
            if len(block) >= 20000:
                out.write(b"".join(block))
                block = []
        out.write(b"".join(block))


def timed(command, **kwargs):
    started = time.monotonic()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   **kwargs)
    return time.monotonic() - started


def first_line_after(program, act):
    """Seconds from act() to the next line of the log."""
    started = time.monotonic()
    act()
    program.line()
    return time.monotonic() - started


def moving(binary, display, capture):
    """Seconds to the first picture: of a replay from the start, from
    --from near the end, and of jumps in a paused replay; tcpdump's time to
    print the file and editcap's to cut the clip beside them."""
    rows = []
    for label, args in (("-r (from the start)", []),
                        ("-r --from %d (%.0f%%)" % (CLIP_AT, 95), ["--from", str(CLIP_AT)])):
        program = Skevla(binary, display, "-r", capture, *args)
        started = time.monotonic()
        program.line()  # the banner
        program.line()
        rows.append((label, time.monotonic() - started))
        program.stop()
    program = Skevla(binary, display, "-r", capture)
    program.wait_for_window()
    program.lines(3)
    press(display, program.window, "space")
    program.wait_until_asleep()
    while select.select([program.proc.stdout], [], [], 0)[0]:
        if not os.read(program.proc.stdout.fileno(), 65536):
            break
    program.pending = b""
    for key, label in (("1", "key 1 (to 10%)"), ("5", "key 5 (to 50%)"), ("9", "key 9 (to 90%)"),
                       ("1", "key 1 again (back, marks known)"), ("End", "End"),
                       ("Home", "Home")):
        rows.append((label, first_line_after(
            program, lambda: press(display, program.window, key)) / 1))
        program.line()  # the second line of the log
    program.stop()
    rows.append(("tcpdump -n -r (prints the whole file)",
                 timed(["tcpdump", "-n", "-r", capture])))
    if shutil.which("editcap"):
        def at(seconds):
            return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(1000 + seconds))
        with tempfile.NamedTemporaryFile(dir=IN_MEMORY, suffix=".pcap") as clip:
            rows.append(("editcap -A -B (cuts %d s at %.0f%%)" % (CLIP_LENGTH, 95), timed(
                ["editcap", "-A", at(CLIP_AT), "-B", at(CLIP_AT + CLIP_LENGTH), capture,
                 clip.name], env=dict(os.environ, TZ="UTC"))))
            # In a window, until the counts line says the replay has ended.
            started = time.monotonic()
            program = Skevla(binary, display, "-r", capture, "--from", str(CLIP_AT), "--to",
                             str(CLIP_AT + CLIP_LENGTH), "-t", "--fps", "30", "-o", clip.name,
                             stdout=subprocess.DEVNULL)
            program.line(error=True)
            rows.append(("skevla -r --from --to -t --fps 30 -o (the same clip)",
                         time.monotonic() - started))
            program.stop()
    else:
        rows.append(("editcap -A -B", None))
    return rows


def median(runs):
    """The run of median frame rate, as (frames per second, CPU per frame).
    A rate of 0 means the step measured nothing: that is a failure."""
    rate = sorted(runs)[len(runs) // 2]
    if rate[0] < 1:
        raise RuntimeError("no frame was drawn while measuring")
    return rate


def per_frame(count):
    """Allocations per frame from a short run and a long one: the difference
    leaves out what start-up and exit allocate."""
    return (count(FRAMES[1]) - count(FRAMES[0])) / (FRAMES[1] - FRAMES[0])


def resident_memory(binary, display):
    """Resident set in KiB after 2 and 10 seconds of a flood of 65,535-byte
    datagrams in poly mode, and the peak."""
    with open(os.devnull, "wb") as devnull:
        program = Skevla(binary, display, stdout=devnull)
        try:
            program.wait_until_ready()
            sender = flooding(datagram(65535), FLOODED + 0.5)
            start = time.monotonic()
            samples = {}
            for second in (FLOODED // 5, FLOODED):
                time.sleep(max(0.0, start + second - time.monotonic()))
                samples[second] = status(program.proc.pid, "VmRSS")
            # The kernel updates the high-water mark lazily.
            peak = max(status(program.proc.pid, "VmHWM"), *samples.values())
            sender.join()
            return samples[FLOODED // 5], samples[FLOODED], peak
        finally:
            program.stop()


def main():
    global step
    skevla, floor, counter, sender = (os.path.abspath(path) for path in sys.argv[1:5])
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    xvfb, display = start_xvfb()
    try:
        floor_runs, floor_heap = {size: [] for size in SIZES}, {}
        for size in SIZES:
            step = "counting the floor's allocations at %d bytes" % size
            floor_heap[size] = per_frame(
                lambda frames: floor_allocations(floor, counter, display, size, frames))
        step = "asking the floor for the renderer's name"
        renderer = renderer_name(floor, display)
        cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                    if line.startswith("model name")), platform.machine())
        print("Machine: %s, %d cores, Linux %s; GL: %s; Xvfb 500 x 500 window.\n"
              % (cpu, os.cpu_count(), platform.release(), renderer))
        print("| Mode | Datagram bytes | Frames/s | CPU µs/frame | Floor frames/s"
              " | Floor CPU µs/frame | Of floor | Allocations/frame | Floor allocations/frame |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        for mode, flag in MODES.items():
            for size in SIZES:
                runs = []
                for _ in range(REPEATS):
                    step = "measuring %s mode at %d bytes" % (mode, size)
                    runs.append(skevla_rate(skevla, display, [flag], size))
                    if len(floor_runs[size]) < REPEATS:
                        floor_runs[size].append(floor_rate(floor, display, size))
                rate, cost = median(runs)
                floor_fps, floor_cost = median(floor_runs[size])
                step = "counting allocations in %s mode at %d bytes" % (mode, size)
                heap = per_frame(
                    lambda frames: allocations(skevla, counter, display, flag, size, frames))
                print("| %s | %d | %.0f | %.0f | %.0f | %.0f | %.0f%% | %.2f | %.2f |" % (
                    mode, size, rate, cost * 1e3, floor_fps, floor_cost * 1e3,
                    100 * rate / floor_fps, heap, floor_heap[size]), flush=True)
        # -o writes each datagram shown into a pcap file: one writev a frame.
        step = "measuring dot mode with -o"
        with tempfile.NamedTemporaryFile(dir=IN_MEMORY, suffix=".pcap") as recorded:
            rate, cost = median([skevla_rate(skevla, display, ["-md", "-o", recorded.name], 40)
                                 for _ in range(REPEATS)])
        floor_fps, floor_cost = median(floor_runs[40])
        print("| dot, -o (one writev more a frame) | 40 | %.0f | %.0f | %.0f | %.0f | %.0f%% | | |" % (
            rate, cost * 1e3, floor_fps, floor_cost * 1e3, 100 * rate / floor_fps), flush=True)
        # Both directions through the packet socket, on the loopback
        # interface, which hands each datagram over once sent and once
        # received: the cost of -Q inout per frame.
        step = "measuring dot mode with -Q inout"
        rate, cost = median([skevla_rate(skevla, display, ["-md", "-Q", "inout"], 40)
                             for _ in range(REPEATS)])
        floor_fps, floor_cost = median(floor_runs[40])
        print("| dot, -Q inout | 40 | %.0f | %.0f | %.0f | %.0f | %.0f%% | | |" % (
            rate, cost * 1e3, floor_fps, floor_cost * 1e3, 100 * rate / floor_fps), flush=True)
        # Replay at top speed of a file of the same 40-byte datagrams, beside
        # the floor of live 40-byte frames.
        with tempfile.NamedTemporaryFile(dir=IN_MEMORY, suffix=".pcap") as capture:
            write_pcap(capture.name, 101, [datagram(40)] * REPLAYED)
            os.chmod(capture.name, 0o644)  # a replay started as root reads it as nobody
            floor_fps, floor_cost = median(floor_runs[40])
            for mode, flag in MODES.items():
                step = "measuring a replay in %s mode" % mode
                rate, cost = median([skevla_rate(skevla, display, ["-r", capture.name, "-t", flag],
                                                 40) for _ in range(REPEATS)])
                print("| %s, replay -t | 40 | %.0f | %.0f | %.0f | %.0f | %.0f%% | | |" % (
                    mode, rate, cost * 1e3, floor_fps, floor_cost * 1e3, 100 * rate / floor_fps),
                    flush=True)
        print("\nskevla beside tcpdump, both on lo, datagrams of each size at each rate"
              " (tcpdump -n -Q in to a text file; with -o, tcpdump -w):\n")
        print("| skevla | datagrams | sent | sent/s | skevla logged | dropped for skevla"
              " | skevla logged/s | tcpdump captured | dropped for tcpdump |")
        print("|---|---|---:|---:|---:|---:|---:|---:|---:|")
        for args in (["-md", "--fps", "30"], ["-md", "--fps", "30", "-v"],
                     ["-md", "--fps", "30", "-o", "FILE"], ["-md"]):
            for size, count, rate in RACES if args[1:] or SMOKE else RACES[:4]:
                step = "racing tcpdump with %s, %s bytes at %d a second" % (
                    " ".join(args), size, rate)
                achieved, logged, dropped, frames, captured, theirs = race(
                    skevla, sender, display, args, size, count, rate)
                print("| %s | %s | %d | %.0f | %d | %d | %.0f | %d | %d |" % (
                    " ".join(args), size, count, achieved, logged, dropped, frames,
                    captured, theirs), flush=True)
        step = "measuring 1,500-byte poly frames at a fixed rate"
        print("\nCPU time of 1,500-byte datagrams in poly mode at %d a second for %d s:" % (
            PACED, PACED_FOR))
        for args in ([], ["--fps", "60"], ["--fps", "30"], ["--fps", "30", "--video", "VIDEO"]):
            with tempfile.TemporaryDirectory(dir=IN_MEMORY) as directory:
                used = [os.path.join(directory, "live.mp4") if arg == "VIDEO" else arg
                        for arg in args]
                cost, drawn, encoding = paced_cost(skevla, display, ["-mp"] + used)
            print("- %s: %.0f ms a second%s, %d datagrams logged of %d sent" % (
                " ".join(["skevla -mp"] + args).replace("VIDEO", "live.mp4"), cost,
                ", and its encoder %.0f ms" % encoding if "VIDEO" in args else "", drawn,
                PACED * PACED_FOR))
        print("\nA replay at top speed of %d 40-byte datagrams 20 ms apart (%.2f s recorded),"
              " in recorded seconds a second:\n" % (RENDERED, 0.02 * (RENDERED - 1)))
        with tempfile.NamedTemporaryFile(dir=IN_MEMORY, suffix=".pcap") as capture:
            write_pcap(capture.name, 101, [datagram(40)] * RENDERED, step=0.02)
            os.chmod(capture.name, 0o644)
            for video in (None,) + VIDEOS:
                step = "rendering a replay into %s" % (video or "the window")
                speed = render_speed(skevla, display, capture.name, video)
                print("- %s: %.1f" % ("-r -t --video x" + video + ", no display" if video
                                      else "-r -t, in the window", speed), flush=True)
        step = "writing a large capture to move in"
        with tempfile.NamedTemporaryFile(dir=IN_MEMORY, suffix=".pcap") as capture:
            write_large_capture(capture.name)
            os.chmod(capture.name, 0o644)
            size = os.path.getsize(capture.name)
            step = "moving in a large capture"
            print("\nMoving in a capture of %d datagrams (%.0f MB, %.0f s): seconds to the first"
                  " datagram logged, beside tcpdump printing the file and editcap cutting"
                  " %d s of it:\n" % (MOVED, size / 1e6, MOVED * 0.01, CLIP_LENGTH))
            print("| What | Seconds |")
            print("|---|---:|")
            for label, seconds in moving(skevla, display, capture.name):
                print("| %s | %s |" % (label, "not installed" if seconds is None
                                       else "%.3f" % seconds), flush=True)
        step = "measuring a flood that the filter rejects"
        cost, sent = rejected_flood_cost(skevla, display)
        print("\nCPU time during a %d-second flood of %d datagrams that the filter"
              " (-f 'tcp port 9') rejects: %.0f ms." % (FILTERED, sent, cost))
        step = "sampling resident memory"
        at2, at10, peak = resident_memory(skevla, display)
        print("\nResident memory under a %d-second flood of 65,535-byte datagrams (poly):"
              " %d KiB at %d s, %d KiB at %d s (%+d KiB), peak %d KiB." % (
                  FLOODED, at2, FLOODED // 5, at10, FLOODED, at10 - at2, peak))
    finally:
        xvfb.kill()
        xvfb.wait()


if __name__ == "__main__":
    try:
        main()
    except (AssertionError, RuntimeError, OSError, subprocess.SubprocessError) as failure:
        sys.exit("bench: gave up while %s: %s" % (step, failure))
