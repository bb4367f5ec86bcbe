#include "outputs.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <string>
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

// A file openOutput made, to be removed if the run is refused: its
// directory, its last name, and the file itself.
struct made_file {
    int directory = -1;
    const char *name;
    dev_t device;
    ino_t inode;
};
struct outputs_made {
    made_file files[2]; // -o's and --video's
    int count;
    bool kept;
};
outputs_made made;

// The directory a path names its file in, and the file's last name there;
// false for a path that ends in a slash, which names no file.
bool splitPath(const char *path, std::string &directory, const char *&name)
{
    const char *slash = std::strrchr(path, '/');
    name = slash ? slash + 1 : path;
    directory = slash ? std::string(path, slash == path ? 1 : slash - path) : ".";
    return *name != '\0';
}

bool sameFile(const char *one, const char *other)
{
    struct stat first, second;
    const bool first_there = stat(one, &first) == 0, second_there = stat(other, &second) == 0;
    if (first_there || second_there)
        return first_there && second_there && first.st_dev == second.st_dev &&
               first.st_ino == second.st_ino;
    // Neither is there yet: the same last name in the same directory.
    std::string one_directory, other_directory;
    const char *one_name, *other_name;
    return splitPath(one, one_directory, one_name) &&
           splitPath(other, other_directory, other_name) &&
           std::strcmp(one_name, other_name) == 0 && stat(one_directory.c_str(), &first) == 0 &&
           stat(other_directory.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// Keeps what withdrawOutputs needs of a file just made.
void remember(const char *path, int fd)
{
    std::string directory;
    const char *name;
    struct stat file;
    if (made.count == static_cast<int>(std::size(made.files)) ||
        !splitPath(path, directory, name) || fstat(fd, &file) != 0)
        return;
    made_file &kept = made.files[made.count];
    kept = {open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC), name, file.st_dev,
            file.st_ino};
    made.count += kept.directory >= 0;
}

// The one rule: a regular file of owner's with one name may be written.
// False, with why (status 2), for any other.
bool writable(const struct stat &file, uid_t owner, const char *what, const char *path,
              failure &why)
{
    if (kindOf(file.st_mode))
        return fail(why, 2, "%s %s is %s; name a regular file", what, path, kindOf(file.st_mode));
    if (file.st_uid != owner)
        return fail(why, 2, "%s %s is another user's file; name a file of your own", what, path);
    if (file.st_nlink != 1)
        return fail(why, 2,
                    "%s %s is a file with other names (hard links); name a file with one name",
                    what, path);
    return true;
}

// Whether path, if it is there, is a file that may be written.
bool checkOne(const char *what, const char *path, uid_t owner, failure &why)
{
    struct stat file;
    return !path || lstat(path, &file) != 0 || writable(file, owner, what, path, why);
}

} // namespace

bool checkOutputs(const char *record, const char *video, const char *file, uid_t owner,
                  failure &why)
{
    if (!checkOne("-o", record, owner, why) || !checkOne("--video", video, owner, why))
        return false;
    const char *read = file && std::strcmp(file, "-") != 0 ? file : nullptr;
    if (record && video && sameFile(record, video))
        return fail(why, 2, "-o and --video both name %s; name two files", video);
    if (read && record && sameFile(read, record))
        return fail(why, 2, "-o %s is the file -r reads; name another file", record);
    if (read && video && sameFile(read, video))
        return fail(why, 2, "--video %s is the file -r reads; name another file", video);
    return true;
}

int openOutput(const char *what, const char *cannot, const char *path, failure &why)
{
    // A name made meanwhile is looked at again, a few times.
    for (int tries = 0; tries < 4; ++tries) {
        int fd = open(path, writing);
        bool new_file = false;
        if (fd < 0 && errno == ENOENT)
            new_file = (fd = open(path, writing | O_CREAT | O_EXCL, 0600)) >= 0;
        if (fd < 0 && errno == EEXIST)
            continue;
        struct stat file;
        if (fd < 0) {
            // A link (ELOOP), a FIFO with no reader or a socket (ENXIO), a
            // directory (EISDIR): named as what it is.
            const int cause = errno;
            if (lstat(path, &file) != 0 || !kindOf(file.st_mode))
                fail(why, 1, "%s %s: %s; name a file where you may write", cannot, path,
                     std::strerror(cause));
            else
                writable(file, geteuid(), what, path, why);
            return -1;
        }
        if (fstat(fd, &file) != 0) {
            fail(why, 1, "%s %s: %s", cannot, path, std::strerror(errno));
            close(fd);
            return -1;
        }
        if (!writable(file, geteuid(), what, path, why)) {
            close(fd);
            return -1;
        }
        fcntl(fd, F_SETFL, 0); // blocking again
        if (new_file)
            remember(path, fd);
        return fd;
    }
    fail(why, 1, "%s %s: it keeps changing; name a file that stays", cannot, path);
    return -1;
}

void withdrawOutputs()
{
    for (int i = 0; i < made.count && !made.kept; ++i) {
        const made_file &file = made.files[i];
        struct stat now;
        if (fstatat(file.directory, file.name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == file.device && now.st_ino == file.inode && now.st_size == 0 &&
            unlinkat(file.directory, file.name, 0) != 0) {
        }
    }
}

void keepOutputs()
{
    made.kept = true;
    for (int i = 0; i < made.count; ++i)
        close(made.files[i].directory);
}
