#include "video.h"

#include "children.h"
#include "offscreen.h"
#include "outputs.h"
#include "pace.h"
#include "picture.h"
#include "render.h"
#include "state.h"

#include <GL/gl.h>
#include <GL/glu.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace
{

// Frames handed over and not yet encoded, at most.
constexpr unsigned in_flight_limit = 8;

struct video_state {
    int channel = -1; // to the encoder, -1 when there is none
    int ended = -1;   // a pidfd of it, to wait for its end
    int width, height, rate;
    bool framed; // its framebuffer is made
    std::vector<unsigned char> pixels;
    unsigned in_flight;
    unsigned long left_out; // live frames the encoder could not take in time
    bool live;
    long long start;     // live: the wall clock at the video's start
    double speed;        // a replay's
    bool stamped;        // a replay has shown a datagram
    timespec last_stamp; // its stamp
    long long time;      // a replay's video time at it
    long long shown_at;  // the video time the picture in hand was first shown at
    bool changed;        // the picture in hand has no frame yet
    bool finishing;      // the last frame is sent: the encoder's end is awaited
    long long next;      // the least pts the next frame may take
};
video_state video;

// The longest video time: a hostile capture's gaps, each up to a day at
// the slowest speed, could otherwise add up past what 64 bits hold.
constexpr long long time_limit = LLONG_MAX / 2;

// In 128 bits: a video of years at 1000 frames a second overflows 64.
long long timeOf(long long pts)
{
    return static_cast<long long>(__int128{pts} * nanoseconds_per_second / video.rate);
}

// The first pts at or after a video time, and the last at or before it.
long long ptsAtOrAfter(long long time)
{
    return static_cast<long long>((__int128{time} * video.rate + nanoseconds_per_second - 1) /
                                  nanoseconds_per_second);
}
long long ptsAt(long long time)
{
    return static_cast<long long>(__int128{time} * video.rate / nanoseconds_per_second);
}

// The picture in hand, drawn off screen at the video's size (unless the
// window has just drawn it there) and handed over as the frame at pts.
void emit(long long pts)
{
    if (video.in_flight >= in_flight_limit) {
        ++video.left_out;
        return;
    }
    const bool drawn = framebufferHolds(video.width, video.height);
    bindFramebuffer(video.width, video.height);
    if (!drawn) {
        glViewport(0, 0, video.width, video.height);
        glMatrixMode(GL_PROJECTION);
        glPushMatrix();
        glLoadIdentity();
        gluOrtho2D(0.0, video.width, 0.0, video.height);
        drawPicture(video.width, video.height);
        glPopMatrix();
        glViewport(0, 0, winx, winy);
    }
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, video.width, video.height, GL_RGB, GL_UNSIGNED_BYTE, video.pixels.data());
    unbindFramebuffer(false);
    const video_frame frame{static_cast<std::uint32_t>(video.width),
                            static_cast<std::uint32_t>(video.height), pts};
    if (!handPicture(video.channel, &frame, sizeof frame, video.pixels.data(),
                     video.pixels.size())) {
        ++video.left_out;
        return;
    }
    ++video.in_flight;
    video.next = pts + 1;
    video.changed = false;
}

// One answer of the encoder, got bytes of it: a byte for its start or a
// frame done, else why it failed; nothing once it has ended, which, while
// finishing, is how the file is done. False with why when it has failed.
bool heard(ssize_t got, const char *answer, failure &why)
{
    if (got == 1)
        return true;
    close(video.channel);
    video.channel = -1;
    if (got > 1)
        return fail(why, 1, "%.*s", static_cast<int>(got), answer);
    return reapChild(video.ended, "the video encoder", -1, why) && video.finishing;
}

} // namespace

bool startEncoder(const char *path, int width, int height, int rate, bool sandbox, failure &why)
{
    char size[32], frames[16];
    std::snprintf(size, sizeof size, "%dx%d", width, height);
    std::snprintf(frames, sizeof frames, "%d", rate);
    const char *arguments[6] = {"skevla-encoder"};
    int count = 1;
    if (!sandbox)
        arguments[count++] = "--no-sandbox";
    arguments[count++] = size;
    arguments[count++] = frames;
    arguments[count] = path;
    // Opened here, as the run's other files are; the encoder touches it
    // only once the run has begun.
    const int file = openOutput("--video", "cannot write the video", path, why);
    child started;
    const bool spawned =
        file >= 0 && spawnChild("skevla-encoder", "video encoder", arguments, nullptr, started, why,
                                file);
    if (file >= 0)
        close(file);
    if (!spawned)
        return false;
    video.channel = started.channel;
    video.ended = static_cast<int>(syscall(SYS_pidfd_open, started.pid, 0));
    video.width = width;
    video.height = height;
    video.rate = rate;
    video.pixels.resize(static_cast<std::size_t>(width) * height * 3);
    return video.ended >= 0 ||
           fail(why, 1, "cannot watch the video encoder (pidfd_open): %s", std::strerror(errno));
}

