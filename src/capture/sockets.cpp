#include "sockets.h"

#include "identity.h"
#include "ip.h"
#include "record.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <vector>

namespace
{

// The ring's blocks, as libpcap sizes them for its snapshot length: large
// enough for several of the largest frames (a datagram of 64 KiB from a
// receive offload, and its headers), so that a ring of datagrams that
// large is not mostly empty, and at least four to a ring, so that the
// kernel always has blocks to fill while the helper reads one.
constexpr std::size_t least_block = 128 * 1024, most_block = 256 * 1024;

std::size_t blockFor(std::size_t ring)
{
    std::size_t size = least_block;
    while (size < most_block && 2 * size <= ring / 4)
        size *= 2;
    return size;
}

struct live_socket {
    int fd = -1;
    const char *interface;      // of -i, for the message when it goes
    std::uint64_t passed;       // datagrams passed to the ring so far, dropped ones included
    std::uint64_t dropped;      // the ring's drops so far, all told
    std::uint64_t taken;        // datagrams taken from it so far
    unsigned char *ring;        // blocks, block_size each
    std::size_t block_size;     //
    std::size_t blocks;         //
    std::size_t current;        // the block being read, or to be
    bool reading;               // it is the user's: its frames are being taken
    const unsigned char *frame; // the next frame of it to take
    std::uint32_t left;         // frames of it not yet taken
};
live_socket capture;

// Datagrams queued before the filter and the ring applied would slip past
// them: let them go.
void discardQueued()
{
    char unused;
    while (recv(capture.fd, &unused, sizeof unused, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
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
// every test's failure lands on the "ret 0" just before the program. IPv4
// and IPv6 going the chosen way, frames for other hosts (which the socket
// sees while some tool holds the interface promiscuous) left out, and on
// the loopback interface only the received copy, as tcpdump counts them.
std::vector<sock_filter> directionTests(direction way)
{
    const sock_filter reject{BPF_RET | BPF_K, 0, 0, 0};
    const unsigned loopback = if_nametoindex("lo");
    const unsigned char sent = way == direction::in ? 2 : 0;
    const unsigned char received = way == direction::in ? 3 : way == direction::inout ? 3 : 2;
    return {load(SKF_AD_PROTOCOL),
            jumpIf(ETH_P_IP, 1, 0),
            jumpIf(ETH_P_IPV6, 0, 5),
            load(SKF_AD_PKTTYPE),
            jumpIf(PACKET_OTHERHOST, 3, 0),
            jumpIf(PACKET_OUTGOING, sent, received),
            load(SKF_AD_IFINDEX),
            jumpIf(loopback, 0, 1),
            reject};
}

// Attaches program (libpcap's instructions have the kernel's layout) after
// the tests before it, for good: no one who got hold of the socket could
// lift it.
bool attach(const bpf_program &program, std::vector<sock_filter> code)
{
    const auto *from = reinterpret_cast<const sock_filter *>(program.bf_insns);
    code.insert(code.end(), from, from + program.bf_len);
    const sock_fprog attached{static_cast<unsigned short>(code.size()), code.data()};
    const int on = 1;
    return setsockopt(capture.fd, SOL_SOCKET, SO_ATTACH_FILTER, &attached, sizeof attached) == 0 &&
           setsockopt(capture.fd, SOL_SOCKET, SO_LOCK_FILTER, &on, sizeof on) == 0;
}

// Keeps only what passes the named interface.
bool bindInterface(const char *name, failure &why)
{
    const unsigned index = if_nametoindex(name);
    int cause = ENODEV;
    if (name[0] != '\0' && index != 0) {
        sockaddr_ll link{};
        link.sll_family = AF_PACKET;
        link.sll_protocol = htons(ETH_P_ALL);
        link.sll_ifindex = static_cast<int>(index);
        // Bound to an interface that is down, the socket reports ENETDOWN.
        socklen_t cause_size = sizeof cause;
        if (bind(capture.fd, reinterpret_cast<const sockaddr *>(&link), sizeof link) != 0)
            cause = errno;
        else
            getsockopt(capture.fd, SOL_SOCKET, SO_ERROR, &cause, &cause_size);
    }
    if (cause == 0) {
        capture.interface = name;
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
    return getsockname(capture.fd, reinterpret_cast<sockaddr *>(&bound), &bound_size) != 0 ||
           bound.sll_ifindex <= 0;
}

// Why the socket reported its interface down: gone from the system, or
// only down. The kernel unbinds the socket from an interface that goes
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
    fail(why, 1, "interface %s went %s", capture.interface, gone ? "away" : "down");
}

tpacket_block_desc &block(std::size_t number)
{
    return *reinterpret_cast<tpacket_block_desc *>(capture.ring + number * capture.block_size);
}

// Takes the next frame the kernel has handed over, if any. A block goes
// back to the kernel once every frame of it has been taken and passed on,
// which is when the next one is asked for.
bool takeFrame(found &taken)
{
    while (capture.left == 0) {
        if (capture.reading) {
            __atomic_store_n(&block(capture.current).hdr.bh1.block_status, TP_STATUS_KERNEL,
                             __ATOMIC_RELEASE);
            capture.current = (capture.current + 1) % capture.blocks;
            capture.reading = false;
        }
        const tpacket_block_desc &next = block(capture.current);
        if ((__atomic_load_n(&next.hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) == 0)
            return false;
        capture.reading = true;
        capture.left = next.hdr.bh1.num_pkts;
        capture.frame =
            capture.ring + capture.current * capture.block_size + next.hdr.bh1.offset_to_first_pkt;
    }
    const auto *frame = reinterpret_cast<const tpacket3_hdr *>(capture.frame);
    capture.frame += frame->tp_next_offset;
    --capture.left;
    ++capture.taken;
    taken = {};
    taken.bytes = reinterpret_cast<const unsigned char *>(frame) + frame->tp_net;
    std::size_t length = std::min<std::size_t>(frame->tp_snaplen, datagram_limit);
    // A frame of a short Ethernet packet carries its padding too: the
    // datagram is what its header says, as a file's is.
    if (ip_header ip; readIp({taken.bytes, length}, ip))
        length = extentOf(ip, length).length;
    taken.length = static_cast<std::int32_t>(length);
    taken.captured = static_cast<std::uint32_t>(length);
    taken.wire = std::max<std::uint32_t>(taken.captured,
                                         std::min<std::uint32_t>(frame->tp_len, datagram_limit));
    taken.seconds = frame->tp_sec;
    taken.nanoseconds = frame->tp_nsec;
    return true;
}

} // namespace

bool openSockets(const char *interface, failure &why)
{
    capture.fd = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_ALL));
    if (capture.fd < 0) {
        const int cause = errno;
        if (cause != EPERM && cause != EACCES)
            return fail(why, 1, "cannot open a capture socket: %s", std::strerror(cause));
        char helper[2 * PATH_MAX];
        return fail(why, 1,
                    "cannot open a capture socket: %s; run as root, or give the capture helper "
                    "the capability with: sudo setcap cap_net_raw=ep %s",
                    std::strerror(cause), shellWord(executablePath(), helper, sizeof helper));
    }
    return !interface || bindInterface(interface, why);
}

bool prepareSockets(bpf_program &program, direction way, unsigned ring_kib, failure &why)
{
    const bool filtered = attach(program, directionTests(way));
    pcap_freecode(&program);
    if (!filtered)
        return fail(why, 1, "cannot attach the filter: %s", std::strerror(errno));
    const int version = TPACKET_V3;
    capture.block_size = blockFor(std::size_t{ring_kib} * 1024);
    capture.blocks = std::size_t{ring_kib} * 1024 / capture.block_size;
    tpacket_req3 ring{};
    ring.tp_block_size = static_cast<unsigned>(capture.block_size);
    ring.tp_block_nr = static_cast<unsigned>(capture.blocks);
    ring.tp_frame_size = TPACKET_ALIGNMENT << 7;
    ring.tp_frame_nr =
        static_cast<unsigned>(capture.block_size / ring.tp_frame_size * capture.blocks);
    ring.tp_retire_blk_tov = 8; // ms
    if (setsockopt(capture.fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0 ||
        setsockopt(capture.fd, SOL_PACKET, PACKET_RX_RING, &ring, sizeof ring) != 0)
        return fail(why, 1, "cannot set up the capture ring of %u KiB: %s", ring_kib,
                    std::strerror(errno));
    void *mapped = mmap(nullptr, capture.blocks * capture.block_size, PROT_READ | PROT_WRITE,
                        MAP_SHARED, capture.fd, 0);
    if (mapped == MAP_FAILED)
        return fail(why, 1, "cannot map the capture ring of %u KiB: %s", ring_kib,
                    std::strerror(errno));
    capture.ring = static_cast<unsigned char *>(mapped);
    discardQueued();
    // Counted from here on: what came before the filter and the ring is
    // not the run's.
    tallies before{};
    countSockets(before);
    capture.passed = capture.dropped = 0;
    return true;
}

outcome nextFromSockets(found &taken, failure &why)
{
    if (takeFrame(taken))
        return outcome::datagram;
    // Nothing in the ring: the socket reports an interface gone down as an
    // error, which wakes the wait as readable does.
    int cause = 0;
    socklen_t cause_size = sizeof cause;
    if (getsockopt(capture.fd, SOL_SOCKET, SO_ERROR, &cause, &cause_size) == 0 &&
        cause == ENETDOWN) {
        interfaceLost(why);
        return outcome::gone;
    }
    return outcome::waiting;
}

int socketDescriptor() { return capture.fd; }

void countSockets(tallies &told)
{
    // The kernel's counts start anew with every reading; its packets
    // include those it dropped.
    tpacket_stats_v3 counted{};
    socklen_t size = sizeof counted;
    if (getsockopt(capture.fd, SOL_PACKET, PACKET_STATISTICS, &counted, &size) == 0) {
        capture.passed += counted.tp_packets;
        capture.dropped += counted.tp_drops;
    }
    told.passed = capture.passed;
    told.dropped = capture.dropped;
    told.waiting = capture.passed - std::min(capture.passed, capture.dropped + capture.taken);
}

std::size_t ringBytes() { return capture.blocks * capture.block_size; }
