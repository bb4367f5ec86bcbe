// skevla-capture: the helper skevla starts for live capture, and the only
// file that ever holds the capture privilege. It opens the sockets (and
// binds them to -i) while privileged, becomes an unprivileged user with no
// capability, boxes itself in, and then only answers skevla on the channel
// it finds on descriptor 3. A member of the capture group can run it by
// hand, with any arguments, environment and descriptors, so it trusts
// none of them: whatever it inherits but its standard descriptors and the
// channel is closed, and a helper made privileged by a file capability or
// setuid never runs unboxed.
//
//     skevla-capture [-f EXPRESSION] [-i INTERFACE] [-Q out|inout] [--no-sandbox]

#include "capture.h"
#include "filter.h"
#include "privileges.h"
#include "record.h"
#include "sockets.h"

#include <cstdio>
#include <cstring>
#include <sys/auxv.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

bool isChannel(int fd)
{
    int type = 0;
    socklen_t size = sizeof type;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_SEQPACKET;
}

} // namespace

int main(int argc, char **argv)
{
    const pid_t parent = getppid();
    const int channel = channel_descriptor;
    keepDescriptors(channel, channel);
    if (!isChannel(channel)) {
        std::fputs("skevla-capture: this is skevla's capture helper; run skevla instead\n", stderr);
        return 2;
    }
    static failure why;
    const char *expression = nullptr, *interface = nullptr;
    direction way = direction::in;
    bool sandbox = true;
    for (int i = 1; i < argc; ++i) {
        const bool valued = i + 1 < argc;
        if (valued && std::strcmp(argv[i], "-f") == 0 && !expression)
            expression = argv[++i];
        else if (valued && std::strcmp(argv[i], "-i") == 0 && !interface)
            interface = argv[++i];
        else if (valued && std::strcmp(argv[i], "-Q") == 0 && std::strcmp(argv[i + 1], "out") == 0)
            way = direction::out, ++i;
        else if (valued && std::strcmp(argv[i], "-Q") == 0 &&
                 std::strcmp(argv[i + 1], "inout") == 0)
            way = direction::inout, ++i;
        else if (std::strcmp(argv[i], "--no-sandbox") == 0 && !getauxval(AT_SECURE))
            sandbox = false;
        else {
            fail(why, 2,
                 std::strcmp(argv[i], "--no-sandbox") == 0
                     ? "--no-sandbox is refused to a privileged helper"
                     : "the capture helper was started with arguments it does not take");
            failCapture(channel, why);
        }
    }

    static socket_programs programs;
    if (!openSockets(interface, way, why) || !dropAll(identity::unprivileged, why) ||
        !compileForSockets(expression, programs, why) || !prepareSockets(programs, way, why))
        failCapture(channel, why);
    boxOrFail(channel, parent, sandbox);
    serve(channel, socket_source);
}
