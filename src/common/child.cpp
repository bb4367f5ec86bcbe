#include "child.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <iterator>
#include <poll.h>
#include <sys/auxv.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace
{

const child_program *running; // for the handler of a refused call

constexpr int by_seccomp = 1; // the si_code of the filter's SIGSYS, SYS_SECCOMP, unnamed in glibc

bool isChannel(int fd)
{
    int type = 0;
    socklen_t size = sizeof type;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_SEQPACKET;
}

// A call outside the allowlist: the viewer is told which, then the process
// dies of SIGSYS by the one call its filter kills for. A SIGSYS sent by
// another process is not the filter's: it is not reported as one.
void refusedCall(int, siginfo_t *info, void *)
{
    if (info->si_code == by_seccomp)
        running->refused(info->si_syscall);
    syscall(SYS_kill, 0, SIGSYS); // killed by the filter before it runs
}

// The viewer decides when the child ends: the signals a terminal sends its
// whole process group are not the child's to act on.
void ignoreSignals()
{
    for (const int ignored : {SIGINT, SIGTERM, SIGUSR1, SIGPIPE})
        std::signal(ignored, SIG_IGN);
}

// Ends the child with the viewer. The parent-death signal does not reach
// it once the viewer is inside Landlock, which scopes signals, so every
// wait also watches the channel (viewerGone); the signal covers the steps
// before.
bool followViewer(pid_t parent, bool finishes, failure &why)
{
    if (!finishes && prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        return fail(why, 1, "cannot follow skevla (asking to end with it): %s",
                    std::strerror(errno));
    if (getppid() != parent || viewerGone())
        _exit(0);
    return true;
}

// /dev/null on standard input and output, and on error unless it speaks:
// no terminal is reachable.
bool silence(bool speaks, failure &why)
{
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = STDIN_FILENO; fd <= (speaks ? STDOUT_FILENO : STDERR_FILENO); ++fd)
        if (null < 0 || dup2(null, fd) != fd)
            return fail(why, 1,
                        "cannot box the process in (putting /dev/null on its standard "
                        "descriptors): %s",
                        std::strerror(errno));
    close(null);
    return true;
}

// What the sanitizers' runtime calls on its own in every child: the signal
// stack it checks when a handler runs, memory it gives back, and whether
// standard error, which a sanitized child keeps for its reports, is a
// terminal.
#ifdef SKEVLA_SANITIZE
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
const rule sanitizing[] = {
    {SCMP_ACT_ALLOW, SCMP_SYS(sigaltstack)},
    {SCMP_ACT_ALLOW, SCMP_SYS(madvise)},
    {SCMP_ACT_ALLOW, SCMP_SYS(ioctl), 1, {{1, SCMP_CMP_MASKED_EQ, 0xFFFFFFFF, TCGETS}}}};

constexpr scmp_arg_cmp no_exec{2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0};

// What every child's box allows, whatever its job: memory that is never
// executable, the clock, returning from a handler, closing, a descriptor's
// status (the fstat call: newfstatat would tell of any path, so a library
// that stats a path, or opens a file, is told no, softly), the end.
const rule base_allowed[] = {
    {SCMP_ACT_ALLOW, SCMP_SYS(brk)},
    {SCMP_ACT_ALLOW, SCMP_SYS(mmap), 1, {no_exec}},
    {SCMP_ACT_ALLOW, SCMP_SYS(munmap)},
    {SCMP_ACT_ALLOW, SCMP_SYS(mremap)},
    {SCMP_ACT_ALLOW, SCMP_SYS(clock_gettime)},
    {SCMP_ACT_ALLOW, SCMP_SYS(rt_sigreturn)},
    {SCMP_ACT_ALLOW, SCMP_SYS(restart_syscall)},
    {SCMP_ACT_ALLOW, SCMP_SYS(close)},
    {SCMP_ACT_ALLOW, SCMP_SYS(fstat)},
    {SCMP_ACT_ALLOW, SCMP_SYS(exit_group)},
    {SCMP_ACT_ERRNO(EACCES), SCMP_SYS(newfstatat)},
    {SCMP_ACT_ERRNO(EACCES), SCMP_SYS(open)},
};

bool enterBox(const child_program &program, failure &why)
{
    bool missing;
    if (!enterLandlock(program.changes, missing, why))
        return false;
    std::vector<rule> rules(std::begin(base_allowed), std::end(base_allowed));
    rules.insert(rules.end(), program.allowed.begin(), program.allowed.end());
    if (sanitized)
        rules.insert(rules.end(), std::begin(sanitizing), std::end(sanitizing));
    if (!program.refused)
        return loadRules(SCMP_ACT_KILL_PROCESS, rules, false, "its sandbox", why);
    struct sigaction report {
    };
    report.sa_sigaction = refusedCall;
    report.sa_flags = SA_SIGINFO;
    if (sigaction(SIGSYS, &report, nullptr) != 0)
        return fail(why, 1, "cannot box the process in (catching SIGSYS): %s",
                    std::strerror(errno));
    // The one call that ends it, for the report above.
    rules.push_back({SCMP_ACT_KILL_PROCESS, SCMP_SYS(kill)});
    return loadRules(SCMP_ACT_TRAP, rules, false, "its sandbox", why);
}

} // namespace

int fileStat(int fd, struct stat &out) { return static_cast<int>(syscall(SYS_fstat, fd, &out)); }

bool viewerGone()
{
    pollfd channel{channel_descriptor, 0, 0};
    return poll(&channel, 1, 0) == 1 && (channel.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void runChild(const child_program &program, int argc, char **argv)
{
    static failure why;
    running = &program;
    const pid_t parent = getppid();
    ignoreSignals();
    if (!isChannel(channel_descriptor)) {
        std::fprintf(stderr, "%s: this is skevla's %s; run skevla instead\n", argv[0],
                     program.name);
        _exit(2);
    }
    const bool sandbox = !(argc > 1 && std::strcmp(argv[1], "--no-sandbox") == 0);
    const bool started =
        // 1. Nothing it inherited but its standard descriptors, the channel
        // and the file it is handed.
        (closeAbove(program.handed ? handed_descriptor : channel_descriptor) ||
         fail(why, 1, "cannot close the descriptors it was given: %s", std::strerror(errno))) &&
        // 2. Its arguments. A privileged child (a file capability or setuid
        // made it so) never runs unboxed, whoever asks.
        (sandbox || !getauxval(AT_SECURE) ||
         fail(why, 2, "--no-sandbox is refused to a privileged helper")) &&
        program.read(sandbox ? argc : argc - 1, sandbox ? argv : argv + 1, why) &&
        // 3. What its job needs, while it may.
        program.acquire(why) &&
        // 4. No privilege left; 5. tied to the viewer.
        dropAll(program.who, why) && followViewer(parent, program.finishes, why) &&
        program.prepare(why) &&
        // 6. Its box, for good.
        silence(program.speaks || sanitized, why) && (!sandbox || enterBox(program, why));
    if (!started)
        program.fail(why);
    // 7.
    program.serve();
}
