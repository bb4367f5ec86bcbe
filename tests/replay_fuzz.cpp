// Fuzzes what the capture process does with a capture file: the bytes are
// the file, read through libpcap, the frame decoder and the header summary.
// Every record it would send must pass the viewer's check.
#include "capture/file.h"
#include "capture/summary.h"
#include "record.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const bool prepared = [] {
        std::string why;
        return prepareFileFilters(nullptr, why);
    }();
    FILE *stream = fmemopen(const_cast<std::uint8_t *>(data), size, "r");
    char why[512];
    if (!prepared || !stream)
        std::abort();
    if (openFile(stream, why, sizeof why) != 0) {
        if (!closeFile())
            std::fclose(stream);
        return 0;
    }
    record_header record{};
    const unsigned char *bytes;
    for (read_result read;
         (read = readDatagram(record, bytes, why, sizeof why)) == read_result::datagram ||
         read == read_result::skipped;) {
        if (read == read_result::skipped)
            continue;
        record.kind = record_kind::datagram;
        record.summary = summarizeSegment(bytes, record.captured, record.wire);
        std::vector<unsigned char> message(sizeof record + record.captured);
        std::memcpy(message.data(), &record, sizeof record);
        std::memcpy(message.data() + sizeof record, bytes, record.captured);
        if (!checkRecord(message.data(), message.size()))
            std::abort();
    }
    closeFile();
    return 0;
}
