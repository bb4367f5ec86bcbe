// Fuzzes the replay path: the bytes are a capture file, read as skevla reads
// one, through libpcap, the record framing, the frame decoder and the
// pacing arithmetic. A datagram handed out must lie within what was read and
// be at least an IPv4 header long.
#include "replay.h"
#include "source.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const int file = memfd_create("capture", MFD_CLOEXEC);
    if (file < 0 || write(file, data, size) != static_cast<ssize_t>(size))
        std::abort();
    char path[64], why[4096];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", file);
    // At the recorded pace, so every stamp goes through the arithmetic.
    if (openReplay(path, nullptr, false, why, sizeof why) == 0) {
        long long now = 0;
        // The file is always readable; the source is asked as the wait would.
        watched_pair ready{};
        for (;;) {
            file_source.watch(ready);
            ready[0].revents = ready[0].fd >= 0 ? POLLIN : 0;
            datagram taken;
            const arrival next = file_source.next(ready, now, taken, why, sizeof why);
            if (next == arrival::ended || next == arrival::failed || next == arrival::gone)
                break;
            if (next == arrival::datagram && (taken.length < 20 || taken.length > 65535))
                std::abort();
            // The clock jumps to whatever is due, so no input makes this wait.
            if (const long long due = file_source.due(); due > now)
                now = due;
        }
    }
    closeReplay();
    close(file);
    return 0;
}
