#include "capture.h"

#include "child.h"
#include "packing.h"
#include "summary.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace
{

constexpr std::uint32_t allow = SCMP_ACT_ALLOW;
constexpr scmp_arg_cmp on_channel{0, SCMP_CMP_EQ, channel_descriptor, 0};

// Found with strace -f on both inputs, beside every child's base. Records
// go out with write and writev, which carry no descriptor. A replay reads
// a file's record headers with pread, and moves in it with lseek.
const rule allowed[] = {
    {allow, SCMP_SYS(read)},
    {allow, SCMP_SYS(pread64)},
    {allow, SCMP_SYS(lseek)},
    {allow, SCMP_SYS(poll)},
    {allow, SCMP_SYS(ppoll)},
    {allow, SCMP_SYS(write), 1, {on_channel}},
    {allow, SCMP_SYS(writev), 1, {on_channel}},
    {allow, SCMP_SYS(getsockopt)},
    {allow, SCMP_SYS(getsockname)},
    {allow, SCMP_SYS(clock_nanosleep)},
    {SCMP_ACT_ERRNO(EACCES), SCMP_SYS(openat)},
};

const source *input;
credit given;           // what the viewer's requests allow
message_packer message; // the next message of the stream
held_ring held;         // datagrams taken while it allows none
tallies told;           // told with every record
bool moved;             // a replay was asked to move since the input was last read

// The kernel's counts as they stand, and what is held.
void countNow()
{
    input->count(told);
    told.waiting += held.records;
}

// An answer, as soon as it is asked for.
void answerCounts()
{
    countNow();
    if (!sendRecord(channel_descriptor, record_kind::counts, stream_fields{told}))
        _exit(0);
}

// Takes the requests that have come, without waiting. One no viewer would
// send ends the process: it is not the viewer's.
void takeRequests()
{
    for (pollfd readable{channel_descriptor, POLLIN, 0}; poll(&readable, 1, 0) == 1;) {
        alignas(8) unsigned char request[64];
        ssize_t got;
        do
            got = read(channel_descriptor, request, sizeof request);
        while (got < 0 && errno == EINTR);
        if (got <= 0)
            _exit(0);
        std::size_t at = 0;
        std::uint8_t state = capture_streaming;
        const record_header *asked = takeRecord(capture_channel, side::viewer, state, request,
                                                static_cast<std::size_t>(got), at);
        if (!asked || at != static_cast<std::size_t>(got))
            _exit(1);
        if (asked->kind == record_kind::next) {
            grant(given, fieldsOf<next_fields>(*asked).datagrams);
        } else if (asked->kind == record_kind::seek) {
            if (!input->move)
                _exit(1);
            input->move(fieldsOf<seek_fields>(*asked).offset);
            moved = true;
        } else {
            answerCounts();
        }
    }
}

// Sends the message packed, if any, then takes the requests that came
// meanwhile. The viewer gone ends the process.
void send()
{
    if (message.used == 0)
        return;
    ssize_t written;
    do
        written = write(channel_descriptor, message.bytes, message.used);
    while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(message.used))
        _exit(0);
    sent(message, given);
    countNow();
    takeRequests();
}

// Packs a record of the stream, which the credit allows and the message
// has room for; a message whose credit for datagrams is spent goes at once.
void packRecord(record_kind kind, const void *fields, std::size_t size, const void *bytes = nullptr,
                std::size_t count = 0)
{
    pack(message, given, kind, fields, size, bytes, count);
    if (given.datagrams == 0)
        send();
}

// The one wait: what was packed goes first, then the viewer's requests,
// and, where more may be taken, the input.
void wait(bool for_input)
{
    send();
    pollfd ready[] = {{channel_descriptor, POLLIN, 0},
                      {for_input ? input->descriptor() : -1, POLLIN, 0}};
    poll(ready, 2, -1);
    takeRequests();
}

// Until the viewer asks for a message, and then for datagrams, where one is
// to be packed.
void awaitCredit(bool datagram)
{
    while (!mayPack(given, datagram))
        wait(false);
}

// A datagram taken from the input: packed, with a message of its own where
// the one being packed has no room; held where no credit is given and the
// ring has room; else it waits in place (in the kernel's ring, or libpcap's
// buffer) for the viewer to ask.
void packOrHold(const datagram_fields &fields, const unsigned char *bytes, std::size_t count)
{
    if (mayPack(given, true) && !roomFor(message, sizeof fields + count))
        send();
    if (!mayPack(given, true) &&
        hold(held, record_kind::datagram, &fields, sizeof fields, bytes, count))
        return;
    awaitCredit(true);
    packRecord(record_kind::datagram, &fields, sizeof fields, bytes, count);
}

