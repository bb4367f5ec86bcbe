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

int sock = -1, sock6 = -1;     // the IPv6 packet socket, or -1 where sock takes both ways
int packet = -1;               // the packet socket, which tells of its interface's loss
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

sock_filter load(int extension)
{
    return {BPF_LD | BPF_W | BPF_ABS, 0, 0, static_cast<__u32>(SKF_AD_OFF + extension)};
}

sock_filter jumpIf(unsigned value, unsigned char if_so, unsigned char if_not)
{
    return {BPF_JMP | BPF_JEQ | BPF_K, if_so, if_not, value};
}

// What comes before libpcap's program, which then keeps its relative jumps:
// every test's failure lands on the "ret 0" just before the program. The
// IPv6 packet socket rejects frames for other hosts, which it sees while
// some tool holds the interface promiscuous. The packet socket of -Q out
// and inout keeps IPv4 and IPv6 going that way, frames for other hosts
// left out, and on the loopback interface, which hands every frame over
// once sent and once received, only the received copy, as tcpdump does.
std::vector<sock_filter> directionTests(bool ipv6_only, direction way)
{
    const sock_filter reject{BPF_RET | BPF_K, 0, 0, 0};
    if (ipv6_only)
        return {load(SKF_AD_PKTTYPE), jumpIf(PACKET_OTHERHOST, 0, 1), reject};
    if (way == direction::in)
        return {};
    const unsigned loopback = if_nametoindex("lo");
    return {load(SKF_AD_PROTOCOL),
            jumpIf(ETH_P_IP, 1, 0),
            jumpIf(ETH_P_IPV6, 0, 5),
            load(SKF_AD_PKTTYPE),
            jumpIf(PACKET_OTHERHOST, 3, 0),
            jumpIf(PACKET_OUTGOING, 0, way == direction::inout ? 3 : 2),
            load(SKF_AD_IFINDEX),
            jumpIf(loopback, 0, 1),
            reject};
}

// Attaches program (libpcap's instructions have the kernel's layout) after
// the tests before it.
bool attach(int socket_fd, bpf_program &program, std::vector<sock_filter> code)
{
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

// Keeps only what arrives on the named interface, on every socket.
int bindInterface(const char *name, char *why, std::size_t size)
{
    const unsigned index = if_nametoindex(name);
    int cause = ENODEV;
    if (name[0] != '\0' && index != 0) {
        sockaddr_ll link{};
        link.sll_family = AF_PACKET;
        link.sll_protocol = htons(packet == sock ? ETH_P_ALL : ETH_P_IPV6);
        link.sll_ifindex = static_cast<int>(index);
        // Bound to an interface that is down, the packet socket holds ENETDOWN.
        socklen_t cause_size = sizeof cause;
        if ((packet != sock && setsockopt(sock, SOL_SOCKET, SO_BINDTODEVICE, name,
                                          static_cast<socklen_t>(std::strlen(name))) != 0) ||
            bind(packet, reinterpret_cast<const sockaddr *>(&link), sizeof link) != 0)
            cause = errno;
        else
            getsockopt(packet, SOL_SOCKET, SO_ERROR, &cause, &cause_size);
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
    return getsockname(packet, reinterpret_cast<sockaddr *>(&bound), &bound_size) != 0 ||
           bound.sll_ifindex <= 0;
}

// Why the packet socket reported its interface down: gone from the system,
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

bool compileFilter(pcap_t *handle, const char *expression, bpf_program &program, std::string &why)
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

int openSockets(const char *interface, direction way, char *why, std::size_t size)
{
    if (way != direction::in) {
        if (const int status =
                openOne(sock, AF_PACKET, SOCK_DGRAM, htons(ETH_P_ALL), "packet socket", why, size))
            return status;
        packet = sock;
    } else {
        if (const int status =
                openOne(sock, AF_INET, SOCK_RAW, IPPROTO_TCP, "raw TCP socket", why, size))
            return status;
        if (const int status = openOne(sock6, AF_PACKET, SOCK_DGRAM, htons(ETH_P_IPV6),
                                       "packet socket for IPv6", why, size))
            return status;
        packet = sock6;
    }
    return interface ? bindInterface(interface, why, size) : 0;
}

bool prepareSockets(const char *expression, direction way, char *why, std::size_t size)
{
    bpf_program ipv4{}, ipv6{};
    std::string refused;
    if (!compileSocketFilters(expression, ipv4, ipv6, refused)) {
        std::snprintf(why, size, "%s", refused.c_str());
        return false;
    }
    // The program for IPv6 keeps TCP of what the expression accepts and, for
    // raw IP, tests the version: it serves a socket of both families too.
    const int on = 1;
    bool prepared = way == direction::in ? (!ipv4.bf_insns || attach(sock, ipv4, {})) &&
                                               attach(sock6, ipv6, directionTests(true, way))
                                         : attach(sock, ipv6, directionTests(false, way));
    if (ipv4.bf_insns && way != direction::in)
        pcap_freecode(&ipv4);
    for (const int socket_fd : {sock, sock6})
        prepared =
            prepared && (socket_fd < 0 ||
                         (setsockopt(socket_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0 &&
                          setsockopt(socket_fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0));
    if (!prepared) {
        std::snprintf(why, size, "cannot attach the filter: %s", std::strerror(errno));
        return false;
    }
    discardQueued(sock);
    if (sock6 >= 0)
        discardQueued(sock6);
    return true;
}

void watchSockets(pollfd *wait_on)
{
    wait_on[0] = {sock, POLLIN, 0};
    wait_on[1] = {sock6, POLLIN, 0};
}

received receiveDatagram(const pollfd *ready, unsigned char *into, record_header &header, char *why,
                         std::size_t size)
{
    // Both ready: take turns, so neither family starves the other.
    const bool ipv4 = ready[0].revents != 0 && (ready[1].revents == 0 || ipv6_last);
    const int from = ipv4 ? sock : sock6;
    ipv6_last = !ipv4;
    iovec bytes{into, datagram_limit};
    alignas(cmsghdr) unsigned char
        control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t))];
    msghdr message{};
    message.msg_iov = &bytes;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = recvmsg(from, &message, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return received::none;
    if (got < 0 && from == packet && errno == ENETDOWN) {
        interfaceLost(why, size);
        return received::gone;
    }
    header.length = static_cast<std::int32_t>(got);
    header.captured = got > 0 ? static_cast<std::uint32_t>(got) : 0;
    header.wire = header.captured;
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

unsigned long kernelDrops() { return drops(sock) + (sock6 >= 0 ? drops(sock6) : 0); }
