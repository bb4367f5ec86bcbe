#include "recording.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace
{

int file = -1;
const char *named;

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

bool writeWhole(const iovec *parts, int count, std::size_t total)
{
    ssize_t written;
    do
        written = writev(file, parts, count);
    while (written < 0 && errno == EINTR);
    if (written >= 0 && static_cast<std::size_t>(written) != total)
        errno = ENOSPC;
    return written >= 0 && static_cast<std::size_t>(written) == total;
}

} // namespace

bool openRecording(const char *path)
{
    file = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    file_header header;
    const iovec part{&header, sizeof header};
    named = path;
    return file >= 0 && writeWhole(&part, 1, sizeof header);
}

const char *recording() { return file >= 0 ? named : nullptr; }

bool recordDatagram(const unsigned char *bytes, int length, const timespec &stamp)
{
    if (length <= 0)
        return true;
    const auto size = static_cast<std::uint32_t>(length);
    pcap_record header{static_cast<std::uint32_t>(stamp.tv_sec),
                       static_cast<std::uint32_t>(stamp.tv_nsec), size, size};
    const iovec parts[] = {{&header, sizeof header}, {const_cast<unsigned char *>(bytes), size}};
    return writeWhole(parts, 2, sizeof header + size);
}
