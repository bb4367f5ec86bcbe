#include "snapshot.h"

#include "children.h"
#include "options.h"
#include "picture.h"
#include "progress.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// Pictures handed to the keeper and not yet saved, at most: what a keeper
// on a slow or hung file system can hold of the viewer's memory.
constexpr unsigned in_flight_limit = 4;

// The viewer's side of the keeper's channel.
struct keeper_side {
    const char *path;                      // where the keeper saves
    int channel = -1;                      // -1 once it has ended
    std::uint8_t state = keeper_unlimited; // of the channel
    char unavailable[256];                 // why s cannot save where there is no keeper
    std::uint32_t wanted;                  // presses of s the next paint answers
    unsigned in_flight;                    // requests handed over and not yet answered
    bool lost; // it ended of itself, which is to be said once it is reaped
};
keeper_side keeper;

void say(const char *line)
{
    clearProgress();
    // Standard error never blocks: a line it cannot take now is lost.
    if (write(STDERR_FILENO, line, std::strlen(line))) {
    }
}

} // namespace

bool startKeeper(const options &settings, failure &why)
{
    keeper.path = settings.snapshots ? settings.snapshots : ".";
    // One that is not there is refused before the keeper would say so.
    if (settings.snapshots && access(keeper.path, F_OK) != 0)
        return fail(why, 2, "--snapshots '%s': %s; name a directory you can write to", keeper.path,
                    std::strerror(errno));
    if (!startChild(child_role::keeper, settings, -1, why))
        return false;
    keeper.channel = channelOf(child_role::keeper);
    return true;
}

bool checkSnapshots(const char *directory, failure &why)
{
    if (access(keeper.path, W_OK | X_OK) == 0)
        return true;
    const int cause = errno;
    closeKeeper();
    if (directory)
        return fail(why, 2, "--snapshots '%s': %s; name a directory you can write to", keeper.path,
                    std::strerror(cause));
    std::snprintf(keeper.unavailable, sizeof keeper.unavailable,
                  "skevla: cannot save snapshots here: %s; name a directory with --snapshots\n",
                  std::strerror(cause));
    return true;
}

void limitSnapshots(int largest_width, int largest_height)
{
    const size_fields largest{static_cast<std::uint32_t>(largest_width),
                              static_cast<std::uint32_t>(largest_height)};
    keeper.state = keeper_serving;
    if (keeper.channel >= 0 && !sendRecord(keeper.channel, record_kind::limits, largest))
        closeKeeper();
}

void closeKeeper()
{
    closeChannel(child_role::keeper);
    keeper.channel = -1;
}

void watchKeeper(pollfd &wait_on) { wait_on = {keeper.channel, POLLIN, 0}; }

void answerKeeper()
{
    for (;;) {
        alignas(8) unsigned char answer[64];
        const ssize_t got = recv(keeper.channel, answer, sizeof answer, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            return;
        std::size_t at = 0;
        if (got > 0 &&
            takeRecord(keeper_channel, side::child, keeper.state, answer,
                       static_cast<std::size_t>(got), at) &&
            at == static_cast<std::size_t>(got)) {
            keeper.in_flight -= std::min(keeper.in_flight, 1u);
            continue;
        }
        // It has ended, or is not itself: s says so from now on; its end is
        // reaped with the run's other children's, and said.
        closeKeeper();
        keeper.lost = true;
        sayKeeperEnd();
        return;
    }
}

void sayKeeperEnd()
{
    char how[256], line[320];
    if (!keeper.lost || !childEnded(child_role::keeper))
        return;
    keeper.lost = false;
    if (endedWell(child_role::keeper, -1, how, sizeof how))
        return;
    std::snprintf(line, sizeof line, "skevla: %s; s saves no more\n", how);
    say(line);
}

void takeSnapshot()
{
    if (keeper.channel < 0 && keeper.unavailable[0])
        say(keeper.unavailable);
    else
        keeper.wanted = std::min(keeper.wanted + 1, copies_limit);
}

bool snapshotWanted() { return keeper.wanted > 0; }

void saveSnapshot(const unsigned char *pixels, int width, int height)
{
    const picture_fields asked{static_cast<std::uint32_t>(width),
                               static_cast<std::uint32_t>(height), keeper.wanted, 0};
    keeper.wanted = 0;
    if (keeper.channel >= 0)
        answerKeeper();
    if (keeper.channel < 0) {
        say("skevla: cannot save the picture: the snapshot keeper has ended\n");
        return;
    }
    // The keeper is never waited for: what it cannot take now is refused.
    if (keeper.in_flight >= in_flight_limit) {
        say("skevla: cannot save the picture now: the snapshot keeper is still saving the last "
            "ones\n");
        return;
    }
    if (!handPicture(keeper.channel, record_kind::picture, &asked, sizeof asked, pixels,
                     std::size_t{asked.width} * asked.height * 3)) {
        char line[256];
        std::snprintf(line, sizeof line, "skevla: cannot save the picture: %s\n",
                      errno == EPIPE || errno == ECONNRESET ? "the snapshot keeper has ended"
                      : errno == EAGAIN ? "the snapshot keeper is still saving the last ones"
                                        : std::strerror(errno));
        say(line);
    } else {
        ++keeper.in_flight;
    }
}
