#include "privileges.h"

#include <cap-ng.h>
#include <climits>
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>

const char *shedPrivileges()
{
    capng_clear(CAPNG_SELECT_ALL);
    if (capng_apply(CAPNG_SELECT_CAPS) != 0)
        return "clearing the capability sets";
    if (capng_apply(CAPNG_SELECT_AMBIENT) != 0)
        return "clearing the ambient capabilities";
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return "setting no_new_privs";
    if (capng_get_caps_process() != 0 || capng_have_capabilities(CAPNG_SELECT_CAPS) != CAPNG_NONE)
        return "checking that no capability is left";
    return nullptr;
}

const char *executablePath()
{
    static char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return "skevla";
    path[length] = '\0';
    return path;
}

const char *shellWord(const char *text, char *out, std::size_t size)
{
    const bool plain =
        text[0] != '\0' &&
        text[std::strspn(text, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                               "/._+-,:@%")] == '\0';
    std::size_t at = 0;
    const auto put = [&](const char *piece) {
        for (; *piece && at + 1 < size; ++piece)
            out[at++] = *piece;
    };
    if (plain) {
        put(text);
    } else {
        put("'");
        for (const char *c = text; *c; ++c) {
            const char one[2] = {*c, '\0'};
            put(*c == '\'' ? "'\\''" : one);
        }
        put("'");
    }
    out[at] = '\0';
    return out;
}
