// skevla-capture: the helper skevla starts for live capture, and the only
// file that ever has the capture privilege. It opens its socket (and
// binds it to -i) while privileged, becomes an unprivileged user with no
// capability, boxes itself in, and then only answers skevla on the channel
// it finds on descriptor 3. A member of the capture group can run it by
// hand, with any arguments, environment and descriptors, so it trusts
// none of them: whatever it inherits but its standard descriptors and the
// channel is closed, and a helper made privileged by a file capability or
// setuid never runs unboxed.
//
//     skevla-capture [--no-sandbox] [-f EXPRESSION] [-i INTERFACE] [-Q out|inout] [-B KiB]

#include "capture.h"
#include "child.h"
#include "filter.h"
#include "sockets.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>

namespace
{

struct live_capture {
    const char *expression, *interface;
    direction way;
    unsigned ring_kib = ring_default_kib;
    bpf_program program;
};
live_capture live;

// A ring's size in KiB: a whole decimal number within the bounds.
bool parseRing(const char *text, unsigned &kib)
{
    char *end;
    errno = 0;
    const unsigned long value = text[0] >= '0' && text[0] <= '9' ? std::strtoul(text, &end, 10) : 0;
    if (value < ring_least_kib || value > ring_most_kib || errno != 0 || *end != '\0')
        return false;
    kib = static_cast<unsigned>(value);
    return true;
}

bool readArguments(int argc, char **argv, failure &why)
{
    for (int i = 1; i < argc; ++i) {
        const bool valued = i + 1 < argc;
        if (valued && std::strcmp(argv[i], "-f") == 0 && !live.expression)
            live.expression = argv[++i];
        else if (valued && std::strcmp(argv[i], "-i") == 0 && !live.interface)
            live.interface = argv[++i];
        else if (valued && std::strcmp(argv[i], "-B") == 0 && parseRing(argv[i + 1], live.ring_kib))
            ++i;
        else if (valued && std::strcmp(argv[i], "-Q") == 0 && std::strcmp(argv[i + 1], "out") == 0)
            live.way = direction::out, ++i;
        else if (valued && std::strcmp(argv[i], "-Q") == 0 &&
                 std::strcmp(argv[i + 1], "inout") == 0)
            live.way = direction::inout, ++i;
        else
            return fail(why, 2, "the capture helper was started with arguments it does not take");
    }
    return true;
}

// Once it has the socket, no process of its user may attach to it and
// use it, whatever the kernel would decide.
bool openLive(failure &why)
{
    return openSockets(live.interface, why) &&
           (prctl(PR_SET_DUMPABLE, 0) == 0 ||
            fail(why, 1, "cannot make the capture helper undumpable: %s", std::strerror(errno)));
}

bool prepareLive(failure &why)
{
    return compileForSockets(live.expression, live.program, why) &&
           prepareSockets(live.program, live.way, live.ring_kib, why);
}

__attribute__((noreturn)) void serveLive() { serve(socket_source); }

const child_program helper{
    .name = "capture helper",
    .who = identity::unprivileged,
    .read = readArguments,
    .acquire = openLive,
    .prepare = prepareLive,
    .allowed = capture_allowlist,
    .changes = {},
    .refused = reportRefused,
    .speaks = false,
    .finishes = false,
    .handed = false,
    .fail = failCapture,
    .serve = serveLive,
};

} // namespace

int main(int argc, char **argv) { runChild(helper, argc, argv); }
