#include "capture.h"

#include "file.h"
#include "filter.h"
#include "privileges.h"
#include "summary.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <linux/prctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

int reported_to = -1; // the channel, for the report of a refused call

// Every call not on the list lands here: the viewer is told which, then the
// process dies of SIGSYS by the one call the filter kills for.
void refused(int, siginfo_t *info, void *)
{
    record_header report{};
    report.kind = record_kind::refused;
    report.call = info->si_syscall;
    sendRecord(reported_to, report, nullptr);
    syscall(SYS_kill, 0, SIGSYS);
}

constexpr std::uint32_t allow = SCMP_ACT_ALLOW;
constexpr scmp_arg_cmp on_channel{0, SCMP_CMP_EQ, channel_descriptor, 0};
constexpr scmp_arg_cmp no_exec{2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0};

// What reading a socket or a file through libpcap, decoding, and writing
// the channel need, and no more; found with strace -f on both inputs. A
// library that probes for a file is told no, softly; kill is the one call
// that ends the process, for the report above.
const rule allowlist[] = {
    {allow, SCMP_SYS(read)},
    {allow, SCMP_SYS(recvfrom)},
    {allow, SCMP_SYS(recvmsg)},
    {allow, SCMP_SYS(poll)},
    {allow, SCMP_SYS(ppoll)},
    {allow, SCMP_SYS(write), 1, {on_channel}},
    {allow, SCMP_SYS(sendmsg), 1, {on_channel}},
    {allow, SCMP_SYS(getsockopt)},
    {allow, SCMP_SYS(getsockname)},
    {allow, SCMP_SYS(fstat)},
    {allow, SCMP_SYS(newfstatat)},
    {allow, SCMP_SYS(brk)},
    {allow, SCMP_SYS(mmap), 1, {no_exec}},
    {allow, SCMP_SYS(munmap)},
    {allow, SCMP_SYS(mremap)},
    {allow, SCMP_SYS(clock_gettime)},
    {allow, SCMP_SYS(clock_nanosleep)},
    {allow, SCMP_SYS(rt_sigreturn)},
    {allow, SCMP_SYS(restart_syscall)},
    {allow, SCMP_SYS(close)},
    {allow, SCMP_SYS(exit_group)},
#ifdef SKEVLA_SANITIZE
    // AddressSanitizer looks at the signal stack when a handler runs.
    {allow, SCMP_SYS(sigaltstack)},
#endif
    {SCMP_ACT_ERRNO(EACCES), SCMP_SYS(open)},
    {SCMP_ACT_ERRNO(EACCES), SCMP_SYS(openat)},
    {SCMP_ACT_KILL_PROCESS, SCMP_SYS(kill)},
};

bool enterAllowlist(int channel, failure &why)
{
    struct sigaction report {
    };
    report.sa_sigaction = refused;
    report.sa_flags = SA_SIGINFO;
    reported_to = channel;
    if (sigaction(SIGSYS, &report, nullptr) != 0)
        return fail(why, 1, "cannot box the capture process in (catching SIGSYS): %s",
                    std::strerror(errno));
    return loadRules(SCMP_ACT_TRAP, allowlist, false, "the capture process's sandbox", why);
}

// The viewer gone ends the process, at any step.
void send(int channel, const record_header &header, const void *bytes)
{
    if (!sendRecord(channel, header, bytes))
        _exit(0);
}

request_kind awaitRequest(int channel)
{
    request_kind asked{};
    ssize_t got;
    do
        got = read(channel, &asked, sizeof asked);
    while (got < 0 && errno == EINTR);
    if (got != sizeof asked)
        _exit(0);
    return asked;
}

void sendCounts(int channel, std::uint64_t dropped, std::uint64_t skipped)
{
    record_header answer{};
    answer.kind = record_kind::counts;
    answer.dropped = dropped;
    answer.skipped = skipped;
    send(channel, answer, nullptr);
}

[[noreturn]] void end(int channel, record_kind kind, std::uint64_t dropped, std::uint64_t skipped,
                      const failure *why)
{
    record_header last{};
    last.kind = kind;
    last.status = why ? why->status : 0;
    last.dropped = dropped;
    last.skipped = skipped;
    last.captured = why ? static_cast<std::uint32_t>(strnlen(why->why, datagram_limit)) : 0;
    send(channel, last, why ? why->why : nullptr);
    _exit(last.status);
}

} // namespace

