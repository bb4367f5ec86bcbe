#include "sockets.h"

#include "child.h"
#include "ip.h"
#include "privileges.h"
#include "record.h"

#include <cerrno>
#include <climits>
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
#include <poll.h>
#include <sys/socket.h>
#include <vector>

namespace
{

struct live_sockets {
    int ipv4 = -1;         // the raw IPv4 socket, or the one packet socket of -Q out, inout
    int ipv6 = -1;         // the IPv6 packet socket, or -1 where ipv4 takes both families
    int packet = -1;       // the packet socket, which tells of its interface's loss
    const char *interface; // of -i, for the message when it goes
    std::uint32_t seen[2]; // the latest drop count each socket reported
};
live_sockets sockets;

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
bool attach(int socket_fd, const bpf_program &program, std::vector<sock_filter> code)
{
    const auto *from = reinterpret_cast<const sock_filter *>(program.bf_insns);
    code.insert(code.end(), from, from + program.bf_len);
    const sock_fprog attached{static_cast<unsigned short>(code.size()), code.data()};
    return setsockopt(socket_fd, SOL_SOCKET, SO_ATTACH_FILTER, &attached, sizeof attached) == 0;
}

// A socket, or why not and, when it is privilege, the remedy.
bool openOne(int &opened, int family, int type, int protocol, const char *what, failure &why)
{
    opened = socket(family, type, protocol);
    if (opened >= 0)
        return true;
    const int cause = errno;
    if (cause != EPERM && cause != EACCES)
        return fail(why, 1, "cannot open a %s: %s", what, std::strerror(cause));
    char helper[2 * PATH_MAX];
    return fail(why, 1,
                "cannot open a %s: %s; run as root, or give the capture helper the capability "
                "with: sudo setcap cap_net_raw=ep %s",
                what, std::strerror(cause), shellWord(executablePath(), helper, sizeof helper));
}

// Keeps only what arrives on the named interface, on every socket.
bool bindInterface(const char *name, failure &why)
{
    const unsigned index = if_nametoindex(name);
    int cause = ENODEV;
    if (name[0] != '\0' && index != 0) {
        sockaddr_ll link{};
        link.sll_family = AF_PACKET;
        link.sll_protocol = htons(sockets.packet == sockets.ipv4 ? ETH_P_ALL : ETH_P_IPV6);
        link.sll_ifindex = static_cast<int>(index);
        // Bound to an interface that is down, the packet socket reports ENETDOWN.
        socklen_t cause_size = sizeof cause;
        if ((sockets.packet != sockets.ipv4 &&
             setsockopt(sockets.ipv4, SOL_SOCKET, SO_BINDTODEVICE, name,
                        static_cast<socklen_t>(std::strlen(name))) != 0) ||
            bind(sockets.packet, reinterpret_cast<const sockaddr *>(&link), sizeof link) != 0)
            cause = errno;
        else
            getsockopt(sockets.packet, SOL_SOCKET, SO_ERROR, &cause, &cause_size);
    }
    if (cause == 0) {
        sockets.interface = name;
        return true;
    }
    return fail(why, cause == ENODEV ? 2 : 1,
                "cannot capture on interface '%s': %s; 'ip link' lists them%s", name,
                std::strerror(cause),
                cause == ENETDOWN ? " and 'ip link set NAME up' brings one up" : "");
}

bool unbound()
{
    sockaddr_ll bound{};
    socklen_t bound_size = sizeof bound;
    return getsockname(sockets.packet, reinterpret_cast<sockaddr *>(&bound), &bound_size) != 0 ||
           bound.sll_ifindex <= 0;
}

// Why the packet socket reported its interface down: gone from the system,
// or only down. The kernel unbinds the socket from an interface that goes
// away, which its address then shows; but a deleted interface goes down
// first and is unregistered a grace period later, so the unbinding is
// given a moment.
void interfaceLost(failure &why)
{
    bool gone = unbound();
    for (int wait = 0; wait < 25 && !gone; ++wait) {
        const timespec tick{0, 10 * 1000 * 1000};
        nanosleep(&tick, nullptr);
        gone = unbound();
    }
    fail(why, 1, "interface %s went %s", sockets.interface, gone ? "away" : "down");
}

// A socket's drop count as it stands. For the packet socket it is the
// count PACKET_STATISTICS reports, without resetting it.
std::uint64_t drops(int socket_fd)
{
    std::uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t size = sizeof memory;
    if (getsockopt(socket_fd, SOL_SOCKET, SO_MEMINFO, memory, &size) != 0)
        return 0;
    return memory[SK_MEMINFO_DROPS];
}

} // namespace

bool openSockets(const char *interface, direction way, failure &why)
{
    if (way != direction::in) {
        if (!openOne(sockets.ipv4, AF_PACKET, SOCK_DGRAM, htons(ETH_P_ALL), "packet socket", why))
            return false;
        sockets.packet = sockets.ipv4;
    } else {
        if (!openOne(sockets.ipv4, AF_INET, SOCK_RAW, IPPROTO_TCP, "raw TCP socket", why) ||
            !openOne(sockets.ipv6, AF_PACKET, SOCK_DGRAM, htons(ETH_P_IPV6),
                     "packet socket for IPv6", why))
            return false;
        sockets.packet = sockets.ipv6;
    }
    return !interface || bindInterface(interface, why);
}

