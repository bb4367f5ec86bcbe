// skevla-keeper: the snapshot keeper skevla starts. The viewer holds the X
// connection and takes what the capture process sends, so it may write no
// file at all; this small program holds one directory and its channel and
// nothing else. It creates each file unnamed in that directory, never at a
// path it was sent, and gives it a name of its own making once it is
// whole, never one that is there; it removes nothing. Its allowlist pins
// its one open to the directory and the flags and its links to the
// directory, under Landlock beneath the directory where the kernel has it.
// It says on standard error what it saved or why not.
//
//     skevla-keeper [--no-sandbox] DIRECTORY

#include "boxes.h"
#include "child.h"
#include "failure.h"
#include "identity.h"
#include "picture.h"

#include <algorithm>
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

// The one open the keeper makes: a file with no name yet in its directory,
// which gets one, never another's, once it is whole. What fails never had
// a name, so the keeper removes nothing.
constexpr int creating = O_WRONLY | O_TMPFILE | O_CLOEXEC;
constexpr mode_t readable = 0644;

const char *directory_path;
std::uint32_t largest_width, largest_height; // the largest the window can be
unsigned made;                               // snapshots within the run: the N of the name

// What the run's snapshots have taken of their budget.
struct budget {
    unsigned files;
    std::uint64_t bytes;
};
budget spent;

// One file being written: where, and how many bytes so far.
struct output {
    int fd;
    std::uint64_t written;
    bool over_budget;
};

// What it says of a request's copies, said once the viewer has been told
// it is done with them: whoever reads a line may press s again at once.
char said[copies_limit * 256];
std::size_t said_length;

void say(const char *line)
{
    const std::size_t length = std::min(std::strlen(line), sizeof said - said_length);
    std::memcpy(said + said_length, line, length);
    said_length += length;
}

void sayNow()
{
    // Standard error never blocks: what it cannot take now is lost.
    if (write(STDERR_FILENO, said, said_length)) {
    }
    said_length = 0;
}

