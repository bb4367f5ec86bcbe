// The program's shared state: globals that live as long as the process.
#pragma once

#include <cstdint>

inline constexpr int buffer_size = 65535; // the largest IPv4 datagram

extern char mode;                       // drawing mode: p poly, d dot, l line
extern std::int32_t winx;               // window width in pixels
extern std::int32_t winy;               // window height in pixels
extern int sock;                        // raw IPv4/TCP capture socket, or -1 when replaying
extern signed char buffer[buffer_size]; // latest datagram, IPv4 header first
extern std::int32_t bytes_recieved;     // its length in bytes, or -1

// What the run has seen, for the counts line on standard error.
struct tally {
    unsigned long received; // datagrams logged
    unsigned long dropped;  // the kernel's running total of drops for the socket
    unsigned long skipped;  // packets of a capture file that are not IPv4 TCP
    const char *file;       // the capture file replayed, or nullptr when live
};
extern tally counts;