// Sends what is held, then the stream's last record.
void endStream(record_kind kind, const failure *why)
{
    for (const record_header *first; (first = firstHeld(held)); release(held)) {
        if (!roomFor(message, first->size))
            send();
        awaitCredit(true);
        packRecord(record_kind::datagram, first + 1, first->size);
    }
    countNow();
    const std::size_t text = why ? strnlen(why->why, 4096) : 0;
    const failed_fields failed{told, why ? why->status : 0, 0};
    const stream_fields stream{told};
    const bool failing = kind == record_kind::failed;
    const std::size_t size = failing ? sizeof failed : sizeof stream;
    if (!roomFor(message, size + text))
        send();
    awaitCredit(false);
    packRecord(kind, failing ? static_cast<const void *>(&failed) : &stream, size,
               why ? why->why : nullptr, text);
    send();
}

[[noreturn]] void end(record_kind kind, const failure *why)
{
    endStream(kind, why);
    _exit(why ? why->status : 0);
}

// A replay at its end that may be moved back: the stream begins again
// with the move, once the viewer asks for one.
void awaitMove()
{
    while (!moved)
        wait(false);
}

// Told where the records that follow come from.
void packLanded(std::int64_t offset)
{
    countNow();
    const landed_fields landed{told, offset};
    if (!roomFor(message, sizeof landed))
        send();
    awaitCredit(false);
    packRecord(record_kind::landed, &landed, sizeof landed);
}

// Told at once (the next record may be long in coming), where a message
// may go, but one record tells a run of them.
void packSkipped()
{
    auto &last = *reinterpret_cast<record_header *>(message.bytes + message.last);
    if (message.used > 0 && last.kind == record_kind::skipped) {
        std::memcpy(&last + 1, &told, sizeof told);
        return;
    }
    if (mayPack(given, false) && !roomFor(message, sizeof told))
        send();
    if (mayPack(given, false))
        packRecord(record_kind::skipped, &told, sizeof told);
}

} // namespace

const std::span<const rule> capture_allowlist = allowed;

void reportRefused(int call)
{
    sendRecord(channel_descriptor, record_kind::refused, refused_fields{call, 0});
}

void failCapture(const failure &why)
{
    sendRecord(channel_descriptor, record_kind::failed, failed_fields{told, why.status, 0}, why.why,
               strnlen(why.why, 4096));
    _exit(why.status);
}

void serve(const source &from)
{
    static failure why;
    input = &from;
    if (from.holds() > 0)
        makeRing(held, std::max(from.holds(), message_limit));
    ready_fields ready{from.size, -1, 0, -1};
    if (from.span)
        from.span(ready);
    if (!sendRecord(channel_descriptor, record_kind::ready, ready))
        _exit(0);
    for (;;) {
        if (!mayPack(given, true))
            takeRequests();
        // What was held goes first, in the order it came.
        if (const record_header *first = firstHeld(held); first && mayPack(given, true)) {
            if (!roomFor(message, first->size)) {
                send();
                continue;
            }
            packRecord(record_kind::datagram, first + 1, first->size);
            release(held);
            continue;
        }
        const bool packing = mayPack(given, true);
        const bool holding = roomIn(held, sizeof(datagram_fields) + datagram_limit);
        if (!packing && !holding) {
            wait(false);
            continue;
        }
        found taken{};
        moved = false; // next makes the move asked for, if any
        switch (input->next(taken, why)) {
        case outcome::datagram: {
            told.file_read = input->read();
            const datagram_fields fields{told,
                                         taken.length,
                                         taken.nanoseconds,
                                         taken.seconds,
                                         taken.offset,
                                         summarizeSegment(taken.bytes, taken.captured, taken.wire)};
            packOrHold(fields, taken.bytes, taken.captured);
            break;
        }
        case outcome::skipped:
            ++told.skipped;
            told.file_read = input->read();
            packSkipped();
            break;
        case outcome::filtered:
            break;
        case outcome::landed:
            packLanded(taken.offset);
            break;
        case outcome::waiting:
            wait(true);
            break;
        case outcome::gone:
            end(record_kind::gone, &why);
        case outcome::ended:
            told.file_read = input->read();
            if (!input->stays || !input->stays())
                end(record_kind::ended, nullptr);
            endStream(record_kind::ended, nullptr);
            awaitMove();
            break;
        case outcome::failed:
            end(record_kind::failed, &why);
        }
    }
}
