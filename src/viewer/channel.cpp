#include "channel.h"

#include "launch.h"
#include "pace.h"
#include "state.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// What the channel waits for: a datagram asked for, the one in hand to be
// shown, nothing (none is wanted), or nothing ever again.
enum class transport { asking, in_hand, idle, over };

struct channel_state {
    transport state = transport::idle;
    bool ready; // the capture process said so
    bool replay, paced;
    pace clock;
    long long due;       // when the datagram in hand is due
    int counts_asked;    // answers to counts still to come
    int refused = -1;    // the call its sandbox refused, as it reported it
    timespec last_shown; // the stamp of the last datagram shown
};
channel_state channel;

// The datagram in hand, and the place for whatever else comes meanwhile.
alignas(record_header) unsigned char in_hand[record_limit];
alignas(record_header) unsigned char answer[record_limit];

const record_header &headerOf(const unsigned char *record)
{
    return *reinterpret_cast<const record_header *>(record);
}

timespec stampOf(const record_header &header)
{
    return {static_cast<time_t>(header.seconds), static_cast<long>(header.nanoseconds)};
}

void ask(request_kind what)
{
    // Two requests at most are ever on their way: the channel takes them.
    // A write, since the sandbox refuses sendto.
    if (write(sock, &what, sizeof what)) {
    }
}

enum class message { record, none, closed, damaged };

// One message from the channel into into, checked.
message receive(unsigned char *into, std::size_t room)
{
    // A capture process that died before reading a request resets the
    // channel; what it sent before is still there to read.
    ssize_t got;
    do
        got = recv(sock, into, room, MSG_DONTWAIT | MSG_TRUNC);
    while (got < 0 && (errno == EINTR || errno == ECONNRESET));
    if (got < 0 && errno == EAGAIN)
        return message::none;
    if (got <= 0)
        return message::closed;
    const auto size = static_cast<std::size_t>(got);
    return size <= room && checkRecord(into, size) ? message::record : message::damaged;
}

// The text that follows a header, checked printable.
void textOf(const unsigned char *record, int status, failure &why)
{
    const auto &header = headerOf(record);
    fail(why, status, "%.*s", static_cast<int>(header.captured),
         reinterpret_cast<const char *>(record + sizeof header));
}

// The channel closed without an end: how the capture process died.
void died(failure &why)
{
    channel.state = transport::over;
    reapCapture(channel.refused, why);
}

void damaged(failure &why)
{
    channel.state = transport::over;
    fail(why, 1, "the capture process sent a damaged record");
}

} // namespace

long long monotonicNow()
{
    timespec time;
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time.tv_sec * nanoseconds_per_second + time.tv_nsec;
}

void startChannel(bool replay, bool top_speed, double speed)
{
    channel.replay = replay;
    channel.paced = replay && !top_speed;
    channel.clock.speed = speed;
}

start takeStart(failure &why)
{
    switch (receive(answer, sizeof answer)) {
    case message::none:
        return start::waiting;
    case message::closed:
        died(why);
        return start::failed;
    case message::damaged:
        damaged(why);
        return start::failed;
    case message::record:
        break;
    }
    const auto &header = headerOf(answer);
    switch (header.kind) {
    case record_kind::ready:
        channel.ready = true;
        channel.state = transport::asking;
        ask(request_kind::next);
        return start::ready;
    case record_kind::failed:
        channel.state = transport::over;
        textOf(answer, header.status, why);
        return start::failed;
    case record_kind::refused:
        channel.refused = header.call;
        return start::waiting;
    case record_kind::counts:
        return start::waiting;
    case record_kind::datagram:
    case record_kind::ended:
    case record_kind::gone:
        break;
    }
    damaged(why);
    return start::failed;
}

void watchChannel(pollfd &wait_on)
{
    // Over, the capture process is still waited for, to be reaped when it
    // ends.
    const bool expecting = channel.state == transport::asking || channel.counts_asked > 0;
    wait_on = channel.state == transport::over
                  ? pollfd{captureEnd(), POLLIN, 0}
                  : pollfd{sock, static_cast<short>(expecting ? POLLIN : 0), 0};
}

