#include "loop.h"

#include "channel.h"
#include "options.h"
#include "pace.h"
#include "progress.h"
#include "recording.h"
#include "render.h"
#include "report.h"
#include "signals.h"
#include "state.h"
#include "video.h"

#include <GL/freeglut.h>
#include <GL/glx.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <poll.h>
#include <unistd.h>

loop_state loop;

namespace
{

constexpr long long tenth = nanoseconds_per_second / 10;

} // namespace

void countShown(rate &seen, long long at)
{
    const long long slot = at / tenth;
    for (long long cleared = std::max(seen.slot + 1, slot - 9); cleared <= slot; ++cleared)
        seen.counted[cleared % 10] = 0;
    seen.slot = std::max(seen.slot, slot);
    ++seen.counted[seen.slot % 10];
}

unsigned long lastSecond(const rate &seen, long long at)
{
    const long long slot = at / tenth;
    unsigned long sum = 0;
    for (long long counted = std::max(slot, seen.slot) - 9; counted <= std::min(slot, seen.slot);
         ++counted)
        sum += counted >= 0 ? seen.counted[counted % 10] : 0;
    return sum;
}

void leave(const failure *why)
{
    if (why && loop.ended_by.status == 0)
        loop.ended_by = *why;
    loop.left = true;
}

