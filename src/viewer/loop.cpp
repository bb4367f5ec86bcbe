#include "loop.h"

#include "channel.h"
#include "options.h"
#include "recording.h"
#include "report.h"
#include "signals.h"
#include "state.h"

#include <GL/freeglut.h>
#include <GL/glx.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace
{

bool one_line;            // -v
unsigned long stop_after; // -c, 0 for never
bool paused;
bool stepping;             // while paused, one datagram is to be taken
unsigned long shown;       // datagrams shown, for the info line
std::int32_t shown_length; // the latest one's length as logged (draw trims odd ones)
long long rate_second;     // the info line's rate: when the second being counted began
unsigned long rate_count;  // datagrams shown in it
double per_second;         // datagrams shown in the second before it
long long frame_interval;  // --fps: nanoseconds between frames, 0 for a frame each datagram
long long next_frame;      // when the next frame may be drawn
bool frame_pending;        // a datagram shown waits for its frame
bool leaving;
bool counts_wanted; // SIGUSR1 asked for the counts line, whose drops are on their way
segment_summary shown_summary;
bool held_is_datagram; // the held lines count as received once written
char failure[4608];

constexpr long long nanoseconds_per_second = 1000000000;

long long now()
{
    timespec time;
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time.tv_sec * nanoseconds_per_second + time.tv_nsec;
}

void leave(const char *cause)
{
    leaving = true;
    if (cause && !failure[0])
        std::snprintf(failure, sizeof failure, "%s", cause);
}

void takeSignals()
{
    while (const int caught = nextSignal()) {
        if (caught != SIGUSR1)
            leave(nullptr);
        else if (askCounts())
            counts_wanted = true;
        else
            holdCounts(counts);
    }
}

void writeHeld()
{
    switch (flushLog()) {
    case flushed::all:
        if (held_is_datagram && ++counts.received == stop_after)
            leave(nullptr);
        break;
    case flushed::partly:
        break;
    case flushed::reader_gone:
        leave(nullptr);
        break;
    case flushed::failed:
        char cause[256];
        std::snprintf(cause, sizeof cause, "cannot write the log: %s", std::strerror(errno));
        leave(cause);
        break;
    }
}

// Writes the held lines if standard output takes them now; else the next
// wait waits for it too. One poll: a pass of the GLUT loop just to write
// would cost more.
void writeHeldIfReady()
{
    pollfd log{STDOUT_FILENO, POLLOUT, 0};
    if (poll(&log, 1, 0) == 1)
        writeHeld();
}

void describe()
{
    int length;
    if (shown_length <= 0 || shown_summary.family == 0)
        length =
            std::snprintf(info_line, sizeof info_line, "#%lu drops\xA0%lu", shown, counts.dropped);
    else
        length = formatInfo(info_line, sizeof info_line, shown, shown_length, shown_summary,
                            per_second, counts.dropped);
    std::size_t used =
        std::min(static_cast<std::size_t>(std::max(length, 0)), sizeof info_line - 1);
    // The bitmap font is Latin-1: 0xD7 is the multiplication sign, and 0xA0
    // (a space the line is never wrapped at) keeps "drops" with its count.
    if (const double speed = replaySpeed(); speed > 0)
        used += static_cast<std::size_t>(
            std::snprintf(info_line + used, sizeof info_line - used, " \xD7%g", speed));
    if (paused)
        std::snprintf(info_line + used, sizeof info_line - used, " paused");
}

// The rate is what the last whole second saw: it falls to 0 a second after
// traffic stops, as the wait wakes for each second while the line is shown.
void tickRate(long long at)
{
    if (at - rate_second < nanoseconds_per_second)
        return;
    per_second = at - rate_second < 2 * nanoseconds_per_second ? rate_count : 0;
    rate_second = at - (at - rate_second) % nanoseconds_per_second;
    rate_count = 0;
}

void countRate(long long at)
{
    tickRate(at);
    ++rate_count;
}

// With --fps, a frame at most every frame_interval: the latest datagram is
// drawn when it comes.
void askFrame(long long at)
{
    if (frame_interval == 0 || at >= next_frame) {
        glutPostRedisplay();
        next_frame = at + frame_interval;
        frame_pending = false;
    } else {
        frame_pending = true;
    }
}

void show(const datagram &taken)
{
    if (taken.length > 0)
        std::memcpy(buffer, taken.bytes, static_cast<std::size_t>(taken.length));
    bytes_recieved = taken.length;
    shown_summary = taken.summary;
    char lines[256];
    int length;
    if (one_line && taken.summary.family != 0)
        length = formatOneLine(lines, sizeof lines, taken.summary, taken.stamp);
    else
        length = formatLog(lines, sizeof lines, taken.length, taken.summary);
    holdLog(lines, static_cast<std::size_t>(length));
    held_is_datagram = taken.length >= 0;
    ++shown;
    shown_length = taken.length;
    if (recording() && !recordDatagram(taken.bytes, taken.length, taken.stamp)) {
        char cause[4352];
        std::snprintf(cause, sizeof cause, "cannot write %s: %s", recording(),
                      std::strerror(errno));
        leave(cause);
    }
    const long long at = show_info || frame_interval ? now() : 0;
    if (show_info) {
        countRate(at);
        describe();
    }
    writeHeldIfReady();
    askFrame(at);
}

void take(bool readable, bool taking)
{
    datagram taken;
    char cause[4608];
    // A step takes the next datagram whatever its recorded time; nothing is
    // taken while paused or while the log holds lines.
    const long long at = !taking ? LLONG_MIN : stepping ? LLONG_MAX : now();
    // With -c, none is asked for past the last one to be shown.
    const bool more = stop_after == 0 || shown + 1 < stop_after;
    switch (grabPacket(readable, at, more, taken, cause, sizeof cause)) {
    case arrival::datagram:
        stepping = false;
        show(taken);
        break;
    case arrival::none_yet:
        break;
    case arrival::counted:
        if (counts_wanted)
            holdCounts(counts);
        counts_wanted = false;
        break;
    case arrival::ended:
        holdCounts(counts);
        break;
    case arrival::gone:
        finishLog();
        holdCounts(counts);
        [[fallthrough]];
    case arrival::failed:
        leave(cause);
        glutLeaveMainLoop();
        break;
    }
}

} // namespace

