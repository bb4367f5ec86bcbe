#include "picture.h"

#include "child.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

int takePicture(void *header, std::size_t size, int &pixels, std::uint64_t &bytes)
{
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))];
    iovec into{header, size};
    msghdr message{};
    message.msg_iov = &into;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    // A viewer that closed with answers unread resets the channel; what it
    // sent before is still there to read.
    ssize_t got;
    do
        got = recvmsg(channel_descriptor, &message, MSG_CMSG_CLOEXEC);
    while (got < 0 && (errno == EINTR || errno == ECONNRESET));
    if (got <= 0)
        return 0;
    const cmsghdr *part = CMSG_FIRSTHDR(&message);
    pixels = -1;
    if (part && part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_RIGHTS &&
        part->cmsg_len == CMSG_LEN(sizeof(int)))
        std::memcpy(&pixels, CMSG_DATA(part), sizeof pixels);
    struct stat file;
    if (static_cast<std::size_t>(got) != size || pixels < 0 ||
        (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) || fileStat(pixels, file) != 0)
        return -1;
    bytes = static_cast<std::uint64_t>(file.st_size);
    return 1;
}

bool readPixels(int from, std::vector<unsigned char> &pixels)
{
    for (std::size_t done = 0; done < pixels.size();) {
        const ssize_t got =
            pread(from, pixels.data() + done, pixels.size() - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}