namespace
{

// The signals, answered the same way before the window and in the loop.
void answerSignals()
{
    const signal_requests asked = takeSignals();
    // Live, the line waits for the kernel's drops as they stand.
    if (asked.counts && askCounts())
        loop.counts_wanted = true;
    else if (asked.counts)
        postCounts(counts);
    if (asked.end)
        leave(nullptr);
}

void writeQueued()
{
    static failure why;
    unsigned long done;
    const written result = writeQueuedLog(done);
    counts.received += done;
    if (loop.stop_after > 0 && counts.received >= loop.stop_after)
        leave(nullptr);
    switch (result) {
    case written::all:
    case written::partly:
        break;
    case written::reader_gone:
        leave(nullptr);
        break;
    case written::failed:
        fail(why, 1, "cannot write the log: %s", std::strerror(errno));
        leave(&why);
        break;
    }
}

// Writes the queued lines if standard output takes them now; else the
// next wait waits for it too. One poll: a pass of the GLUT loop just to write
// would cost more.
void writeQueuedIfReady()
{
    pollfd log{STDOUT_FILENO, POLLOUT, 0};
    if (poll(&log, 1, 0) == 1)
        writeQueued();
}

// The picture changed: the window is painted anew, and the video's next
// frame shows it.
void askPaint()
{
    if (loop.windowed)
        glutPostRedisplay();
    videoChanged();
}

// With --fps, a frame at most every frame_interval: the latest datagram is
// drawn when it comes.
void askFrame(long long at)
{
    if (loop.frame_interval == 0 || at >= loop.next_frame) {
        askPaint();
        loop.next_frame = at + loop.frame_interval;
        loop.frame_wanted = false;
    } else {
        loop.frame_wanted = true;
    }
}

// The one writer of what is shown: the picture's bytes, the log's lines,
// the recording.
void show(const datagram &taken, long long at)
{
    static failure why;
    videoBefore(taken.stamp);
    if (taken.length > 0)
        std::memcpy(buffer, taken.bytes, static_cast<std::size_t>(taken.length));
    bytes_recieved = trimmedCount(taken.length);
    shown = {shown.number + 1, taken.length, taken.summary};
    char lines[line_limit];
    const int length = loop.one_line && taken.summary.family != 0
                           ? formatOneLine(lines, sizeof lines, taken.summary, taken.stamp)
                           : formatLog(lines, sizeof lines, taken.length, taken.summary);
    queueLog(lines, static_cast<std::size_t>(length));
    if (recording() && !recordDatagram(taken.bytes, taken.length, taken.stamp, why))
        leave(&why);
    countShown(loop.shown_rate, at);
    askFrame(at);
}

// The first time the kernel drops datagrams of a live run while frames,
// not a pause or the log's reader, hold the run back, it is said once.
// Drops told with what was received before a pause ended are the pause's.
void warnOfLag(std::uint64_t dropped, const timespec &received)
{
    const bool before_resume =
        received.tv_sec < loop.resumed.tv_sec ||
        (received.tv_sec == loop.resumed.tv_sec && received.tv_nsec < loop.resumed.tv_nsec);
    const bool more = dropped > loop.lag_seen;
    loop.lag_seen = std::max(loop.lag_seen, dropped);
    if (more && !loop.lag_excused && !before_resume && !loop.lag_told && loop.live &&
        loop.frame_interval == 0) {
        loop.lag_told = true;
        char line[256];
        const int length = std::snprintf(
            line, sizeof line,
            "skevla: frames are slower than the traffic; the kernel has dropped %lu %s; --fps 30 "
            "logs every datagram and draws fewer frames\n",
            static_cast<unsigned long>(dropped), dropped == 1 ? "datagram" : "datagrams");
        if (write(STDERR_FILENO, line, static_cast<std::size_t>(length))) {
        }
    }
    loop.lag_excused = loop.paused || logQueued();
}

// One thing the channel has in hand, answered: false once there is none.
// A datagram is taken as take allows and the log has room for its lines.
bool takeOne(bool readable, taking take, long long at, bool &took)
{
    static failure why;
    const arrival got = grabPacket(readable, at, logHasRoom() ? take : taking::none, why);
    // The kernel's count never goes down, whatever a record says. Drops
    // answered to SIGUSR1 tell nothing of when they came: the stream's
    // records tell them again.
    if (got.told) {
        if (got.what != event::counted)
            warnOfLag(got.dropped, got.received);
        counts.dropped = std::max<unsigned long>(counts.dropped, got.dropped);
        counts.skipped = got.skipped;
    }
    switch (got.what) {
    case event::datagram:
        loop.stepping = false;
        show(got.taken, at);
        took = true;
        return true;
    case event::none:
        return false;
    case event::counted:
        // What the log has queued is received once written: not yet.
        if (loop.counts_wanted)
            postCounts(counts);
        loop.counts_wanted = false;
        return true;
    case event::ended:
        postCounts(counts);
        // The video ends with the file; off screen, so does the run.
        if (!finishVideo(at, why))
            leave(&why);
        else if (!loop.windowed)
            leave(nullptr);
        return true;
    case event::gone:
    case event::failed:
        leave(&why);
        return false;
    }
    return false;
}

// What the channel has in hand, taken in one pass. Without --fps every
// datagram is a frame of its own: one a pass. With it, or stepping, as
// many as are due, logged at once, the last drawn at the next frame; a
// pass ends within a slice of time, so the window and the keys are served.
// Then the log and the recording are written, with a call each.
void takeDatagrams(bool readable, taking take, long long at)
{
    static failure why;
    constexpr long long slice = nanoseconds_per_second / 100;
    const bool many = loop.frame_interval > 0 && take != taking::next;
    bool took = false;
    for (long long now = at; !loop.left && (many || !took); now = monotonicNow()) {
        // A replay's video has a frame for each recorded instant: it waits
        // for the encoder's room.
        const taking now_take = loop.live || videoHasRoom() ? take : taking::none;
        if (now - at > slice || !takeOne(readable && now == at, now_take, now, took))
            break;
    }
    if (logQueued())
        writeQueuedIfReady();
    if (recording() && !flushRecording(why))
        leave(&why);
}

// What the keys asked for that the channel must know of.
void answerKeys(long long at)
{
    if (loop.was_paused && !loop.paused) {
        resumeChannel(at);
        clock_gettime(CLOCK_REALTIME, &loop.resumed);
    }
    loop.was_paused = loop.paused;
    loop.stepping = loop.stepping && loop.paused;
    if (loop.speed_change != 1) {
        setReplaySpeed(replaySpeed() * loop.speed_change, at);
        loop.speed = replaySpeed();
        videoSpeed(loop.speed);
        loop.speed_change = 1;
    }
}

} // namespace