void startLoop(const options &settings)
{
    one_line = settings.one_line;
    stop_after = settings.count;
    frame_interval =
        settings.fps ? nanoseconds_per_second / static_cast<long long>(settings.fps) : 0;
    tzset(); // the -v log's local time, read before the sandbox
}

void idle()
{
    // glutMainLoop may call idle once more after being asked to leave.
    if (leaving) {
        glutLeaveMainLoop();
        return;
    }
    // Events Xlib has already read would not wake the poll. Nothing waits
    // to be sent: GLUT's event loop ends on a flushing XPending and a swap is
    // a round trip. The window's one connection is looked up once: the
    // lookup costs a system call.
    static Display *const display = glXGetCurrentDisplay();
    if (XQLength(display) > 0)
        return;
    // While the log holds lines, no datagram is taken: the kernel queues
    // them, and drops and counts what does not fit.
    const bool held = logHeld();
    const bool taking = !held && (!paused || stepping);
    pollfd from_channel;
    watchChannel(from_channel);
    long long due = taking ? channelDue() : -1;
    if (stepping && due > 0)
        due = 0;
    // A frame held back by --fps, and the info line's rate, also wake it.
    for (const long long also :
         {frame_pending ? next_frame : -1, show_info ? rate_second + nanoseconds_per_second : -1})
        if (also >= 0 && (due < 0 || also < due))
            due = std::max(also, 1LL);
    // Standard output is always watched: a pipe whose reader has gone
    // reports an error at once, traffic or not.
    pollfd watched[] = {{ConnectionNumber(display), POLLIN, 0},
                        {signalDescriptor(), POLLIN, 0},
                        {STDOUT_FILENO, static_cast<short>(held ? POLLOUT : 0), 0},
                        {countsHeld() ? STDERR_FILENO : -1, POLLOUT, 0},
                        from_channel};
    timespec wait{};
    if (due > 0) {
        const long long left = std::max(due - now(), 0LL);
        wait = {static_cast<time_t>(left / nanoseconds_per_second),
                static_cast<long>(left % nanoseconds_per_second)};
    }
    ppoll(watched, sizeof watched / sizeof watched[0], due >= 0 ? &wait : nullptr, nullptr);
    if (watched[1].revents != 0)
        takeSignals();
    if (watched[2].revents & (POLLERR | POLLHUP))
        leave(nullptr);
    else if (watched[2].revents != 0)
        writeHeld();
    if (watched[3].revents != 0)
        flushCounts();
    if (leaving) {
        glutLeaveMainLoop();
        return;
    }
    const long long at = frame_pending || show_info ? now() : 0;
    if (frame_pending && at >= next_frame)
        askFrame(at);
    if (show_info && at - rate_second >= nanoseconds_per_second) {
        tickRate(at);
        describe();
        glutPostRedisplay();
    }
    take(watched[4].revents != 0, taking);
}

void stopLoop()
{
    leave(nullptr);
    glutLeaveMainLoop();
}

void togglePause()
{
    paused = !paused;
    stepping = false;
    if (!paused)
        resumeChannel(now());
    if (show_info) {
        describe();
        glutPostRedisplay();
    }
}

void changeSpeed(double times)
{
    setReplaySpeed(replaySpeed() * times, now());
    if (show_info) {
        describe();
        glutPostRedisplay();
    }
}

void stepOnce() { stepping = paused; }

void toggleInfo()
{
    show_info = !show_info;
    if (show_info) {
        rate_second = now();
        rate_count = 0;
        per_second = 0;
        describe();
    }
    glutPostRedisplay();
}

const char *loopFailure() { return failure[0] ? failure : nullptr; }

void finishLog()
{
    if (logHeld())
        writeHeldIfReady();
}

void writeCounts()
{
    finishChannel();
    holdCounts(counts);
    flushCounts();
}