bool prepareSockets(socket_programs &programs, direction way, failure &why)
{
    // The program for IPv6 keeps TCP of what the expression accepts and, for
    // raw IP, tests the version: it serves a socket of both families too.
    const int on = 1;
    bool prepared = way == direction::in
                        ? (!programs.ipv4.bf_insns || attach(sockets.ipv4, programs.ipv4, {})) &&
                              attach(sockets.ipv6, programs.ipv6, directionTests(true, way))
                        : attach(sockets.ipv4, programs.ipv6, directionTests(false, way));
    pcap_freecode(&programs.ipv4);
    pcap_freecode(&programs.ipv6);
    for (const int socket_fd : {sockets.ipv4, sockets.ipv6})
        prepared =
            prepared && (socket_fd < 0 ||
                         (setsockopt(socket_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0 &&
                          setsockopt(socket_fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0 &&
                          // No one may detach or swap the filter, should they
                          // get hold of the socket.
                          setsockopt(socket_fd, SOL_SOCKET, SO_LOCK_FILTER, &on, sizeof on) == 0));
    if (!prepared)
        return fail(why, 1, "cannot attach the filter: %s", std::strerror(errno));
    for (const int socket_fd : {sockets.ipv4, sockets.ipv6})
        if (socket_fd >= 0)
            discardQueued(socket_fd);
    return true;
}

namespace
{

// The next datagram of one socket, taken from the kernel and kept until
// it is sent.
struct kept {
    bool taken;
    found datagram;
    unsigned char bytes[datagram_limit];
};
kept next_of[2]; // of the IPv4 socket (or the one of -Q out, inout) and the IPv6 one

// Takes one datagram from socket (0 or 1) into its place if it has one
// queued. False with errno set when it had none, or its interface went
// down.
bool receive(int socket)
{
    const int from = socket == 0 ? sockets.ipv4 : sockets.ipv6;
    kept &place = next_of[socket];
    iovec into{place.bytes, sizeof place.bytes};
    alignas(cmsghdr) unsigned char
        control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t))];
    msghdr message{};
    message.msg_iov = &into;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = recvmsg(from, &message, MSG_DONTWAIT);
    if (got < 0 &&
        (errno == EAGAIN || errno == EINTR || (from == sockets.packet && errno == ENETDOWN)))
        return false;
    found &taken = place.datagram;
    taken = {};
    taken.bytes = place.bytes;
    taken.length = static_cast<std::int32_t>(got);
    // A packet socket hands over the padding of a short Ethernet frame too:
    // the datagram is what its header says, as a file's is.
    if (ip_header ip; got > 0 && readIp({place.bytes, static_cast<std::size_t>(got)}, ip))
        taken.length =
            static_cast<std::int32_t>(extentOf(ip, static_cast<std::size_t>(got)).length);
    taken.captured = taken.length > 0 ? static_cast<std::uint32_t>(taken.length) : 0;
    taken.wire = taken.captured;
    for (cmsghdr *part = got >= 0 ? CMSG_FIRSTHDR(&message) : nullptr; part;
         part = CMSG_NXTHDR(&message, part)) {
        if (part->cmsg_level != SOL_SOCKET)
            continue;
        if (part->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(part), sizeof stamp);
            taken.seconds = stamp.tv_sec;
            taken.nanoseconds = static_cast<std::uint32_t>(stamp.tv_nsec);
        } else if (part->cmsg_type == SO_RXQ_OVFL) {
            std::memcpy(&sockets.seen[socket], CMSG_DATA(part), sizeof sockets.seen[0]);
        }
    }
    taken.dropped = std::uint64_t{sockets.seen[0]} + sockets.seen[1];
    place.taken = true;
    return true;
}

bool earlier(const found &one, const found &other)
{
    return one.seconds < other.seconds ||
           (one.seconds == other.seconds && one.nanoseconds < other.nanoseconds);
}

} // namespace

outcome nextFromSockets(found &taken, failure &why)
{
    const int count = sockets.ipv6 >= 0 ? 2 : 1;
    for (;;) {
        // Each socket's next datagram is taken and kept; the earlier by the
        // kernel's stamp goes first, and a socket with nothing queued delays
        // no other: so both families come in the order they arrived.
        for (int socket = 0; socket < count; ++socket)
            if (!next_of[socket].taken && !receive(socket) && errno == ENETDOWN) {
                interfaceLost(why);
                return outcome::gone;
            }
        if (next_of[0].taken || (count == 2 && next_of[1].taken)) {
            const int first =
                !next_of[0].taken || (count == 2 && next_of[1].taken &&
                                      earlier(next_of[1].datagram, next_of[0].datagram));
            next_of[first].taken = false;
            taken = next_of[first].datagram;
            return outcome::datagram;
        }
        pollfd ready[3] = {
            {channel_descriptor, POLLIN, 0}, {sockets.ipv4, POLLIN, 0}, {sockets.ipv6, POLLIN, 0}};
        if (poll(ready, 3, -1) > 0 && ready[0].revents != 0)
            return outcome::nothing_yet;
    }
}

std::uint64_t socketDrops()
{
    return drops(sockets.ipv4) + (sockets.ipv6 >= 0 ? drops(sockets.ipv6) : 0);
}
