// Fuzzes the frame decoder: the first byte picks a link type, the rest is
// the frame. A datagram found must lie within the bytes held and be at
// least its IP header long (20 bytes for IPv4, 40 for IPv6).
#include "frame.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <pcap/dlt.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const int link_types[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW, DLT_IPV4,
                                     DLT_NULL,   DLT_LOOP,      DLT_IPV6,       147};
    if (size == 0)
        return 0;
    const int link_type = link_types[data[0] % (sizeof link_types / sizeof link_types[0])];
    const std::vector<unsigned char> frame(data + 1, data + size); // exact size, for ASan
    datagram_span span{};
    if (decodeFrame(link_type, frame.data(), frame.size(), span) &&
        (span.length < (frame[span.offset] >> 4 == 6 ? 40u : 20u) ||
         span.offset + span.length > frame.size() || span.length > 65535))
        std::abort();
    return 0;
}
