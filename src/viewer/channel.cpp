#include "channel.h"

#include "launch.h"
#include "report.h"
#include "signals.h"
#include "state.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr long long nanoseconds_per_second = 1000000000;
constexpr long long day = 86400 * nanoseconds_per_second;

// The held datagram: asked for, received, not yet shown.
alignas(record_header) unsigned char held[record_limit];
bool holding;
long long held_due;
bool asked;               // a datagram is asked for and has not come
int counts_asked;         // answers to counts still to come
bool over;                // an end has come: the capture process is done
long refused_call = -1;   // what its sandbox refused, as it reported it
unsigned long unshown;    // datagrams taken from the kernel and never shown
bool as_fast_as_possible; // -t
pace recorded;
bool shown_any;
timeval last_shown; // the stamp of the last record shown

const record_header &heldHeader() { return *reinterpret_cast<const record_header *>(held); }

timeval stampOf(const record_header &header)
{
    return {static_cast<time_t>(header.seconds),
            static_cast<suseconds_t>(header.nanoseconds / 1000)};
}

void ask(request_kind what)
{
    // Two requests at most are ever on their way: the channel takes them.
    // A write, since the sandbox refuses sendto.
    if (write(sock, &what, sizeof what)) {
    }
}

enum class message { record, none, closed, damaged };

// One message from the channel into into, of room bytes, checked.
message receive(unsigned char *into, std::size_t room, int flags, std::size_t &size)
{
    // A capture process that died before reading a request resets the
    // channel; what it sent before is still there to read.
    ssize_t got;
    do
        got = recv(sock, into, room, flags | MSG_TRUNC);
    while (got < 0 && (errno == EINTR || errno == ECONNRESET));
    if (got < 0 && errno == EAGAIN)
        return message::none;
    if (got <= 0)
        return message::closed;
    size = static_cast<std::size_t>(got);
    return size <= room && checkRecord(into, size) ? message::record : message::damaged;
}

// Text that follows a header, checked printable, as a C string; a file's
// failures name the file.
void textOf(const unsigned char *record, char *why, std::size_t size)
{
    const auto &header = *reinterpret_cast<const record_header *>(record);
    const bool named = counts.file && header.kind == record_kind::failed && header.length == 1;
    std::snprintf(why, size, "%s%s%.*s", named ? counts.file : "", named ? ": " : "",
                  static_cast<int>(header.captured),
                  reinterpret_cast<const char *>(record + sizeof header));
}

// How it ended when the channel closed without an end: how it died.
arrival died(char *why, std::size_t size)
{
    over = true;
    reapCapture(refused_call, why, size);
    return arrival::gone;
}

arrival damaged(char *why, std::size_t size)
{
    over = true;
    std::snprintf(why, size, "the capture process sent a damaged record");
    return arrival::gone;
}

} // namespace

int awaitCapture(bool top_speed, double speed, char *why, std::size_t size)
{
    as_fast_as_possible = top_speed;
    recorded.speed = speed;
    // A pipe may be long in giving a file's header: the signals act meanwhile.
    for (;;) {
        pollfd wait_on[] = {{sock, POLLIN, 0}, {signalDescriptor(), POLLIN, 0}};
        poll(wait_on, 2, -1);
        const int caught = wait_on[1].revents ? nextSignal() : 0;
        if (caught == SIGINT || caught == SIGTERM)
            return -1;
        if (caught == SIGUSR1) {
            holdCounts(counts);
            flushCounts();
        }
        if (wait_on[0].revents)
            break;
    }
    std::size_t got = 0;
    switch (receive(held, sizeof held, MSG_DONTWAIT, got)) {
    case message::record:
        break;
    case message::none:
    case message::closed:
        died(why, size);
        return 1;
    case message::damaged:
        damaged(why, size);
        return 1;
    }
    const auto &header = heldHeader();
    if (header.kind == record_kind::failed) {
        textOf(held, why, size);
        return header.length;
    }
    if (header.kind != record_kind::ready)
        return damaged(why, size), 1;
    asked = true;
    ask(request_kind::next);
    return 0;
}

void watchChannel(pollfd &wait_on)
{
    const bool expecting = (asked && !holding) || counts_asked > 0;
    wait_on = {over ? -1 : sock, static_cast<short>(expecting ? POLLIN : 0), 0};
}

long long channelDue() { return holding ? held_due : -1; }

