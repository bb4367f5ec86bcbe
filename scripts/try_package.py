"""The part of scripts/try-package that runs the installed skevla: under
Xvfb, in the private network namespace that the script made, once as a
member of the skevla group and once as a user outside it, who may replay a
file, into a video too, but not capture."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from harness import Skevla, datagram, press, start_xvfb, write_pcap  # noqa: E402


def as_user(name):
    # runuser changes user as a login does: setpriv would keep root's
    # capabilities up to the exec, which would pass the file's mode.
    return ("runuser", "-u", name, "--")


def show_status(pid, prefixes):
    for task in sorted(os.listdir("/proc/%d/task" % pid), key=int):
        with open("/proc/%d/task/%s/status" % (pid, task)) as status:
            print("".join(line for line in status if line.startswith(prefixes)), end="")


def main():
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    xvfb, display = start_xvfb()
    try:
        print("== as skevla-member (%s)" % subprocess.run(
            ["id", "skevla-member"], capture_output=True, text=True).stdout.strip())
        member = Skevla("/usr/bin/skevla", display, prefix=as_user("skevla-member"))
        print(member.line())
        # runuser waits for skevla as its child.
        with open("/proc/%d/task/%d/children" % (member.proc.pid, member.proc.pid)) as children:
            pid = member.pid = int(children.read().split()[0])
        print("-- at the banner")
        show_status(pid, ("Name", "Uid", "Cap", "NoNewPrivs", "Seccomp:"))
        member.wait_until_ready()
        print("\n".join(member.frame(datagram(40))))
        print("-- after the first frame, every thread")
        show_status(pid, ("Name", "CapEff", "NoNewPrivs", "Seccomp:"))
        print("-- its processes: the viewer, the capture helper, the snapshot keeper")
        print(subprocess.run(["ps", "-o", "pid,ppid,user,comm", "-p", str(pid), "--ppid",
                              str(pid)], capture_output=True, text=True).stdout, end="")
        with open("/proc/%d/task/%d/children" % (pid, pid)) as children:
            for child in children.read().split():
                show_status(int(child), ("Name", "Uid", "CapPrm", "CapEff", "NoNewPrivs",
                                         "Seccomp:"))
        press(display, member.window, "Escape")
        status, _, error = member.finish()
        print("exit status %d; standard error: %s" % (status, error.strip()))

        print("== as root, no sudo: every process as skevla's own user")
        root = Skevla("/usr/bin/skevla", display, "--snapshots", "/tmp")
        print(root.line())
        root.wait_until_ready()
        print("\n".join(root.frame(datagram(40))))
        with open("/proc/%d/task/%d/children" % (root.pid, root.pid)) as children:
            run = [root.pid] + [int(child) for child in children.read().split()]
        for pid in run:
            show_status(pid, ("Name", "Uid", "Gid", "Groups"))
        uid = open("/proc/%d/status" % root.pid).read().split("Uid:")[1].split()[0]
        others = subprocess.run(["pgrep", "-U", uid], capture_output=True, text=True).stdout.split()
        print("processes with uid %s but the run's: %s" % (
            uid, [pid for pid in map(int, others) if pid not in run] or "none"))
        press(display, root.window, "Escape")
        status, _, error = root.finish()
        print("exit status %d; standard error: %s" % (status, error.strip()))

        capture = "/tmp/skevla-try.pcap"
        write_pcap(capture, 101, [datagram(40)])
        os.chmod(capture, 0o644)
        for args in (("-r", capture, "-c", "1"), ()):
            print("== as skevla-outsider: skevla %s" % " ".join(args))
            outsider = Skevla("/usr/bin/skevla", display, *args,
                              prefix=as_user("skevla-outsider"))
            status, out, error = outsider.finish()
            print("exit status %d; standard output %r; standard error: %s"
                  % (status, out, error.strip()))
        video = "/tmp/skevla-try.mp4"
        print("== as skevla-outsider, no display: skevla -r %s -t --video %s" % (capture, video))
        outsider = Skevla("/usr/bin/skevla", None, "-r", capture, "-t", "--video", video,
                          prefix=as_user("skevla-outsider"))
        status, _, error = outsider.finish()
        probed = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                                 "stream=codec_name,width,height", "-of", "csv=p=0", video],
                                capture_output=True, text=True).stdout.strip()
        print("exit status %d; standard error: %s; owner %s; ffprobe: %s" % (
            status, error.strip(), os.stat(video).st_uid, probed))
        os.remove(video)
        os.remove(capture)
    finally:
        xvfb.kill()
        xvfb.wait()


if __name__ == "__main__":
    main()
