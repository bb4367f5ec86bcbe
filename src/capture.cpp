#include "capture.h"

#include "report.h"
#include "state.h"

#include <GL/freeglut_std.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <linux/filter.h>
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

} // namespace

int openCapture() { return socket(AF_INET, SOCK_RAW, IPPROTO_TCP); }

bool compileFilter(pcap_t *handle, const char *expression, bpf_program &program, char *why,
                   std::size_t size)
{
    if (pcap_compile(handle, &program, expression, 1, PCAP_NETMASK_UNKNOWN) == 0)
        return true;
    std::snprintf(why, size, "bad filter expression '%s': %s", expression, pcap_geterr(handle));
    return false;
}

bool attachFilter(int socket_fd, const char *expression, char *why, std::size_t size)
{
    // The socket hands over whole IPv4 datagrams, header first. The snapshot
    // length becomes the filter's verdict, so it must cover the largest one.
    pcap_t *compiler = pcap_open_dead(DLT_IPV4, buffer_size);
    bpf_program program{};
    const bool compiled = compileFilter(compiler, expression, program, why, size);
    pcap_close(compiler);
    if (!compiled)
        return false;
    // libpcap's instructions have the kernel's layout.
    const sock_fprog attached{static_cast<unsigned short>(program.bf_len),
                              reinterpret_cast<sock_filter *>(program.bf_insns)};
    const int result =
        setsockopt(socket_fd, SOL_SOCKET, SO_ATTACH_FILTER, &attached, sizeof attached);
    pcap_freecode(&program);
    if (result != 0) {
        std::snprintf(why, size, "cannot attach the filter '%s': %s", expression,
                      std::strerror(errno));
        return false;
    }
    discardQueued(socket_fd);
    return true;
}

bool bindInterface(int socket_fd, const char *name)
{
    if (setsockopt(socket_fd, SOL_SOCKET, SO_BINDTODEVICE, name,
                   static_cast<socklen_t>(std::strlen(name))) != 0)
        return false;
    discardQueued(socket_fd);
    return true;
}

bool countDrops(int socket_fd)
{
    const int on = 1;
    return setsockopt(socket_fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0;
}

void grabPacket()
{
    sockaddr_in source{}; // stays 0.0.0.0 when the receive fails
    iovec data{buffer, sizeof buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint32_t))];
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;

    const ssize_t received = recvmsg(sock, &message, MSG_DONTWAIT);
    if (received < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    bytes_recieved = static_cast<std::int32_t>(received);
    // The kernel's count of drops rides along only once it is above zero.
    for (cmsghdr *item = CMSG_FIRSTHDR(&message); item; item = CMSG_NXTHDR(&message, item)) {
        if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SO_RXQ_OVFL) {
            std::uint32_t dropped;
            std::memcpy(&dropped, CMSG_DATA(item), sizeof dropped);
            counts.dropped = dropped;
        }
    }
    logDatagram(bytes_recieved, source.sin_addr);
    glutPostRedisplay();
}
