#include "capture.h"

#include "child.h"
#include "summary.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

constexpr std::uint32_t allow = SCMP_ACT_ALLOW;
constexpr scmp_arg_cmp on_channel{0, SCMP_CMP_EQ, channel_descriptor, 0};
constexpr scmp_arg_cmp no_exec{2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0};

// Found with strace -f on both inputs. A library that probes for a file is
// told no, softly.
const rule allowed[] = {
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
    {SCMP_ACT_ERRNO(EACCES), SCMP_SYS(open)},
    {SCMP_ACT_ERRNO(EACCES), SCMP_SYS(openat)},
};

// The viewer gone ends the process, at any step.
void send(const record_header &header, const void *bytes)
{
    if (!sendRecord(channel_descriptor, header, bytes))
        _exit(0);
}

request_kind awaitRequest()
{
    request_kind asked{};
    ssize_t got;
    do
        got = read(channel_descriptor, &asked, sizeof asked);
    while (got < 0 && errno == EINTR);
    if (got != sizeof asked)
        _exit(0);
    return asked;
}

void sendCounts(std::uint64_t dropped, std::uint64_t skipped)
{
    record_header answer{};
    answer.kind = record_kind::counts;
    answer.dropped = dropped;
    answer.skipped = skipped;
    send(answer, nullptr);
}

[[noreturn]] void end(record_kind kind, std::uint64_t dropped, std::uint64_t skipped,
                      const failure *why)
{
    record_header last{};
    last.kind = kind;
    last.status = why ? why->status : 0;
    last.dropped = dropped;
    last.skipped = skipped;
    last.captured = why ? static_cast<std::uint32_t>(strnlen(why->why, datagram_limit)) : 0;
    send(last, why ? why->why : nullptr);
    _exit(last.status);
}

} // namespace

const std::span<const rule> capture_allowlist = allowed;

void reportRefused(int call)
{
    record_header report{};
    report.kind = record_kind::refused;
    report.call = call;
    sendRecord(channel_descriptor, report, nullptr);
}

void failCapture(const failure &why) { end(record_kind::failed, 0, 0, &why); }

void serve(const source &input)
{
    static failure why;
    std::uint64_t dropped = 0, skipped = 0;
    record_header ready{};
    ready.kind = record_kind::ready;
    send(ready, nullptr);
    // The kernel's count as a receive reported it may be older than one
    // read since: what is told never goes down.
    const auto answer = [&] {
        dropped = std::max(dropped, input.drops());
        sendCounts(dropped, skipped);
    };
    for (;;) {
        if (awaitRequest() != request_kind::next) {
            answer();
            continue;
        }
        for (bool sent = false; !sent;) {
            found taken{};
            switch (input.next(taken, why)) {
            case outcome::datagram: {
                record_header record{};
                record.kind = record_kind::datagram;
                record.length = taken.length;
                record.captured = taken.captured;
                record.seconds = taken.seconds;
                record.nanoseconds = taken.nanoseconds;
                record.dropped = dropped = std::max(dropped, taken.dropped);
                record.skipped = skipped;
                record.summary = summarizeSegment(taken.bytes, taken.captured, taken.wire);
                send(record, taken.bytes);
                sent = true;
                break;
            }
            case outcome::skipped:
                // Told at once: the next record may be long in coming.
                sendCounts(dropped, ++skipped);
                break;
            case outcome::nothing_yet:
                // Only counts can be asked for while a datagram is awaited.
                if (awaitRequest() != request_kind::next)
                    answer();
                break;
            case outcome::gone:
                end(record_kind::gone, std::max(dropped, input.drops()), skipped, &why);
            case outcome::ended:
                end(record_kind::ended, dropped, skipped, nullptr);
            case outcome::failed:
                end(record_kind::failed, dropped, skipped, &why);
            }
        }
    }
}
