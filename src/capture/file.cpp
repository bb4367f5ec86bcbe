#include "file.h"

#include "frame.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <pcap/pcap.h>

namespace
{

pcap_t *reader;
int link_type;
const char *file_name;
// The filter for the file's link type, or nullptr: applied here, so that
// libpcap reads one record a call, never more than the step it was handed.
const bpf_program *filter;

} // namespace

void closeFile()
{
    if (reader)
        pcap_close(reader);
    reader = nullptr;
    filter = nullptr;
}

bool openFile(FILE *stream, const char *name, const file_programs &programs, failure &why)
{
    closeFile();
    file_name = name;
    char problem[PCAP_ERRBUF_SIZE] = "";
    reader = pcap_fopen_offline_with_tstamp_precision(stream, PCAP_TSTAMP_PRECISION_NANO, problem);
    if (!reader) {
        std::fclose(stream);
        return fail(why, 1, "%s: %s", name, problem);
    }
    link_type = pcap_datalink(reader);
    const std::size_t at =
        std::find(std::begin(link_types), std::end(link_types), link_type) - std::begin(link_types);
    if (at == link_type_count) {
        const char *type_name = pcap_datalink_val_to_name(link_type);
        return fail(why, 1,
                    "%s: link type %d (%s) is not supported; use Ethernet, Linux cooked, raw IP "
                    "or BSD loopback",
                    name, link_type, type_name ? type_name : "unknown");
    }
    if (!programs.filtering)
        return true;
    if (!programs.programs[at].bf_insns)
        return fail(why, 2, "%s", programs.refusals[at].c_str());
    filter = &programs.programs[at];
    return true;
}

outcome nextInFile(found &taken, failure &why)
{
    pcap_pkthdr *record;
    const unsigned char *frame;
    const int result = pcap_next_ex(reader, &record, &frame);
    if (result == PCAP_ERROR_BREAK)
        return outcome::ended;
    if (result != 1) {
        fail(why, 1, "%s: %s", file_name, pcap_geterr(reader));
        return outcome::failed;
    }
    // Nanoseconds, as the file was opened for; a hostile fraction may hold
    // whole seconds.
    const long long fraction = record->ts.tv_usec > 0 ? record->ts.tv_usec : 0;
    taken.nanoseconds = static_cast<std::uint32_t>(fraction % 1000000000);
    if (__builtin_add_overflow(record->ts.tv_sec, fraction / 1000000000, &taken.seconds))
        taken.seconds = INT64_MAX;
    if (filter && pcap_offline_filter(filter, record, frame) == 0)
        return outcome::filtered;
    datagram_span span;
    if (!decodeFrame(link_type, frame, record->caplen, span))
        return outcome::skipped;
    taken.bytes = frame + span.offset;
    taken.length = static_cast<std::int32_t>(span.length);
    taken.captured = static_cast<std::uint32_t>(span.length);
    taken.wire =
        record->len > span.offset ? static_cast<std::uint32_t>(record->len - span.offset) : 0;
    return outcome::datagram;
}
