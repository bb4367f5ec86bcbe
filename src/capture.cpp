#include "capture.h"

#include "source.h"
#include "state.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <linux/filter.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

namespace
{

// Datagrams queued before a filter or an interface applied would slip past
// them: let them go.
void discardQueued(int socket_fd)
{
    char unused;
    while (recv(socket_fd, &unused, sizeof unused, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
    }
}

int socketDescriptor() { return sock; }

long long noDueTime() { return -1; }

arrival grabPacket(bool, long long, datagram &taken, char *, std::size_t)
{
    sockaddr_in sender{}; // stays 0.0.0.0 when the receive fails
    socklen_t sender_size = sizeof sender;
    const ssize_t received = recvfrom(sock, buffer, sizeof buffer, MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr *>(&sender), &sender_size);
    if (received < 0 && (errno == EAGAIN || errno == EINTR))
        return arrival::none_yet;
    taken = {reinterpret_cast<const unsigned char *>(buffer), static_cast<std::int32_t>(received),
             sender.sin_addr};
    return arrival::datagram;
}

// The socket's drop count as it stands, not as the last datagram reported
// it: drops at the end of a flood come with no datagram after them.
unsigned long kernelDrops()
{
    std::uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t size = sizeof memory;
    if (getsockopt(sock, SOL_SOCKET, SO_MEMINFO, memory, &size) != 0)
        return 0;
    return memory[SK_MEMINFO_DROPS];
}

} // namespace

const source live_source{socketDescriptor, noDueTime, grabPacket, kernelDrops};

int openCapture() { return socket(AF_INET, SOCK_RAW, IPPROTO_TCP); }

bool compileFilter(pcap_t *handle, const char *expression, bpf_program &program, char *why,
                   std::size_t size)
{
    if (pcap_compile(handle, &program, expression, 1, PCAP_NETMASK_UNKNOWN) == 0)
        return true;
    std::snprintf(why, size, "bad filter expression '%s': %s", expression, pcap_geterr(handle));
    return false;
}

bool compileSocketFilter(const char *expression, bpf_program &program, char *why, std::size_t size)
{
    // The socket hands over whole IPv4 datagrams, header first. The snapshot
    // length becomes the filter's verdict, so it must cover the largest one.
    pcap_t *compiler = pcap_open_dead(DLT_IPV4, buffer_size);
    const bool compiled = compileFilter(compiler, expression, program, why, size);
    pcap_close(compiler);
    return compiled;
}

bool attachFilter(int socket_fd, bpf_program &program, char *why, std::size_t size)
{
    // libpcap's instructions have the kernel's layout.
    const sock_fprog attached{static_cast<unsigned short>(program.bf_len),
                              reinterpret_cast<sock_filter *>(program.bf_insns)};
    const int result =
        setsockopt(socket_fd, SOL_SOCKET, SO_ATTACH_FILTER, &attached, sizeof attached);
    pcap_freecode(&program);
    if (result != 0) {
        std::snprintf(why, size, "cannot attach the filter: %s", std::strerror(errno));
        return false;
    }
    discardQueued(socket_fd);
    return true;
}

bool bindInterface(int socket_fd, const char *name)
{
    if (name[0] == '\0') {
        errno = ENODEV;
        return false;
    }
    if (setsockopt(socket_fd, SOL_SOCKET, SO_BINDTODEVICE, name,
                   static_cast<socklen_t>(std::strlen(name))) != 0)
        return false;
    discardQueued(socket_fd);
    return true;
}
