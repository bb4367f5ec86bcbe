#include "display.h"

#include "authority.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

// Whether a Unix socket at path (abstract with a leading 0 byte) takes a
// connection.
bool answers(const char *path, bool abstract)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    if (length + 1 >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path + abstract, path, length);
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected =
        probe >= 0 &&
        connect(probe, reinterpret_cast<const sockaddr *>(&address),
                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + abstract + length)) == 0;
    if (probe >= 0)
        close(probe);
    return connected;
}

} // namespace

const char *localSocket(const char *display, char *out, unsigned long size)
{
    char number[16];
    if (!display || !displayNumber(display, number, sizeof number))
        return nullptr;
    const char *colon = std::strrchr(display, ':');
    const bool local =
        colon == display || (colon - display == 4 && !std::strncmp(display, "unix", 4));
    const int written = std::snprintf(out, size, "/tmp/.X11-unix/X%s", number);
    return local && written > 0 && static_cast<unsigned long>(written) < size ? out : nullptr;
}

bool localDisplayMissing(const char *display)
{
    char path[64];
    return localSocket(display, path, sizeof path) && !answers(path, true) && !answers(path, false);
}
