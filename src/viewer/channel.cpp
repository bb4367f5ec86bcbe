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

// Messages of the stream the viewer keeps at most: one being taken from
// while the next ones come.
constexpr unsigned places = 4;

// The most datagrams a message can hold, which a request grants where no
// count bounds them.
constexpr std::uint32_t per_message = message_limit / recordSpan(0) + 1;

struct place {
    alignas(record_header) unsigned char bytes[message_limit];
    std::size_t size;
    std::size_t at; // the next record to take
};
place kept[places];

// A message of its own (an answer, a report), or one the capture process
// was not asked for.
alignas(record_header) unsigned char spare[message_limit];

struct channel_state {
    bool ready;  // the capture process said so
    bool over;   // the stream has ended, or the capture process died
    bool ending; // the stream's last record is in hand: nothing more comes
    bool replay, paced;
    pace clock;
    std::uint64_t wanted; // datagrams not yet asked for, of -c; 0 for no bound
    std::uint64_t unsent; // of those asked for, datagrams that have not come
    bool bounded;         // -c bounds them
    unsigned asked;       // messages asked for and not yet come
    unsigned filled;      // messages come and not yet taken whole
    unsigned first;       // the place of the first of them
    bool due_known;       // the first datagram in hand's due time is
    long long due;
    int counts_asked; // answers to counts still to come
    int counts_come;  // answers come and not yet told
    std::uint64_t answered_dropped;
    int refused = -1;                   // the call its sandbox refused, as it reported it
    timespec last_shown;                // the stamp of the last datagram shown
    std::uint64_t file_read, file_size; // a replay's, as the reader last told them
};
channel_state channel;

const record_header &headerAt(const unsigned char *bytes)
{
    return *reinterpret_cast<const record_header *>(bytes);
}

timespec stampOf(const record_header &header)
{
    return {static_cast<time_t>(header.seconds), static_cast<long>(header.nanoseconds)};
}

void send(const request &asked)
{
    // A write, since the sandbox refuses sendto. The channel takes every
    // request: there are only ever a few on their way.
    if (write(sock, &asked, sizeof asked)) {
    }
}

// A message for each free place, while more are wanted. With -c, every
// datagram left is granted at once; a message holds what fits, so while
// some have not come, one more message is asked for them.
void askMore()
{
    while (channel.asked + channel.filled < places) {
        std::uint32_t granted = per_message;
        if (channel.bounded && channel.wanted > 0)
            granted =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(channel.wanted, UINT32_MAX));
        else if (channel.bounded && (channel.unsent == 0 || channel.asked > 0))
            return;
        else if (channel.bounded)
            granted = 0;
        if (channel.bounded) {
            channel.wanted -= granted;
            channel.unsent += granted;
        }
        send({request_kind::next, granted});
        ++channel.asked;
    }
}

enum class message { stream, single, none, closed, damaged };

// One message into into, every record of it checked; stream: records of
// the stream alone, single: one record of another kind.
message receive(unsigned char *into, std::size_t &size)
{
    // A capture process that died before reading a request resets the
    // channel; what it sent before is still there to read.
    ssize_t got;
    do
        got = recv(sock, into, message_limit, MSG_DONTWAIT | MSG_TRUNC);
    while (got < 0 && (errno == EINTR || errno == ECONNRESET));
    if (got < 0 && errno == EAGAIN)
        return message::none;
    if (got <= 0)
        return message::closed;
    size = static_cast<std::size_t>(got);
    if (size > message_limit)
        return message::damaged;
    std::size_t at = 0;
    const record_header *record = takeRecord(into, size, at);
    if (!record)
        return message::damaged;
    if (!inStream(record->kind))
        return at == size ? message::single : message::damaged;
    while (at < size)
        if (!(record = takeRecord(into, size, at)) || !inStream(record->kind))
            return message::damaged;
    return message::stream;
}

// The text that follows a header, checked printable.
void textOf(const record_header &header, int status, failure &why)
{
    fail(why, status, "%.*s", static_cast<int>(header.captured),
         reinterpret_cast<const char *>(&header) + sizeof header);
}

// The channel closed without an end: how the capture process died.
void died(failure &why)
{
    channel.over = true;
    reapCapture(channel.refused, why);
}

void damaged(failure &why)
{
    channel.over = true;
    fail(why, 1, "the capture process sent a damaged record");
}

// Reads every message that has come: the stream's into the places asked
// for, in order; answers and reports at once. False with why when the
// capture process has gone or sent damage.
bool receiveAll(failure &why)
{
    for (;;) {
        place &next = kept[(channel.first + channel.filled) % places];
        unsigned char *into = channel.asked > 0 ? next.bytes : spare;
        std::size_t size = 0;
        switch (receive(into, size)) {
        case message::none:
            return true;
        case message::closed:
            died(why);
            return false;
        case message::damaged:
            damaged(why);
            return false;
        case message::stream:
            if (into == spare) {
                damaged(why);
                return false;
            }
            next.size = size;
            next.at = 0;
            --channel.asked;
            ++channel.filled;
            for (std::size_t at = 0; at < size;) {
                const record_header *record = takeRecord(next.bytes, size, at);
                if (record->kind == record_kind::datagram)
                    channel.unsent -= std::min<std::uint64_t>(channel.unsent, 1);
                else if (record->kind != record_kind::skipped)
                    channel.ending = true;
            }
            if (channel.ending)
                return true;
            askMore();
            break;
        case message::single: {
            const record_header &record = headerAt(into);
            if (record.kind == record_kind::refused) {
                channel.refused = record.call;
            } else if (record.kind == record_kind::counts && channel.counts_asked > 0) {
                --channel.counts_asked;
                ++channel.counts_come;
                channel.answered_dropped = record.dropped;
            } else {
                damaged(why);
                return false;
            }
        }
        }
    }
}

