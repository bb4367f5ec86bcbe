// Fuzzes what the capture process does with a capture file: the bytes are
// the file, stepped through as the reader hands it to libpcap, then read
// through libpcap, the frame decoder and the header summary.
// Every record it would send must pass the viewer's check. The same bytes'
// timeline, read from their record headers alone, keeps its marks in order
// and, where libpcap reads the whole file too, counts the records it reads.
#include "file.h"
#include "filter.h"
#include "input.h"
#include "record.h"
#include "summary.h"
#include "timeline.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The steps the reader hands libpcap, as the bytes come: never more than
    // has come, and each a step forward.
    framing reading{};
    for (std::size_t at = 0, step; at < size; at += step) {
        step = stepLength(reading, at == 0, data + at, size - at);
        if (step > size - at)
            std::abort();
        if (step == 0)
            break;
    }

    static const int memory = memfd_create("fuzzed", MFD_CLOEXEC);
    if (memory < 0 || ftruncate(memory, 0) != 0 ||
        pwrite(memory, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
    const timeline line = walkFile(memory, size);
    for (std::size_t mark = 1; mark < line.marks.size(); ++mark)
        if (line.marks[mark].at <= line.marks[mark - 1].at ||
            line.marks[mark].before < line.marks[mark - 1].before || line.marks[mark].at >= size)
            std::abort();

    static failure why;
    static file_programs programs;
    compileForFiles(nullptr, programs); // no filter: nothing to compile
    FILE *stream = fmemopen(const_cast<std::uint8_t *>(data), size, "r");
    if (!stream)
        std::abort();
    if (!openFile(stream, "fuzzed", programs, why))
        return 0;
    found taken{};
    std::uint64_t records = 0;
    outcome read;
    for (; (read = nextInFile(taken, why)) == outcome::datagram || read == outcome::skipped ||
           read == outcome::filtered;
         ++records) {
        if (read != outcome::datagram)
            continue;
        datagram_fields fields{};
        fields.length = taken.length;
        fields.nanoseconds = taken.nanoseconds;
        fields.seconds = taken.seconds;
        fields.summary = summarizeSegment(taken.bytes, taken.captured, taken.wire);
        std::vector<unsigned char> message(recordSpan(sizeof fields + taken.captured));
        putRecord(message.data(), 0, record_kind::datagram, &fields, sizeof fields, taken.bytes,
                  taken.captured);
        std::uint8_t state = capture_streaming;
        std::size_t at = 0;
        if (!takeRecord(capture_channel, side::child, state, message.data(), message.size(), at))
            std::abort();
    }
    if (read == outcome::ended && line.whole && records != line.records)
        std::abort();
    return 0;
}
