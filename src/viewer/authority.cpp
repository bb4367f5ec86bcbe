#include "authority.h"

#include <X11/Xauth.h>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

int copy = -1; // the memory file of the cookies kept

} // namespace

const char *displayNumber(const char *display, char *out, std::size_t size)
{
    const char *colon = display ? std::strrchr(display, ':') : nullptr;
    if (!colon)
        return nullptr;
    const std::size_t digits = std::strspn(colon + 1, "0123456789");
    if (digits == 0 || digits >= size)
        return nullptr;
    std::memcpy(out, colon + 1, digits);
    out[digits] = '\0';
    return out;
}

int copyCookies(std::FILE *from, std::FILE *to, const char *number)
{
    int copied = 0;
    for (Xauth *entry; (entry = XauReadAuth(from));) {
        const bool ours = entry->number_length == 0 ||
                          (entry->number_length == std::strlen(number) &&
                           std::memcmp(entry->number, number, entry->number_length) == 0);
        if (ours && XauWriteAuth(to, entry) == 1)
            ++copied;
        XauDisposeAuth(entry);
    }
    return copied;
}

void keepXAuthority()
{
    char number[16];
    if (getuid() != 0 || !displayNumber(std::getenv("DISPLAY"), number, sizeof number))
        return;
    const char *named = std::getenv("XAUTHORITY");
    const char *home = std::getenv("HOME");
    char path[PATH_MAX];
    std::snprintf(path, sizeof path, "%s%s",
                  named && named[0] ? named
                  : home            ? home
                                    : "/",
                  named && named[0] ? "" : "/.Xauthority");
    std::FILE *from = std::fopen(path, "re");
    const int memory = from ? memfd_create("xauthority", MFD_CLOEXEC) : -1;
    std::FILE *to = memory >= 0 ? fdopen(dup(memory), "w") : nullptr;
    const bool copied = to && copyCookies(from, to, number) > 0 && std::fflush(to) == 0;
    if (to)
        std::fclose(to);
    if (from)
        std::fclose(from);
    if (!copied) {
        if (memory >= 0)
            close(memory);
        return;
    }
    copy = memory;
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", memory);
    setenv("XAUTHORITY", path, 1);
}

void forgetXAuthority()
{
    if (copy < 0)
        return;
    close(copy);
    copy = -1;
    unsetenv("XAUTHORITY");
}
