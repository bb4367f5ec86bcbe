#include "snapshot.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/landlock.h>
#include <png.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

int directory_fd = -1;
bool allowed;
bool wanted;
unsigned taken; // counts snapshots within the run: the N of the name
char landlock_missing[160];

// Landlock's rights that change the file system; reading stays as it was.
constexpr __u64 make_and_change = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                                  LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
                                  LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                                  LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
                                  LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
constexpr __u64 refer = 1ULL << 13;    // ABI 2
constexpr __u64 truncate = 1ULL << 14; // ABI 3

bool allowBeneath(int ruleset, int beneath, __u64 rights)
{
    landlock_path_beneath_attr rule{rights, beneath};
    return syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

// The ruleset: new regular files, and writing files, beneath the directory;
// writing the device files a GL driver opens; nothing else changes.
const char *confine()
{
    const long abi =
        syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1)
        return "which this kernel does not offer";
    landlock_ruleset_attr handled{make_and_change | (abi >= 2 ? refer : 0) |
                                  (abi >= 3 ? truncate : 0)};
    const int ruleset =
        static_cast<int>(syscall(SYS_landlock_create_ruleset, &handled, sizeof handled, 0));
    if (ruleset < 0)
        return "whose rule set could not be made";
    const int devices = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const bool ruled = allowBeneath(ruleset, directory_fd,
                                    LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_WRITE_FILE) &&
                       devices >= 0 &&
                       allowBeneath(ruleset, devices, LANDLOCK_ACCESS_FS_WRITE_FILE) &&
                       syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
    if (devices >= 0)
        close(devices);
    close(ruleset);
    return ruled ? nullptr : "which refused the rules";
}

void say(const char *line)
{
    // Standard error never blocks: a line it cannot take now is lost.
    if (write(STDERR_FILENO, line, std::strlen(line))) {
    }
}

// Creates the next free name beneath the directory, never over a file.
int createNext(char *name, std::size_t size)
{
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    for (;;) {
        std::snprintf(name, size, "skevla-%s-%u.png", stamp, ++taken);
        const int fd = openat(directory_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
}

bool writePng(FILE *file, const unsigned char *pixels, int width, int height)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t row = static_cast<std::size_t>(width) * 3;
    for (int y = height - 1; y >= 0; --y) // the top row first
        png_write_row(png, pixels + static_cast<std::size_t>(y) * row);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

} // namespace

bool prepareSnapshots(const char *directory, bool sandbox, failure &why)
{
    // A directory named must be fit for snapshots; the current one need
    // not be, and a snapshot there then fails with its reason.
    const char *path = directory ? directory : ".";
    directory_fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory && (directory_fd < 0 || access(path, W_OK | X_OK) != 0))
        return fail(why, 2, "--snapshots '%s': %s; name a directory you can write to", path,
                    std::strerror(errno));
    if (directory_fd < 0) {
        std::snprintf(landlock_missing, sizeof landlock_missing,
                      "skevla: cannot save snapshots here: %s; name a directory with --snapshots\n",
                      std::strerror(errno));
        return true;
    }
    if (const char *missing = sandbox ? confine() : nullptr)
        std::snprintf(landlock_missing, sizeof landlock_missing,
                      "skevla: snapshots need Landlock, %s; nothing was saved\n", missing);
    allowed = landlock_missing[0] == '\0';
    return true;
}

bool snapshotsAllowed() { return allowed; }

void takeSnapshot()
{
    if (allowed)
        wanted = true;
    else
        say(landlock_missing);
}

bool snapshotWanted() { return wanted; }

void saveSnapshot(const unsigned char *pixels, int width, int height)
{
    wanted = false;
    char name[96], line[256];
    const int fd = createNext(name, sizeof name);
    FILE *file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    const bool written = file && writePng(file, pixels, width, height);
    const int cause = errno;
    if (file ? std::fclose(file) != 0 : fd >= 0 && close(fd) != 0)
        std::snprintf(line, sizeof line, "skevla: cannot save %s: %s\n", name,
                      std::strerror(errno));
    else if (!written)
        std::snprintf(line, sizeof line, "skevla: cannot save %s: %s\n", name,
                      std::strerror(cause));
    else
        std::snprintf(line, sizeof line, "skevla: saved %s\n", name);
    say(line);
}
