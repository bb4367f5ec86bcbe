#include "capture.h"

#include "frame.h"
#include "source.h"
#include "state.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <utility>
#include <vector>

namespace
{

// The largest packet libpcap knows of: a filter's verdict is how much of a
// packet it keeps, so it must cover any.
constexpr int snapshot = 262144;

const char *watched_interface; // of -i, for the message when it goes
bool ipv6_last;                // which socket was read last, to take turns

// Datagrams queued before a filter or an interface applied would slip past
// them: let them go.
void discardQueued(int socket_fd)
{
    char unused;
    while (recv(socket_fd, &unused, sizeof unused, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
    }
}

bool attach(int socket_fd, bpf_program &program)
{
    // libpcap's instructions have the kernel's layout.
    const sock_fprog attached{static_cast<unsigned short>(program.bf_len),
                              reinterpret_cast<sock_filter *>(program.bf_insns)};
    const int result =
        setsockopt(socket_fd, SOL_SOCKET, SO_ATTACH_FILTER, &attached, sizeof attached);
    pcap_freecode(&program);
    if (result == 0)
        discardQueued(socket_fd);
    return result == 0;
}

void watchSockets(watched_pair &wait_on)
{
    wait_on[0] = {sock, POLLIN, 0};
    wait_on[1] = {sock6, POLLIN, 0};
}

long long noDueTime() { return -1; }

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
// given a moment (this is the way out, not the loop).
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

arrival grabPacket(const watched_pair &ready, long long, datagram &taken, char *why,
                   std::size_t size)
{
    // Both ready: take turns, so neither family starves the other.
    const bool ipv4 = ready[0].revents != 0 && (ready[1].revents == 0 || ipv6_last);
    const int from = ipv4 ? sock : sock6;
    ipv6_last = !ipv4;
    const ssize_t received = recv(from, buffer, sizeof buffer, MSG_DONTWAIT);
    if (received < 0 && (errno == EAGAIN || errno == EINTR))
        return arrival::none_yet;
    if (received < 0 && from == sock6 && errno == ENETDOWN) {
        interfaceLost(why, size);
        return arrival::gone;
    }
    taken = {
        reinterpret_cast<const unsigned char *>(buffer), static_cast<std::int32_t>(received), {}};
    gettimeofday(&taken.stamp, nullptr);
    return arrival::datagram;
}

// A socket's drop count as it stands, not as the last datagram reported
// it: drops at the end of a flood come with no datagram after them. For
// the packet socket it is the count PACKET_STATISTICS reports, without
// resetting it.
unsigned long drops(int socket_fd)
{
    std::uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t size = sizeof memory;
    if (getsockopt(socket_fd, SOL_SOCKET, SO_MEMINFO, memory, &size) != 0)
        return 0;
    return memory[SK_MEMINFO_DROPS];
}

unsigned long kernelDrops() { return drops(sock) + drops(sock6); }

// Live traffic keeps no clock: the kernel queues what comes while paused.
void noClock(long long) {}

} // namespace

const source live_source{watchSockets, noDueTime, grabPacket, kernelDrops, noClock};

int formatInterface(char *out, std::size_t size, unsigned index, const char *name, unsigned flags)
{
    char shown[40] = "";
    for (const auto &[bit, word] : {std::pair{IFF_UP, "Up"}, std::pair{IFF_RUNNING, "Running"},
                                    std::pair{IFF_LOOPBACK, "Loopback"}})
        if (flags & static_cast<unsigned>(bit))
            std::snprintf(shown + std::strlen(shown), sizeof shown - std::strlen(shown), "%s%s",
                          shown[0] ? ", " : "", word);
    return std::snprintf(out, size, "%u.%s [%s]\n", index, name, shown[0] ? shown : "none");
}

bool listInterfaces(char *out, std::size_t size)
{
    ifaddrs *all;
    if (getifaddrs(&all) != 0)
        return false;
    // Every interface has one link-layer entry, whatever its addresses.
    std::vector<std::pair<unsigned, const ifaddrs *>> links;
    for (const ifaddrs *entry = all; entry; entry = entry->ifa_next)
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_PACKET)
            links.emplace_back(
                static_cast<unsigned>(
                    reinterpret_cast<const sockaddr_ll *>(entry->ifa_addr)->sll_ifindex),
                entry);
    std::sort(links.begin(), links.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    std::size_t used = 0;
    out[0] = '\0';
    for (const auto &[index, entry] : links)
        if (used < size)
            used += static_cast<std::size_t>(
                formatInterface(out + used, size - used, index, entry->ifa_name, entry->ifa_flags));
    freeifaddrs(all);
    return true;
}

int openCapture() { return socket(AF_INET, SOCK_RAW, IPPROTO_TCP); }

int openIpv6Capture() { return socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IPV6)); }

bool compileFilter(pcap_t *handle, const char *expression, bpf_program &program, char *why,
                   std::size_t size)
{
    if (pcap_compile(handle, &program, expression, 1, PCAP_NETMASK_UNKNOWN) == 0)
        return true;
    std::snprintf(why, size, "bad filter expression '%s': %s", expression, pcap_geterr(handle));
    return false;
}

bool compileSocketFilters(const char *expression, bpf_program &ipv4, bpf_program &ipv6, char *why,
                          std::size_t size)
{
    // Both sockets hand over the IP header first; raw IP programs test the
    // version, so "ip6" rejects everything on the IPv4 socket.
    pcap_t *compiler = pcap_open_dead(DLT_RAW, snapshot);
    char tcp_of[4096];
    std::snprintf(tcp_of, sizeof tcp_of, "tcp and (%s)", expression ? expression : "");
    const bool compiled = !expression || compileFilter(compiler, expression, ipv4, why, size);
    const bool both =
        compiled && compileFilter(compiler, expression ? tcp_of : "tcp", ipv6, why, size);
    pcap_close(compiler);
    if (compiled && !both && expression)
        pcap_freecode(&ipv4);
    return both;
}

bool attachFilters(bpf_program &ipv4, bpf_program &ipv6, char *why, std::size_t size)
{
    if ((ipv4.bf_insns && !attach(sock, ipv4)) || !attach(sock6, ipv6)) {
        std::snprintf(why, size, "cannot attach the filter: %s", std::strerror(errno));
        return false;
    }
    return true;
}

bool bindInterface(const char *name)
{
    const unsigned index = if_nametoindex(name);
    if (name[0] == '\0' || index == 0) {
        errno = ENODEV;
        return false;
    }
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_IPV6);
    link.sll_ifindex = static_cast<int>(index);
    if (setsockopt(sock, SOL_SOCKET, SO_BINDTODEVICE, name,
                   static_cast<socklen_t>(std::strlen(name))) != 0 ||
        bind(sock6, reinterpret_cast<const sockaddr *>(&link), sizeof link) != 0)
        return false;
    // Bound to an interface that is down, the packet socket holds ENETDOWN.
    int pending = 0;
    socklen_t pending_size = sizeof pending;
    getsockopt(sock6, SOL_SOCKET, SO_ERROR, &pending, &pending_size);
    if (pending != 0) {
        errno = pending;
        return false;
    }
    discardQueued(sock);
    discardQueued(sock6);
    watched_interface = name;
    return true;
}
