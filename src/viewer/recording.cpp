#include "recording.h"

#include "outputs.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <unistd.h>

namespace
{

struct file_header {
    std::uint32_t magic = 0xA1B23C4D; // pcap with nanosecond stamps
    std::uint16_t major = 2, minor = 4;
    std::int32_t zone = 0;
    std::uint32_t figures = 0;
    std::uint32_t captured_limit = 65535; // what a record may hold of a datagram
    std::uint32_t link_type = 101;        // raw IP: the datagram from its IP header on
};

struct pcap_record {
    std::uint32_t seconds, nanoseconds, captured, original;
};

struct recording_file {
    int fd = -1;
    const char *named;
    off_t whole; // bytes of whole records written
    int uncut;   // why the file could not be cut back to them, or 0
    // What is to be written: the file's header, then records, which
    // always fit.
    unsigned char pending[256 * 1024];
    std::size_t added;
};
recording_file out;

// The end of the last whole record within the first done bytes pending.
std::size_t lastWhole(std::size_t done)
{
    std::size_t end = 0;
    while (end < out.added) {
        pcap_record header;
        std::memcpy(&header, out.pending + end, sizeof header);
        const std::size_t next = end + sizeof header + header.captured;
        if (next > done)
            break;
        end = next;
    }
    return end;
}

// Writes what is pending whole, or says why not and cuts the file back to
// its last whole record, so every reader reads it to its end. A short
// write is followed by another, which says why it stopped (a file size
// limit, a full disk).
bool writePending()
{
    for (std::size_t done = 0; done < out.added;) {
        const ssize_t written = write(out.fd, out.pending + done, out.added - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0) {
            const int cause = errno;
            out.whole += static_cast<off_t>(lastWhole(done));
            out.uncut = ftruncate(out.fd, out.whole) == 0 ? 0 : errno;
            out.added = 0;
            errno = cause;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    out.whole += static_cast<off_t>(out.added);
    out.added = 0;
    return true;
}

} // namespace

bool openRecording(const char *path, failure &why)
{
    out.named = path;
    return (out.fd = openOutput("-o", "cannot record to", path, why)) >= 0;
}

bool beginRecording(failure &why)
{
    if (out.fd < 0)
        return true;
    const file_header header;
    std::memcpy(out.pending, &header, sizeof header);
    out.added = sizeof header;
    return (ftruncate(out.fd, 0) == 0 && writePending()) ||
           fail(why, 1, "cannot record to %s: %s", out.named, std::strerror(errno));
}

const char *recording() { return out.fd >= 0 ? out.named : nullptr; }

int recordingDescriptor() { return out.fd; }

bool flushRecording(failure &why)
{
    if (out.added == 0)
        return true;
    if (writePending())
        return true;
    if (out.uncut == 0)
        return fail(why, 1, "cannot write %s: %s", out.named, std::strerror(errno));
    const int cause = errno;
    return fail(why, 1, "cannot write %s: %s; its last record is cut short (%s)", out.named,
                std::strerror(cause), std::strerror(out.uncut));
}

bool recordDatagram(const unsigned char *bytes, int length, const timespec &stamp, failure &why)
{
    if (length <= 0)
        return true;
    const auto size = static_cast<std::uint32_t>(length);
    if (out.added + sizeof(pcap_record) + size > sizeof out.pending && !flushRecording(why))
        return false;
    const pcap_record header{static_cast<std::uint32_t>(stamp.tv_sec),
                             static_cast<std::uint32_t>(stamp.tv_nsec), size, size};
    std::memcpy(out.pending + out.added, &header, sizeof header);
    std::memcpy(out.pending + out.added + sizeof header, bytes, size);
    out.added += sizeof header + size;
    return true;
}
