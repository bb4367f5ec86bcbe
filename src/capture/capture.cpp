#include "capture.h"

#include "file.h"
#include "privileges.h"
#include "record.h"
#include "sockets.h"
#include "summary.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <linux/prctl.h>
#include <poll.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
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
    report.length = info->si_syscall;
    sendRecord(reported_to, report, nullptr);
    syscall(SYS_kill, 0, SIGSYS);
}

struct allowed {
    int call;
    unsigned arguments; // how many comparisons follow
    scmp_arg_cmp compare;
};

// What reading a socket or a file through libpcap, decoding, and writing
// the channel need, and no more; found with strace -f on both inputs.
int allowCalls(scmp_filter_ctx filter, int channel)
{
    const scmp_arg_cmp on_channel{0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(channel), 0};
    const scmp_arg_cmp no_exec{2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0};
    const allowed calls[] = {
        {SCMP_SYS(read), 0, {}},
        {SCMP_SYS(recvfrom), 0, {}},
        {SCMP_SYS(recvmsg), 0, {}},
        {SCMP_SYS(poll), 0, {}},
        {SCMP_SYS(ppoll), 0, {}},
        {SCMP_SYS(write), 1, on_channel},
        {SCMP_SYS(sendmsg), 1, on_channel},
        {SCMP_SYS(getsockopt), 0, {}},
        {SCMP_SYS(getsockname), 0, {}},
        {SCMP_SYS(fstat), 0, {}},
        {SCMP_SYS(newfstatat), 0, {}},
        {SCMP_SYS(brk), 0, {}},
        {SCMP_SYS(mmap), 1, no_exec},
        {SCMP_SYS(munmap), 0, {}},
        {SCMP_SYS(mremap), 0, {}},
        {SCMP_SYS(clock_gettime), 0, {}},
        {SCMP_SYS(clock_nanosleep), 0, {}},
        {SCMP_SYS(rt_sigreturn), 0, {}},
        {SCMP_SYS(restart_syscall), 0, {}},
        {SCMP_SYS(exit_group), 0, {}},
#ifdef SKEVLA_SANITIZE
        // AddressSanitizer looks at the signal stack when a handler runs.
        {SCMP_SYS(sigaltstack), 0, {}},
#endif
    };
    int result = 0;
    for (const auto &call : calls)
        if (result == 0)
            result = call.arguments
                         ? seccomp_rule_add(filter, SCMP_ACT_ALLOW, call.call, 1, call.compare)
                         : seccomp_rule_add(filter, SCMP_ACT_ALLOW, call.call, 0);
    // A library that probes for a file is told no, softly.
    for (const int call : {SCMP_SYS(open), SCMP_SYS(openat)})
        if (result == 0)
            result = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), call, 0);
    if (result == 0)
        result = seccomp_rule_add(filter, SCMP_ACT_KILL_PROCESS, SCMP_SYS(kill), 0);
    return result;
}

const char *enterAllowlist(int channel)
{
    struct sigaction report {
    };
    report.sa_sigaction = refused;
    report.sa_flags = SA_SIGINFO;
    reported_to = channel;
    if (sigaction(SIGSYS, &report, nullptr) != 0)
        return "catching SIGSYS";
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_TRAP);
    if (!filter)
        return "starting the filter";
    int result = seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS);
    if (result == 0)
        result = allowCalls(filter, channel);
    return loadFilter(filter, result);
}

// The next request; the viewer gone ends the process.
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

void send(int channel, const record_header &header, const void *bytes)
{
    if (!sendRecord(channel, header, bytes))
        _exit(0);
}

// Counters that every record carries.
record_header carried;

void sendCounts(int channel, unsigned long dropped)
{
    record_header answer = carried;
    answer.kind = record_kind::counts;
    answer.dropped = dropped;
    send(channel, answer, nullptr);
}

void sendDatagram(int channel, record_header &record, const unsigned char *bytes)
{
    record.kind = record_kind::datagram;
    record.summary = summarizeSegment(bytes, record.captured, record.wire);
    record.skipped = carried.skipped;
    carried.dropped = record.dropped;
    send(channel, record, bytes);
}

[[noreturn]] void end(int channel, record_kind kind, int status, const char *cause)
{
    record_header last = carried;
    last.kind = kind;
    last.length = status;
    last.captured = static_cast<std::uint32_t>(cause ? std::strlen(cause) : 0);
    send(channel, last, cause);
    _exit(status);
}

} // namespace

