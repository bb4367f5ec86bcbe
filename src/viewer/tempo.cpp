#include "tempo.h"

#include <algorithm>

namespace
{

constexpr long long tenth = nanoseconds_per_second / 10;

} // namespace

void countShown(rate &seen, long long at)
{
    const long long slot = at / tenth;
    for (long long cleared = std::max(seen.slot + 1, slot - 9); cleared <= slot; ++cleared)
        seen.counted[cleared % 10] = 0;
    seen.slot = std::max(seen.slot, slot);
    ++seen.counted[seen.slot % 10];
}

unsigned long lastSecond(const rate &seen, long long at)
{
    const long long slot = at / tenth;
    unsigned long sum = 0;
    for (long long counted = std::max(slot, seen.slot) - 9; counted <= std::min(slot, seen.slot);
         ++counted)
        sum += counted >= 0 ? seen.counted[counted % 10] : 0;
    return sum;
}

bool frameNow(frame_cap &cap, long long now, bool behind)
{
    const bool waiting = now < cap.next || (behind && now < cap.drawn + nanoseconds_per_second);
    if (cap.interval > 0 && waiting) {
        cap.wanted = true;
        return false;
    }
    cap.next = now + cap.interval;
    cap.drawn = now;
    cap.wanted = false;
    return true;
}

long long frameDue(const frame_cap &cap, bool behind)
{
    if (!cap.wanted)
        return -1;
    return behind ? std::max(cap.next, cap.drawn + nanoseconds_per_second) : cap.next;
}

bool lagToTell(lag_watch &lag, std::uint64_t dropped, const timespec &received, bool excused)
{
    const bool before_resume =
        received.tv_sec < lag.resumed.tv_sec ||
        (received.tv_sec == lag.resumed.tv_sec && received.tv_nsec < lag.resumed.tv_nsec);
    const bool more = dropped > lag.seen;
    lag.seen = std::max(lag.seen, dropped);
    const bool tell = more && lag.armed && !lag.excused && !before_resume && !lag.told;
    lag.told |= tell;
    lag.excused = excused;
    return tell;
}

void excuseLag(lag_watch &lag) { lag.excused = true; }
