#include "filter.h"

#include <string>

namespace
{

// The cause, the expression quoted as it was typed, as a string of any
// length.
bool compileOne(int link_type, const char *text, const char *typed, bpf_program &program,
                std::string &refusal)
{
    pcap_t *compiler = pcap_open_dead(link_type, packet_limit);
    const bool compiled = pcap_compile(compiler, &program, text, 1, PCAP_NETMASK_UNKNOWN) == 0;
    if (!compiled)
        refusal = std::string("bad filter expression '") + typed + "': " + pcap_geterr(compiler);
    // Good alone but not with TCP: it passes other traffic only.
    if (bpf_program alone{}; !compiled && text != typed &&
                             pcap_compile(compiler, &alone, typed, 1, PCAP_NETMASK_UNKNOWN) == 0) {
        refusal = std::string("bad filter expression '") + typed +
                  "': it admits no TCP, and skevla shows TCP alone";
        pcap_freecode(&alone);
    }
    pcap_close(compiler);
    return compiled;
}

} // namespace

bool compileForSockets(const char *expression, bpf_program &out, failure &why)
{
    out = {};
    std::string refusal;
    const std::string tcp_of = std::string("(") + (expression ? expression : "") + ") and tcp";
    return compileOne(DLT_RAW, expression ? tcp_of.c_str() : "tcp", expression ? expression : "tcp",
                      out, refusal) ||
           fail(why, 2, "%s", refusal.c_str());
}

void compileForFiles(const char *expression, file_programs &out)
{
    out.filtering = expression != nullptr;
    // TCP after the expression: after vlan or mpls it means the TCP inside.
    const std::string tcp_of = std::string("(") + (expression ? expression : "") + ") and tcp";
    for (std::size_t at = 0; out.filtering && at < link_type_count; ++at) {
        // The file's own packets are matched by the expression alone, so
        // that what it passes over is counted as skipped.
        bpf_program tcp_check{};
        const bool suits =
            compileOne(link_types[at], expression, expression, out.programs[at],
                       out.refusals[at]) &&
            compileOne(link_types[at], tcp_of.c_str(), expression, tcp_check, out.refusals[at]);
        pcap_freecode(&tcp_check);
        if (!suits)
            pcap_freecode(&out.programs[at]);
    }
}
