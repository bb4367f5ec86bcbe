#include "snapshot.h"

#include "keeper.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace
{

int keeper = -1;       // the channel to the keeper
char unavailable[256]; // why s cannot save where there is no keeper
std::uint32_t wanted;  // presses of s the next paint answers

void say(const char *line)
{
    // Standard error never blocks: a line it cannot take now is lost.
    if (write(STDERR_FILENO, line, std::strlen(line))) {
    }
}

} // namespace

bool startSnapshots(const char *directory, bool sandbox, failure &why)
{
    const char *path = directory ? directory : ".";
    const int held = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory && (held < 0 || access(path, W_OK | X_OK) != 0))
        return fail(why, 2, "--snapshots '%s': %s; name a directory you can write to", path,
                    std::strerror(errno));
    if (held < 0) {
        std::snprintf(unavailable, sizeof unavailable,
                      "skevla: cannot save snapshots here: %s; name a directory with --snapshots\n",
                      std::strerror(errno));
        return true;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return fail(why, 1, "cannot make a channel to the snapshot keeper: %s",
                    std::strerror(errno));
    const pid_t parent = getpid();
    const pid_t started = fork();
    if (started == 0)
        keepSnapshots(pair[1], held, parent, sandbox);
    const int cause = errno;
    close(pair[1]);
    close(held);
    if (started < 0)
        return fail(why, 1, "cannot start the snapshot keeper: %s", std::strerror(cause));
    keeper = pair[0];
    return true;
}

void takeSnapshot()
{
    if (keeper < 0)
        say(unavailable);
    else
        wanted = std::min(wanted + 1, copies_limit);
}

bool snapshotWanted() { return wanted > 0; }

void saveSnapshot(const unsigned char *pixels, int width, int height)
{
    snapshot_request asked{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                           wanted};
    wanted = 0;
    iovec parts[] = {
        {&asked, sizeof asked},
        {const_cast<unsigned char *>(pixels), std::size_t{asked.width} * asked.height * 3}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    // Whole, or the keeper is gone: it reads every request at once.
    while (message.msg_iovlen > 0) {
        const ssize_t sent = sendmsg(keeper, &message, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0) {
            char line[256];
            std::snprintf(line, sizeof line, "skevla: cannot save the picture: %s\n",
                          errno == EPIPE ? "the snapshot keeper has ended" : std::strerror(errno));
            say(line);
            return;
        }
        for (auto done = static_cast<std::size_t>(sent); done > 0 && message.msg_iovlen > 0;) {
            const std::size_t part = std::min(done, message.msg_iov->iov_len);
            message.msg_iov->iov_base = static_cast<char *>(message.msg_iov->iov_base) + part;
            message.msg_iov->iov_len -= part;
            done -= part;
            if (message.msg_iov->iov_len == 0) {
                ++message.msg_iov;
                --message.msg_iovlen;
            }
        }
    }
}
