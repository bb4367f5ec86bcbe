// skevla-reader: the replay reader skevla starts for -r. It opens the
// capture file as the user who started it (under sudo the one who ran it),
// gives up every privilege, compiles the filter for every link type a file
// may have, boxes itself in, and only then reads the file's header and its
// packets, handing the viewer each TCP datagram when it asks. A file (not
// a pipe) it first reads the record headers of, for where times are, so
// that it can move to any time at once when the viewer asks; a pipe it
// can only read on through. Anyone may run it; it holds nothing worth
// stealing.
//
//     skevla-reader [--no-sandbox] [-f EXPRESSION] [--from NS] [--to NS] FILE
//
// FILE "-" is standard input; --from and --to are offsets into the
// capture in nanoseconds, the part of it replayed.

#include "capture.h"
#include "child.h"
#include "clip.h"
#include "file.h"
#include "filter.h"
#include "input.h"
#include "timeline.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

struct replay {
    const char *path;
    const char *expression;
    std::int64_t from = 0, to = -1; // the part replayed; to -1: to the end
    file_programs programs;
    capture_input input;
    FILE *stream;
    std::uint64_t size; // of a regular file: how far through it a replay is can be told
    timeline line;      // of a regular file
    bool stamped;       // a record has been read: first is the capture's first stamp
    timespec first;
    std::uint64_t ordinal; // records libpcap has read, counted from the file's start
    std::int64_t last;     // the offset of the last of them
    std::uint64_t passed;  // records read past unshown by a move
    bool moving;           // a move was asked for: to target
    std::int64_t target;   //
    bool skimming;         // records before skim_to are read past
    std::int64_t skim_to;  //
    bool from_skim;        // the skim is --from's, on a pipe: its end is a refusal
    bool over;             // past --to: the stream has ended
    bool held;             // the record a skim landed on comes next, as held_outcome
    outcome held_outcome;  //
    found held_record;     //
};
replay file;

bool readOffset(const char *text, std::int64_t &offset)
{
    char *end;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    offset = value;
    return errno == 0 && end != text && *end == '\0' && value >= 0;
}

bool readArguments(int argc, char **argv, failure &why)
{
    int at = 1;
    for (; argc - at > 2; at += 2) {
        const bool read =
            std::strcmp(argv[at], "-f") == 0       ? (file.expression = argv[at + 1]) != nullptr
            : std::strcmp(argv[at], "--from") == 0 ? readOffset(argv[at + 1], file.from)
            : std::strcmp(argv[at], "--to") == 0   ? readOffset(argv[at + 1], file.to)
                                                   : false;
        if (!read)
            break;
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

bool seekable() { return file.size > 0 && file.line.stamped; }

// --from past a capture that lasts span: refused.
bool pastTheEnd(std::int64_t span, failure &why)
{
    char from[32], lasts[32];
    formatOffset(from, sizeof from, file.from);
    formatOffset(lasts, sizeof lasts, span);
    return fail(why, 2, "--from %s is past the end of %s, which lasts %s", from, file.path, lasts);
}

// libpcap reads on from byte at of the file, the start of a step.
void readFrom(std::uint64_t at)
{
    lseek(file.input.fd, static_cast<off_t>(at), SEEK_SET);
    file.input.start = file.input.end = file.input.allowed = 0;
    file.input.consumed = at;
    file.input.ended = false;
    file.input.error = 0;
    clearerr(file.stream);
}

// The file opened again from its start: what libpcap knows of a file with
// several sections, or interfaces that come late, is then right.
bool reopen(failure &why)
{
    closeFile();
    readFrom(0);
    file.input.reading = {};
    file.stream = inputStream(file.input);
    file.ordinal = 0;
    file.last = -1;
    return file.stream && stepReady(file.input, true) &&
           openFile(file.stream, file.path, file.programs, why);
}

// A move, made as the next record is asked for: to the last mark before
// the offset, where the file has marks, then the records before it read
// past.
bool startMove(std::int64_t offset, failure &why)
{
    const std::int64_t end = file.to >= 0 ? file.to
                             : seekable() ? file.line.span
                                          : std::numeric_limits<std::int64_t>::max();
    offset = std::clamp(offset, file.from, std::max(file.from, end));
    file.held = file.over = false;
    if (seekable() && file.line.direct) {
        const mark &before = markBefore(file.line, offset);
        file.passed += before.ordinal > file.ordinal ? before.ordinal - file.ordinal : 0;
        readFrom(before.at);
        file.ordinal = before.ordinal;
        file.last = before.before;
    } else if (seekable() && offset <= file.last && !reopen(why)) {
        return false;
    }
    file.skimming = true;
    file.skim_to = offset;
    return true;
}

// Where a skim ends: the viewer is told where it landed, then given got.
outcome land(outcome got, const found &taken, std::int64_t offset, found &told)
{
    file.skimming = file.from_skim = false;
    file.held = true;
    file.held_outcome = got;
    file.held_record = taken;
    told.offset = offset;
    return outcome::landed;
}

outcome nextFromFile(found &taken, failure &why)
{
    if (file.moving) {
        file.moving = false;
        if (!startMove(file.target, why))
            return outcome::failed;
    }
    if (file.held) {
        file.held = false;
        taken = file.held_record;
        return file.held_outcome;
    }
    if (file.over)
        return outcome::ended;
    for (;;) {
        if (!stepReady(file.input, false))
            return outcome::waiting;
        const outcome got = nextInFile(taken, why);
        if (got == outcome::ended && file.from_skim) {
            pastTheEnd(std::max<std::int64_t>(file.last, 0), why);
            return outcome::failed;
        }
        if (got == outcome::ended || got == outcome::failed)
            return file.skimming ? land(got, taken, std::max<std::int64_t>(file.last, 0), taken)
                                 : got;
        ++file.ordinal;
        const timespec stamp{static_cast<time_t>(taken.seconds),
                             static_cast<long>(taken.nanoseconds)};
        if (!file.stamped) {
            file.stamped = true;
            file.first = stamp;
        }
        taken.offset = offsetOf(file.first, stamp);
        file.last = std::max(file.last, taken.offset);
        if (file.to >= 0 && taken.offset > file.to) {
            file.over = true;
            return file.skimming ? land(outcome::ended, taken, taken.offset, taken)
                                 : outcome::ended;
        }
        if (!file.skimming)
            return got;
        if (taken.offset >= file.skim_to)
            return land(got, taken, taken.offset, taken);
        if (got != outcome::filtered)
            ++file.passed;
    }
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
    file.last = -1;
    if (file.size > 0) {
        file.line = walkFile(file.input.fd, file.size);
        file.first = file.line.first;
        file.stamped = file.line.stamped;
    }
    if (seekable() && file.line.whole && file.from > file.line.span) {
        pastTheEnd(file.line.span, why);
        failCapture(why);
    }
    if (file.from > 0) {
        file.moving = true;
        file.target = file.from;
        file.from_skim = !seekable();
    }
    static const source from{
        nextFromFile,
        inputDescriptor,
        [](tallies &told) { told.passed_over = file.passed; },
        [] { return file.input.consumed; },
        file.size,
        [] { return std::size_t{0}; },
        [](ready_fields &told) {
            told.length = seekable() ? file.line.span : file.size > 0 ? 0 : -1;
            told.from = file.from;
            told.to = file.to;
        },
        [](std::int64_t offset) {
            file.moving = true;
            file.target = offset;
        },
        [] { return file.size > 0; },
    };
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
