#include "children.h"

#include "child.h"
#include "options.h"
#include "ring.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <iterator>
#include <seccomp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

// Room for a child's arguments: its name, --no-sandbox, five options with
// their values, a last one.
constexpr int arguments_limit = 14;

struct arguments {
    const char *words[arguments_limit + 1];
    int count;
    char numbers[2][32]; // the words made of numbers
};

void add(arguments &out, const char *word) { out.words[out.count++] = word; }

void addOption(arguments &out, const char *flag, const char *value)
{
    if (value) {
        add(out, flag);
        add(out, value);
    }
}

void captureArguments(const options &settings, arguments &out)
{
    addOption(out, "-f", settings.filter);
    if (settings.file) {
        // The reader takes the part replayed in nanoseconds.
        if (settings.from > 0) {
            std::snprintf(out.numbers[0], sizeof out.numbers[0], "%lld",
                          static_cast<long long>(settings.from));
            addOption(out, "--from", out.numbers[0]);
        }
        if (settings.to >= 0) {
            std::snprintf(out.numbers[1], sizeof out.numbers[1], "%lld",
                          static_cast<long long>(settings.to));
            addOption(out, "--to", out.numbers[1]);
        }
        add(out, settings.file);
        return;
    }
    addOption(out, "-i", settings.interface);
    addOption(out, "-Q", settings.direction);
    if (settings.ring_kib) {
        std::snprintf(out.numbers[0], sizeof out.numbers[0], "%lu", settings.ring_kib);
        addOption(out, "-B", out.numbers[0]);
    }
}

void keeperArguments(const options &settings, arguments &out)
{
    add(out, settings.snapshots ? settings.snapshots : ".");
}

void encoderArguments(const options &settings, arguments &out)
{
    std::snprintf(out.numbers[0], sizeof out.numbers[0], "%dx%d", settings.winx, settings.winy);
    std::snprintf(out.numbers[1], sizeof out.numbers[1], "%lu", settings.fps ? settings.fps : 30);
    add(out, out.numbers[0]);
    add(out, out.numbers[1]);
    add(out, settings.video);
}

struct child_kind {
    const char *program;
    const char *called; // in messages
    void (*arguments)(const options &settings, arguments &out);
    const char *denied; // the remedy where it may not be run, or nullptr
};

const char capture_denied[] =
    "live capture is for the members of group skevla: sudo usermod -aG skevla \"$USER\", then "
    "log in again (replaying a file with -r needs no group)";

// The capture helper and the reader share the capture process's place.
const child_kind helper{"skevla-capture", "capture helper", captureArguments, capture_denied};
const child_kind reader{"skevla-reader", "replay reader", captureArguments, nullptr};
const child_kind keeper{"skevla-keeper", "snapshot keeper", keeperArguments, nullptr};
const child_kind encoder{"skevla-encoder", "video encoder", encoderArguments, nullptr};

struct child_state {
    const char *ended_as; // how it is called when it ends: "the capture process"
    pid_t pid = -1;
    int channel = -1;
    bool reaped = false;
    siginfo_t how{}; // of its end, once reaped
};
child_state children[] = {{"the capture process"}, {"the snapshot keeper"}, {"the video encoder"}};

child_state &of(child_role role) { return children[static_cast<int>(role)]; }

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

// Reaps it if it has ended; true once it has been.
bool reap(child_state &child)
{
    if (child.pid < 0 || child.reaped)
        return true;
    child.how = {};
    if (waitid(P_PID, static_cast<id_t>(child.pid), &child.how, WEXITED | WNOHANG) == 0 &&
        child.how.si_pid != 0)
        child.reaped = true;
    return child.reaped;
}

} // namespace

bool startChild(child_role role, const options &settings, int handed, failure &why)
{
    const child_kind &kind = role == child_role::keeper    ? keeper
                             : role == child_role::encoder ? encoder
                             : settings.file               ? reader
                                                           : helper;
    arguments made{{kind.program}, 1, {}};
    if (!settings.sandbox)
        add(made, "--no-sandbox");
    kind.arguments(settings, made);
    made.words[made.count] = nullptr;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return fail(why, 1, "cannot make a channel to the %s: %s", kind.called,
                    std::strerror(errno));
    const char *path = programPath(kind.program);
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
    child_state &child = of(role);
    const int failed = posix_spawn(&child.pid, path, &actions, &attributes,
                                   const_cast<char *const *>(made.words), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(pair[1]);
    if (failed != 0) {
        close(pair[0]);
        child.pid = -1;
        char shown[2 * PATH_MAX];
        return fail(why, 1, "cannot start the %s %s: %s; %s", kind.called,
                    shellWord(path, shown, sizeof shown), std::strerror(failed),
                    failed == EACCES && kind.denied ? kind.denied : "it belongs beside skevla");
    }
    child.channel = pair[0];
    child.reaped = false;
    // What a replay's reader reads is its own; this process never reads input.
    if (role == child_role::capture && settings.file) {
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0 && null != STDIN_FILENO) {
            dup2(null, STDIN_FILENO);
            close(null);
        }
    }
    return true;
}

int channelOf(child_role role) { return of(role).channel; }

void closeChannel(child_role role)
{
    child_state &child = of(role);
    if (child.channel >= 0)
        close(child.channel);
    child.channel = -1;
}

void reapChildren()
{
    for (child_state &child : children)
        reap(child);
}

bool childEnded(child_role role) { return reap(of(role)); }

bool endedWell(child_role role, int refused_call, char *how, std::size_t size)
{
    const child_state &child = of(role);
    const char *what = child.ended_as;
    if (child.pid < 0 || !child.reaped) {
        std::snprintf(how, size, "%s closed the channel", what);
        return false;
    }
    if (child.how.si_code == CLD_EXITED) {
        std::snprintf(how, size, "%s ended: exited with status %d", what, child.how.si_status);
        return child.how.si_status == 0;
    }
    const char *name = sigabbrev_np(child.how.si_status);
    char call[96] = "";
    if (child.how.si_status == SIGSYS && refused_call >= 0) {
        char *called = seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, refused_call);
        std::snprintf(call, sizeof call, ": its sandbox refused a call%s%s%s", called ? " (" : "",
                      called ? called : "", called ? ")" : "");
        std::free(called);
    }
    std::snprintf(how, size, "%s ended: killed by SIG%s%s", what, name ? name : "?", call);
    return false;
}

bool endedWell(child_role role, int refused_call, failure &why)
{
    char how[256];
    const bool well = endedWell(role, refused_call, how, sizeof how);
    fail(why, 1, "%s", how);
    return well;
}

bool awaitEnd(child_role role)
{
    for (int tick = 0; tick < 100; ++tick) {
        if (childEnded(role))
            return true;
        const timespec hundredth{0, 10 * 1000 * 1000};
        nanosleep(&hundredth, nullptr);
    }
    return childEnded(role);
}
