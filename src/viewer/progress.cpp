#include "progress.h"

#include "pace.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace
{

constexpr long long interval = nanoseconds_per_second / 4;

bool wanted;
long long next;
volatile sig_atomic_t shown;

} // namespace

void startProgress(bool wanted_now)
{
    wanted = wanted_now && isatty(STDERR_FILENO) == 1 && isatty(STDOUT_FILENO) == 0;
}

void endProgress()
{
    wanted = false;
    clearProgress();
}

int formatProgress(char *out, int size, double fraction, long long made)
{
    const long long seconds = std::max(made, 0LL) / nanoseconds_per_second;
    char read[32] = "";
    if (fraction >= 0)
        std::snprintf(read, sizeof read, "%d%% of the file read, ",
                      static_cast<int>(std::min(fraction, 1.0) * 100));
    const int length = std::snprintf(out, static_cast<std::size_t>(size),
                                     "skevla: %s%lld:%02lld:%02lld of video made", read,
                                     seconds / 3600, seconds / 60 % 60, seconds % 60);
    return std::clamp(length, 0, size - 1);
}

void showProgress(long long now, double fraction, long long made)
{
    if (!wanted || now < next)
        return;
    next = now + interval;
    // To the start of the line, the text, the rest of the line cleared.
    char line[128] = "\r";
    int length = 1 + formatProgress(line + 1, sizeof line - 8, fraction, made);
    for (const char c : {'\x1b', '[', 'K'})
        line[length++] = c;
    if (write(STDERR_FILENO, line, static_cast<std::size_t>(length)) > 0)
        shown = 1;
}

void clearProgress()
{
    if (!shown)
        return;
    shown = 0;
    if (write(STDERR_FILENO, "\r\x1b[K", 4)) {
    }
}
