// The program's shared state: globals that live as long as the process.
#pragma once

#include "record.h"

#include <atomic>
#include <cstdint>

inline constexpr int buffer_size =
    datagram_limit; // the largest IPv4 datagram; IPv6 ones are cut to it

extern char mode;                       // drawing mode: p poly, d dot, l line
extern std::int32_t winx;               // window width in pixels
extern std::int32_t winy;               // window height in pixels
extern int sock;                        // the channel to the capture process
extern signed char buffer[buffer_size]; // latest datagram, IP header first
extern std::int32_t bytes_recieved;     // its length as drawn (odd ones less one), or -1

// The latest datagram shown, for the info line; written with buffer and
// bytes_recieved by the loop's show() alone.
struct shown_datagram {
    unsigned long number; // how many were shown, this one included
    std::int32_t length;  // as logged
    segment_summary summary;
};
extern shown_datagram shown;

// What the run has seen, for the counts line on standard error. Written by
// the loop alone; read also by the handler of a second SIGINT, hence
// atomic.
struct tally {
    std::atomic<unsigned long> logged;  // datagrams logged: "received" in the counts line
    std::atomic<unsigned long> dropped; // the kernel's drops for the capture sockets, as last told
    std::atomic<unsigned long> passed;  // datagrams the kernel passed to them, dropped included
    std::atomic<unsigned long> skipped; // packets of a capture file that are not TCP
    const char *file;                   // the capture file replayed, or nullptr when live
    std::atomic<unsigned long> passed_over; // of it, read past unshown by a jump or --from
};
extern tally counts;