arrival grabPacket(bool readable, long long now, bool more, datagram &taken, char *why,
                   std::size_t size)
{
    if (readable && !over) {
        // A datagram goes where it is held until shown; anything else may
        // come while one is held, into a small place of its own.
        alignas(record_header) static unsigned char answer[sizeof(record_header) + 512];
        unsigned char *into = holding ? answer : held;
        std::size_t got = 0;
        switch (receive(into, holding ? sizeof answer : sizeof held, MSG_DONTWAIT, got)) {
        case message::none:
            break;
        case message::closed:
            return died(why, size);
        case message::damaged:
            return damaged(why, size);
        case message::record: {
            const auto &header = *reinterpret_cast<const record_header *>(into);
            counts.skipped = header.skipped;
            switch (header.kind) {
            case record_kind::datagram:
                if (holding || !asked)
                    return damaged(why, size);
                counts.dropped = header.dropped;
                holding = true;
                asked = false;
                held_due = counts.file && !as_fast_as_possible
                               ? dueTime(recorded, stampOf(header), now)
                               : 0;
                break;
            case record_kind::counts:
                // Asked for, or what a replay has skipped so far.
                counts.dropped = header.dropped;
                if (counts_asked == 0)
                    break;
                --counts_asked;
                return arrival::counted;
            case record_kind::ended:
                over = true;
                return arrival::ended;
            case record_kind::gone:
                counts.dropped = header.dropped;
                over = true;
                textOf(into, why, size);
                return arrival::gone;
            case record_kind::failed:
                over = true;
                textOf(into, why, size);
                return arrival::failed;
            case record_kind::refused:
                refused_call = header.length;
                break;
            case record_kind::ready:
                return damaged(why, size);
            }
        }
        }
    }
    if (!holding || now < held_due)
        return arrival::none_yet;
    const auto &header = heldHeader();
    holding = false;
    shown_any = true;
    last_shown = stampOf(header);
    taken = {held + sizeof header,
             header.length,
             {static_cast<time_t>(header.seconds), static_cast<long>(header.nanoseconds)},
             header.summary};
    asked = more;
    if (more)
        ask(request_kind::next);
    return arrival::datagram;
}

bool askCounts()
{
    if (counts.file || over)
        return false;
    ++counts_asked;
    ask(request_kind::counts);
    return true;
}

void resumeChannel(long long now)
{
    if (!shown_any || as_fast_as_possible || !counts.file)
        return;
    recorded = {true, last_shown, now, last_shown, recorded.speed};
    if (holding)
        held_due = dueTime(recorded, stampOf(heldHeader()), now);
}

double replaySpeed() { return counts.file && !as_fast_as_possible ? recorded.speed : 0; }

void setReplaySpeed(double speed, long long now)
{
    if (replaySpeed() == 0)
        return;
    recorded.speed = speed < 0.01 ? 0.01 : speed > 1000 ? 1000 : speed;
    resumeChannel(now);
}

void finishChannel()
{
    unshown += holding;
    if (counts.file || over || !askCounts()) {
        counts.dropped += unshown;
        return;
    }
    // Whatever comes before the answer was taken from the kernel for
    // nothing: it counts as dropped.
    alignas(record_header) static unsigned char last[record_limit];
    for (;;) {
        pollfd answer{sock, POLLIN, 0};
        std::size_t got = 0;
        if (poll(&answer, 1, 1000) != 1 ||
            receive(last, sizeof last, MSG_DONTWAIT, got) != message::record)
            break;
        const auto &header = *reinterpret_cast<const record_header *>(last);
        if (header.kind == record_kind::datagram)
            ++unshown;
        if (header.kind == record_kind::counts) {
            counts.dropped = header.dropped;
            break;
        }
    }
    counts.dropped += unshown;
}

namespace
{

// Nanoseconds from one stamp to another (negative when earlier), or
// LLONG_MIN when the distance does not fit.
long long nanosecondsBetween(const timeval &from, const timeval &to)
{
    long long seconds, micro, total;
    if (__builtin_sub_overflow(to.tv_sec, from.tv_sec, &seconds) ||
        __builtin_sub_overflow(to.tv_usec, from.tv_usec, &micro) ||
        __builtin_mul_overflow(seconds, nanoseconds_per_second, &seconds) ||
        __builtin_mul_overflow(micro, 1000LL, &micro) ||
        __builtin_add_overflow(seconds, micro, &total))
        return LLONG_MIN;
    return total;
}

} // namespace

long long dueTime(pace &clock, const timeval &stamp, long long now)
{
    const long long since_last =
        clock.started ? nanosecondsBetween(clock.last_stamp, stamp) : LLONG_MIN;
    const long long since_base =
        clock.started ? nanosecondsBetween(clock.base_stamp, stamp) : LLONG_MIN;
    clock.last_stamp = stamp;
    const double scaled = static_cast<double>(since_base) / clock.speed;
    if (since_last < 0 || since_last > day || since_base < 0 ||
        scaled >= static_cast<double>(LLONG_MAX - clock.base_time)) {
        clock = {true, stamp, now, stamp, clock.speed};
        return now;
    }
    return clock.base_time + static_cast<long long>(scaled);
}
