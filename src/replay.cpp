#include "replay.h"

#include "capture.h"
#include "frame.h"
#include "records.h"
#include "source.h"
#include "state.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr long long nanoseconds_per_second = 1000000000;
constexpr long long day = 86400 * nanoseconds_per_second;
constexpr std::size_t read_size = 65536;

// The bytes read from the file or pipe that libpcap has not taken yet.
int descriptor = -1;
std::vector<unsigned char> held;
std::size_t taken_bytes; // of held, by libpcap
bool at_eof;             // the descriptor has no more to give
bool opening;            // libpcap reads the file's header: it may wait for it

pcap_t *file_reader;
FILE *records; // libpcap's view of held
record_layout layout;
int link_type;
bool as_fast_as_possible;
bool at_end;

// The next datagram, read ahead so its time can be awaited; its bytes stay
// in libpcap's buffer until the next read.
bool have_next;
const unsigned char *next_frame;
datagram_span next_span;
timeval next_stamp;
long long next_due;
pace clock;
bool shown_any;
timeval last_shown; // the stamp of the last record shown

// One read of what the descriptor has; sets at_eof at its end.
bool fill()
{
    // What libpcap has taken goes, but not while it reads the header, whose
    // first bytes tell the layout.
    if (!opening && taken_bytes > 0) {
        held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(taken_bytes));
        taken_bytes = 0;
    }
    const std::size_t before = held.size();
    held.resize(before + read_size);
    ssize_t got;
    do
        got = read(descriptor, held.data() + before, read_size);
    while (got < 0 && errno == EINTR);
    held.resize(before + static_cast<std::size_t>(got > 0 ? got : 0));
    at_eof = got == 0;
    return got >= 0;
}

// libpcap's reads. Past the file's header they find the bytes already
// there, as packetHeld has made sure.
ssize_t readHeld(void *, char *into, std::size_t size)
{
    while (opening && !at_eof && held.size() - taken_bytes < size)
        if (!fill())
            return -1;
    const std::size_t given = std::min(size, held.size() - taken_bytes);
    std::memcpy(into, held.data() + taken_bytes, given);
    taken_bytes += given;
    return static_cast<ssize_t>(given);
}

bool nextPacketHeld()
{
    return at_eof || packetHeld(layout, held.data() + taken_bytes, held.size() - taken_bytes);
}

void watchFile(watched_pair &wait_on)
{
    wait_on[0] = {at_end || have_next || nextPacketHeld() ? -1 : descriptor, POLLIN, 0};
    wait_on[1] = {-1, 0, 0};
}

long long fileDueTime()
{
    if (at_end)
        return -1;
    if (have_next)
        return next_due;
    return nextPacketHeld() ? 0 : -1;
}

// Reads records up to the next TCP datagram, counting what it passes
// over, reading the descriptor at most once and only when readable.
arrival readNext(bool readable, long long now, char *why, std::size_t size)
{
    for (;;) {
        if (!nextPacketHeld()) {
            if (!readable)
                return arrival::none_yet;
            readable = false;
            if (!fill()) {
                std::snprintf(why, size, "%s: %s", counts.file, std::strerror(errno));
                return arrival::failed;
            }
            continue;
        }
        pcap_pkthdr *header;
        const unsigned char *frame;
        const int result = pcap_next_ex(file_reader, &header, &frame);
        if (result == PCAP_ERROR_BREAK) {
            at_end = true;
            return arrival::ended;
        }
        if (result != 1) {
            std::snprintf(why, size, "%s: %s", counts.file, pcap_geterr(file_reader));
            return arrival::failed;
        }
        if (decodeFrame(link_type, frame, header->caplen, next_span)) {
            next_frame = frame;
            next_stamp = header->ts;
            next_due = as_fast_as_possible ? 0 : dueTime(clock, header->ts, now);
            have_next = true;
            return arrival::datagram;
        }
        ++counts.skipped;
    }
}

