#include "log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr std::size_t ends_limit = std::size(log_queue{}.ends);

} // namespace

void queueLines(log_queue &log, const char *text, std::size_t length)
{
    if (log.start > 0 && log.end + length > sizeof log.text) {
        std::memmove(log.text, log.text + log.start, log.end - log.start);
        log.end -= log.start;
        log.start = 0;
    }
    length = std::min(length, sizeof log.text - log.end);
    std::memcpy(log.text + log.end, text, length);
    log.end += length;
    log.queued += length;
    log.ends[(log.first + log.count++) % ends_limit] = log.queued;
}

bool logQueued(const log_queue &log) { return log.end > log.start; }

bool logHasRoom(const log_queue &log)
{
    return log.end - log.start + line_limit <= sizeof log.text && log.count < ends_limit;
}

written writeQueued(log_queue &log, int fd, unsigned long &done)
{
    done = 0;
    const ssize_t count = write(fd, log.text + log.start, log.end - log.start);
    if (count < 0) {
        if (errno == EINTR || errno == EAGAIN)
            return written::partly;
        return errno == EPIPE ? written::reader_gone : written::failed;
    }
    log.start += static_cast<std::size_t>(count);
    log.written += static_cast<std::uint64_t>(count);
    for (; log.count > 0 && log.ends[log.first] <= log.written; ++done) {
        log.first = (log.first + 1) % ends_limit;
        --log.count;
    }
    if (log.start == log.end)
        log.start = log.end = 0;
    return log.start == log.end ? written::all : written::partly;
}

void unblockOutput()
{
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat shown;
        if (fstat(fd, &shown) != 0 || !(S_ISCHR(shown.st_mode) || S_ISFIFO(shown.st_mode)))
            continue;
        // A description of our own: the shell's stays as it was.
        char path[32];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        const int own = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY);
        if (own >= 0 && own != fd) {
            dup2(own, fd);
            close(own);
        }
    }
}

bool writeAll(int fd, const char *text, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, text, length);
        if (written < 0) {
            pollfd room{fd, POLLOUT, 0};
            if (errno == EAGAIN)
                poll(&room, 1, -1);
            else if (errno != EINTR)
                return false;
            continue;
        }
        text += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

bool writeLog(const char *text, std::size_t length)
{
    return writeAll(STDOUT_FILENO, text, length);
}
