#include "snapshot.h"

#include "children.h"
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
constexpr unsigned in_flight_limit = 2;

const char *path;      // where the keeper saves
int keeper = -1;       // the channel to the keeper, -1 once it has ended
char unavailable[256]; // why s cannot save where there is no keeper
std::uint32_t wanted;  // presses of s the next paint answers
unsigned in_flight;    // requests handed over and not yet answered

void say(const char *line)
{
    clearProgress();
    // Standard error never blocks: a line it cannot take now is lost.
    if (write(STDERR_FILENO, line, std::strlen(line))) {
    }
}

// Takes the keeper's answers that have come; false once it has ended.
bool keeperAnswers()
{
    char done[64];
    for (;;) {
        const ssize_t got = recv(keeper, done, sizeof done, MSG_DONTWAIT);
        if (got > 0)
            in_flight -= std::min(in_flight, 1u);
        else if (got < 0 && errno == EINTR)
            continue;
        else
            return got < 0 && errno == EAGAIN;
    }
}

} // namespace

bool startKeeper(const char *directory, bool sandbox, failure &why)
{
    path = directory ? directory : ".";
    // One that is not there is refused before the keeper would say so.
    if (directory && access(path, F_OK) != 0)
        return fail(why, 2, "--snapshots '%s': %s; name a directory you can write to", path,
                    std::strerror(errno));
    const char *arguments[4] = {"skevla-keeper"};
    int count = 1;
    if (!sandbox)
        arguments[count++] = "--no-sandbox";
    arguments[count] = path;
    child started;
    if (!spawnChild("skevla-keeper", "snapshot keeper", arguments, nullptr, started, why))
        return false;
    keeper = started.channel;
    return true;
}

bool settleSnapshots(const char *directory, failure &why)
{
    if (access(path, W_OK | X_OK) == 0)
        return true;
    const int cause = errno;
    closeKeeper();
    if (directory)
        return fail(why, 2, "--snapshots '%s': %s; name a directory you can write to", path,
                    std::strerror(cause));
    std::snprintf(unavailable, sizeof unavailable,
                  "skevla: cannot save snapshots here: %s; name a directory with --snapshots\n",
                  std::strerror(cause));
    return true;
}

void limitSnapshots(int largest_width, int largest_height)
{
    const picture_limits largest{static_cast<std::uint32_t>(largest_width),
                                 static_cast<std::uint32_t>(largest_height)};
    if (keeper >= 0 && send(keeper, &largest, sizeof largest, MSG_NOSIGNAL) != sizeof largest)
        closeKeeper();
}

void closeKeeper()
{
    close(keeper);
    keeper = -1;
}

void takeSnapshot()
{
    if (keeper < 0 && unavailable[0])
        say(unavailable);
    else
        wanted = std::min(wanted + 1, copies_limit);
}

bool snapshotWanted() { return wanted > 0; }

void saveSnapshot(const unsigned char *pixels, int width, int height)
{
    const picture_request asked{static_cast<std::uint32_t>(width),
                                static_cast<std::uint32_t>(height), wanted};
    wanted = 0;
    if (keeper >= 0 && !keeperAnswers())
        closeKeeper();
    if (keeper < 0) {
        say("skevla: cannot save the picture: the snapshot keeper has ended\n");
        return;
    }
    // The keeper is never waited for: what it cannot take now is refused.
    if (in_flight >= in_flight_limit) {
        say("skevla: cannot save the picture now: the snapshot keeper is still saving the last "
            "ones\n");
        return;
    }
    if (!handPicture(keeper, &asked, sizeof asked, pixels,
                     std::size_t{asked.width} * asked.height * 3)) {
        char line[256];
        std::snprintf(line, sizeof line, "skevla: cannot save the picture: %s\n",
                      errno == EPIPE || errno == ECONNRESET ? "the snapshot keeper has ended"
                      : errno == EAGAIN ? "the snapshot keeper is still saving the last ones"
                                        : std::strerror(errno));
        say(line);
    } else {
        ++in_flight;
    }
}
