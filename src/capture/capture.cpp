#include "capture.h"

#include "child.h"
#include "summary.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr std::uint32_t allow = SCMP_ACT_ALLOW;
constexpr scmp_arg_cmp on_channel{0, SCMP_CMP_EQ, channel_descriptor, 0};

// Found with strace -f on both inputs, beside every child's base. Records
// go out with write and writev, which carry no descriptor.
const rule allowed[] = {
    {allow, SCMP_SYS(read)},
    {allow, SCMP_SYS(poll)},
    {allow, SCMP_SYS(ppoll)},
    {allow, SCMP_SYS(write), 1, {on_channel}},
    {allow, SCMP_SYS(writev), 1, {on_channel}},
    {allow, SCMP_SYS(getsockopt)},
    {allow, SCMP_SYS(getsockname)},
    {allow, SCMP_SYS(clock_nanosleep)},
    {SCMP_ACT_ERRNO(EACCES), SCMP_SYS(openat)},
};

// The viewer gone ends the process, at any step.
void send(const void *message, std::size_t size)
{
    ssize_t sent;
    do
        sent = write(channel_descriptor, message, size);
    while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(size))
        _exit(0);
}

// The stream as the viewer has asked for it: messages it may still be
// sent, and datagrams they may hold.
struct asked_for {
    std::uint32_t messages;
    std::uint64_t datagrams;
};
asked_for credit;

// The message being packed, sent as soon as it is full or the source would
// wait: records as they come, at once when they come slowly.
struct packing {
    alignas(record_header) unsigned char bytes[message_limit];
    std::size_t used;
    std::size_t last; // where the last record added begins
};
packing message;

std::uint64_t dropped, skipped; // told with every record: what the source has counted so far
const source *input;

// Datagrams taken from the sockets while the viewer asks for none (paused,
// or its log behind), records back to back as in a message: on a quiet
// link each block of the ring holds a datagram or two, so the ring alone
// would keep few. At most the source's holds() bytes of them.
struct held_records {
    std::vector<unsigned char> bytes;
    std::size_t first; // the first not yet sent
};
held_records held;

bool holding() { return held.first < held.bytes.size(); }

// Whether a datagram of any size may still be held.
bool mayHold()
{
    return held.bytes.size() - held.first + recordSpan(datagram_limit) <= input->holds();
}

void hold(const record_header &header, const void *bytes)
{
    if (!holding())
        held.bytes.clear(), held.first = 0;
    const std::size_t at = held.bytes.size();
    held.bytes.resize(at + recordSpan(header.captured));
    std::memcpy(held.bytes.data() + at, &header, sizeof header);
    if (header.captured > 0)
        std::memcpy(held.bytes.data() + at + sizeof header, bytes, header.captured);
}

void takeRequest(const request &asked)
{
    if (asked.kind == request_kind::next) {
        ++credit.messages;
        credit.datagrams += asked.datagrams;
        return;
    }
    // The kernel's count as a receive reported it may be older than one
    // read since: what is told never goes down.
    dropped = std::max(dropped, input->drops());
    record_header answer{};
    answer.kind = record_kind::counts;
    answer.dropped = dropped;
    answer.skipped = skipped;
    if (!sendRecord(channel_descriptor, answer, nullptr))
        _exit(0);
}

// Takes the requests that have come, and waits for one while no more of
// the stream may be sent, unless datagrams may be held meanwhile.
void takeRequests()
{
    for (;;) {
        const bool stalled = credit.messages == 0 || credit.datagrams == 0;
        const bool waiting = stalled && !mayHold();
        pollfd readable{channel_descriptor, POLLIN, 0};
        if (!waiting && !(stalled && message.used > 0) && poll(&readable, 1, 0) != 1)
            return;
        if (stalled && message.used > 0) {
            // All that may be sent has been taken: it goes now.
            send(message.bytes, message.used);
            message.used = 0;
            --credit.messages;
            continue;
        }
        request asked{};
        ssize_t got;
        do
            got = read(channel_descriptor, &asked, sizeof asked);
        while (got < 0 && errno == EINTR);
        if (got != sizeof asked)
            _exit(0);
        takeRequest(asked);
    }
}

