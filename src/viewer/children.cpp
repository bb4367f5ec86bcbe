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
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
                const char *denied, child &out, failure &why)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return fail(why, 1, "cannot make a channel to the %s: %s", what, std::strerror(errno));
    const char *path = programPath(program);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], channel_descriptor);
    posix_spawn_file_actions_addclosefrom_np(&actions, channel_descriptor + 1);
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