long long channelDue() { return channel.state == transport::in_hand ? channel.due : -1; }

arrival grabPacket(bool readable, long long now, taking take, bool more, failure &why)
{
    arrival got{event::none, {}, false, 0, 0};
    if (readable && channel.state == transport::over)
        collectCapture();
    if (readable && channel.state != transport::over) {
        // A datagram goes in hand until shown; anything else may come while
        // one is.
        unsigned char *into = channel.state == transport::in_hand ? answer : in_hand;
        switch (receive(into, record_limit)) {
        case message::none:
            break;
        case message::closed:
            died(why);
            return {event::gone, {}, false, 0, 0};
        case message::damaged:
            damaged(why);
            return {event::gone, {}, false, 0, 0};
        case message::record: {
            const auto &header = headerOf(into);
            got = {event::none, {}, true, header.dropped, header.skipped};
            switch (header.kind) {
            case record_kind::datagram:
                if (channel.state != transport::asking) {
                    damaged(why);
                    return {event::gone, {}, false, 0, 0};
                }
                // Taken below at once if it is due already.
                channel.state = transport::in_hand;
                channel.due = channel.paced ? dueTime(channel.clock, stampOf(header), now) : 0;
                break;
            case record_kind::counts:
                // Asked for, or what a replay has skipped so far.
                if (channel.counts_asked > 0) {
                    --channel.counts_asked;
                    got.what = event::counted;
                }
                return got;
            case record_kind::ended:
                channel.state = transport::over;
                got.what = event::ended;
                return got;
            case record_kind::gone:
            case record_kind::failed:
                channel.state = transport::over;
                textOf(into, 1, why);
                got.what = header.kind == record_kind::gone ? event::gone : event::failed;
                return got;
            case record_kind::refused:
                channel.refused = header.call;
                return {event::none, {}, false, 0, 0};
            case record_kind::ready:
                damaged(why);
                return {event::gone, {}, false, 0, 0};
            }
        }
        }
    }
    if (channel.state != transport::in_hand || take == taking::none ||
        (take == taking::when_due && now < channel.due))
        return got;
    const auto &header = headerOf(in_hand);
    channel.last_shown = stampOf(header);
    if (channel.paced)
        shownAt(channel.clock, channel.last_shown, std::max(now, channel.due));
    channel.state = more ? transport::asking : transport::idle;
    if (more)
        ask(request_kind::next);
    got.what = event::datagram;
    got.taken = {in_hand + sizeof header, header.length, channel.last_shown, header.summary};
    return got;
}

bool askCounts()
{
    if (!channel.ready || channel.replay || channel.state == transport::over)
        return false;
    ++channel.counts_asked;
    ask(request_kind::counts);
    return true;
}

void resumeChannel(long long now)
{
    if (!channel.paced || !channel.clock.started)
        return;
    shownAt(channel.clock, channel.last_shown, now);
    if (channel.state == transport::in_hand)
        channel.due = dueTime(channel.clock, stampOf(headerOf(in_hand)), now);
}

double replaySpeed() { return channel.paced ? channel.clock.speed : 0; }

void setReplaySpeed(double speed, long long now)
{
    if (!channel.paced)
        return;
    channel.clock.speed = std::clamp(speed, 0.01, 1000.0);
    resumeChannel(now);
}

std::uint64_t finishChannel(std::uint64_t dropped)
{
    if (!askCounts())
        return dropped;
    // What comes before the answer is passed over: a datagram taken but not
    // shown was not dropped by the kernel. A second at most, whatever comes.
    const long long deadline = monotonicNow() + nanoseconds_per_second;
    for (;;) {
        const long long left = deadline - monotonicNow();
        pollfd readable{sock, POLLIN, 0};
        if (left <= 0 || poll(&readable, 1, static_cast<int>(left / 1000000) + 1) != 1 ||
            receive(answer, sizeof answer) != message::record)
            return dropped;
        const auto &header = headerOf(answer);
        // Answers asked for before this last one may come first.
        if (header.kind == record_kind::counts && --channel.counts_asked == 0)
            return header.dropped;
    }
}
