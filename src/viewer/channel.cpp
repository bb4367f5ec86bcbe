#include "channel.h"

#include "asking.h"
#include "children.h"
#include "options.h"
#include "pace.h"
#include "state.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// Messages of the stream the viewer keeps at most: one being taken from
// while the next ones come.
constexpr unsigned places = 4;

struct place {
    alignas(8) unsigned char bytes[message_limit];
    std::size_t size;
    std::size_t at; // the next record to take
};
place kept[places];

// A message of its own (an answer, a report), or one the capture process
// was not asked for.
alignas(8) unsigned char spare[message_limit];

struct channel_state {
    bool replay, paced;
    pace clock;
    asking plan;
    std::uint8_t state = capture_starting; // as its records have made it
    bool over;                             // the stream has ended, or the capture process died
    bool ending;    // the stream's last record is in hand: nothing more comes
    unsigned first; // the place of the first message in hand
    bool due_known; // the first datagram in hand's due time is
    long long due;
    int counts_asked; // answers to ask_counts still to come
    int counts_come;  // answers come and not yet told
    tallies answered;
    int refused = -1;                   // the call its sandbox refused, as it reported it
    timespec last_shown;                // the stamp of the last datagram shown
    std::uint64_t file_read, file_size; // a replay's, as the reader last told them
    replay_place place{0, -1, 0, -1, false, false, 0};
    unsigned unanswered; // moves asked for whose landed has not come
    unsigned landings;   // landed records come and not yet taken
    // A pipe's move on: the datagrams before skim_to (-1: none) are passed
    // over here, as they come, and counted.
    std::int64_t skim_to = -1;
    std::uint64_t passed_here;
};
channel_state channel;

timespec stampOf(const datagram_fields &fields)
{
    return {static_cast<time_t>(fields.seconds), static_cast<long>(fields.nanoseconds)};
}

// What a stream record tells of the capture, and of when.
const tallies &talliesOf(const record_header &record)
{
    return record.kind == record_kind::datagram ? fieldsOf<datagram_fields>(record).told
                                                : fieldsOf<stream_fields>(record).told;
}

void request(record_kind kind, const void *fields, std::size_t size)
{
    // A write, since the sandbox refuses sendto. The channel takes every
    // request: there are only ever a few on their way.
    sendRecord(sock, kind, fields, size);
}

// A message for each free place, while more are wanted.
void askMore()
{
    while (const std::optional<std::uint32_t> granted = nextRequest(channel.plan)) {
        const next_fields fields{*granted, 0};
        request(record_kind::next, &fields, sizeof fields);
    }
}

enum class message { stream, single, none, closed, damaged };

// One message, every record of it checked; stream: records of the stream
// alone, single: one record of another kind. Nothing is taken that comes
// attached to it.
message receive(unsigned char *into, std::size_t &size)
{
    // A capture process that died before reading a request resets the
    // channel; what it sent before is still there to read.
    iovec part{into, message_limit};
    msghdr received{};
    received.msg_iov = &part;
    received.msg_iovlen = 1;
    ssize_t got;
    do
        got = recvmsg(sock, &received, MSG_DONTWAIT);
    while (got < 0 && (errno == EINTR || errno == ECONNRESET));
    if (got < 0 && errno == EAGAIN)
        return message::none;
    if (got <= 0)
        return message::closed;
    size = static_cast<std::size_t>(got);
    if (received.msg_flags & (MSG_TRUNC | MSG_CTRUNC))
        return message::damaged;
    std::size_t at = 0;
    const std::uint8_t before = channel.state;
    const record_header *record =
        takeRecord(capture_channel, side::child, channel.state, into, size, at);
    if (!record)
        return message::damaged;
    // Why it cannot start comes alone, before ready; why it cannot go on,
    // in the stream.
    const bool stream = record->kind == record_kind::datagram ||
                        record->kind == record_kind::skipped ||
                        record->kind == record_kind::landed || record->kind == record_kind::ended ||
                        record->kind == record_kind::gone ||
                        (record->kind == record_kind::failed && before != capture_starting);
    if (!stream)
        return at == size ? message::single : message::damaged;
    while (at < size)
        if (!(record = takeRecord(capture_channel, side::child, channel.state, into, size, at)) ||
            record->kind == record_kind::counts || record->kind == record_kind::refused)
            return message::damaged;
    return message::stream;
}

// The channel closed without an end: how the capture process died, once it
// has (the run ends with it).
void died(failure &why)
{
    channel.over = true;
    awaitEnd(child_role::capture);
    endedWell(child_role::capture, channel.refused, why);
}

void damaged(failure &why)
{
    channel.over = true;
    fail(why, 1, "the capture process sent a damaged record");
}

// The text after a failure's or a loss's fields, checked printable.
void causeOf(const record_header &record, std::size_t fields, int status, failure &why)
{
    fail(why, status, "%.*s", static_cast<int>(countOf(record, fields)),
         reinterpret_cast<const char *>(bytesOf(record, fields)));
}

