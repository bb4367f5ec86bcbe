#include "clip.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace
{

constexpr std::int64_t second = 1000000000;

// Digits at text, at least one, into value; false past 64 bits.
bool digits(const char *&text, std::int64_t &value)
{
    if (!std::isdigit(static_cast<unsigned char>(*text)))
        return false;
    for (value = 0; std::isdigit(static_cast<unsigned char>(*text)); ++text)
        if (__builtin_mul_overflow(value, 10, &value) ||
            __builtin_add_overflow(value, *text - '0', &value))
            return false;
    return true;
}

// A fraction after a point, in units of unit: "5" of seconds is half a
// second. Digits past a nanosecond are read and left out.
std::int64_t fraction(const char *&text, std::int64_t unit)
{
    std::int64_t value = 0;
    for (std::int64_t place = unit / 10; std::isdigit(static_cast<unsigned char>(*text));
         ++text, place /= 10)
        value += (*text - '0') * place;
    return value;
}

} // namespace

bool parseOffset(const char *text, std::int64_t &nanoseconds)
{
    std::int64_t parts[3];
    int count = 0;
    const char *at = text;
    while (count < 3 && digits(at, parts[count])) {
        ++count;
        if (*at != ':')
            break;
        ++at;
    }
    if (count == 0 || at[-1] == ':')
        return false;
    std::int64_t unit = second;
    std::int64_t part = 0;
    if (*at == '.') {
        ++at;
        if (!std::isdigit(static_cast<unsigned char>(*at)))
            return false;
        // The unit, if any, comes after the fraction: read it first.
        const char *end = at;
        while (std::isdigit(static_cast<unsigned char>(*end)))
            ++end;
        if (count == 1 && std::strcmp(end, "ms") == 0)
            unit = second / 1000;
        else if (count == 1 && std::strcmp(end, "us") == 0)
            unit = second / 1000000;
        part = fraction(at, unit);
    } else if (count == 1 && std::strcmp(at, "ms") == 0) {
        unit = second / 1000;
    } else if (count == 1 && std::strcmp(at, "us") == 0) {
        unit = second / 1000000;
    }
    if (count == 1 && unit == second && *at == 's')
        ++at;
    else if (unit != second)
        at += 2;
    if (*at != '\0')
        return false;
    // Minutes and seconds of the colon form are under 60.
    for (int minor = 1; minor < count; ++minor)
        if (parts[minor] >= 60)
            return false;
    std::int64_t whole = 0;
    for (int index = 0; index < count; ++index)
        if (__builtin_mul_overflow(whole, index == 0 ? 1 : 60, &whole) ||
            __builtin_add_overflow(whole, parts[index], &whole))
            return false;
    return !__builtin_mul_overflow(whole, unit, &nanoseconds) &&
           !__builtin_add_overflow(nanoseconds, part, &nanoseconds);
}

std::size_t formatOffset(char *out, std::size_t size, std::int64_t nanoseconds)
{
    const std::int64_t tenths = nanoseconds > 0 ? nanoseconds / (second / 10) : 0;
    const std::int64_t seconds = tenths / 10;
    const int written =
        std::snprintf(out, size, "%lld:%02lld:%02lld.%lld", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds / 60 % 60),
                      static_cast<long long>(seconds % 60), static_cast<long long>(tenths % 10));
    return written < 0 ? 0 : std::min(static_cast<std::size_t>(written), size > 0 ? size - 1 : 0);
}
