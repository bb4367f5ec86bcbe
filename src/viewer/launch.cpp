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
    // What closed the channel may go on: it is waited for a second at most.
    pollfd ended{capture_end, POLLIN, 0};
    siginfo_t how{};
    if (capture_end < 0 || poll(&ended, 1, 1000) != 1 ||
        waitid(P_PIDFD, static_cast<id_t>(capture_end), &how, WEXITED | WNOHANG) != 0 ||
        how.si_pid == 0) {
        fail(why, 1, "the capture process closed the channel");
        return;
    }
    close(capture_end);
    capture_end = -1;
    const char *prefix = "the capture process ended";
    if (how.si_code == CLD_EXITED) {
        fail(why, 1, "%s: exited with status %d", prefix, how.si_status);
        return;
    }
    const char *name = sigabbrev_np(how.si_status);
    char call[96] = "";
    // Only a report of the box's own says the SIGSYS was its: another
    // process may send one.
    if (how.si_status == SIGSYS && refused_call >= 0) {
        char *called = seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, refused_call);
        std::snprintf(call, sizeof call, ": its sandbox refused a call%s%s%s", called ? " (" : "",
                      called ? called : "", called ? ")" : "");
        std::free(called);
    }
    fail(why, 1, "%s: killed by SIG%s%s", prefix, name ? name : "?", call);
}