// Reads every message that has come: the stream's into the places asked
// for, in order; answers and reports at once. False with why when the
// capture process has gone or sent damage.
bool receiveAll(failure &why)
{
    for (;;) {
        place &next = kept[(channel.first + channel.plan.filled) % places];
        unsigned char *into = channel.plan.asked > 0 ? next.bytes : spare;
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
        case message::stream: {
            if (into == spare) {
                damaged(why);
                return false;
            }
            next.size = size;
            next.at = 0;
            std::uint64_t datagrams = 0;
            for (std::size_t at = 0; at < size;) {
                const auto &record = *reinterpret_cast<const record_header *>(next.bytes + at);
                at += recordSpan(record.size);
                if (record.kind == record_kind::datagram) {
                    ++datagrams;
                } else if (record.kind == record_kind::landed) {
                    channel.unanswered -= std::min(channel.unanswered, 1u);
                    ++channel.landings;
                } else if (record.kind != record_kind::skipped) {
                    // A replay's end before the move asked for is not the last.
                    channel.ending = record.kind != record_kind::ended || channel.unanswered == 0;
                }
            }
            messageCame(channel.plan, datagrams);
            if (channel.ending)
                return true;
            askMore();
            break;
        }
        case message::single: {
            const auto &record = *reinterpret_cast<const record_header *>(into);
            if (record.kind == record_kind::refused) {
                channel.refused = fieldsOf<refused_fields>(record).call;
            } else if (record.kind == record_kind::counts && channel.counts_asked > 0) {
                --channel.counts_asked;
                ++channel.counts_come;
                channel.answered = fieldsOf<stream_fields>(record).told;
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
    while (channel.plan.filled > 0) {
        place &first = kept[channel.first];
        if (first.at < first.size)
            return reinterpret_cast<const record_header *>(first.bytes + first.at);
        first.size = first.at = 0;
        channel.first = (channel.first + 1) % places;
        placeFreed(channel.plan);
        if (!channel.ending)
            askMore();
    }
    return nullptr;
}

void takeFirst()
{
    place &first = kept[channel.first];
    const auto &record = *reinterpret_cast<const record_header *>(first.bytes + first.at);
    first.at += std::min(recordSpan(record.size), first.size - first.at);
    channel.due_known = false;
}

long long dueOf(const datagram_fields &fields, long long now)
{
    if (!channel.due_known) {
        channel.due = channel.paced ? dueTime(channel.clock, stampOf(fields), now) : 0;
        channel.due_known = true;
    }
    return channel.due;
}

// The first record in hand, a datagram or an end from before a move, is
// passed over unshown; -c wants another in its place.
void passOver(const record_header &first)
{
    if (first.kind == record_kind::datagram)
        datagramReturned(channel.plan);
    takeFirst();
}

// A move has landed at offset: the pace goes on from the first datagram
// after it.
event landedAt(std::int64_t offset)
{
    channel.place.moving = false;
    channel.place.offset = offset;
    channel.clock.started = false;
    return event::landed;
}

} // namespace

long long monotonicNow()
{
    timespec time;
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time.tv_sec * nanoseconds_per_second + time.tv_nsec;
}

void startChannel(const options &settings)
{
    channel.replay = settings.file != nullptr;
    channel.paced = channel.replay && !settings.top_speed;
    channel.clock.speed = settings.speed;
    channel.plan = startAsking(places, settings.count);
}

bool replaying() { return channel.replay; }

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
    case message::stream:
    case message::single:
        break;
    }
    const auto &record = *reinterpret_cast<const record_header *>(spare);
    switch (record.kind) {
    case record_kind::ready: {
        const auto &ready = fieldsOf<ready_fields>(record);
        channel.file_size = ready.file_size;
        const std::int64_t end = ready.length < 0 ? ready.to
                                 : ready.to < 0   ? ready.length
                                                  : std::min(ready.to, ready.length);
        channel.place = {std::max<std::int64_t>(ready.from, 0),
                         ready.length,
                         std::max<std::int64_t>(ready.from, 0),
                         end,
                         channel.file_size > 0,
                         false,
                         0};
        askMore();
        return start::ready;
    }
    case record_kind::failed:
        channel.over = true;
        causeOf(record, sizeof(failed_fields), fieldsOf<failed_fields>(record).status, why);
        return start::failed;
    case record_kind::refused:
        channel.refused = fieldsOf<refused_fields>(record).call;
        return start::waiting;
    default:
        damaged(why);
        return start::failed;
    }
}

void watchChannel(pollfd &wait_on)
{
    const bool expecting = channel.plan.asked > 0 || channel.counts_asked > 0;
    wait_on = channel.over || channel.ending
                  ? pollfd{-1, 0, 0}
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
    return take == taking::next ? 0 : dueOf(fieldsOf<datagram_fields>(*first), monotonicNow());
}