// Gives the whole file in fd the next free name beneath the directory,
// never one that is there. False with errno set.
bool linkNext(int fd, char *name, std::size_t size)
{
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char stamp[32], itself[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::snprintf(itself, sizeof itself, "/proc/self/fd/%d", fd);
    for (;;) {
        std::snprintf(name, size, "skevla-%s-%u.png", stamp, ++made);
        // Kernels before 6.10 link an unnamed file of one's own only
        // through /proc.
        if (linkat(fd, "", directory_fd, name, AT_EMPTY_PATH) == 0 ||
            (errno == ENOENT &&
             linkat(AT_FDCWD, itself, directory_fd, name, AT_SYMLINK_FOLLOW) == 0))
            return true;
        if (errno != EEXIST)
            return false;
    }
}

// libpng writes through write(2): no stdio, whose set-up would ask for
// calls the box refuses; never past the run's budget.
void writeOut(png_structp png, png_bytep data, png_size_t length)
{
    auto &to = *static_cast<output *>(png_get_io_ptr(png));
    if (spent.bytes + to.written + length > snapshot_bytes_limit) {
        to.over_budget = true;
        png_error(png, "budget");
    }
    while (length > 0) {
        const ssize_t written = write(to.fd, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            png_error(png, "write");
        data += written;
        to.written += static_cast<std::uint64_t>(written);
        length -= static_cast<std::size_t>(written);
    }
}

void flushNothing(png_structp) {}

// The keeper says itself why a save failed, in its own words, once.
[[noreturn]] void failedSilently(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void warnedSilently(png_structp, png_const_charp) {}

bool writePng(output &to, const unsigned char *pixels, std::uint32_t width, std::uint32_t height)
{
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, failedSilently, warnedSilently);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        const int cause = errno;
        png_destroy_write_struct(&png, &info);
        errno = cause;
        return false;
    }
    png_set_write_fn(png, &to, writeOut, flushNothing);
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

void sayBudgetSpent()
{
    char line[160];
    std::snprintf(line, sizeof line,
                  "skevla: cannot save the picture: the run has spent its budget of %u "
                  "snapshots or %u MiB\n",
                  snapshot_files_limit, static_cast<unsigned>(snapshot_bytes_limit >> 20));
    say(line);
}

// Saves one copy, or says why not and returns false.
bool save(const unsigned char *pixels, std::uint32_t width, std::uint32_t height)
{
    if (spent.files >= snapshot_files_limit) {
        sayBudgetSpent();
        return false;
    }
    char name[96] = "the picture", line[256];
    output to{openat(directory_fd, ".", creating, readable), 0, false};
    const bool named =
        to.fd >= 0 && writePng(to, pixels, width, height) && linkNext(to.fd, name, sizeof name);
    int cause = errno;
    bool saved = named;
    // A file system may say only now that the writes failed.
    if (to.fd >= 0 && close(to.fd) != 0 && saved) {
        cause = errno;
        saved = false;
    }
    if (saved) {
        ++spent.files;
        spent.bytes += to.written;
        std::snprintf(line, sizeof line, "skevla: saved %s\n", name);
    } else if (to.over_budget) {
        sayBudgetSpent();
        return false;
    } else {
        std::snprintf(line, sizeof line, "skevla: cannot save %s: %s\n", name,
                      std::strerror(cause));
    }
    say(line);
    return saved;
}

constexpr std::uint32_t allow = SCMP_ACT_ALLOW;
constexpr std::uint32_t refuse = SCMP_ACT_ERRNO(EACCES);
constexpr scmp_arg_cmp on_channel{0, SCMP_CMP_EQ, channel_descriptor, 0};
constexpr scmp_arg_cmp in_directory{0, SCMP_CMP_EQ, directory_fd, 0};
constexpr scmp_arg_cmp elsewhere{0, SCMP_CMP_NE, directory_fd, 0};
constexpr scmp_arg_cmp as_made{2, SCMP_CMP_EQ, creating, 0};
constexpr scmp_arg_cmp made_otherwise{2, SCMP_CMP_NE, creating, 0};
constexpr scmp_arg_cmp with_mode{3, SCMP_CMP_EQ, readable, 0};
constexpr scmp_arg_cmp other_mode{3, SCMP_CMP_NE, readable, 0};
constexpr scmp_arg_cmp named_in_directory{2, SCMP_CMP_EQ, directory_fd, 0};
constexpr scmp_arg_cmp by_descriptor{4, SCMP_CMP_EQ, AT_EMPTY_PATH, 0};
constexpr scmp_arg_cmp from_here{0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(AT_FDCWD), 0};
constexpr scmp_arg_cmp through_proc{4, SCMP_CMP_EQ, AT_SYMLINK_FOLLOW, 0};

// What taking a request, encoding a PNG and naming it need, beside every
// child's base, and no more. An open is let through only as the keeper
// makes it, an unnamed file in its directory with its flags and mode, and
// a link only into the directory; any other open is refused, any other
// call ends the process. It removes nothing.
const rule allowed[] = {
    {allow, SCMP_SYS(recvmsg), 1, {on_channel}},
    {allow, SCMP_SYS(pread64)},
    {allow, SCMP_SYS(write)},
    {allow, SCMP_SYS(writev), 1, {on_channel}},
    {allow, SCMP_SYS(openat), 3, {in_directory, as_made, with_mode}},
    {allow, SCMP_SYS(linkat), 2, {named_in_directory, by_descriptor}},
    {allow, SCMP_SYS(linkat), 3, {from_here, named_in_directory, through_proc}},
    {refuse, SCMP_SYS(openat), 1, {elsewhere}},
    {refuse, SCMP_SYS(openat), 1, {made_otherwise}},
    {refuse, SCMP_SYS(openat), 1, {other_mode}},
};

const beneath changes[] = {
    {directory_fd, LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_WRITE_FILE}};

bool readArguments(int argc, char **argv, failure &why)
{
    if (argc == 2) {
        directory_path = argv[1];
        return true;
    }
    return fail(why, 2, "the snapshot keeper was started with arguments it does not take");
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
    sayNow();
    _exit(why.status);
}

// The next picture, and the memory file that holds its pixels: after the
// limits, which the viewer sends once X has told the screen's size (a
// viewer with no window sends none, and the keeper ends). False when the
// viewer has gone.
bool takeRequest(picture_fields &asked, int &pixels)
{
    static std::uint8_t state = keeper_unlimited;
    std::uint64_t bytes = 0;
    const record_header *taken;
    while ((taken = takeFromViewer(keeper_channel, state, pixels, bytes)) &&
           taken->kind == record_kind::limits) {
        largest_width = fieldsOf<size_fields>(*taken).width;
        largest_height = fieldsOf<size_fields>(*taken).height;
    }
    if (!taken)
        return false;
    asked = fieldsOf<picture_fields>(*taken);
    // Anything else is no request the viewer could make: it is not itself.
    // Nothing is sized before this.
    if (asked.width == 0 || asked.height == 0 || asked.width > largest_width ||
        asked.height > largest_height || asked.copies == 0 || asked.copies > copies_limit ||
        bytes != std::uint64_t{asked.width} * asked.height * 3)
        _exit(1);
    return true;
}

__attribute__((noreturn)) void serveRequests()
{
    std::vector<unsigned char> pixels;
    picture_fields asked;
    for (int from; takeRequest(asked, from);) {
        pixels.resize(std::size_t{asked.width} * asked.height * 3);
        if (!readPixels(from, pixels))
            _exit(1);
        close(from);
        // A copy that fails says why once: the next ones would fail alike.
        for (std::uint32_t copy = 0;
             copy < asked.copies && save(pixels.data(), asked.width, asked.height); ++copy) {
        }
        const bool told = sendRecord(channel_descriptor, record_kind::done, no_fields{});
        sayNow();
        if (!told)
            break;
    }
    _exit(0);
}

const child_program keeper{
    .name = "snapshot keeper",
    .who = identity::unprivileged,
    .read = readArguments,
    .acquire = openDirectory,
    .prepare = prepareNames,
    .allowed = allowed,
    .changes = changes,
    .refused = nullptr,
    .speaks = true,
    .finishes = false,
    .handed = false,
    .fail = failToStart,
    .serve = serveRequests,
};

} // namespace

int main(int argc, char **argv) { runChild(keeper, argc, argv); }
