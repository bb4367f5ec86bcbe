#include "failure.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

bool fail(failure &out, int status, const char *format, ...)
{
    static char raw[cause_limit];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(raw, sizeof raw, format, arguments);
    va_end(arguments);
    std::size_t at = 0;
    for (const char *c = raw; *c && at + 5 < sizeof out.why; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte >= 0x20 && byte < 0x7F)
            out.why[at++] = *c;
        else if (byte == '\n' || byte == '\t')
            at += static_cast<std::size_t>(
                std::snprintf(out.why + at, 3, "\\%c", byte == '\n' ? 'n' : 't'));
        else
            at += static_cast<std::size_t>(std::snprintf(out.why + at, 5, "\\x%02x", byte));
    }
    out.why[at] = '\0';
    out.status = status;
    return false;
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
