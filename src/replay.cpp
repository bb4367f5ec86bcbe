#include "replay.h"

#include "capture.h"
#include "frame.h"
#include "report.h"
#include "state.h"
#include "wait.h"

#include <GL/freeglut_std.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/stat.h>

namespace
{

pcap_t *file_reader;
bool from_stream; // a pipe or a terminal, which may have nothing to read yet
int link_type;
bool as_fast_as_possible;
bool at_end;

// The next datagram, read ahead so its time can be awaited; its bytes stay
// in libpcap's buffer until the next read.
bool have_next;
const unsigned char *next_frame;
datagram_span next_span;
long long next_due; // nanoseconds on the monotonic clock

bool started; // the first datagram's time stamp and the clock when it was read
long long first_stamp;
long long first_read;

constexpr long long nanoseconds_per_second = 1000000000;

long long now()
{
    timespec time;
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time.tv_sec * nanoseconds_per_second + time.tv_nsec;
}

// When a datagram stamped so is shown: as long after the first one as it was
// recorded after it. One stamped before the first is shown at once.
long long dueAt(const timeval &stamp)
{
    const long long stamped = stamp.tv_sec * nanoseconds_per_second + stamp.tv_usec * 1000LL;
    if (!started) {
        started = true;
        first_stamp = stamped;
        first_read = now();
    }
    if (as_fast_as_possible || stamped < first_stamp)
        return first_read;
    return first_read + (stamped - first_stamp);
}

// Reads up to the next IPv4 TCP datagram, counting what it passes over.
// False when the file is damaged.
bool readNext()
{
    for (;;) {
        pcap_pkthdr *header;
        const unsigned char *frame;
        const int result = pcap_next_ex(file_reader, &header, &frame);
        if (result == PCAP_ERROR_BREAK) {
            at_end = true;
            reportCounts();
            return true;
        }
        if (result != 1)
            return false;
        if (decodeFrame(link_type, frame, header->caplen, next_span)) {
            next_frame = frame;
            next_due = dueAt(header->ts);
            have_next = true;
            return true;
        }
        ++counts.skipped;
    }
}

void showNext()
{
    std::memcpy(buffer, next_frame + next_span.offset, next_span.length);
    bytes_recieved = static_cast<std::int32_t>(next_span.length);
    in_addr source;
    std::memcpy(&source, next_frame + next_span.offset + 12, sizeof source);
    have_next = false;
    logDatagram(bytes_recieved, source);
    glutPostRedisplay();
}

} // namespace

int openReplay(const char *file, const char *filter, bool top_speed, char *why, std::size_t size)
{
    char problem[PCAP_ERRBUF_SIZE] = "";
    FILE *stream = std::strcmp(file, "-") == 0 ? stdin : std::fopen(file, "rb");
    struct stat status {
    };
    if (!stream || fstat(fileno(stream), &status) != 0) {
        std::snprintf(why, size, "%s: %s", file, std::strerror(errno));
        return 1;
    }
    // Unbuffered, a stream's descriptor tells truly whether a record waits,
    // so the wait for it can serve the window.
    from_stream = !S_ISREG(status.st_mode);
    if (from_stream)
        std::setvbuf(stream, nullptr, _IONBF, 0);
    file_reader = pcap_fopen_offline(stream, problem);
    if (!file_reader) {
        std::snprintf(why, size, "%s: %s", file, problem);
        return 1;
    }
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

bool replayStep(char *why, std::size_t size)
{
    if (!have_next && !at_end) {
        if (from_stream && !awaitInput(fileno(pcap_file(file_reader)), nullptr))
            return true;
        if (!readNext()) {
            std::snprintf(why, size, "%s: %s", counts.file, pcap_geterr(file_reader));
            return false;
        }
    }
    if (at_end) {
        awaitInput(-1, nullptr);
        return true;
    }
    // A wait of zero still serves the window and the signals.
    const long long left = std::max(next_due - now(), 0LL);
    const timespec wait{static_cast<time_t>(left / nanoseconds_per_second),
                        static_cast<long>(left % nanoseconds_per_second)};
    awaitInput(-1, &wait);
    if (next_due <= now())
        showNext();
    return true;
}
