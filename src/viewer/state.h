// The program's shared state: globals that live as long as the process.
#pragma once

#include "record.h"

#include <cstdint>

inline constexpr int buffer_size =
    datagram_limit; // the largest IPv4 datagram; IPv6 ones are cut to it

extern char mode;                       // drawing mode: p poly, d dot, l line
extern std::int32_t winx;               // window width in pixels
extern std::int32_t winy;               // window height in pixels
extern int sock;                        // the channel to the capture process
extern signed char buffer[buffer_size]; // latest datagram, IP header first
extern std::int32_t bytes_recieved;     // its length in bytes, or -1

extern bool show_info;      // the info line is drawn over the picture (key i)
extern char info_line[256]; // what it says of the latest datagram

// What the run has seen, for the counts line on standard error.
struct tally {
    unsigned long received; // datagrams logged
    unsigned long dropped;  // the kernel's drops for the capture sockets, as last told
    unsigned long skipped;  // packets of a capture file that are not TCP
    const char *file;       // the capture file replayed, or nullptr when live
};
extern tally counts;
