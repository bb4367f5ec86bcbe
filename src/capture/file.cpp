#include "file.h"

#include "frame.h"
#include "sockets.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <pcap/pcap.h>

namespace
{

// The link types a datagram can be found in, and the filter for each.
constexpr int link_types[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW,
                              DLT_IPV4,   DLT_IPV6,      DLT_NULL,       DLT_LOOP};
constexpr std::size_t link_count = sizeof link_types / sizeof link_types[0];
bool filtering;
bpf_program programs[link_count];
std::string refusals[link_count]; // why the expression does not suit a link type

pcap_t *file_reader;
int link_type;

} // namespace

bool prepareFileFilters(const char *expression, std::string &why)
{
    filtering = expression != nullptr;
    bool suits_one = !filtering;
    for (std::size_t at = 0; filtering && at < link_count; ++at) {
        pcap_t *compiler = pcap_open_dead(link_types[at], 262144);
        suits_one |= compileFilter(compiler, expression, programs[at], refusals[at]);
        pcap_close(compiler);
    }
    if (!suits_one)
        why = refusals[3]; // as raw IP, the live meaning
    return suits_one;
}

int openFile(FILE *stream, char *why, std::size_t size)
{
    char problem[PCAP_ERRBUF_SIZE] = "";
    file_reader =
        pcap_fopen_offline_with_tstamp_precision(stream, PCAP_TSTAMP_PRECISION_NANO, problem);
    if (!file_reader) {
        std::snprintf(why, size, "%s", problem);
        return 1;
    }
    link_type = pcap_datalink(file_reader);
    std::size_t at = 0;
    while (at < link_count && link_types[at] != link_type)
        ++at;
    if (at == link_count) {
        const char *name = pcap_datalink_val_to_name(link_type);
        std::snprintf(why, size,
                      "link type %d (%s) is not supported; use Ethernet, Linux cooked, raw IP or "
                      "BSD loopback",
                      link_type, name ? name : "unknown");
        return 1;
    }
    if (!filtering)
        return 0;
    if (!programs[at].bf_insns) {
        std::snprintf(why, size, "%s", refusals[at].c_str());
        return 2;
    }
    if (pcap_setfilter(file_reader, &programs[at]) != 0) {
        std::snprintf(why, size, "%s", pcap_geterr(file_reader));
        return 1;
    }
    return 0;
}

read_result readDatagram(record_header &header, const unsigned char *&bytes, char *why,
                         std::size_t size)
{
    pcap_pkthdr *record;
    const unsigned char *frame;
    const int result = pcap_next_ex(file_reader, &record, &frame);
    if (result == PCAP_ERROR_BREAK)
        return read_result::ended;
    if (result != 1) {
        std::snprintf(why, size, "%s", pcap_geterr(file_reader));
        return read_result::failed;
    }
    datagram_span span;
    if (decodeFrame(link_type, frame, record->caplen, span)) {
        bytes = frame + span.offset;
        header.length = static_cast<std::int32_t>(span.length);
        header.captured = static_cast<std::uint32_t>(span.length);
        header.wire =
            record->len > span.offset ? static_cast<std::uint32_t>(record->len - span.offset) : 0;
        // Nanoseconds, as the file was opened for; a hostile fraction
        // may hold whole seconds.
        const long long fraction = record->ts.tv_usec > 0 ? record->ts.tv_usec : 0;
        header.nanoseconds = static_cast<std::uint32_t>(fraction % 1000000000);
        if (__builtin_add_overflow(record->ts.tv_sec, fraction / 1000000000, &header.seconds))
            header.seconds = INT64_MAX;
        return read_result::datagram;
    }
    ++header.skipped;
    return read_result::skipped;
}

bool closeFile()
{
    if (!file_reader)
        return false;
    pcap_close(file_reader);
    file_reader = nullptr;
    return true;
}
