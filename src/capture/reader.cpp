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
#include "input.h"

#include <cerrno>
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
    file_programs programs;
    capture_input input;
    FILE *stream;
    std::uint64_t size; // of a regular file: how far through it a replay is can be told
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

// Opened without waiting: a FIFO with no writer yet is waited for with
// everything else.
bool openInput(failure &why)
{
    file.input.fd = std::strcmp(file.path, "-") == 0
                        ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, channel_descriptor + 1)
                        : open(file.path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file.input.fd < 0)
        return fail(why, 1, "%s: %s", file.path, std::strerror(errno));
    struct stat status;
    if (fstat(file.input.fd, &status) == 0 && S_ISREG(status.st_mode))
        file.size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool prepareReading(failure &why)
{
    compileForFiles(file.expression, file.programs);
    file.stream = inputStream(file.input);
    return file.stream || fail(why, 1, "cannot read %s: %s", file.path, std::strerror(errno));
}

outcome nextFromFile(found &taken, failure &why)
{
    return stepReady(file.input, false) ? nextInFile(taken, why) : outcome::waiting;
}

int inputDescriptor() { return file.input.fd; }

// Until the file's header has come, a pipe's writer may be long in
// sending it: the wait also watches the viewer, which may end meanwhile.
__attribute__((noreturn)) void serveFile()
{
    static failure why;
    while (!stepReady(file.input, true)) {
        pollfd either[] = {{file.input.fd, POLLIN, 0}, {channel_descriptor, 0, 0}};
        poll(either, 2, -1);
        if (viewerGone())
            _exit(0);
    }
    if (!openFile(file.stream, file.path, file.programs, why))
        failCapture(why);
    static const source from{nextFromFile,     inputDescriptor,
                             [](tallies &) {}, [] { return file.input.consumed; },
                             file.size,        [] { return std::size_t{0}; }};
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
