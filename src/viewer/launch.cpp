#include "launch.h"

#include "children.h"
#include "options.h"
#include "state.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <seccomp.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

child capture{-1, -1};
int capture_end = -1; // a pidfd of it, readable once it has ended

bool startHelper(const options &settings, failure &why)
{
    const char *arguments[11] = {"skevla-capture"};
    char ring[24];
    int count = 1;
    if (!settings.sandbox)
        arguments[count++] = "--no-sandbox";
    if (settings.filter) {
        arguments[count++] = "-f";
        arguments[count++] = settings.filter;
    }
    if (settings.interface) {
        arguments[count++] = "-i";
        arguments[count++] = settings.interface;
    }
    if (settings.direction) {
        arguments[count++] = "-Q";
        arguments[count++] = settings.direction;
    }
    if (settings.ring_kib) {
        std::snprintf(ring, sizeof ring, "%lu", settings.ring_kib);
        arguments[count++] = "-B";
        arguments[count++] = ring;
    }
    return spawnChild("skevla-capture", "capture helper", arguments,
                      "live capture is for the members of group skevla: sudo usermod -aG skevla "
                      "\"$USER\", then log in again (replaying a file with -r needs no group)",
                      capture, why);
}

bool startReader(const options &settings, failure &why)
{
    const char *arguments[6] = {"skevla-reader"};
    int count = 1;
    if (!settings.sandbox)
        arguments[count++] = "--no-sandbox";
    if (settings.filter) {
        arguments[count++] = "-f";
        arguments[count++] = settings.filter;
    }
    arguments[count++] = settings.file;
    if (!spawnChild("skevla-reader", "replay reader", arguments, nullptr, capture, why))
        return false;
    // What the reader reads is its own; this process never reads input.
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0 && null != STDIN_FILENO) {
        dup2(null, STDIN_FILENO);
        close(null);
    }
    return true;
}

} // namespace

bool startCapture(const options &settings, failure &why)
{
    if (!(settings.file ? startReader(settings, why) : startHelper(settings, why)))
        return false;
    sock = capture.channel;
    // Its end is waited for on a pidfd, with everything else.
    capture_end = static_cast<int>(syscall(SYS_pidfd_open, capture.pid, 0));
    return capture_end >= 0 ||
           fail(why, 1,
                "cannot watch the capture process (pidfd_open): %s; skevla needs Linux 5.3 or "
                "later, and a container that allows pidfd_open",
                std::strerror(errno));
}

int captureEnd() { return capture_end; }

void collectCapture()
{
    siginfo_t ended{};
    if (capture_end >= 0 &&
        waitid(P_PIDFD, static_cast<id_t>(capture_end), &ended, WEXITED | WNOHANG) == 0 &&
        ended.si_pid != 0) {
        close(capture_end);
        capture_end = -1;
    }
}

void reapCapture(int refused_call, failure &why)
{
    reapChild(capture_end, "the capture process", refused_call, why);
}