void failCapture(int channel, const failure &why) { end(channel, record_kind::failed, 0, 0, &why); }

void followViewer(int channel, pid_t parent)
{
    static failure why;
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
        fail(why, 1, "cannot box the capture process in (asking to end with the viewer): %s",
             std::strerror(errno));
        failCapture(channel, why);
    }
    if (getppid() != parent)
        _exit(0);
    for (const int ignored : {SIGINT, SIGTERM, SIGUSR1, SIGPIPE})
        std::signal(ignored, SIG_IGN);
}

void boxOrFail(int channel, pid_t parent, bool sandbox)
{
    static failure why;
    followViewer(channel, parent);
    const int null = open("/dev/null", O_RDWR);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (null < 0 || (null != fd && dup2(null, fd) != fd)) {
            fail(why, 1,
                 "cannot box the capture process in (putting /dev/null on standard input, "
                 "output and error): %s",
                 std::strerror(errno));
            failCapture(channel, why);
        }
    if (null > STDERR_FILENO)
        close(null);
    if (sandbox && !enterAllowlist(channel, why))
        failCapture(channel, why);
}

void serve(int channel, const source &input)
{
    static failure why;
    std::uint64_t dropped = 0, skipped = 0;
    record_header ready{};
    ready.kind = record_kind::ready;
    send(channel, ready, nullptr);
    // At the last, what is kept back will never be shown either.
    const auto answer = [&](request_kind asked) {
        sendCounts(channel, input.drops() + (asked == request_kind::last ? input.held() : 0),
                   skipped);
    };
    for (;;) {
        if (const request_kind asked = awaitRequest(channel); asked != request_kind::next) {
            answer(asked);
            continue;
        }
        for (bool sent = false; !sent;) {
            found taken{};
            switch (input.next(channel, taken, why)) {
            case outcome::datagram: {
                record_header record{};
                record.kind = record_kind::datagram;
                record.length = taken.length;
                record.captured = taken.captured;
                record.seconds = taken.seconds;
                record.nanoseconds = taken.nanoseconds;
                record.dropped = dropped = taken.dropped;
                record.skipped = skipped;
                record.summary = summarizeSegment(taken.bytes, taken.captured, taken.wire);
                send(channel, record, taken.bytes);
                sent = true;
                break;
            }
            case outcome::skipped:
                // Told at once: the next record may be long in coming.
                sendCounts(channel, dropped, ++skipped);
                break;
            case outcome::nothing_yet:
                // Only counts can be asked for while a datagram is awaited.
                if (const request_kind asked = awaitRequest(channel); asked != request_kind::next)
                    answer(asked);
                break;
            case outcome::gone:
                end(channel, record_kind::gone, input.drops(), skipped, &why);
            case outcome::ended:
                end(channel, record_kind::ended, dropped, skipped, nullptr);
            case outcome::failed:
                end(channel, record_kind::failed, dropped, skipped, &why);
            }
        }
    }
}

void captureFile(int channel, const char *path, int input, const char *expression, pid_t parent,
                 bool sandbox)
{
    static failure why;
    static file_programs programs;
    // The file is opened, and the filter compiled, by the user the run is
    // for: under sudo the one who ran it, nobody for root. Changing ids
    // undoes the tie to the viewer, which an open waiting for a FIFO's
    // writer needs, so it is made again after.
    followViewer(channel, parent);
    if (!dropAll(identity::unprivileged, why) || !compileForFiles(expression, programs, why))
        failCapture(channel, why);
    followViewer(channel, parent);
    FILE *stream = std::strcmp(path, "-") == 0 ? fdopen(input, "r") : std::fopen(path, "re");
    if (!stream) {
        fail(why, 1, "%s: %s", path, std::strerror(errno));
        failCapture(channel, why);
    }
    // A buffer of its own, so stdio never asks the box for the file's
    // kind (a terminal test on a character device).
    static char buffer[1 << 16];
    setvbuf(stream, buffer, _IOFBF, sizeof buffer);
    boxOrFail(channel, parent, sandbox);
    if (!openFile(stream, path, programs, why))
        failCapture(channel, why);
    serve(channel, file_source);
}
