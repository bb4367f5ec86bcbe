#include "outputs.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Never waits: a FIFO with no reader fails at once, one with a reader is
// refused once its kind is seen; a terminal does not become the run's.
constexpr int writing = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// What a file that is not a regular one is, for the refusal; nullptr for a
// regular file.
const char *kindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return nullptr;
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

int refuse(int fd, failure &why, const char *what, const char *path, const char *is,
           const char *remedy)
{
    if (fd >= 0)
        close(fd);
    fail(why, 2, "%s %s is %s; %s", what, path, is, remedy);
    return -1;
}

} // namespace

int openOutput(const char *what, const char *cannot, const char *path, failure &why)
{
    // A name made meanwhile is looked at again, a few times.
    for (int tries = 0; tries < 4; ++tries) {
        int fd = open(path, writing);
        if (fd < 0 && errno == ENOENT)
            fd = open(path, writing | O_CREAT | O_EXCL, 0600);
        if (fd < 0 && errno == EEXIST)
            continue;
        struct stat file;
        if (fd < 0) {
            // A link (ELOOP), a FIFO with no reader or a socket (ENXIO), a
            // directory (EISDIR): named as what it is.
            const int cause = errno;
            if (lstat(path, &file) == 0 && kindOf(file.st_mode))
                return refuse(fd, why, what, path, kindOf(file.st_mode), "name a regular file");
            fail(why, 1, "%s %s: %s; name a file where you may write", cannot, path,
                 std::strerror(cause));
            return -1;
        }
        if (fstat(fd, &file) != 0) {
            fail(why, 1, "%s %s: %s", cannot, path, std::strerror(errno));
            close(fd);
            return -1;
        }
        if (kindOf(file.st_mode))
            return refuse(fd, why, what, path, kindOf(file.st_mode), "name a regular file");
        if (file.st_uid != geteuid())
            return refuse(fd, why, what, path, "another user's file", "name a file of your own");
        if (file.st_nlink != 1)
            return refuse(fd, why, what, path, "a file with other names (hard links)",
                          "name a file with one name");
        fcntl(fd, F_SETFL, 0); // blocking again
        return fd;
    }
    fail(why, 1, "%s %s: it keeps changing; name a file that stays", cannot, path);
    return -1;
}
