// skevla-reader: the replay reader skevla starts for -r. It opens the
// capture file as the user who started it (under sudo the one who ran it),
// gives up every privilege, compiles the filter for every link type a file
// may have, boxes itself in, and only then reads the file's header and its
// packets, handing the viewer each TCP datagram when it asks. Anyone may
// run it; it holds nothing worth stealing.
//
//     skevla-reader [--no-sandbox] [-f EXPRESSION] FILE      (FILE "-": standard input)

#include "capture.h"
#include "child.h"
#include "file.h"
#include "filter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

struct replay {
    const char *path;
    const char *expression;
    int input = -1;
    file_programs programs;
    FILE *stream;
    std::uint64_t size; // of a regular file: how far through it a replay is can be told
    std::uint64_t read; // so far
};
replay file;

bool readArguments(int argc, char **argv, failure &why)
{
    int at = 1;
    if (argc - at > 2 && std::strcmp(argv[at], "-f") == 0) {
        file.expression = argv[at + 1];
        at += 2;
    }
    file.path = at + 1 == argc ? argv[at] : nullptr;
    return file.path ||
           fail(why, 2, "the replay reader was started with arguments it does not take");
}

// Opened without waiting: a FIFO with no writer yet is waited for in the
// reads, which watch the viewer as they wait.
bool openInput(failure &why)
{
    file.input = std::strcmp(file.path, "-") == 0
                     ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, channel_descriptor + 1)
                     : open(file.path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file.input < 0)
        return fail(why, 1, "%s: %s", file.path, std::strerror(errno));
    struct stat status;
    if (fstat(file.input, &status) == 0 && S_ISREG(status.st_mode))
        file.size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

// The stream libpcap reads: each read waits for the input or the viewer's
// end, whichever comes first, so a quiet pipe never outlives skevla; what
// was read before goes to the viewer before the wait.
ssize_t readWatching(void *, char *into, std::size_t size)
{
    for (int wait = 0;; wait = -1) {
        pollfd both[] = {{file.input, POLLIN, 0}, {channel_descriptor, 0, 0}};
        const int ready = poll(both, 2, wait);
        if (ready < 0 && errno != EINTR)
            return -1;
        if (ready == 0) {
            beforeWaiting();
            continue;
        }
        if (both[1].revents != 0)
            _exit(0);
        if (both[0].revents == 0)
            continue;
        const ssize_t got = read(file.input, into, size);
        file.read += static_cast<std::uint64_t>(std::max(got, ssize_t{0}));
        if (got >= 0 || (errno != EAGAIN && errno != EINTR))
            return got;
    }
}

bool prepareReading(failure &why)
{
    compileForFiles(file.expression, file.programs);
    file.stream = fopencookie(nullptr, "r", {readWatching, nullptr, nullptr, nullptr});
    static char buffer[1 << 16];
    return (file.stream && setvbuf(file.stream, buffer, _IOFBF, sizeof buffer) == 0) ||
           fail(why, 1, "cannot read %s: %s", file.path, std::strerror(errno));
}

__attribute__((noreturn)) void serveFile()
{
    static failure why;
    if (!openFile(file.stream, file.path, file.programs, why))
        failCapture(why);
    static const source from{nextInFile, [] { return std::uint64_t{0}; }, [] { return file.read; },
                             file.size, [] { return std::size_t{0}; }};
    serve(from);
}

const child_program reader{
    .name = "replay reader",
    .who = identity::unprivileged,
    .read = readArguments,
    .acquire = openInput,
    .prepare = prepareReading,
    .allowed = capture_allowlist,
    .changes = {},
    .refused = reportRefused,
    .speaks = false,
    .finishes = false,
    .handed = false,
    .fail = failCapture,
    .serve = serveFile,
};

} // namespace

int main(int argc, char **argv) { runChild(reader, argc, argv); }
