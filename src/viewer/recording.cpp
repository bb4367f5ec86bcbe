#include "recording.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace
{

int file = -1;
const char *named;
off_t whole; // bytes of whole records written
int uncut;   // why the file could not be cut back to them, or 0

struct file_header {
    std::uint32_t magic = 0xA1B23C4D; // pcap with nanosecond stamps
    std::uint16_t major = 2, minor = 4;
    std::int32_t zone = 0;
    std::uint32_t figures = 0;
    std::uint32_t snapshot = 65535;
    std::uint32_t link_type = 101; // raw IP: the datagram from its IP header on
};

struct pcap_record {
    std::uint32_t seconds, nanoseconds, captured, original;
};

// Writes the parts whole, or says why not and cuts the file back to its
// last whole record, so every reader reads it to its end. A short write is
// followed by another, which says why it stopped (a file size limit, a
// full disk).
bool writeWhole(iovec *parts, int count)
{
    std::size_t total = 0;
    for (int at = 0; at < count; ++at)
        total += parts[at].iov_len;
    for (std::size_t done = 0; done < total;) {
        const ssize_t written = writev(file, parts, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0) {
            const int cause = errno;
            uncut = ftruncate(file, whole) == 0 ? 0 : errno;
            errno = cause;
            return false;
        }
        done += static_cast<std::size_t>(written);
        for (auto left = static_cast<std::size_t>(written); left > 0;) {
            const std::size_t part = std::min(left, parts->iov_len);
            parts->iov_base = static_cast<char *>(parts->iov_base) + part;
            parts->iov_len -= part;
            left -= part;
            if (parts->iov_len == 0) {
                ++parts;
                --count;
            }
        }
    }
    whole += static_cast<off_t>(total);
    return true;
}

} // namespace

bool openRecording(const char *path, failure &why)
{
    file = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    file_header header;
    iovec part{&header, sizeof header};
    named = path;
    return (file >= 0 && writeWhole(&part, 1)) ||
           fail(why, 1, "cannot record to %s: %s", path, std::strerror(errno));
}

const char *recording() { return file >= 0 ? named : nullptr; }

int recordingDescriptor() { return file; }

bool recordDatagram(const unsigned char *bytes, int length, const timespec &stamp, failure &why)
{
    if (length <= 0)
        return true;
    const auto size = static_cast<std::uint32_t>(length);
    pcap_record header{static_cast<std::uint32_t>(stamp.tv_sec),
                       static_cast<std::uint32_t>(stamp.tv_nsec), size, size};
    iovec parts[] = {{&header, sizeof header}, {const_cast<unsigned char *>(bytes), size}};
    if (writeWhole(parts, 2))
        return true;
    if (uncut == 0)
        return fail(why, 1, "cannot write %s: %s", named, std::strerror(errno));
    const int cause = errno;
    return fail(why, 1, "cannot write %s: %s; its last record is cut short (%s)", named,
                std::strerror(cause), std::strerror(uncut));
}
