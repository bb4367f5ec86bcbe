// The program's shared state: globals that live as long as the process.
#pragma once

#include <cstdint>

inline constexpr int buffer_size = 65535; // the largest IPv4 datagram; IPv6 ones are cut to it

extern char mode;                       // drawing mode: p poly, d dot, l line
extern std::int32_t winx;               // window width in pixels
extern std::int32_t winy;               // window height in pixels
extern int sock;                        // raw IPv4/TCP capture socket, or -1 when replaying
extern int sock6;                       // IPv6 packet socket beside it, or -1
extern signed char buffer[buffer_size]; // latest datagram, IP header first
extern std::int32_t bytes_recieved;     // its length in bytes, or -1

extern bool show_info;      // the info line is drawn over the picture (key i)
extern char info_line[256]; // what it says of the latest datagram

// What the run has seen, for the counts line on standard error.
struct tally {
    unsigned long received; // datagrams logged
    unsigned long dropped;  // the kernel's running total of drops for the sockets
    unsigned long skipped;  // packets of a capture file that are not TCP
    const char *file;       // the capture file replayed, or nullptr when live
};
extern tally counts;