// The first record in hand, or nullptr; the place it lies in is freed, and
// another message asked for, once every record of it has been taken.
const record_header *firstInHand()
{
    while (channel.filled > 0) {
        place &first = kept[channel.first];
        if (first.at < first.size)
            return &headerAt(first.bytes + first.at);
        first.size = first.at = 0;
        channel.first = (channel.first + 1) % places;
        --channel.filled;
        askMore();
    }
    return nullptr;
}

void takeFirst()
{
    place &first = kept[channel.first];
    first.at +=
        std::min(recordSpan(headerAt(first.bytes + first.at).captured), first.size - first.at);
    channel.due_known = false;
}

long long dueOf(const record_header &header, long long now)
{
    if (!channel.due_known) {
        channel.due = channel.paced ? dueTime(channel.clock, stampOf(header), now) : 0;
        channel.due_known = true;
    }
    return channel.due;
}

} // namespace

long long monotonicNow()
{
    timespec time;
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time.tv_sec * nanoseconds_per_second + time.tv_nsec;
}

void startChannel(bool replay, bool top_speed, double speed, std::uint64_t wanted)
{
    channel.replay = replay;
    channel.paced = replay && !top_speed;
    channel.clock.speed = speed;
    channel.wanted = wanted;
    channel.bounded = wanted > 0;
}

start takeStart(failure &why)
{
    std::size_t size = 0;
    switch (receive(spare, size)) {
    case message::none:
        return start::waiting;
    case message::closed:
        died(why);
        return start::failed;
    case message::damaged:
        damaged(why);
        return start::failed;
    case message::stream: // of the stream, only why it cannot start may come first
    case message::single:
        break;
    }
    const record_header &header = headerAt(spare);
    switch (header.kind) {
    case record_kind::ready:
        channel.ready = true;
        channel.file_size = header.file_size;
        askMore();
        return start::ready;
    case record_kind::failed:
        channel.over = true;
        textOf(header, header.status, why);
        return start::failed;
    case record_kind::refused:
        channel.refused = header.call;
        return start::waiting;
    case record_kind::counts:
        return start::waiting;
    default:
        damaged(why);
        return start::failed;
    }
}

void watchChannel(pollfd &wait_on)
{
    // Over, the capture process is still waited for, to be reaped when it
    // ends.
    const bool expecting = channel.asked > 0 || channel.counts_asked > 0;
    wait_on = channel.over || channel.ending
                  ? pollfd{captureEnd(), POLLIN, 0}
                  : pollfd{sock, static_cast<short>(expecting ? POLLIN : 0), 0};
}

long long channelDue(taking take)
{
    const record_header *first = firstInHand();
    if (!first)
        return -1;
    if (first->kind != record_kind::datagram)
        return 0; // the rest of the stream is told at once
    if (take == taking::none)
        return -1;
    return take == taking::next ? 0 : dueOf(*first, monotonicNow());
}

arrival grabPacket(bool readable, long long now, taking take, failure &why)
{
    arrival got{event::none, {}, false, 0, 0, {}};
    if (readable && (channel.over || channel.ending))
        collectCapture();
    else if (readable && !receiveAll(why))
        return {event::gone, {}, false, 0, 0, {}};
    if (channel.counts_come > 0) {
        --channel.counts_come;
        return {event::counted, {}, true, channel.answered_dropped, 0, {}};
    }
    for (const record_header *first; (first = firstInHand());) {
        got.told = true;
        got.dropped = first->dropped;
        got.received = stampOf(*first);
        got.skipped = first->skipped;
        channel.file_read = std::max(channel.file_read, first->file_read);
        switch (first->kind) {
        case record_kind::skipped:
            takeFirst();
            continue;
        case record_kind::datagram: {
            if (take == taking::none)
                return got;
            const long long due = dueOf(*first, now);
            if (take == taking::when_due && now < due)
                return got;
            channel.last_shown = stampOf(*first);
            if (channel.paced)
                shownAt(channel.clock, channel.last_shown, std::max(now, due));
            takeFirst();
            got.what = event::datagram;
            got.taken = {reinterpret_cast<const unsigned char *>(first) + sizeof *first,
                         first->length, channel.last_shown, first->summary};
            return got;
        }
        case record_kind::ended:
            takeFirst();
            channel.over = true;
            got.what = event::ended;
            return got;
        default: // failed, gone: the cause follows
            takeFirst();
            channel.over = true;
            textOf(*first, 1, why);
            got.what = first->kind == record_kind::gone ? event::gone : event::failed;
            return got;
        }
    }
    return got;
}

bool askCounts()
{
    if (!channel.ready || channel.replay || channel.over || channel.ending)
        return false;
    ++channel.counts_asked;
    send({request_kind::counts, 0});
    return true;
}

void resumeChannel(long long now)
{
    if (!channel.paced || !channel.clock.started)
        return;
    shownAt(channel.clock, channel.last_shown, now);
    channel.due_known = false;
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
        std::size_t size;
        if (left <= 0 || poll(&readable, 1, static_cast<int>(left / 1000000) + 1) != 1)
            return dropped;
        const message came = receive(spare, size);
        if (came == message::closed || came == message::damaged)
            return dropped;
        // Answers asked for before this last one may come first.
        if (came == message::single && headerAt(spare).kind == record_kind::counts &&
            --channel.counts_asked == 0)
            return headerAt(spare).dropped;
    }
}

double fileFraction()
{
    if (channel.file_size == 0)
        return -1;
    return static_cast<double>(std::min(channel.file_read, channel.file_size)) /
           static_cast<double>(channel.file_size);
}