void startLoop(const options &settings)
{
    loop.live = settings.file == nullptr;
    loop.one_line = settings.one_line;
    loop.stop_after = settings.count;
    loop.frame_interval =
        settings.fps ? nanoseconds_per_second / static_cast<long long>(settings.fps) : 0;
    loop.speed_change = 1;
    loop.speed = replaySpeed();
    tzset(); // the -v log's local time, read before the sandbox
}

bool awaitCapture(failure &why)
{
    // A pipe may be long in giving a file's header: the signals act meanwhile.
    while (!loop.left) {
        pollfd wait_on[] = {{sock, POLLIN, 0}, {signalDescriptor(), POLLIN, 0}};
        poll(wait_on, 2, -1);
        if (wait_on[1].revents)
            answerSignals();
        if (wait_on[0].revents) {
            switch (takeStart(why)) {
            case start::ready:
                return true;
            case start::waiting:
                break;
            case start::failed:
                return false;
            }
        }
        deliverCounts();
    }
    return false;
}

void idle()
{
    // Events Xlib has already read would not wake the poll. Nothing waits
    // to be sent: GLUT's event loop ends on a flushing XPending and a swap is
    // a round trip. The window's one connection is looked up once: the
    // lookup costs a system call.
    static Display *const display = loop.windowed ? glXGetCurrentDisplay() : nullptr;
    if (display && XQLength(display) > 0)
        return;
    answerKeys(monotonicNow());
    // A live frame once the window has painted what it shows: the
    // framebuffer then holds the picture.
    videoTick(monotonicNow());
    // While the log's queue is full, no datagram is taken: the kernel
    // queues them in its ring, and drops and counts what does not fit.
    const bool queued = logQueued(), full = !logHasRoom();
    loop.lag_excused |= queued || loop.paused;
    const taking take = full || (loop.paused && !loop.stepping) ? taking::none
                        : loop.stepping                         ? taking::next
                                                                : taking::when_due;
    pollfd from_channel;
    watchChannel(from_channel);
    long long due = channelDue(take);
    // A frame --fps puts off, the info line's rate and the video's next
    // frame also wake it.
    for (const long long also :
         {loop.frame_wanted ? loop.next_frame : -1, loop.info ? loop.next_tick : -1, videoDue()})
        if (also >= 0 && (due < 0 || also < due))
            due = std::max(also, 1LL);
    // Standard output is always watched: a pipe whose reader has gone
    // reports an error at once, traffic or not.
    pollfd from_encoder;
    watchVideo(from_encoder);
    pollfd watched[] = {{display ? ConnectionNumber(display) : -1, POLLIN, 0},
                        {signalDescriptor(), POLLIN, 0},
                        {STDOUT_FILENO, static_cast<short>(queued ? POLLOUT : 0), 0},
                        {countsPosted() ? STDERR_FILENO : -1, POLLOUT, 0},
                        from_channel,
                        from_encoder};
    timespec wait{};
    if (due > 0) {
        const long long left = std::max(due - monotonicNow(), 0LL);
        wait = {static_cast<time_t>(left / nanoseconds_per_second),
                static_cast<long>(left % nanoseconds_per_second)};
    }
    ppoll(watched, std::size(watched), due >= 0 ? &wait : nullptr, nullptr);
    if (watched[1].revents != 0)
        answerSignals();
    if (watched[2].revents & (POLLERR | POLLHUP))
        leave(nullptr);
    else if (watched[2].revents != 0)
        writeQueued();
    if (watched[3].revents != 0)
        deliverCounts();
    static failure why;
    if (watched[5].revents != 0 && !answerVideo(why))
        leave(&why);
    if (loop.left)
        return;
    const long long at = monotonicNow();
    if (loop.frame_wanted && at >= loop.next_frame)
        askFrame(at);
    if (loop.info && at >= loop.next_tick) {
        loop.next_tick = at + nanoseconds_per_second;
        askPaint();
    }
    showProgress(at, fileFraction(), videoMade());
    takeDatagrams(watched[4].revents != 0, take, at);
}

void finishLog()
{
    if (logQueued())
        writeQueuedIfReady();
}

void writeCounts()
{
    counts.dropped = std::max<unsigned long>(counts.dropped, finishChannel(counts.dropped));
    postCounts(counts);
    deliverCounts();
}
