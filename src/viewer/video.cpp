#include "video.h"

#include "children.h"
#include "offscreen.h"
#include "options.h"
#include "outputs.h"
#include "picture.h"
#include "render.h"
#include "video_clock.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

// Frames handed over and not yet encoded, at most.
constexpr unsigned in_flight_limit = 8;

struct encoder_channel_state {
    int channel = -1; // -1 when there is none
    std::uint8_t state = encoder_waiting;
    int width, height;
    bool framed; // its framebuffer is made
    std::vector<unsigned char> pixels;
    unsigned in_flight;
    unsigned long left_out; // live frames the encoder could not take in time
    bool finishing;         // the last frame is sent: the encoder's end is awaited
};
encoder_channel_state video;
video_clock frames_clock; // which frames the video gets

// The picture in hand, drawn off screen at the video's size (unless the
// window has just drawn it there) and handed over as the frame at pts.
void emit(long long pts)
{
    if (pts < 0 || !video.framed)
        return;
    if (video.in_flight >= in_flight_limit) {
        ++video.left_out;
        return;
    }
    readFramebuffer(video.width, video.height, video.pixels.data(), drawPictureAt);
    const frame_fields frame{static_cast<std::uint32_t>(video.width),
                             static_cast<std::uint32_t>(video.height), pts};
    if (!handPicture(video.channel, record_kind::frame, &frame, sizeof frame, video.pixels.data(),
                     video.pixels.size())) {
        ++video.left_out;
        return;
    }
    ++video.in_flight;
    framed(frames_clock, pts);
}

// The video has reached pts with the picture standing still: the encoder
// repeats the frame before until then. Unlike a frame it waits for no room.
void tell(long long pts)
{
    if (pts < 0 || !sendRecord(video.channel, record_kind::still, still_fields{pts}))
        return;
    stillTold(frames_clock, pts);
}

enum class heard { answer, none, failed, ended };

// The encoder's next answer, if one has come: started or done, why it
// failed, or its end, which while finishing is how the file is done.
heard hear(int flags, failure &why)
{
    alignas(8) unsigned char answer[4096 + 64];
    ssize_t got;
    do
        got = recv(video.channel, answer, sizeof answer, flags);
    while (got < 0 && errno == EINTR);
    if (got < 0 && errno == EAGAIN)
        return heard::none;
    std::size_t at = 0;
    const record_header *record = got > 0 ? takeRecord(encoder_channel, side::child, video.state,
                                                       answer, static_cast<std::size_t>(got), at)
                                          : nullptr;
    if (record && at == static_cast<std::size_t>(got) && record->kind != record_kind::failed) {
        if (record->kind == record_kind::done)
            video.in_flight -= std::min(video.in_flight, 1u);
        return heard::answer;
    }
    closeChannel(child_role::encoder);
    video.channel = -1;
    if (record && at == static_cast<std::size_t>(got)) {
        fail(why, 1, "%.*s", static_cast<int>(countOf(*record, sizeof(failed_fields))),
             reinterpret_cast<const char *>(bytesOf(*record, sizeof(failed_fields))));
        return heard::failed;
    }
    if (got > 0) {
        fail(why, 1, "the video encoder sent a damaged record");
        return heard::failed;
    }
    awaitEnd(child_role::encoder);
    return endedWell(child_role::encoder, -1, why) && video.finishing ? heard::ended
                                                                      : heard::failed;
}

} // namespace

bool startEncoder(const options &settings, failure &why)
{
    if (!settings.video)
        return true;
    // Opened here, as the run's other files are; the encoder touches it
    // only once the run has begun.
    const int file = openOutput("--video", "cannot write the video", settings.video, why);
    if (file < 0)
        return false;
    const bool started = startChild(child_role::encoder, settings, file, why);
    close(file);
    if (!started)
        return false;
    video.channel = channelOf(child_role::encoder);
    video.width = settings.winx;
    video.height = settings.winy;
    video.pixels.resize(static_cast<std::size_t>(video.width) * video.height * 3);
    frames_clock.rate = settings.fps ? static_cast<int>(settings.fps) : 30;
    return true;
}

bool beginVideo(failure &why)
{
    if (!videoOn())
        return true;
    // The word to begin the file; its first answer says whether it could.
    // One that failed before has said why, which is read all the same.
    sendRecord(video.channel, record_kind::begin, no_fields{});
    video.state = encoder_encoding;
    return hear(0, why) == heard::answer;
}

bool startFrames(failure &why)
{
    if (!videoOn())
        return true;
    video.framed = makeFramebuffer(video.width, video.height, why);
    return video.framed;
}

void framesGone() { video.framed = false; }

bool videoOn() { return video.channel >= 0; }

long long videoMade() { return videoOn() ? ::videoMade(frames_clock) : 0; }

void startVideoClock(long long now, bool live)
{
    frames_clock = startClock(frames_clock.rate, live, now);
}

void videoChanged(long long now)
{
    pictureMoved(frames_clock, now);
    pictureChanged();
}

void videoBefore(const timespec &stamp, double speed)
{
    if (!videoOn())
        return;
    // Drawn in the window or not, the datagram is the picture now.
    if (!frames_clock.live) {
        emit(frameBefore(frames_clock, stamp, speed));
        datagramShown(frames_clock);
    }
    pictureChanged();
}

void videoJumped()
{
    if (videoOn() && !frames_clock.live)
        jumped(frames_clock);
}

long long videoDue() { return videoOn() ? liveDue(frames_clock) : -1; }

void videoTick(long long now)
{
    if (!videoOn())
        return;
    emit(frameAt(frames_clock, now));
    tell(stillAt(frames_clock, now));
}

void watchVideo(pollfd &wait_on) { wait_on = {video.channel, POLLIN, 0}; }

bool answerVideo(failure &why)
{
    for (heard got; videoOn() && (got = hear(MSG_DONTWAIT, why)) != heard::none;)
        if (got == heard::failed)
            return false;
    return true;
}

bool videoHasRoom() { return !videoOn() || video.in_flight < in_flight_limit; }

bool finishVideo(long long now, failure &why)
{
    if (!videoOn())
        return true;
    // Here, at the end, the encoder's room is waited for.
    while (video.in_flight >= in_flight_limit)
        if (hear(0, why) == heard::failed)
            return false;
    // The video lasts until now, or until its last frame.
    emit(lastFrame(frames_clock, now));
    tell(lastStill(frames_clock, now));
    // The encoder reads to the end of what was sent, then finishes the
    // file and ends: a close with answers unread would reset the channel
    // under it. What it answers on the way may be why it failed.
    shutdown(video.channel, SHUT_WR);
    video.finishing = true;
    for (heard got; videoOn();)
        if ((got = hear(0, why)) == heard::failed)
            return false;
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
