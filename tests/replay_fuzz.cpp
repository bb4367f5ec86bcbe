// Fuzzes what the capture process does with a capture file: the bytes are
// the file, read through libpcap, the frame decoder and the header summary.
// Every record it would send must pass the viewer's check.
#include "file.h"
#include "filter.h"
#include "record.h"
#include "summary.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static failure why;
    static file_programs programs;
    compileForFiles(nullptr, programs); // no filter: nothing to compile
    FILE *stream = fmemopen(const_cast<std::uint8_t *>(data), size, "r");
    if (!stream)
        std::abort();
    if (!openFile(stream, "fuzzed", programs, why))
        return 0;
    found taken{};
    for (outcome read;
         (read = nextInFile(taken, why)) == outcome::datagram || read == outcome::skipped;) {
        if (read == outcome::skipped)
            continue;
        record_header record{};
        record.kind = record_kind::datagram;
        record.length = taken.length;
        record.captured = taken.captured;
        record.nanoseconds = taken.nanoseconds;
        record.summary = summarizeSegment(taken.bytes, taken.captured, taken.wire);
        std::vector<unsigned char> message(sizeof record + record.captured);
        std::memcpy(message.data(), &record, sizeof record);
        std::memcpy(message.data() + sizeof record, taken.bytes, record.captured);
        if (!checkRecord(message.data(), message.size()))
            std::abort();
    }
    return 0;
}
