#include "keeper.h"

#include "failure.h"
#include "privileges.h"

#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <png.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace
{

// The one open the keeper makes: a new file, never over one, never through
// a link.
constexpr int creating = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t readable = 0644;

int directory_fd = -1;
unsigned taken; // snapshots within the run: the N of the name

void say(const char *line)
{
    // Standard error never blocks: a line it cannot take now is lost.
    if (write(STDERR_FILENO, line, std::strlen(line))) {
    }
}

bool readAll(int fd, void *into, std::size_t size)
{
    auto *at = static_cast<unsigned char *>(into);
    while (size > 0) {
        const ssize_t got = read(fd, at, size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        at += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

// Creates the next free name beneath the directory.
int createNext(char *name, std::size_t size)
{
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    for (;;) {
        std::snprintf(name, size, "skevla-%s-%u.png", stamp, ++taken);
        const int fd = openat(directory_fd, name, creating, readable);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
}

// libpng writes through write(2): no stdio, whose set-up would ask for
// calls the box refuses.
void writeOut(png_structp png, png_bytep data, png_size_t length)
{
    const int fd = *static_cast<int *>(png_get_io_ptr(png));
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            png_error(png, "write");
        data += written;
        length -= static_cast<std::size_t>(written);
    }
}

void flushNothing(png_structp) {}

bool writePng(int fd, const unsigned char *pixels, std::uint32_t width, std::uint32_t height)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        const int cause = errno;
        png_destroy_write_struct(&png, &info);
        errno = cause;
        return false;
    }
    png_set_write_fn(png, &fd, writeOut, flushNothing);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t row = std::size_t{width} * 3;
    for (std::uint32_t y = height; y-- > 0;) // the top row first
        png_write_row(png, pixels + y * row);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

void save(const unsigned char *pixels, std::uint32_t width, std::uint32_t height)
{
    char name[96], line[256];
    const int fd = createNext(name, sizeof name);
    if (fd < 0) {
        std::snprintf(line, sizeof line, "skevla: cannot save %s: %s\n", name,
                      std::strerror(errno));
    } else {
        const bool written = writePng(fd, pixels, width, height);
        const int cause = errno;
        if (close(fd) != 0 || !written)
            std::snprintf(line, sizeof line, "skevla: cannot save %s: %s\n", name,
                          std::strerror(written ? errno : cause));
        else
            std::snprintf(line, sizeof line, "skevla: saved %s\n", name);
    }
    say(line);
}

constexpr std::uint32_t allow = SCMP_ACT_ALLOW;
constexpr std::uint32_t refuse = SCMP_ACT_ERRNO(EACCES);
constexpr scmp_arg_cmp no_exec{2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0};

// What reading the channel, encoding a PNG and writing it need, and no
// more. An open is let through only as the keeper makes it: beneath its
// directory, with its flags and mode; any other is refused, any other call
// ends the process.
bool box(int channel, failure &why)
{
    const scmp_arg_cmp in_directory{0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(directory_fd), 0};
    const scmp_arg_cmp elsewhere{0, SCMP_CMP_NE, static_cast<scmp_datum_t>(directory_fd), 0};
    const scmp_arg_cmp as_made{2, SCMP_CMP_EQ, creating, 0};
    const scmp_arg_cmp made_otherwise{2, SCMP_CMP_NE, creating, 0};
    const scmp_arg_cmp with_mode{3, SCMP_CMP_EQ, readable, 0};
    const scmp_arg_cmp other_mode{3, SCMP_CMP_NE, readable, 0};
    const scmp_arg_cmp on_channel{0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(channel), 0};
    const rule allowlist[] = {
        {allow, SCMP_SYS(read), 1, {on_channel}},
        {allow, SCMP_SYS(write)},
        {allow, SCMP_SYS(close)},
        {allow, SCMP_SYS(openat), 3, {in_directory, as_made, with_mode}},
        {refuse, SCMP_SYS(openat), 1, {elsewhere}},
        {refuse, SCMP_SYS(openat), 1, {made_otherwise}},
        {refuse, SCMP_SYS(openat), 1, {other_mode}},
        {refuse, SCMP_SYS(open)},
        {allow, SCMP_SYS(brk)},
        {allow, SCMP_SYS(mmap), 1, {no_exec}},
        {allow, SCMP_SYS(munmap)},
        {allow, SCMP_SYS(mremap)},
        {allow, SCMP_SYS(clock_gettime)},
        {allow, SCMP_SYS(rt_sigreturn)},
        {allow, SCMP_SYS(restart_syscall)},
        {allow, SCMP_SYS(exit_group)},
#ifdef SKEVLA_SANITIZE
        // AddressSanitizer's allocator gives memory back this way.
        {allow, SCMP_SYS(madvise)},
#endif
    };
    const beneath here{directory_fd, LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_WRITE_FILE};
    bool missing;
    return enterLandlock({&here, 1}, missing, why) &&
           loadRules(SCMP_ACT_KILL_PROCESS, allowlist, false, "the snapshot keeper's sandbox", why);
}

} // namespace

void keepSnapshots(int channel, int directory, pid_t parent, bool sandbox)
{
    static failure why;
    prctl(PR_SET_NAME, "skevla-keeper");
    for (const int ignored : {SIGINT, SIGTERM, SIGUSR1, SIGPIPE})
        std::signal(ignored, SIG_IGN);
    // Standard error for its lines, the channel and the directory: nothing
    // else of the viewer's.
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
    }
    directory_fd = directory;
    keepDescriptors(channel, directory);
    tzset(); // the names' local time, read before the box
    if (!dropAll(identity::invoking_user, why) || prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 ||
        getppid() != parent || (sandbox && !box(channel, why))) {
        if (why.status != 0) {
            say("skevla: the snapshot keeper: ");
            say(why.why);
            say("\n");
        }
        _exit(1);
    }
    std::vector<unsigned char> pixels;
    for (snapshot_request asked; readAll(channel, &asked, sizeof asked);) {
        if (asked.width == 0 || asked.height == 0 || asked.width > picture_side_limit ||
            asked.height > picture_side_limit || asked.copies == 0 || asked.copies > copies_limit)
            _exit(1);
        pixels.resize(std::size_t{asked.width} * asked.height * 3);
        if (!readAll(channel, pixels.data(), pixels.size()))
            break;
        for (std::uint32_t copy = 0; copy < asked.copies; ++copy)
            save(pixels.data(), asked.width, asked.height);
    }
    _exit(0);
}
