#include "failure.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

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