// Sends the message being packed, then takes the requests that came
// meanwhile.
void flush()
{
    if (message.used == 0)
        return;
    send(message.bytes, message.used);
    message.used = 0;
    --credit.messages;
    dropped = std::max(dropped, input->drops());
    takeRequests();
}

// Whether a record of the stream may go into the message being packed:
// one full is sent first, and more may be asked for. Where no more is,
// the record waits (held, or taken later).
bool roomFor(std::uint32_t captured)
{
    if (message.used + recordSpan(captured) > sizeof message.bytes)
        flush();
    return credit.messages > 0 && credit.datagrams > 0;
}

// Adds a record of the stream, in a message of its own where the one being
// packed has no room for it.
void append(record_header &header, const void *bytes)
{
    const std::size_t span = recordSpan(header.captured);
    if (message.used + span > sizeof message.bytes)
        flush();
    header.dropped = dropped;
    header.skipped = skipped;
    header.file_read = input->read();
    message.last = message.used;
    std::memcpy(message.bytes + message.used, &header, sizeof header);
    if (header.captured > 0)
        std::memcpy(message.bytes + message.used + sizeof header, bytes, header.captured);
    std::memset(message.bytes + message.used + sizeof header + header.captured, 0,
                span - sizeof header - header.captured);
    message.used += span;
}

[[noreturn]] void end(record_kind kind, const failure *why)
{
    record_header last{};
    last.kind = kind;
    last.status = why ? why->status : 0;
    last.captured = why ? static_cast<std::uint32_t>(strnlen(why->why, datagram_limit)) : 0;
    append(last, why ? why->why : nullptr);
    flush();
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

void failCapture(const failure &why)
{
    record_header last{};
    last.kind = record_kind::failed;
    last.status = why.status;
    last.captured = static_cast<std::uint32_t>(strnlen(why.why, datagram_limit));
    sendRecord(channel_descriptor, last, why.why);
    _exit(why.status);
}

void beforeWaiting() { flush(); }

void serve(const source &from)
{
    static failure why;
    input = &from;
    record_header ready{};
    ready.kind = record_kind::ready;
    ready.file_size = from.size;
    if (!sendRecord(channel_descriptor, ready, nullptr))
        _exit(0);
    for (;;) {
        if (credit.messages == 0 || credit.datagrams == 0)
            takeRequests();
        const bool sending = credit.messages > 0 && credit.datagrams > 0;
        if (sending && holding()) {
            // What was held goes first, in the order it came.
            record_header record;
            std::memcpy(&record, held.bytes.data() + held.first, sizeof record);
            if (!roomFor(record.captured))
                continue;
            append(record, held.bytes.data() + held.first + sizeof record);
            held.first += recordSpan(record.captured);
            --credit.datagrams;
            continue;
        }
        found taken{};
        switch (input->next(taken, why)) {
        case outcome::datagram: {
            record_header record{};
            record.kind = record_kind::datagram;
            record.length = taken.length;
            record.captured = taken.captured;
            record.seconds = taken.seconds;
            record.nanoseconds = taken.nanoseconds;
            record.summary = summarizeSegment(taken.bytes, taken.captured, taken.wire);
            dropped = std::max(dropped, taken.dropped);
            // The wait may have sent the message being packed, and with it
            // the last of what was asked for.
            if (!roomFor(record.captured)) {
                hold(record, taken.bytes);
                break;
            }
            append(record, taken.bytes);
            --credit.datagrams;
            break;
        }
        case outcome::skipped: {
            // Told at once (the next record may be long in coming), but one
            // record tells a run of them.
            ++skipped;
            auto *last = reinterpret_cast<record_header *>(message.bytes + message.last);
            if (message.used > 0 && last->kind == record_kind::skipped) {
                last->skipped = skipped;
            } else {
                record_header told{};
                told.kind = record_kind::skipped;
                append(told, nullptr);
            }
            break;
        }
        case outcome::nothing_yet:
            takeRequests();
            break;
        case outcome::gone:
            dropped = std::max(dropped, input->drops());
            end(record_kind::gone, &why);
        case outcome::ended:
            end(record_kind::ended, nullptr);
        case outcome::failed:
            end(record_kind::failed, &why);
        }
    }
}
