// skevla-keeper: the snapshot keeper skevla starts. The viewer holds the X
// connection and takes what the capture process sends, so it may write no
// file at all; this small program holds one directory and its channel and
// nothing else. It makes every file name itself and creates each file
// relative to that directory, never at a path it was sent, under an
// allowlist whose one open pins the directory and the flags, and under
// Landlock beneath the directory where the kernel has it. It says on
// standard error what it saved or why not.
//
//     skevla-keeper [--no-sandbox] DIRECTORY

#include "child.h"
#include "failure.h"
#include "picture.h"
#include "privileges.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <png.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

// The directory, where the allowlist expects it.
constexpr int directory_fd = channel_descriptor + 1;

// The one open the keeper makes: a new file, never over one, never through
// a link.
constexpr int creating = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t readable = 0644;

const char *directory_path;
unsigned made; // snapshots within the run: the N of the name

void say(const char *line)
{
    // Standard error never blocks: a line it cannot take now is lost.
    if (write(STDERR_FILENO, line, std::strlen(line))) {
    }
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
        std::snprintf(name, size, "skevla-%s-%u.png", stamp, ++made);
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
constexpr scmp_arg_cmp on_channel{0, SCMP_CMP_EQ, channel_descriptor, 0};
constexpr scmp_arg_cmp in_directory{0, SCMP_CMP_EQ, directory_fd, 0};
constexpr scmp_arg_cmp elsewhere{0, SCMP_CMP_NE, directory_fd, 0};
constexpr scmp_arg_cmp as_made{2, SCMP_CMP_EQ, creating, 0};
constexpr scmp_arg_cmp made_otherwise{2, SCMP_CMP_NE, creating, 0};
constexpr scmp_arg_cmp with_mode{3, SCMP_CMP_EQ, readable, 0};
constexpr scmp_arg_cmp other_mode{3, SCMP_CMP_NE, readable, 0};

// What taking a request, encoding a PNG and writing it need, and no more.
// An open is let through only as the keeper makes it: beneath its
// directory, with its flags and mode; any other is refused, any other call
// ends the process.
const rule allowed[] = {
    {allow, SCMP_SYS(recvmsg), 1, {on_channel}},
    {allow, SCMP_SYS(pread64)},
    {allow, SCMP_SYS(fstat)},
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
};

const beneath changes[] = {
    {directory_fd, LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_WRITE_FILE}};

bool readArguments(int argc, char **argv, failure &why)
{
    directory_path = argc == 2 ? argv[1] : nullptr;
    return directory_path ||
           fail(why, 2, "the snapshot keeper was started with arguments it does not take");
}

bool openDirectory(failure &why)
{
    const int opened = open(directory_path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (opened == directory_fd)
        return true;
    if (opened < 0 || dup3(opened, directory_fd, O_CLOEXEC) != directory_fd)
        return fail(why, 1, "cannot open %s: %s", directory_path, std::strerror(errno));
    close(opened);
    return true;
}

bool prepareNames(failure &)
{
    tzset(); // the names' local time, read before the box
    return true;
}

__attribute__((noreturn)) void failToStart(const failure &why)
{
    say("skevla: the snapshot keeper: ");
    say(why.why);
    say("\n");
    _exit(why.status);
}

// The next request: its header, and the descriptor of the memory file
// that holds its pixels. False when the viewer has gone.
bool takeRequest(picture_request &asked, int &pixels)
{
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))];
    iovec into{&asked, sizeof asked};
    msghdr message{};
    message.msg_iov = &into;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do
        got = recvmsg(channel_descriptor, &message, MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);
    if (got <= 0)
        return false;
    const cmsghdr *part = CMSG_FIRSTHDR(&message);
    pixels = -1;
    if (part && part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_RIGHTS &&
        part->cmsg_len == CMSG_LEN(sizeof(int)))
        std::memcpy(&pixels, CMSG_DATA(part), sizeof pixels);
    // Anything else is no request: the viewer is not itself.
    if (got != sizeof asked || pixels < 0 || (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) ||
        asked.width == 0 || asked.height == 0 || asked.width > picture_side_limit ||
        asked.height > picture_side_limit || asked.copies == 0 || asked.copies > copies_limit)
        _exit(1);
    return true;
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

__attribute__((noreturn)) void serveRequests()
{
    std::vector<unsigned char> pixels;
    picture_request asked;
    for (int from; takeRequest(asked, from);) {
        pixels.resize(std::size_t{asked.width} * asked.height * 3);
        if (!readPixels(from, pixels))
            _exit(1);
        close(from);
        for (std::uint32_t copy = 0; copy < asked.copies; ++copy)
            save(pixels.data(), asked.width, asked.height);
        const char done = 1;
        if (write(channel_descriptor, &done, sizeof done) != sizeof done)
            break;
    }
    _exit(0);
}

const child_program keeper{
    .name = "snapshot keeper",
    .who = identity::invoking_user,
    .read = readArguments,
    .acquire = openDirectory,
    .prepare = prepareNames,
    .allowed = allowed,
    .changes = changes,
    .refused = nullptr,
    .speaks = true,
    .fail = failToStart,
    .serve = serveRequests,
};

} // namespace

int main(int argc, char **argv) { runChild(keeper, argc, argv); }