bool beginVideo(failure &why)
{
    if (!videoOn())
        return true;
    // The word to begin the file; its first answer says whether it could.
    // One that failed before has said why, which is read all the same.
    const char begin = 1;
    if (send(video.channel, &begin, sizeof begin, MSG_NOSIGNAL)) {
    }
    char answer[sizeof why.why];
    ssize_t got;
    do
        got = recv(video.channel, answer, sizeof answer, 0);
    while (got < 0 && errno == EINTR);
    return heard(got, answer, why);
}

bool startFrames(failure &why)
{
    if (!videoOn())
        return true;
    video.framed = makeFramebuffer(video.width, video.height, why);
    return video.framed;
}

bool videoOn() { return video.channel >= 0; }

long long videoMade() { return videoOn() ? timeOf(video.next) : 0; }

void startVideoClock(long long now, bool live, double speed)
{
    video.live = live;
    video.start = now;
    video.speed = speed;
    video.changed = true;
}

void videoSpeed(double speed) { video.speed = speed > 0 ? speed : video.speed; }

void videoChanged()
{
    video.changed = true;
    pictureChanged();
}

void videoBefore(const timespec &stamp)
{
    if (!videoOn())
        return;
    if (video.live) {
        pictureChanged(); // drawn in the window or not, the datagram is the picture now
        return;
    }
    if (video.stamped) {
        // As a replay is paced: a datagram with no gap kept is shown at once.
        if (const long long gap = stampGap(video.last_stamp, stamp); gap > 0)
            video.time = std::min(video.time + static_cast<long long>(static_cast<double>(gap) /
                                                                        video.speed),
                                  time_limit);
    }
    video.stamped = true;
    video.last_stamp = stamp;
    // The picture in hand is seen at every frame from when it was first
    // shown until now: at the first of them, if any.
    const long long pts = std::max(video.next, ptsAtOrAfter(video.shown_at));
    if (video.changed && timeOf(pts) < video.time)
        emit(pts);
    video.shown_at = video.time;
    video.changed = true;
    pictureChanged();
}

long long videoDue()
{
    if (!videoOn() || !video.live || !video.changed)
        return -1;
    return video.start + timeOf(video.next);
}

void videoTick(long long now)
{
    const long long due = videoDue();
    if (due >= 0 && now >= due)
        emit(ptsAt(now - video.start));
}

void watchVideo(pollfd &wait_on) { wait_on = {video.channel, POLLIN, 0}; }

bool answerVideo(failure &why)
{
    char answer[512];
    while (videoOn()) {
        const ssize_t got = recv(video.channel, answer, sizeof answer, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            return true;
        if (!heard(got, answer, why))
            return false;
        if (got == 1)
            video.in_flight -= std::min(video.in_flight, 1u);
    }
    return true;
}

bool videoHasRoom() { return !videoOn() || video.in_flight < in_flight_limit; }

bool finishVideo(long long now, failure &why)
{
    if (!videoOn())
        return true;
    // The last picture, at its time: the video lasts until it.
    const long long pts = video.live ? ptsAt(now - video.start)
                                     : std::max(video.next, ptsAtOrAfter(video.shown_at));
    // Here, at the end, the encoder's room is waited for.
    while (video.in_flight >= in_flight_limit) {
        pollfd answered{video.channel, POLLIN, 0};
        poll(&answered, 1, -1);
        if (!answerVideo(why))
            return false;
    }
    if (video.framed && pts >= video.next && (video.changed || video.live))
        emit(pts);
    // The encoder reads to the end of what was sent, then finishes the
    // file and ends: a close with answers unread would reset the channel
    // under it. What it answers on the way may be why it failed.
    shutdown(video.channel, SHUT_WR);
    video.finishing = true;
    for (;;) {
        if (!answerVideo(why))
            return false;
        if (!videoOn())
            break;
        pollfd answered{video.channel, POLLIN, 0};
        poll(&answered, 1, -1);
    }
    if (video.left_out > 0) {
        char line[160];
        const int length = std::snprintf(
            line, sizeof line,
            "skevla: %lu frame%s of the video could not be handed over in time; the "
            "video shows the frame before in %s place\n",
            video.left_out, video.left_out == 1 ? "" : "s", video.left_out == 1 ? "its" : "their");
        if (write(STDERR_FILENO, line, static_cast<std::size_t>(length))) {
        }
    }
    return true;
}