void failCapture(int channel, int status, const char *cause)
{
    end(channel, record_kind::failed, status, cause);
}

namespace
{

const char *boxCapture(int channel, pid_t parent, bool sandbox)
{
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        return "asking to end with the viewer";
    if (getppid() != parent)
        _exit(0);
    for (const int ignored : {SIGINT, SIGTERM, SIGUSR1, SIGPIPE})
        std::signal(ignored, SIG_IGN);
    const int null = open("/dev/null", O_RDWR);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (null < 0 || (null != fd && dup2(null, fd) != fd))
            return "putting /dev/null on standard input, output and error";
    if (null > STDERR_FILENO)
        close(null);
    return sandbox ? enterAllowlist(channel) : nullptr;
}

void sendReady(int channel)
{
    record_header ready{};
    ready.kind = record_kind::ready;
    send(channel, ready, nullptr);
}

} // namespace

void unprivilegeOrFail(int channel)
{
    const char *failed = becomeUnprivileged();
    if (!failed)
        failed = shedPrivileges();
    if (failed) {
        char why[256];
        std::snprintf(why, sizeof why,
                      "cannot drop privileges (%s): %s; refusing to go on with them", failed,
                      std::strerror(errno));
        failCapture(channel, 1, why);
    }
}

void boxOrFail(int channel, pid_t parent, bool sandbox)
{
    if (const char *failed = boxCapture(channel, parent, sandbox)) {
        char why[256];
        std::snprintf(why, sizeof why, "cannot box the capture process in (%s): %s", failed,
                      std::strerror(errno));
        failCapture(channel, 1, why);
    }
}

void serveLive(int channel)
{
    static unsigned char bytes[datagram_limit];
    char why[256];
    sendReady(channel);
    for (;;) {
        if (awaitRequest(channel) == request_kind::counts) {
            sendCounts(channel, kernelDrops());
            continue;
        }
        for (bool taken = false; !taken;) {
            pollfd wait_on[3] = {{channel, POLLIN, 0}};
            watchSockets(wait_on + 1);
            if (poll(wait_on, 3, -1) < 0)
                continue;
            if (wait_on[0].revents != 0) {
                // Only counts can come while a datagram is awaited.
                if (awaitRequest(channel) == request_kind::counts)
                    sendCounts(channel, kernelDrops());
                continue;
            }
            record_header record{};
            switch (receiveDatagram(wait_on + 1, bytes, record, why, sizeof why)) {
            case received::datagram:
                sendDatagram(channel, record, bytes);
                taken = true;
                break;
            case received::none:
                break;
            case received::gone:
                carried.dropped = kernelDrops();
                end(channel, record_kind::gone, 1, why);
            }
        }
    }
}

void serveFile(int channel)
{
    char why[512];
    sendReady(channel);
    for (;;) {
        if (awaitRequest(channel) == request_kind::counts) {
            sendCounts(channel, 0);
            continue;
        }
        for (bool taken = false; !taken;) {
            record_header record{};
            record.skipped = carried.skipped;
            const unsigned char *bytes = nullptr;
            const read_result result = readDatagram(record, bytes, why, sizeof why);
            carried.skipped = record.skipped;
            switch (result) {
            case read_result::datagram:
                sendDatagram(channel, record, bytes);
                taken = true;
                break;
            case read_result::skipped:
                // Told at once: the next record may be long in coming.
                sendCounts(channel, 0);
                break;
            case read_result::ended:
                end(channel, record_kind::ended, 0, nullptr);
            case read_result::failed:
                end(channel, record_kind::failed, 1, why);
            }
        }
    }
}

void captureFile(int channel, int descriptor, pid_t parent, bool sandbox)
{
    char why[512];
    // fdopen asks for the descriptor's flags, a call the box refuses.
    FILE *stream = fdopen(descriptor, "r");
    if (!stream) {
        std::snprintf(why, sizeof why, "cannot read the file: %s", std::strerror(errno));
        failCapture(channel, 1, why);
    }
    unprivilegeOrFail(channel);
    boxOrFail(channel, parent, sandbox);
    if (const int status = openFile(stream, why, sizeof why))
        failCapture(channel, status, why);
    serveFile(channel);
}
