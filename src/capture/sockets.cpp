#include "sockets.h"

#include "privileges.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <vector>

namespace
{

// The largest packet libpcap knows of: a filter's verdict is how much of a
// packet it keeps, so it must cover any.
constexpr int snapshot = 262144;

int sock = -1, sock6 = -1;
const char *watched_interface; // of -i, for the message when it goes
bool ipv6_last;                // which socket was read last, to take turns
std::uint32_t drops_seen[2];   // the latest drop count each socket reported

// Datagrams queued before a filter or an interface applied would slip past
// them: let them go.
void discardQueued(int socket_fd)
{
    char unused;
    while (recv(socket_fd, &unused, sizeof unused, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
    }
}

// Attaches program (libpcap's instructions have the kernel's layout). For
// the packet socket, frames sent to other hosts (which it sees while some
// tool holds the interface promiscuous) are rejected first: the program
// after that first test keeps its relative jumps.
bool attach(int socket_fd, bpf_program &program, bool this_host_only)
{
    std::vector<sock_filter> code;
    if (this_host_only)
        code = {{BPF_LD | BPF_B | BPF_ABS, 0, 0, static_cast<__u32>(SKF_AD_OFF + SKF_AD_PKTTYPE)},
                {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, PACKET_OTHERHOST},
                {BPF_RET | BPF_K, 0, 0, 0}};
    const auto *from = reinterpret_cast<const sock_filter *>(program.bf_insns);
    code.insert(code.end(), from, from + program.bf_len);
    const sock_fprog attached{static_cast<unsigned short>(code.size()), code.data()};
    const int result =
        setsockopt(socket_fd, SOL_SOCKET, SO_ATTACH_FILTER, &attached, sizeof attached);
    pcap_freecode(&program);
    return result == 0;
}

// A socket, or the status of the failure with the reason and, when it is
// privilege, the remedy.
int openOne(int &opened, int family, int type, int protocol, const char *what, char *why,
            std::size_t size)
{
    opened = socket(family, type, protocol);
    if (opened >= 0)
        return 0;
    const int cause = errno;
    if (cause == EPERM || cause == EACCES) {
        char helper[2 * 4096];
        std::snprintf(why, size,
                      "cannot open a %s: %s; run as root, or give the capture helper the "
                      "capability with: sudo setcap cap_net_raw=ep %s",
                      what, std::strerror(cause),
                      shellWord(executablePath(), helper, sizeof helper));
    } else {
        std::snprintf(why, size, "cannot open a %s: %s", what, std::strerror(cause));
    }
    return 1;
}

// Keeps only what arrives on the named interface, on both sockets.
int bindInterface(const char *name, char *why, std::size_t size)
{
    const unsigned index = if_nametoindex(name);
    int cause = ENODEV;
    if (name[0] != '\0' && index != 0) {
        sockaddr_ll link{};
        link.sll_family = AF_PACKET;
        link.sll_protocol = htons(ETH_P_IPV6);
        link.sll_ifindex = static_cast<int>(index);
        // Bound to an interface that is down, the packet socket holds ENETDOWN.
        socklen_t cause_size = sizeof cause;
        if (setsockopt(sock, SOL_SOCKET, SO_BINDTODEVICE, name,
                       static_cast<socklen_t>(std::strlen(name))) != 0 ||
            bind(sock6, reinterpret_cast<const sockaddr *>(&link), sizeof link) != 0)
            cause = errno;
        else
            getsockopt(sock6, SOL_SOCKET, SO_ERROR, &cause, &cause_size);
    }
    if (cause == 0) {
        watched_interface = name;
        return 0;
    }
    std::snprintf(why, size, "cannot capture on interface '%s': %s; 'ip link' lists them%s", name,
                  std::strerror(cause),
                  cause == ENETDOWN ? " and 'ip link set NAME up' brings one up" : "");
    return cause == ENODEV ? 2 : 1;
}

bool unbound()
{
    sockaddr_ll bound{};
    socklen_t bound_size = sizeof bound;
    return getsockname(sock6, reinterpret_cast<sockaddr *>(&bound), &bound_size) != 0 ||
           bound.sll_ifindex <= 0;
}

// Why the IPv6 socket reported its interface down: gone from the system,
// or only down. The kernel unbinds the socket from an interface that goes
// away, which its address then shows; but a deleted interface goes down
// first and is unregistered a grace period later, so the unbinding is
// given a moment.
void interfaceLost(char *why, std::size_t size)
{
    bool gone = unbound();
    for (int wait = 0; wait < 25 && !gone; ++wait) {
        const timespec tick{0, 10 * 1000 * 1000};
        nanosleep(&tick, nullptr);
        gone = unbound();
    }
    std::snprintf(why, size, "interface %s went %s", watched_interface, gone ? "away" : "down");
}

// A socket's drop count as it stands. For the packet socket it is the
// count PACKET_STATISTICS reports, without resetting it.
unsigned long drops(int socket_fd)
{
    std::uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t size = sizeof memory;
    if (getsockopt(socket_fd, SOL_SOCKET, SO_MEMINFO, memory, &size) != 0)
        return 0;
    return memory[SK_MEMINFO_DROPS];
}

} // namespace

bool compileFilter(pcap_t *handle, const char *expression, bpf_program &program,
                   std::string &why)
{
    if (pcap_compile(handle, &program, expression, 1, PCAP_NETMASK_UNKNOWN) == 0)
        return true;
    why = std::string("bad filter expression '") + expression + "': " + pcap_geterr(handle);
    return false;
}

bool compileSocketFilters(const char *expression, bpf_program &ipv4, bpf_program &ipv6,
                          std::string &why)
{
    // Both sockets hand over the IP header first; raw IP programs test the
    // version, so "ip6" rejects everything on the IPv4 socket.
    pcap_t *compiler = pcap_open_dead(DLT_RAW, snapshot);
    const std::string tcp_of = std::string("tcp and (") + (expression ? expression : "") + ")";
    const bool compiled = !expression || compileFilter(compiler, expression, ipv4, why);
    const bool both =
        compiled && compileFilter(compiler, expression ? tcp_of.c_str() : "tcp", ipv6, why);
    pcap_close(compiler);
    if (compiled && !both && expression)
        pcap_freecode(&ipv4);
    return both;
}

int openSockets(const char *interface, char *why, std::size_t size)
{
    if (const int status =
            openOne(sock, AF_INET, SOCK_RAW, IPPROTO_TCP, "raw TCP socket", why, size))
        return status;
    if (const int status = openOne(sock6, AF_PACKET, SOCK_DGRAM, htons(ETH_P_IPV6),
                                   "packet socket for IPv6", why, size))
        return status;
    return interface ? bindInterface(interface, why, size) : 0;
}

bool prepareSockets(const char *expression, char *why, std::size_t size)
{
    bpf_program ipv4{}, ipv6{};
    std::string refused;
    if (!compileSocketFilters(expression, ipv4, ipv6, refused)) {
        std::snprintf(why, size, "%s", refused.c_str());
        return false;
    }
    const int on = 1;
    bool prepared = (!ipv4.bf_insns || attach(sock, ipv4, false)) && attach(sock6, ipv6, true);
    for (const int socket_fd : {sock, sock6})
        prepared = prepared &&
                   setsockopt(socket_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0 &&
                   setsockopt(socket_fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0;
    if (!prepared) {
        std::snprintf(why, size, "cannot attach the filter: %s", std::strerror(errno));
        return false;
    }
    discardQueued(sock);
    discardQueued(sock6);
    return true;
}

void watchSockets(pollfd *wait_on)
{
    wait_on[0] = {sock, POLLIN, 0};
    wait_on[1] = {sock6, POLLIN, 0};
}

received receiveDatagram(const pollfd *ready, unsigned char *into, record_header &header,
                         char *why, std::size_t size)
{
    // Both ready: take turns, so neither family starves the other.
    const bool ipv4 = ready[0].revents != 0 && (ready[1].revents == 0 || ipv6_last);
    const int from = ipv4 ? sock : sock6;
    ipv6_last = !ipv4;
    iovec bytes{into, datagram_limit};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(timespec)) +
                                           CMSG_SPACE(sizeof(std::uint32_t))];
    msghdr message{};
    message.msg_iov = &bytes;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = recvmsg(from, &message, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return received::none;
    if (got < 0 && from == sock6 && errno == ENETDOWN) {
        interfaceLost(why, size);
        return received::gone;
    }
    header.length = static_cast<std::int32_t>(got);
    header.captured = got > 0 ? static_cast<std::uint32_t>(got) : 0;
    for (cmsghdr *part = got >= 0 ? CMSG_FIRSTHDR(&message) : nullptr; part;
         part = CMSG_NXTHDR(&message, part)) {
        if (part->cmsg_level != SOL_SOCKET)
            continue;
        if (part->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(part), sizeof stamp);
            header.seconds = stamp.tv_sec;
            header.nanoseconds = static_cast<std::uint32_t>(stamp.tv_nsec);
        } else if (part->cmsg_type == SO_RXQ_OVFL) {
            std::memcpy(&drops_seen[ipv4 ? 0 : 1], CMSG_DATA(part), sizeof drops_seen[0]);
        }
    }
    header.dropped = std::uint64_t{drops_seen[0]} + drops_seen[1];
    return received::datagram;
}

unsigned long kernelDrops() { return drops(sock) + drops(sock6); }
