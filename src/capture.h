// Capture: the raw IPv4/TCP socket and the receive of one datagram.
#pragma once

// A raw socket that is handed a copy of every TCP segment the host receives,
// IPv4 header included; -1 with errno set when it cannot be opened.
int openCapture();

// Lets only the datagrams that expression (pcap-filter(7)) accepts reach
// the socket, filtered in the kernel. Returns libpcap's message for a bad
// expression, or nullptr.
const char *attachFilter(int socket_fd, const char *expression);

// Keeps only the datagrams that arrive on the named interface. Needs the
// capture privilege. False with errno set when it fails.
bool bindInterface(int socket_fd, const char *name);

// Asks the kernel to report with every datagram how many it has dropped.
bool countDrops(int socket_fd);

// Takes one waiting datagram into buffer, logs it and asks for its frame.
// Does nothing when none is waiting.
void grabPacket();
