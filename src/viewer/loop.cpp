#include "loop.h"

#include "channel.h"
#include "children.h"
#include "counts.h"
#include "describe.h"
#include "log.h"
#include "options.h"
#include "progress.h"
#include "recording.h"
#include "signals.h"
#include "snapshot.h"
#include "state.h"
#include "tempo.h"
#include "video.h"

#include <GL/freeglut.h>
#include <GL/glx.h>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <poll.h>
#include <unistd.h>

namespace
{

// What the keys set.
struct controls {
    bool paused;            // Space
    bool stepping;          // n, Right: while paused, the next datagram is taken
    bool info;              // i: the info line is drawn over the picture
    long long info_tick;    // when the info line's rate is drawn anew
    long long landed_until; // a jump's landing is told on the info line until then
};

// How long the info line tells where a jump landed.
constexpr long long landing_told = 2 * nanoseconds_per_second;

struct run {
    bool windowed;            // drawing in a window, not off screen for --video alone
    bool one_line;            // -v
    unsigned long stop_after; // -c, 0 for never
    bool left;                // leave() was called
    bool ended;               // and the end was made: GLUT's loop asked to return
    bool counts_wanted;       // SIGUSR1 asked for the counts line, whose drops are on their way
    std::uint64_t waiting;    // live: what the capture process had not yet sent, as last told
    failure why;              // the failure at hand, which leave keeps if it is the first
    failure ended_by;         // why, when it ended in failure
};

run the_run;
controls keys;
log_queue log;
frame_cap frames;
rate shown_rate;
lag_watch lag;

// The signals, answered the same way before the window and in the loop.
void answerSignals()
{
    const signal_requests asked = takeSignals();
    if (asked.children) {
        reapChildren();
        sayKeeperEnd();
    }
    // Live, the line waits for the kernel's drops as they stand.
    if (asked.counts && askCounts())
        the_run.counts_wanted = true;
    else if (asked.counts)
        postCounts(counts);
    if (asked.end)
        leave(nullptr);
}

void writeLogNow()
{
    unsigned long done;
    const written result = writeQueued(log, STDOUT_FILENO, done);
    counts.logged += done;
    if (the_run.stop_after > 0 && counts.logged >= the_run.stop_after)
        leave(nullptr);
    switch (result) {
    case written::all:
    case written::partly:
        break;
    case written::reader_gone:
        leave(nullptr);
        break;
    case written::failed:
        leaveFailing(1, "cannot write the log: %s", std::strerror(errno));
        break;
    }
}

// Writes the queued lines if standard output takes them now; else the
// next wait waits for it too. One poll: a pass of the loop just to write
// would cost more.
void writeLogIfReady()
{
    pollfd standard_output{STDOUT_FILENO, POLLOUT, 0};
    if (poll(&standard_output, 1, 0) == 1)
        writeLogNow();
}

// The picture changed: the window is painted anew, and the video's next
// frame shows it.
void askPaint(long long now)
{
    if (the_run.windowed)
        glutPostRedisplay();
    videoChanged(now);
}

// The one writer of what is shown: the picture's bytes, the log's lines,
// the recording.
void show(const datagram &taken, long long at)
{
    videoBefore(taken.stamp, replaySpeed());
    if (taken.length > 0)
        std::memcpy(buffer, taken.bytes, static_cast<std::size_t>(taken.length));
    bytes_recieved = taken.length;
    shown = {shown.number + 1, taken.length, taken.summary};
    char lines[line_limit];
    const int length = the_run.one_line && taken.summary.family != 0
                           ? formatOneLine(lines, sizeof lines, taken.summary, taken.stamp)
                           : formatLog(lines, sizeof lines, taken.length, taken.summary);
    queueLines(log, lines, static_cast<std::size_t>(length));
    if (recording() && !recordDatagram(taken.bytes, taken.length, taken.stamp, the_run.why))
        leave(&the_run.why);
    countShown(shown_rate, at);
    if (frameNow(frames, at, frames.interval > 0))
        askPaint(at);
}

// Live, whether more has come than the loop has taken: in hand, or not yet
// sent by the capture process. Frames wait for the log then; a replay's
// file waits for the frames.
bool behind(taking take) { return !replaying() && (the_run.waiting > 0 || channelDue(take) == 0); }

void sayLag(std::uint64_t dropped)
{
    char line[256];
    const int length = std::snprintf(
        line, sizeof line,
        "skevla: frames are slower than the traffic; the kernel has dropped %lu %s; --fps 30 "
        "logs every datagram and draws fewer frames; -B 16384 keeps more of a burst\n",
        static_cast<unsigned long>(dropped), dropped == 1 ? "datagram" : "datagrams");
    if (write(STDERR_FILENO, line, static_cast<std::size_t>(length))) {
    }
}

// One thing the channel has in hand, answered: false once there is none.
// A datagram is taken as take allows and the log has room for its lines.
bool takeOne(bool readable, taking take, long long at, bool &took)
{
    failure &why = the_run.why;
    const arrival got = grabPacket(readable, at, logHasRoom(log) ? take : taking::none, why);
    // The kernel's count never goes down, whatever a record says. Drops
    // answered to SIGUSR1 tell nothing of when they came: the stream's
    // records tell them again.
    if (got.told) {
        if (got.what != event::counted &&
            lagToTell(lag, got.told_now.dropped, got.received, keys.paused || logQueued(log)))
            sayLag(got.told_now.dropped);
        counts.dropped = std::max<unsigned long>(counts.dropped, got.told_now.dropped);
        counts.passed = std::max<unsigned long>(counts.passed, got.told_now.passed);
        counts.skipped = got.told_now.skipped;
        counts.passed_over = got.told_now.passed_over;
        the_run.waiting = got.told_now.waiting;
    }
    switch (got.what) {
    case event::datagram:
        keys.stepping = false;
        show(got.taken, at);
        took = true;
        return true;
    case event::none:
        return false;
    case event::landed:
        // Paused, the picture where it landed is shown.
        keys.stepping = keys.paused;
        if (the_run.windowed)
            keys.landed_until = at + landing_told;
        videoJumped();
        askPaint(at);
        return true;
    case event::counted:
        // What the log has queued counts once written: not yet.
        if (the_run.counts_wanted)
            postCounts(counts);
        the_run.counts_wanted = false;
        return true;
    case event::ended:
        endProgress();
        postCounts(counts);
        // The video ends with the file; off screen, so does the run.
        if (!finishVideo(at, why))
            leave(&why);
        else if (!the_run.windowed)
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
    constexpr long long slice = nanoseconds_per_second / 100;
    const bool many = frames.interval > 0 && take != taking::next;
    bool took = false;
    for (long long now = at; !the_run.left && (many || !took); now = monotonicNow()) {
        // A replay's video has a frame for each recorded instant: it waits
        // for the encoder's room.
        const taking now_take = !replaying() || videoHasRoom() ? take : taking::none;
        if (now - at > slice || !takeOne(readable && now == at, now_take, now, took))
            break;
    }
    // The frame the pass put off, unless more is in hand already.
    const long long now = monotonicNow();
    if (const bool lagging = behind(take); frameDue(frames, lagging) >= 0 &&
                                           now >= frameDue(frames, lagging) &&
                                           frameNow(frames, now, lagging))
        askPaint(now);
    if (logQueued(log))
        writeLogIfReady();
    if (recording() && !flushRecording(the_run.why))
        leave(&the_run.why);
}

} // namespace

void leave(const failure *why)
{
    if (why && the_run.ended_by.status == 0)
        the_run.ended_by = *why;
    the_run.left = true;
}

void leaveFailing(int status, const char *format, ...)
{
    if (the_run.ended_by.status == 0) {
        char cause[cause_limit];
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(cause, sizeof cause, format, arguments);
        va_end(arguments);
        fail(the_run.ended_by, status, "%s", cause);
    }
    the_run.left = true;
}

void endIfLeft()
{
    if (!the_run.left || the_run.ended)
        return;
    the_run.ended = true;
    // The video's last frame, while the GL context is current.
    clearProgress();
    if (!finishVideo(monotonicNow(), the_run.why))
        leave(&the_run.why);
    if (the_run.windowed)
        glutLeaveMainLoop();
}

bool leaving() { return the_run.left; }

const failure &endedBy() { return the_run.ended_by; }

void startLoop(const options &settings, bool windowed)
{
    the_run.windowed = windowed;
    the_run.one_line = settings.one_line;
    the_run.stop_after = settings.count;
    frames.interval =
        settings.fps ? nanoseconds_per_second / static_cast<long long>(settings.fps) : 0;
    lag.armed = !settings.file && settings.fps == 0;
    tzset(); // the -v log's local time, read before the sandbox
}

bool awaitCapture(failure &why)
{
    // A pipe may be long in giving a file's header: the signals act meanwhile.
    while (!the_run.left) {
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

void togglePause()
{
    keys.paused = !keys.paused;
    keys.stepping = false;
    if (!keys.paused) {
        resumeChannel(monotonicNow());
        clock_gettime(CLOCK_REALTIME, &lag.resumed);
    }
}

bool paused() { return keys.paused; }

void step() { keys.stepping = keys.paused; }

namespace
{

void sayCannot(const char *line)
{
    clearProgress();
    if (write(STDERR_FILENO, line, std::strlen(line))) {
    }
}

void jumpOrSay(std::int64_t offset)
{
    if (jumpTo(offset) == jump::cannot_go_back)
        sayCannot("skevla: a replay from a pipe cannot go back, only on\n");
}

} // namespace

void jumpBy(long long nanoseconds)
{
    const replay_place place = replayPlace();
    const std::int64_t from = place.moving ? place.target : place.offset;
    std::int64_t to;
    if (__builtin_add_overflow(from, nanoseconds, &to))
        to = nanoseconds > 0 ? INT64_MAX : 0;
    jumpOrSay(std::max<std::int64_t>(to, 0));
}

void jumpToTenth(int tenth)
{
    const replay_place place = replayPlace();
    if (tenth > 0 && place.to < 0) {
        if (replaying())
            sayCannot("skevla: how long a replay from a pipe lasts is not known until its end\n");
        return;
    }
    const double part = static_cast<double>(tenth) / 10;
    jumpOrSay(place.from +
              static_cast<std::int64_t>(static_cast<double>(place.to - place.from) * part));
}

void toggleInfo() { keys.info = !keys.info; }

void changeSpeed(double factor) { setReplaySpeed(replaySpeed() * factor, monotonicNow()); }

bool infoShown() { return keys.info || monotonicNow() < keys.landed_until; }

std::size_t infoLine(char *out, std::size_t size)
{
    char place[96];
    const replay_place at = replayPlace();
    if (replaying())
        formatPlace(place, sizeof place, at.offset, at.from, at.to);
    return formatInfo(out, size, shown, lastSecond(shown_rate, monotonicNow()), counts.dropped,
                      replayPaced() ? replaySpeed() : 0, replaying() ? place : nullptr,
                      keys.paused);
}

void idle()
{
    // Left in a handler (X's errors) or a callback that could not end it.
    if (the_run.left) {
        endIfLeft();
        return;
    }
    // Events Xlib has already read would not wake the poll. Nothing waits
    // to be sent: GLUT's event loop ends on a flushing XPending and a swap is
    // a round trip. The window's one connection is looked up once: the
    // lookup costs a system call.
    static Display *const display = the_run.windowed ? glXGetCurrentDisplay() : nullptr;
    if (display && XQLength(display) > 0)
        return;
    // A live frame once the window has painted what it shows: the
    // framebuffer then holds the picture.
    videoTick(monotonicNow());
    // While the log's queue is full, no datagram is taken: the kernel
    // queues them in its ring, and drops and counts what does not fit.
    const bool queued = logQueued(log), full = !logHasRoom(log);
    if (queued || keys.paused)
        excuseLag(lag);
    const taking take = full || (keys.paused && !keys.stepping) ? taking::none
                        : keys.stepping                         ? taking::next
                                                                : taking::when_due;
    pollfd from_channel;
    watchChannel(from_channel);
    long long due = channelDue(take);
    const bool lagging = behind(take);
    // A frame --fps puts off, the info line's rate and the video's next
    // frame also wake it.
    for (const long long also : {frameDue(frames, lagging), keys.info ? keys.info_tick : -1,
                                 keys.landed_until > 0 ? keys.landed_until : -1, videoDue()})
        if (also >= 0 && (due < 0 || also < due))
            due = std::max(also, 1LL);
    // Standard output is always watched: a pipe whose reader has gone
    // reports an error at once, traffic or not.
    pollfd from_encoder, from_keeper;
    watchVideo(from_encoder);
    watchKeeper(from_keeper);
    pollfd watched[] = {{display ? ConnectionNumber(display) : -1, POLLIN, 0},
                        {signalDescriptor(), POLLIN, 0},
                        {STDOUT_FILENO, static_cast<short>(queued ? POLLOUT : 0), 0},
                        {countsPosted() ? STDERR_FILENO : -1, POLLOUT, 0},
                        from_channel,
                        from_encoder,
                        from_keeper};
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
        writeLogNow();
    if (watched[3].revents != 0)
        deliverCounts();
    if (watched[5].revents != 0 && !answerVideo(the_run.why))
        leave(&the_run.why);
    if (watched[6].revents != 0)
        answerKeeper();
    if (!the_run.left) {
        const long long at = monotonicNow();
        if (frameDue(frames, lagging) >= 0 && at >= frameDue(frames, lagging) &&
            frameNow(frames, at, lagging))
            askPaint(at);
        if (keys.info && at >= keys.info_tick) {
            keys.info_tick = at + nanoseconds_per_second;
            askPaint(at);
        }
        // The landing told long enough: the line goes, unless asked for.
        if (keys.landed_until > 0 && at >= keys.landed_until) {
            keys.landed_until = 0;
            askPaint(at);
        }
        showProgress(at, fileFraction(), videoMade());
        takeDatagrams(watched[4].revents != 0, take, at);
    }
    endIfLeft();
}

void finishLog()
{
    if (logQueued(log))
        writeLogIfReady();
}

void writeCounts()
{
    counts.dropped = std::max<unsigned long>(counts.dropped, finishChannel(counts.dropped));
    postCounts(counts);
    deliverCounts();
}