arrival replayNext(const watched_pair &ready, long long now, datagram &taken, char *why,
                   std::size_t size)
{
    if (!have_next) {
        const arrival read = readNext(ready[0].revents != 0, now, why, size);
        if (read != arrival::datagram)
            return read;
    }
    if (now < next_due)
        return arrival::none_yet;
    have_next = false;
    shown_any = true;
    last_shown = next_stamp;
    taken = {next_frame + next_span.offset, static_cast<std::int32_t>(next_span.length),
             next_stamp};
    return arrival::datagram;
}

unsigned long noDrops() { return 0; }

void restartClock(long long now)
{
    if (!shown_any || as_fast_as_possible)
        return;
    clock = {true, last_shown, now, last_shown};
    if (have_next)
        next_due = dueTime(clock, next_stamp, now);
}

// Nanoseconds from one stamp to another (negative when earlier), or
// LLONG_MIN when the distance does not fit.
long long nanosecondsBetween(const timeval &from, const timeval &to)
{
    long long seconds, micro, total;
    if (__builtin_sub_overflow(to.tv_sec, from.tv_sec, &seconds) ||
        __builtin_sub_overflow(to.tv_usec, from.tv_usec, &micro) ||
        __builtin_mul_overflow(seconds, nanoseconds_per_second, &seconds) ||
        __builtin_mul_overflow(micro, 1000LL, &micro) ||
        __builtin_add_overflow(seconds, micro, &total))
        return LLONG_MIN;
    return total;
}

} // namespace

const source file_source{watchFile, fileDueTime, replayNext, noDrops, restartClock};

long long dueTime(pace &clock, const timeval &stamp, long long now)
{
    const long long since_last =
        clock.started ? nanosecondsBetween(clock.last_stamp, stamp) : LLONG_MIN;
    const long long since_base =
        clock.started ? nanosecondsBetween(clock.base_stamp, stamp) : LLONG_MIN;
    clock.last_stamp = stamp;
    if (since_last < 0 || since_last > day || since_base < 0 ||
        since_base > LLONG_MAX - clock.base_time) {
        clock = {true, stamp, now, stamp};
        return now;
    }
    return clock.base_time + since_base;
}

int openReplay(const char *file, const char *filter, bool top_speed, char *why, std::size_t size)
{
    descriptor = std::strcmp(file, "-") == 0 ? STDIN_FILENO : open(file, O_RDONLY | O_CLOEXEC);
    records =
        descriptor < 0 ? nullptr : fopencookie(nullptr, "r", {readHeld, nullptr, nullptr, nullptr});
    if (!records) {
        std::snprintf(why, size, "%s: %s", file, std::strerror(errno));
        return 1;
    }
    // Unbuffered, so every byte libpcap has not taken stays in held, where
    // packetHeld sees it.
    std::setvbuf(records, nullptr, _IONBF, 0);
    char problem[PCAP_ERRBUF_SIZE] = "";
    opening = true;
    file_reader = pcap_fopen_offline(records, problem);
    opening = false;
    if (!file_reader) {
        std::snprintf(why, size, "%s: %s", file, problem);
        return 1;
    }
    readLayout(held.data(), held.size(), layout);
    link_type = pcap_datalink(file_reader);
    if (!linkTypeSupported(link_type)) {
        const char *name = pcap_datalink_val_to_name(link_type);
        std::snprintf(why, size,
                      "%s: link type %d (%s) is not supported; use Ethernet, Linux cooked, raw "
                      "IP or BSD loopback",
                      file, link_type, name ? name : "unknown");
        return 1;
    }
    if (filter) {
        bpf_program program{};
        if (!compileFilter(file_reader, filter, program, why, size))
            return 2;
        const int applied = pcap_setfilter(file_reader, &program);
        pcap_freecode(&program);
        if (applied != 0) {
            std::snprintf(why, size, "%s: %s", file, pcap_geterr(file_reader));
            return 1;
        }
    }
    counts.file = file;
    as_fast_as_possible = top_speed;
    return 0;
}

void closeReplay()
{
    if (file_reader)
        pcap_close(file_reader); // closes records too
    else if (records)
        std::fclose(records);
    if (descriptor > STDIN_FILENO)
        close(descriptor);
    descriptor = -1;
    held.clear();
    taken_bytes = 0;
    at_eof = at_end = have_next = shown_any = false;
    file_reader = nullptr;
    records = nullptr;
    clock = {};
}
