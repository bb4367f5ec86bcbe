#include "children.h"

#include "child.h"
#include "privileges.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <poll.h>
#include <seccomp.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

// Beside this program, else where it was installed relative to it.
const char *programPath(const char *program)
{
    static char path[PATH_MAX + 64];
    const char *self = executablePath();
    const char *slash = std::strrchr(self, '/');
    const int directory = slash ? static_cast<int>(slash - self) : 1;
    const char *from = slash ? self : ".";
    struct stat found;
    std::snprintf(path, sizeof path, "%.*s/%s", directory, from, program);
    if (stat(path, &found) == 0)
        return path;
    std::snprintf(path, sizeof path, "%.*s/%s/%s", directory, from, SKEVLA_PROGRAMS_FROM_BINARY,
                  program);
    // /usr/lib/skevla/skevla-capture rather than /usr/bin/../lib/...
    static char resolved[PATH_MAX];
    return realpath(path, resolved) ? resolved : path;
}

} // namespace

bool spawnChild(const char *program, const char *what, const char *const arguments[],
                const char *denied, child &out, failure &why, int handed)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return fail(why, 1, "cannot make a channel to the %s: %s", what, std::strerror(errno));
    const char *path = programPath(program);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], channel_descriptor);
    if (handed >= 0)
        posix_spawn_file_actions_adddup2(&actions, handed, handed_descriptor);
    posix_spawn_file_actions_addclosefrom_np(&actions, handed_descriptor + (handed >= 0));
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t terminal;
    sigemptyset(&terminal);
    for (const int number : {SIGINT, SIGTERM, SIGUSR1})
        sigaddset(&terminal, number);
    posix_spawnattr_setsigmask(&attributes, &terminal);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    const int failed = posix_spawn(&out.pid, path, &actions, &attributes,
                                   const_cast<char *const *>(arguments), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(pair[1]);
    if (failed == 0) {
        out.channel = pair[0];
        return true;
    }
    close(pair[0]);
    char shown[2 * PATH_MAX];
    return fail(why, 1, "cannot start the %s %s: %s; %s", what,
                shellWord(path, shown, sizeof shown), std::strerror(failed),
                failed == EACCES && denied ? denied : "it belongs beside skevla");
}

bool handPicture(int channel, const void *header, std::size_t size, const unsigned char *pixels,
                 std::size_t bytes)
{
    const int file = memfd_create("skevla-picture", MFD_CLOEXEC);
    for (std::size_t done = 0; file >= 0 && done < bytes;) {
        const ssize_t written = write(file, pixels + done, bytes - done);
        if (written < 0 && errno != EINTR) {
            const int cause = errno;
            close(file);
            errno = cause;
            return false;
        }
        done += written > 0 ? static_cast<std::size_t>(written) : 0;
    }
    if (file < 0)
        return false;
    iovec part{const_cast<void *>(header), size};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof file)] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *attached = CMSG_FIRSTHDR(&message);
    attached->cmsg_level = SOL_SOCKET;
    attached->cmsg_type = SCM_RIGHTS;
    attached->cmsg_len = CMSG_LEN(sizeof file);
    std::memcpy(CMSG_DATA(attached), &file, sizeof file);
    ssize_t sent;
    do
        sent = sendmsg(channel, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    const int cause = errno;
    close(file);
    errno = cause;
    return sent == static_cast<ssize_t>(size);
}

bool reapChild(int &ended, const char *what, int refused_call, failure &why)
{
    // What closed the channel may go on: it is waited for a second at most.
    pollfd end{ended, POLLIN, 0};
    siginfo_t how{};
    if (ended < 0 || poll(&end, 1, 1000) != 1 ||
        waitid(P_PIDFD, static_cast<id_t>(ended), &how, WEXITED | WNOHANG) != 0 ||
        how.si_pid == 0) {
        return fail(why, 1, "%s closed the channel", what);
    }
    close(ended);
    ended = -1;
    if (how.si_code == CLD_EXITED) {
        fail(why, 1, "%s ended: exited with status %d", what, how.si_status);
        return how.si_status == 0;
    }
    const char *name = sigabbrev_np(how.si_status);
    char call[96] = "";
    if (how.si_status == SIGSYS && refused_call >= 0) {
        char *called = seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, refused_call);
        std::snprintf(call, sizeof call, ": its sandbox refused a call%s%s%s", called ? " (" : "",
                      called ? called : "", called ? ")" : "");
        std::free(called);
    }
    return fail(why, 1, "%s ended: killed by SIG%s%s", what, name ? name : "?", call);
}
