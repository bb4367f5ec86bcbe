#include "pace.h"

#include <climits>

namespace
{

constexpr long long day = 86400 * nanoseconds_per_second;

} // namespace

long long stampGap(const timespec &from, const timespec &to)
{
    long long seconds, fraction, total;
    if (__builtin_sub_overflow(to.tv_sec, from.tv_sec, &seconds) ||
        __builtin_sub_overflow(to.tv_nsec, from.tv_nsec, &fraction) ||
        __builtin_mul_overflow(seconds, nanoseconds_per_second, &seconds) ||
        __builtin_add_overflow(seconds, fraction, &total) || total < 0 || total > day)
        return -1;
    return total;
}

long long dueTime(const pace &clock, const timespec &stamp, long long now)
{
    if (!clock.started)
        return now;
    const long long since = stampGap(clock.last, stamp);
    if (since < 0)
        return now;
    const double scaled = static_cast<double>(since) / clock.speed;
    if (scaled >= static_cast<double>(LLONG_MAX - clock.shown_at))
        return now;
    return clock.shown_at + static_cast<long long>(scaled);
}

void shownAt(pace &clock, const timespec &stamp, long long at)
{
    clock.started = true;
    clock.last = stamp;
    clock.shown_at = at;
}
