#include "picture.h"

#include "child.h"

#include <cerrno>
#include <cstring>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

const record_header *takeFromViewer(channel_rules rules, std::uint8_t &state, int &pixels,
                                    std::uint64_t &bytes)
{
    alignas(8) static unsigned char message[256];
    const long got = receiveMessage(channel_descriptor, message, sizeof message, pixels);
    if (got == 0)
        return nullptr;
    std::size_t at = 0;
    struct stat file {
    };
    const record_header *taken = got > 0
                                     ? takeRecord(rules, side::viewer, state, message,
                                                  static_cast<std::size_t>(got), at, pixels >= 0)
                                     : nullptr;
    if (!taken || at != static_cast<std::size_t>(got) ||
        (pixels >= 0 && fileStat(pixels, file) != 0))
        _exit(1);
    bytes = static_cast<std::uint64_t>(file.st_size);
    return taken;
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

bool handPicture(int channel, record_kind kind, const void *fields, std::size_t size,
                 const unsigned char *pixels, std::size_t bytes)
{
    const int file = memfd_create("skevla-picture", MFD_CLOEXEC);
    for (std::size_t done = 0; file >= 0 && done < bytes;) {
        const ssize_t written = write(file, pixels + done, bytes - done);
        if (written < 0 && errno != EINTR) {
            const int cause = errno;
            close(file);
            errno = cause;
            return false;
        }
        done += written > 0 ? static_cast<std::size_t>(written) : 0;
    }
    if (file < 0)
        return false;
    alignas(8) unsigned char record[64];
    const std::size_t length = putRecord(record, 0, kind, fields, size);
    iovec part{record, length};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof file)] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *attached = CMSG_FIRSTHDR(&message);
    attached->cmsg_level = SOL_SOCKET;
    attached->cmsg_type = SCM_RIGHTS;
    attached->cmsg_len = CMSG_LEN(sizeof file);
    std::memcpy(CMSG_DATA(attached), &file, sizeof file);
    ssize_t sent;
    do
        sent = sendmsg(channel, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    const int cause = errno;
    close(file);
    errno = cause;
    return sent == static_cast<ssize_t>(length);
}
