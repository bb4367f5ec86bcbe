#include "failure.h"

#include <cstdarg>
#include <cstdio>

bool fail(failure &out, int status, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(out.why, sizeof out.why, format, arguments);
    va_end(arguments);
    out.status = status;
    return false;
}