arrival grabPacket(bool readable, long long now, taking take, failure &why)
{
    arrival got{event::none, {}, false, {}, {}};
    if (readable && !channel.over && !channel.ending && !receiveAll(why))
        return {event::gone, {}, false, {}, {}};
    if (channel.counts_come > 0) {
        --channel.counts_come;
        return {event::counted, {}, true, channel.answered, {}};
    }
    for (const record_header *first; (first = firstInHand());) {
        got.told = true;
        got.told_now = talliesOf(*first);
        got.told_now.passed_over += channel.passed_here;
        channel.file_read = std::max(channel.file_read, got.told_now.file_read);
        const bool shown =
            first->kind == record_kind::datagram || first->kind == record_kind::ended;
        const bool datagram = first->kind == record_kind::datagram;
        // A pipe moving on: what comes before the offset is passed over.
        if (shown && channel.skim_to >= 0) {
            if (datagram && fieldsOf<datagram_fields>(*first).offset < channel.skim_to) {
                ++channel.passed_here;
                passOver(*first);
                continue;
            }
            channel.skim_to = -1;
            got.what = landedAt(datagram ? fieldsOf<datagram_fields>(*first).offset
                                         : channel.place.offset);
            return got;
        }
        // A file's: what was read before the move asked for is passed over.
        if (shown && channel.unanswered + channel.landings > 0) {
            passOver(*first);
            continue;
        }
        switch (first->kind) {
        case record_kind::skipped:
            takeFirst();
            continue;
        case record_kind::landed: {
            takeFirst();
            --channel.landings;
            if (channel.unanswered + channel.landings > 0)
                continue; // another move was asked for since
            got.what = landedAt(fieldsOf<landed_fields>(*first).offset);
            return got;
        }
        case record_kind::datagram: {
            const auto &fields = fieldsOf<datagram_fields>(*first);
            got.received = stampOf(fields);
            if (take == taking::none)
                return got;
            const long long due = dueOf(fields, now);
            if (take == taking::when_due && now < due)
                return got;
            channel.last_shown = stampOf(fields);
            channel.place.offset = fields.offset;
            if (channel.paced)
                shownAt(channel.clock, channel.last_shown, std::max(now, due));
            takeFirst();
            got.what = event::datagram;
            got.taken = {bytesOf(*first, sizeof fields), fields.length, channel.last_shown,
                         fields.summary};
            return got;
        }
        case record_kind::ended:
            takeFirst();
            channel.over = true;
            got.what = event::ended;
            return got;
        case record_kind::failed:
            takeFirst();
            channel.over = true;
            causeOf(*first, sizeof(failed_fields), fieldsOf<failed_fields>(*first).status, why);
            got.what = event::failed;
            return got;
        default: // gone: the cause follows
            takeFirst();
            channel.over = true;
            causeOf(*first, sizeof(stream_fields), 1, why);
            got.what = event::gone;
            return got;
        }
    }
    return got;
}

bool askCounts()
{
    if (channel.replay || channel.over || channel.ending)
        return false;
    ++channel.counts_asked;
    request(record_kind::ask_counts, nullptr, 0);
    return true;
}

void resumeChannel(long long now)
{
    if (!channel.paced || !channel.clock.started)
        return;
    shownAt(channel.clock, channel.last_shown, now);
    channel.due_known = false;
}

double replaySpeed() { return channel.replay ? channel.clock.speed : 0; }

bool replayPaced() { return channel.paced; }

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
        const auto &record = *reinterpret_cast<const record_header *>(spare);
        if (came == message::single && record.kind == record_kind::counts &&
            --channel.counts_asked == 0)
            return fieldsOf<stream_fields>(record).told.dropped;
    }
}

replay_place replayPlace() { return channel.place; }

jump jumpTo(std::int64_t offset)
{
    replay_place &place = channel.place;
    // A pipe's reader ends with its stream; a file's waits at the end to
    // be moved back.
    if (!channel.replay || (channel.state == capture_over && !place.seekable))
        return jump::none;
    const std::int64_t end = place.to >= 0 ? place.to : INT64_MAX;
    offset = std::clamp(offset, place.from, std::max(place.from, end));
    if (!place.seekable && offset < (place.moving ? place.target : place.offset))
        return jump::cannot_go_back;
    place.moving = true;
    place.target = offset;
    // A pipe is read on as it comes; what is in hand may hold the place.
    if (!place.seekable) {
        channel.skim_to = offset;
        return jump::asked;
    }
    channel.over = channel.ending = false;
    ++channel.unanswered;
    const seek_fields fields{offset};
    request(record_kind::seek, &fields, sizeof fields);
    askMore();
    return jump::asked;
}

double fileFraction()
{
    if (channel.file_size == 0)
        return -1;
    return static_cast<double>(std::min(channel.file_read, channel.file_size)) /
           static_cast<double>(channel.file_size);
}
