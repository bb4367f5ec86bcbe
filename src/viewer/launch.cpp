#include "launch.h"

#include "capture/capture.h"
#include "options.h"
#include "privileges.h"
#include "record.h"
#include "state.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <seccomp.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

pid_t capture_pid = -1;
int capture_end = -1; // a pidfd of it, readable once it has ended

// Beside this program (the build tree, or a copy made with both files),
// else where it was installed relative to it.
const char *helperPath()
{
    static char path[PATH_MAX + 64];
    const char *self = executablePath();
    const char *slash = std::strrchr(self, '/');
    const int directory = slash ? static_cast<int>(slash - self) : 1;
    const char *from = slash ? self : ".";
    struct stat found;
    std::snprintf(path, sizeof path, "%.*s/skevla-capture", directory, from);
    if (stat(path, &found) == 0)
        return path;
    std::snprintf(path, sizeof path, "%.*s/%s/skevla-capture", directory, from,
                  SKEVLA_HELPER_FROM_BINARY);
    // /usr/lib/skevla/skevla-capture rather than /usr/bin/../lib/...
    static char resolved[PATH_MAX];
    return realpath(path, resolved) ? resolved : path;
}

bool startHelper(const options &settings, int channel, failure &why)
{
    const char *helper = helperPath();
    const char *arguments[9] = {"skevla-capture"};
    int count = 1;
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
    if (!settings.sandbox)
        arguments[count++] = "--no-sandbox";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, channel, channel_descriptor);
    posix_spawn_file_actions_addclosefrom_np(&actions, channel_descriptor + 1);
    const int failed = posix_spawn(&capture_pid, helper, &actions, nullptr,
                                   const_cast<char *const *>(arguments), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed == 0)
        return true;
    char shown[2 * PATH_MAX];
    shellWord(helper, shown, sizeof shown);
    if (failed == EACCES)
        return fail(why, 1,
                    "cannot start the capture helper %s: %s; live capture is for the members of "
                    "group skevla: sudo usermod -aG skevla \"$USER\", then log in again "
                    "(replaying a file with -r needs no group)",
                    shown, std::strerror(failed));
    return fail(why, 1, "cannot start the capture helper %s: %s; it belongs beside skevla", shown,
                std::strerror(failed));
}

bool forkReader(const options &settings, int channel, failure &why)
{
    const bool from_input = std::strcmp(settings.file, "-") == 0;
    const pid_t parent = getpid();
    capture_pid = fork();
    if (capture_pid == 0) {
        prctl(PR_SET_NAME, "skevla-capture");
        // The channel where the box expects it, standard input above it
        // (the box puts /dev/null on 0), and nothing else.
        dup2(channel, channel_descriptor);
        const int input =
            from_input ? fcntl(STDIN_FILENO, F_DUPFD, channel_descriptor + 1) : channel_descriptor;
        keepDescriptors(channel_descriptor, input);
        captureFile(channel_descriptor, settings.file, input, settings.filter, parent,
                    settings.sandbox);
    }
    if (capture_pid < 0)
        return fail(why, 1, "cannot start the capture process: %s", std::strerror(errno));
    // What the child reads is its own; this process never reads input.
    const int null = from_input ? open("/dev/null", O_RDONLY) : -1;
    if (null >= 0 && null != STDIN_FILENO) {
        dup2(null, STDIN_FILENO);
        close(null);
    }
    return true;
}

} // namespace

bool startCapture(const options &settings, failure &why)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return fail(why, 1, "cannot make a channel to the capture process: %s",
                    std::strerror(errno));
    const bool started =
        settings.file ? forkReader(settings, pair[1], why) : startHelper(settings, pair[1], why);
    close(pair[1]);
    sock = pair[0];
    if (started)
        capture_end = static_cast<int>(syscall(SYS_pidfd_open, capture_pid, 0));
    return started;
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
    if (how.si_status == SIGSYS) {
        char *called = refused_call >= 0
                           ? seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, refused_call)
                           : nullptr;
        std::snprintf(call, sizeof call, ": its sandbox refused a call%s%s%s", called ? " (" : "",
                      called ? called : "", called ? ")" : "");
        std::free(called);
    }
    fail(why, 1, "%s: killed by SIG%s%s", prefix, name ? name : "?", call);
}
